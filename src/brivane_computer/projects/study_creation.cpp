// addStudy, addPipingStudy and addStructureStudy: a new, empty study in an
// existing project.
#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "projects/project_files.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr Signature<5> add_study_signature{"addStudy",
                                           {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"}};
Ref add_study(Module module, const Arguments<5>& arguments) {
    auto [given_directory, study_name, screen_width, screen_height, discipline] = arguments;
    Ref project_directory = text_path(module, given_directory);
    if (!project_directory) return {};
    ProjectClasses classes;
    if (!load_project_classes(module, classes)) return {};
    StudyLookup lookup = look_up_study(module, classes.view_model, project_directory.get(), study_name);
    if (lookup.failed) return {};
    if (!lookup.project) return none();
    const Ref& project = lookup.project;
    Truth absent = equals(lookup.study.get(), Py_None);
    if (!absent) return {};
    if (!*absent) return none();

    Ref point = placement_point(classes.point, screen_width, screen_height);
    if (!point) return {};
    // Point first and name last, unlike CreateNewProject.
    if (!call_method(project, sdk::member::AddEmptyStudy, point, discipline, study_name)) return {};
    return call_method(project, sdk::member::GetStudy, study_name);
}

constexpr Signature<4> add_piping_study_signature{"addPipingStudy",
                                                  {"projectDirectory", "studyName", "screenWidth", "screenheight"}};
Ref add_piping_study(Module module, const Arguments<4>& arguments) {
    return call_for_kind(module, Guard::Piping, sdk::member::Pelorix, functions::addStudy, arguments);
}

constexpr Signature<4> add_structure_study_signature{"addStructureStudy",
                                                     {"projectDirectory", "studyName", "screenWidth", "screenheight"}};
Ref add_structure_study(Module module, const Arguments<4>& arguments) {
    return call_for_kind(module, Guard::Structure, sdk::member::Karvona, functions::addStudy, arguments);
}

}  // namespace

PyMethodDef addStudy_function = define_function<add_study_signature, add_study>(
    "addStudy(projectDirectory, studyName, screenWidth, screenheight, module)\n"
    "\n"
    "For internal use.");

PyMethodDef addPipingStudy_function = define_function<add_piping_study_signature, add_piping_study>(
    "addPipingStudy(projectDirectory, studyName, screenWidth, screenheight)\n"
    "\n"
    "Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None "
    "otherwise.");

PyMethodDef addStructureStudy_function = define_function<add_structure_study_signature, add_structure_study>(
    "addStructureStudy(projectDirectory, studyName, screenWidth, screenheight)\n"
    "\n"
    "Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None "
    "otherwise.");

}  // namespace brivane

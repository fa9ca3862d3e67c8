// addProject, addPipingProject and addStructureProject: a new project folder
// filled by the product with its project file and a first study.
#include "arguments.hpp"
#include "errors.hpp"
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

bool create_project_content(const Module& module, const Ref& project_directory, const Arguments<6>& arguments) {
    auto [directory, project_name, study_name, screen_width, screen_height, discipline] = arguments;
    ProjectClasses classes;
    if (!load_project_classes(module, classes)) return false;
    Ref project = call(classes.view_model, Py_None);
    if (!project) return false;
    Ref point = placement_point(classes.point, screen_width, screen_height);
    if (!point) return false;
    Ref no_text = text("");
    if (!no_text) return false;
    return static_cast<bool>(
        call_method(project, sdk::member::CreateNewProject, project_directory, point, no_text, study_name, discipline));
}

constexpr Signature<6> add_project_signature{
    "addProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"}};
Ref add_project(Module module, const Arguments<6>& arguments) {
    Ref directory = text_path(module, arguments[0]);
    if (!directory) return {};
    Ref project_name = text_path(module, arguments[1]);
    if (!project_name) return {};
    Ref project_directory = module.call_os_path(host::join, directory, project_name);
    if (!project_directory) return {};
    Truth taken = module.exists(project_directory.get());
    if (!taken) return {};
    if (*taken) return text("");
    if (!module.call_imported(host::os, host::makedirs, project_directory)) return {};

    if (!create_project_content(module, project_directory, arguments)) {
        // Leave no empty folder behind: a retry would take it for an existing project.
        PendingError error = PendingError::fetch();
        if (!module.call_imported(host::os, host::rmdir, project_directory)) PyErr_Clear();
        error.restore();
        return {};
    }
    return project_directory;
}

constexpr Signature<5> add_piping_project_signature{
    "addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}};
Ref add_piping_project(Module module, const Arguments<5>& arguments) {
    return call_for_kind(module, Guard::Piping, sdk::member::Pelorix, functions::addProject, arguments);
}

constexpr Signature<5> add_structure_project_signature{
    "addStructureProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}};
Ref add_structure_project(Module module, const Arguments<5>& arguments) {
    return call_for_kind(module, Guard::Structure, sdk::member::Karvona, functions::addProject, arguments);
}

}  // namespace

PyMethodDef addProject_function = define_function<add_project_signature, add_project>(
    "addProject(directory, projectName, studyName, screenWidth, screenheight, module)\n"
    "\n"
    "For internal use.");

PyMethodDef addPipingProject_function = define_function<add_piping_project_signature, add_piping_project>(
    "addPipingProject(directory, projectName, studyName, screenWidth, screenheight)\n"
    "\n"
    "Add a project (projectName) with a piping study (studyName). Return the project directory if succed, empty "
    "string otherwise.");

PyMethodDef addStructureProject_function = define_function<add_structure_project_signature, add_structure_project>(
    "addStructureProject(directory, projectName, studyName, screenWidth, screenheight)\n"
    "\n"
    "Add a project (projectName) with a structure study (studyName). Return the project directory if succed, "
    "empty string otherwise.");

}  // namespace brivane

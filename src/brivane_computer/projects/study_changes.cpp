// removeStudy and duplicateStudy: change the studies of an existing project.
#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "projects/project_files.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

// The project opened from its project file when that file and the study
// exist; an empty project (nothing to do) otherwise.
StudyLookup open_study(const Module& module, PyObject* project_directory, PyObject* study_name) {
    Ref view_model_class = sdk::import_class(module, sdk::ns::pelorix_project, sdk::cls::ProjectViewModel);
    if (!view_model_class) return StudyLookup::failure();
    StudyLookup lookup = look_up_study(module, view_model_class, project_directory, study_name);
    if (lookup.failed || !lookup.project) return lookup;
    Truth present = differs(lookup.study.get(), Py_None);
    if (!present) return StudyLookup::failure();
    if (!*present) return {};
    return lookup;
}

constexpr Signature<2> remove_study_signature{"removeStudy", {"projectDirectory", "studyName"}};
Ref remove_study(Module module, const Arguments<2>& arguments) {
    auto [given_directory, study_name] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    Ref project_directory = text_path(module, given_directory);
    if (!project_directory) return {};
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_project})) return {};
    StudyLookup opened = open_study(module, project_directory.get(), study_name);
    if (opened.failed) return {};
    if (!opened.project) return none();
    if (!call_method(opened.project, sdk::member::SetCurrentStudy, study_name) ||
        !call_method(opened.project, sdk::member::DeleteCurrentStudy)) {
        return {};
    }
    return none();
}

constexpr Signature<3> duplicate_study_signature{"duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"}};
Ref duplicate_study(Module module, const Arguments<3>& arguments) {
    auto [given_directory, study_name, copy_name] = arguments;
    if (!check_guard(module, Guard::Setup)) return {};
    Ref project_directory = text_path(module, given_directory);
    if (!project_directory) return {};
    if (!sdk::load_assemblies(module, {&sdk::assembly::helper, &sdk::assembly::pelorix_project})) return {};
    StudyLookup opened = open_study(module, project_directory.get(), study_name);
    if (opened.failed) return {};
    if (!opened.project) return none();
    const Ref& project = opened.project;
    if (!call_method(project, sdk::member::SetCurrentStudy, study_name) ||
        !call_method(project, sdk::member::DuplicateCurrentStudy)) {
        return {};
    }
    // The product names the copy and makes it current; it is renamed from there.
    Ref product_given_name = call_method(project, sdk::member::GetCurrentStudyName);
    if (!product_given_name || !call_method(project, sdk::member::SetCurrentStudy, product_given_name) ||
        !call_method(project, sdk::member::RenameCurrentStudy, copy_name)) {
        return {};
    }
    return none();
}

}  // namespace

PyMethodDef removeStudy_function = define_function<remove_study_signature, remove_study>(
    "removeStudy(projectDirectory, studyName)\n"
    "\n"
    "Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in the "
    "project.");

PyMethodDef duplicateStudy_function = define_function<duplicate_study_signature, duplicate_study>(
    "duplicateStudy(projectDirectory, studyName, copyStudyName)\n"
    "\n"
    "Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName as "
    "name if possible.");

}  // namespace brivane

#include "projects/project_files.hpp"

#include "host_names.hpp"
#include "models/model_folder.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

constexpr long window_width = 300;
constexpr long window_height = 400;

// (size - window) / 2, a true division
Ref centred(PyObject* screen_size, long window_size) {
    Ref window = Ref::consuming(PyLong_FromLong(window_size));
    if (!window) return {};
    Ref two = Ref::consuming(PyLong_FromLong(2));
    if (!two) return {};
    Ref margin = Ref::consuming(PyNumber_Subtract(screen_size, window.get()));
    if (!margin) return {};
    return Ref::consuming(PyNumber_TrueDivide(margin.get(), two.get()));
}

}  // namespace

Ref project_file_of(const Module& module, PyObject* project_directory) {
    Ref stem = stem_of(module, project_directory);
    if (!stem) return {};
    Ref ending = text(".project");
    if (!ending) return {};
    Ref name = Ref::consuming(PyNumber_Add(stem.get(), ending.get()));
    if (!name) return {};
    return module.call_os_path(host::join, project_directory, name);
}

Ref placement_point(const Ref& point_class, PyObject* screen_width, PyObject* screen_height) {
    Ref x = centred(screen_width, window_width);
    if (!x) return {};
    Ref y = centred(screen_height, window_height);
    if (!y) return {};
    return call(point_class, x, y);
}

bool load_project_classes(const Module& module, ProjectClasses& classes) {
    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_project})) return false;
    classes.view_model = sdk::import_class(module, sdk::ns::pelorix_project, sdk::cls::ProjectViewModel);
    if (!classes.view_model) return false;
    classes.point = sdk::import_class(module, sdk::ns::windows, sdk::cls::Point);
    return static_cast<bool>(classes.point);
}

StudyLookup look_up_study(const Module& module, const Ref& view_model_class, PyObject* project_directory,
                          PyObject* study_name) {
    Ref project_file = project_file_of(module, project_directory);
    if (!project_file) return StudyLookup::failure();
    Truth found = module.exists(project_file.get());
    if (!found) return StudyLookup::failure();
    if (!*found) return {};
    Ref project = call(view_model_class, Py_None);
    if (!project || !call_method(project, sdk::member::LoadFromFile, project_file)) return StudyLookup::failure();
    Ref study = call_method(project, sdk::member::GetStudy, study_name);
    if (!study) return StudyLookup::failure();
    return {false, std::move(project), std::move(study)};
}

}  // namespace brivane

// What the project functions share: the project file of a project folder,
// the placement point of a new study and the product's project view model.
#pragma once

#include "arguments.hpp"
#include "guards.hpp"
#include "module_namespace.hpp"
#include "sdk/bridge.hpp"

namespace brivane {

// <projectDirectory>/<last component without its extension>.project
Ref project_file_of(const Module& module, PyObject* project_directory);

// Point((screenWidth - 300) / 2, (screenheight - 400) / 2): the top-left
// corner of the product's 300 by 400 window centred on the screen.
Ref placement_point(const Ref& point_class, PyObject* screen_width, PyObject* screen_height);

// The product's project classes, after Brivane.Pelorix.Project.dll is
// loaded: ProjectViewModel, then Point of System.Windows.
struct ProjectClasses {
    Ref view_model;
    Ref point;
};
bool load_project_classes(const Module& module, ProjectClasses& classes);

// A study looked up in its project: the project opened (ProjectViewModel(None),
// loaded from its project file) when that file exists, and what GetStudy
// returned for the name. `project` is empty, without an error, when there is
// no project file.
struct StudyLookup {
    bool failed = false;
    Ref project;
    Ref study;

    static StudyLookup failure() noexcept {
        StudyLookup lookup;
        lookup.failed = true;
        return lookup;
    }
};
StudyLookup look_up_study(const Module& module, const Ref& view_model_class, PyObject* project_directory,
                          PyObject* study_name);

// The piping and structure entry points: the guard, then `function` called
// with the caller's arguments followed by the discipline `kind`.
template <std::size_t N>
Ref call_for_kind(const Module& module, Guard guard, const Name& kind, const Name& function,
                  const Arguments<N>& arguments) {
    if (!check_guard(module, guard)) return {};
    Ref discipline = sdk::discipline(module, kind);
    if (!discipline) return {};
    Ref delegate = module.get(function);
    if (!delegate) return {};
    Ref call_arguments = Ref::consuming(PyTuple_New(static_cast<Py_ssize_t>(N + 1)));
    if (!call_arguments) return {};
    for (std::size_t i = 0; i < N; ++i) {
        add_reference(arguments[i]);
        PyTuple_SetItem(call_arguments.get(), static_cast<Py_ssize_t>(i), arguments[i]);
    }
    PyTuple_SetItem(call_arguments.get(), static_cast<Py_ssize_t>(N), discipline.release());
    return Ref::consuming(PyObject_Call(delegate.get(), call_arguments.get(), nullptr));
}

}  // namespace brivane

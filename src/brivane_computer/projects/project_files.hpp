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

// ProjectViewModel(None), loaded from the project file.
Ref open_project(const Ref& view_model_class, const Ref& project_file);

// The piping and structure entry points: the guard, then `function` called
// with the caller's arguments followed by the product's module value for `kind`.
template <std::size_t N>
Ref call_for_kind(const Module& module, Guard guard, const Name& kind, const Name& function,
                  const Arguments<N>& arguments) {
    if (!check_guard(module, guard)) return {};
    Ref product_module = sdk::product_module(module, kind);
    if (!product_module) return {};
    Ref delegate = module.get(function);
    if (!delegate) return {};
    Ref call_arguments = Ref::consuming(PyTuple_New(static_cast<Py_ssize_t>(N + 1)));
    if (!call_arguments) return {};
    for (std::size_t i = 0; i < N; ++i) {
        add_reference(arguments[i]);
        PyTuple_SetItem(call_arguments.get(), static_cast<Py_ssize_t>(i), arguments[i]);
    }
    PyTuple_SetItem(call_arguments.get(), static_cast<Py_ssize_t>(N), product_module.release());
    return Ref::consuming(PyObject_Call(delegate.get(), call_arguments.get(), nullptr));
}

}  // namespace brivane

#include "module_namespace.hpp"

#include "host_names.hpp"

namespace brivane {

PyObject* Module::peek(const Name& name) const {
    PyObject* key = name.get();
    if (key == nullptr) return nullptr;
    PyObject* found = PyDict_GetItemWithError(namespace_dict(), key);
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
    }
    return found;
}

Ref Module::get(const Name& name) const {
    PyObject* found = peek(name);
    if (found == nullptr) return {};
    return Ref::owning(found);
}

bool Module::set(const Name& name, PyObject* value) const {
    PyObject* key = name.get();
    return key != nullptr && PyDict_SetItem(namespace_dict(), key, value) == 0;
}

Truth Module::flag(const Name& name) const {
    PyObject* found = peek(name);
    if (found == nullptr) return std::nullopt;
    // The values that flags hold: their truth is known without running any Python code.
    if (found == Py_True) return true;
    if (found == Py_False || found == Py_None) return false;
    Ref value = Ref::owning(found);
    return truth(value.get());
}

Ref Module::builtin(const Name& name) const {
    PyObject* key = name.get();
    if (key == nullptr) return {};
    PyObject* found = PyDict_GetItemWithError(namespace_dict(), key);
    if (found == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) found = PyDict_GetItemWithError(builtins, key);
    }
    if (found != nullptr) return Ref::owning(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
    return {};
}

Ref Module::imported(const Name& import_name, const Name& attribute_name) const {
    Ref bound = get(import_name);
    if (!bound) return {};
    return attribute(bound, attribute_name);
}

Ref Module::os_path(const Name& attribute_name) const {
    Ref path = imported(host::os, host::path);
    if (!path) return {};
    return attribute(path, attribute_name);
}

Truth Module::exists(PyObject* path) const {
    Ref result = call_os_path(host::exists, path);
    if (!result) return std::nullopt;
    return truth(result.get());
}

bool Module::print(const char* line) const {
    Ref message = text(line);
    if (!message) return false;
    return static_cast<bool>(call_builtin(host::print, message));
}

}  // namespace brivane

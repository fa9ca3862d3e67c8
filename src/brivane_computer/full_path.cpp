#include "full_path.hpp"

#include "host_names.hpp"

namespace brivane {
namespace {

Ref exact_path(const Ref& value, const char* what) {
    Ref exact = exact_str_or_bytes(value.get());
    if (!exact && !PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must return str or bytes", what);
    return exact;
}

// os.name, compared without running code of a str subclass.
Truth windows_rules(const Module& module) {
    Ref system = module.imported(host::os, host::name);
    if (!system) return std::nullopt;
    return PyUnicode_Check(system.get()) && PyUnicode_CompareWithASCIIString(system.get(), "nt") == 0;
}

bool is_path_object(PyObject* argument) {
    if (PyUnicode_Check(argument) || PyBytes_Check(argument)) return true;
    // Looked up on the type, as os.fspath does.
    Ref method = attribute(reinterpret_cast<PyObject*>(Py_TYPE(argument)), host::dunder_fspath);
    if (!method && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return static_cast<bool>(method);
}

bool is_empty(PyObject* path) { return (PyUnicode_Check(path) ? PyUnicode_GetLength(path) : PyBytes_Size(path)) == 0; }

}  // namespace

Ref read_path_once(const Module& module, PyObject* argument) {
    Ref value = module.call_imported(host::os, host::fspath, argument);
    if (!value) return {};
    return exact_path(value, "os.fspath");
}

Ref full_path(const Module& module, const Ref& path) {
    Truth windows = windows_rules(module);
    if (!windows) return {};
    if (*windows) {
        Ref full = module.call_os_path(host::abspath, path);
        return full ? exact_path(full, "os.path.abspath") : Ref{};
    }
    Ref absolute = module.call_os_path(host::isabs, path);
    if (!absolute) return {};
    Truth is_absolute = truth(absolute.get());
    if (!is_absolute) return {};
    if (*is_absolute) return path.copy();
    Ref current = module.call_imported(host::os, PyBytes_Check(path.get()) ? host::getcwdb : host::getcwd);
    if (!current) return {};
    Ref full = module.call_os_path(host::join, current, path);
    return full ? exact_path(full, "os.path.join") : Ref{};
}

Ref text_path(const Module& module, PyObject* argument) {
    if (!PyBytes_Check(argument)) return Ref::owning(argument);
    Ref exact = exact_str_or_bytes(argument);
    if (!exact) return {};
    Ref decoded = module.call_imported(host::os, host::fsdecode, exact);
    if (!decoded) return {};
    Ref text = exact_str_or_bytes(decoded.get());
    if (!text || !PyUnicode_Check(text.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "os.fsdecode must return str");
        return {};
    }
    return text;
}

Ref full_path_once(const Module& module, PyObject* argument) {
    if (!is_path_object(argument)) {
        if (PyErr_Occurred()) return {};
        return Ref::owning(argument);
    }
    Ref given = read_path_once(module, argument);
    if (!given) return {};
    Ref path = text_path(module, given.get());
    if (!path) return {};
    if (is_empty(path.get())) return path;
    return full_path(module, path);
}

}  // namespace brivane

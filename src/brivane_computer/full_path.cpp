#include "full_path.hpp"

#include "host_names.hpp"

namespace brivane {
namespace {

Raised raise_not_a_path(const char* what) {
    PyErr_Format(PyExc_TypeError, "%s must return str or bytes", what);
    return {};
}

// os.fspath(argument) as an exact str or bytes, or an empty Ref without an
// exception for an argument that is no path object.
Ref read_once(const Module& module, PyObject* argument) {
    if (PyUnicode_Check(argument) || PyBytes_Check(argument)) return exact_str_or_bytes(argument);
    // Looked up on the type, as os.fspath does.
    Ref method = attribute(reinterpret_cast<PyObject*>(Py_TYPE(argument)), host::dunder_fspath);
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        return {};
    }
    Ref given = module.call_host(host::os, host::fspath, argument);
    if (!given) return {};
    // As an exact str or bytes, so that no later step runs the caller's code.
    Ref value = exact_str_or_bytes(given.get());
    if (!value && !PyErr_Occurred()) return raise_not_a_path("os.fspath");
    return value;
}

bool is_empty(PyObject* path) {
    return (PyUnicode_Check(path) ? PyUnicode_GetLength(path) : PyBytes_Size(path)) == 0;
}

Ref made_full(const Module& module, const Ref& path) {
#ifdef _WIN32
    Ref full = module.call_os_path(host::abspath, path);
#else
    Ref current = module.call_host(host::os, PyUnicode_Check(path.get()) ? host::getcwd : host::getcwdb);
    if (!current) return {};
    Ref full = module.call_os_path(host::join, current, path);
#endif
    if (!full) return {};
    Ref value = exact_str_or_bytes(full.get());
    if (!value && !PyErr_Occurred()) return raise_not_a_path("os.path");
    return value;
}

}  // namespace

Ref full_path_once(const Module& module, PyObject* argument) {
    Ref path = read_once(module, argument);
    if (!path) {
        if (PyErr_Occurred()) return {};
        return Ref::owning(argument);
    }
    if (is_empty(path.get())) return path;
    return made_full(module, path);
}

}  // namespace brivane

#include "full_paths.hpp"

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
    Ref system = module.host(host::os, host::name);
    if (!system) return std::nullopt;
    return PyUnicode_Check(system.get()) && PyUnicode_CompareWithASCIIString(system.get(), "nt") == 0;
}

}  // namespace

Ref read_path_once(const Module& module, PyObject* argument) {
    Ref value = module.call_host(host::os, host::fspath, argument);
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
    Ref current = module.call_host(host::os, PyBytes_Check(path.get()) ? host::getcwdb : host::getcwd);
    if (!current) return {};
    Ref full = module.call_os_path(host::join, current, path);
    return full ? exact_path(full, "os.path.join") : Ref{};
}

}  // namespace brivane

// The module's namespace: its globals, the imports bound in it (the host's
// modules os, clr, json, ...) and its own functions, all looked up afresh at
// each use so that a script can replace any of them.
//
// Three things are called "module" in the product's words; here each has
// its own: the module is this extension, brivane_core (Module); an import is
// a host module that the module body binds in the namespace; a discipline is
// the product's module value, BrivaneModule.Pelorix or .Karvona of Brivane.SDK
// (sdk/bridge.hpp).
#pragma once

#include "calls.hpp"

namespace brivane {

class Module {
public:
    explicit Module(PyObject* module) noexcept : module_(module), namespace_(PyModule_GetDict(module)) {}

    PyObject* object() const noexcept { return module_; }

    // A module global; NameError when a script deleted it.
    Ref get(const Name& name) const;
    // The same global, borrowed: only for identity tests made before any
    // Python code can run (nullptr with NameError set when it is missing).
    PyObject* peek(const Name& name) const;
    bool set(const Name& name, PyObject* value) const;
    bool set(const Name& name, const Ref& value) const { return set(name, value.get()); }
    // The truth value of a global.
    Truth flag(const Name& name) const;

    // A built-in such as print or isinstance, unless the module namespace shadows it.
    Ref builtin(const Name& name) const;

    // An attribute of an import bound in the namespace (os.makedirs), or of
    // os.path (os.path.exists).
    Ref imported(const Name& import_name, const Name& attribute) const;
    Ref os_path(const Name& attribute) const;

    // Calls a module function (or a global callable) by its name.
    template <class... Args>
    Ref call(const Name& function, const Args&... args) const {
        Ref callable = get(function);
        if (!callable) return {};
        return brivane::call(callable, args...);
    }
    template <class... Args>
    Ref call_builtin(const Name& function, const Args&... args) const {
        Ref callable = builtin(function);
        if (!callable) return {};
        return brivane::call(callable, args...);
    }
    template <class... Args>
    Ref call_imported(const Name& import_name, const Name& function, const Args&... args) const {
        Ref callable = imported(import_name, function);
        if (!callable) return {};
        return brivane::call(callable, args...);
    }
    template <class... Args>
    Ref call_os_path(const Name& function, const Args&... args) const {
        Ref callable = os_path(function);
        if (!callable) return {};
        return brivane::call(callable, args...);
    }

    // os.path.exists(path) as a truth value.
    Truth exists(PyObject* path) const;
    // print(text) with the built-in (or shadowing) print.
    bool print(const char* line) const;

private:
    PyObject* namespace_dict() const noexcept { return namespace_; }
    PyObject* module_;     // borrowed: the function object being called keeps it alive
    PyObject* namespace_;  // borrowed: the module's own dict, which a module keeps for life
};

}  // namespace brivane

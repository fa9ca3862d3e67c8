// The module frame: loading rules, the module body and the module definition.
//
// The module is one per interpreter life: only the main interpreter loads it,
// into one module object, executed once. A re-import after the module was
// dropped from sys.modules hands back the same object with its state intact.
// When the interpreter ends, everything kept is released (state.hpp), so that
// an interpreter started again in the same process loads a fresh module.
#include <cctype>

#include "calls.hpp"
#include "errors.hpp"
#include "forks.hpp"
#include "function_table.hpp"
#include "module_globals.hpp"
#include "module_namespace.hpp"
#include "state.hpp"

namespace brivane {
namespace {

constexpr const char* qualified_name = "brivane_computer.brivane_core";
constexpr int abi_major = (Py_LIMITED_API >> 24) & 0xff;
constexpr int abi_minor = (Py_LIMITED_API >> 16) & 0xff;

// The State is one per process, so only one interpreter may use it: the main
// one, which CPython numbers 0 in every life of the process (the stable ABI
// has no PyInterpreterState_Main). Any other is refused before anything is
// recorded, so that a sub-interpreter that tries first locks no one out.
bool main_interpreter() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return false;
    if (interpreter == 0) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!main_interpreter()) return nullptr;
    forget_ended_interpreter();
    State& kept = state();
    if (kept.module) return kept.module.copy().release();

    Ref name = Ref::consuming(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::consuming(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    kept.module = module.copy();
    return module.release();
}

// Leading decimal digits of the version string's first two components.
bool runtime_version(int& major, int& minor) {
    const char* version = Py_GetVersion();
    int parts[2] = {0, 0};
    for (int& part : parts) {
        if (!std::isdigit(static_cast<unsigned char>(*version))) return false;
        while (std::isdigit(static_cast<unsigned char>(*version))) part = part * 10 + (*version++ - '0');
        while (*version != '\0' && *version != '.' && *version != ' ') ++version;
        if (*version == '.') ++version;
    }
    major = parts[0];
    minor = parts[1];
    return true;
}

bool check_runtime_version() {
    int major = 0, minor = 0;
    if (!runtime_version(major, minor) || (major == abi_major && minor == abi_minor)) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' does not match runtime version %d.%d",
                            abi_major, abi_minor, qualified_name, major, minor) == 0;
}

// Registers the module under its full name unless something is already there.
// The import system adds an extension module to sys.modules only after its
// execution; registered first, as a module of Python source is before its
// body runs, it is found by what the body's imports run (an import of the
// package, a bridge that looks its caller up) instead of being loaded twice.
// Returns false on error; `registered` tells whether this call added the entry.
bool register_module(PyObject* module, bool& registered) {
    registered = false;
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = text(qualified_name);
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    if (present) return true;
    if (PyDict_SetItem(modules, key.get(), module) < 0) return false;
    registered = true;
    return true;
}

void unregister_module(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = text(qualified_name);
    if (!key) return;
    PyObject* current = PyDict_GetItemWithError(modules, key.get());
    if (current == module) PyDict_DelItem(modules, key.get());
}

bool bind(PyObject* module, const char* name, const Ref& value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

// The bridge and COM modules come from packages that a script's environment may
// lack: their import error, raised unchanged, gets a note that names the package
// (on interpreters whose exceptions take notes). Any other failure stays as it is.
void note_missing_package(const char* name, const char* note) {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    PendingError error = PendingError::fetch();
    Ref missing = Ref::consuming(PyObject_GetAttrString(error.value(), "name"));
    if (missing && PyUnicode_Check(missing.get()) && PyUnicode_CompareWithASCIIString(missing.get(), name) == 0) {
        Ref add_note = Ref::consuming(PyObject_GetAttrString(error.value(), "add_note"));
        Ref message = add_note ? text(note) : Ref();
        if (message) call(add_note, message);
    }
    PyErr_Clear();  // a note that could not be added leaves the error as it was
    error.restore();
}

bool bind_imports(PyObject* module) {
    Ref enum_module = Ref::consuming(PyImport_ImportModule("enum"));
    if (!enum_module || !bind(module, "Enum", Ref::consuming(PyObject_GetAttrString(enum_module.get(), "Enum")))) {
        return false;
    }
    struct Import {
        const char* name;
        const char* note;
    };
    constexpr Import imports[] = {
        {"os", nullptr},
        {"clr", "brivane_computer needs the CLR bridge 'clr' of the package pythonnet: pip install pythonnet"},
        {"ctypes", nullptr},
        {"pythoncom", "brivane_computer needs the COM module 'pythoncom' of the package pywin32: pip install pywin32"},
        {"json", nullptr},
        {"threading", nullptr},
        {"shutil", nullptr},
        {"tempfile", nullptr},
        {"uuid", nullptr},
    };
    for (const Import& bound : imports) {
        Ref imported = Ref::consuming(PyImport_ImportModule(bound.name));
        if (!imported && bound.note != nullptr) note_missing_package(bound.name, bound.note);
        if (!bind(module, bound.name, imported)) return false;
    }
    return true;
}

Ref make_enumeration(PyObject* module) {
    Ref base = Ref::consuming(PyObject_GetAttrString(module, "Enum"));
    if (!base) return {};
    Ref members = Ref::consuming(Py_BuildValue("[(si)(si)(si)]", "All", -1, "Pelorix", 0, "Karvona", 1));
    if (!members) return {};
    Ref positional = Ref::consuming(Py_BuildValue("(sO)", "BrivaneModule", members.get()));
    if (!positional) return {};
    Ref keywords = Ref::consuming(Py_BuildValue("{ssss}", "module", qualified_name, "qualname", "BrivaneModule"));
    if (!keywords) return {};
    Ref enumeration = Ref::consuming(PyObject_Call(base.get(), positional.get(), keywords.get()));
    // Some interpreters give functional enumerations a default docstring; this one has none.
    if (!enumeration || PyObject_SetAttrString(enumeration.get(), "__doc__", Py_None) < 0) return {};
    return enumeration;
}

bool bind_globals(PyObject* module) {
    const Module names(module);
    struct Initial {
        const Name& name;
        Ref value;
    };
    Initial initial[] = {
        {globals::validSetup, boolean(false)},
        {globals::validPelorix, boolean(false)},
        {globals::validKarvona, boolean(false)},
        {globals::settingsPath, text(globals::default_settings_path)},
        {globals::dataSourcesPath, text(globals::default_data_sources_path)},
        {globals::cultureInfo, none()},
        {globals::exePath, none()},
        {globals::dllPath, none()},
        {globals::revav, none()},
        {globals::quelbar, none()},
        {globals::dlls, Ref::consuming(PyList_New(0))},
        {globals::solution, none()},
        {globals::dataPath, none()},
        {globals::projectPath, none()},
        {globals::application, none()},
        {globals::commandController, none()},
        {globals::tempDirectory, none()},
    };
    for (const Initial& global : initial) {
        if (!global.value || !names.set(global.name, global.value)) return false;
    }
    return true;
}

bool bind_functions(PyObject* module) {
    Ref module_name = text(qualified_name);
    if (!module_name) return false;
    for (PyMethodDef* definition : module_functions()) {
        if (!bind(module, definition->ml_name,
                  Ref::consuming(PyCFunction_NewEx(definition, module, module_name.get())))) {
            return false;
        }
    }
    return true;
}

bool run_module_body(PyObject* module) {
    return bind_imports(module) && bind(module, "BrivaneModule", make_enumeration(module)) && bind_globals(module) &&
           bind_functions(module);
}

// The one release point (state.hpp), registered once per interpreter life by
// the execution that succeeded. Called by atexit while the interpreter can
// still run Python code (never from Py_AtExit, which runs after the objects
// are gone).
PyObject* release_at_exit(PyObject*, PyObject*) {
    if (!release_state()) return nullptr;
    return none().release();
}

PyMethodDef release_definition = {"release_state", release_at_exit, METH_NOARGS, nullptr};

// At the very end of the interpreter's finalisation, touching no object:
// whatever is kept then belongs to an ended interpreter. An import made while
// atexit ran its callbacks registers a release that never runs; this tells
// the next interpreter not to hand back that dead module.
void mark_ended() { state().ended = true; }

bool register_release_at_exit() {
    Ref atexit = Ref::consuming(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref callback = Ref::consuming(PyCFunction_NewEx(&release_definition, nullptr, nullptr));
    if (!callback) return false;
    if (!Ref::consuming(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()))) return false;
    if (Py_AtExit(&mark_ended) == 0) return true;
    PyErr_SetString(PyExc_ImportError, "brivane_core: no room left for an exit function (Py_AtExit)");
    return false;
}

int execute_module(PyObject* module) {
    State& kept = state();
    if (kept.executed) {
        if (module == kept.module.get()) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'brivane_core' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    bool registered = false;
    if (!check_runtime_version() || !forks::watch() || !register_module(module, registered) ||
        !run_module_body(module) || !register_release_at_exit()) {
        // Forget the half-built module so that a later import starts afresh.
        if (registered) {
            PendingError error = PendingError::fetch();
            unregister_module(module);
            error.restore_unless_replaced();
        }
        if (module == kept.module.get()) kept.module = Ref();
        return -1;
    }
    kept.executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    qualified_name,
    nullptr,  // no module docstring
    0,        // no state block: the globals live in the namespace, what is kept between calls in the State
    nullptr,  // functions are bound by the module body, in its order
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brivane

PyMODINIT_FUNC PyInit_brivane_core(void) { return PyModuleDef_Init(&brivane::module_definition); }

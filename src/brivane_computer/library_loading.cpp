// load_dll and load_dll_c: load a product assembly or a native library by
// file name, once per process, from the Extensions folder or else from the
// installation folder.
#include "arguments.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "guards.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"

namespace brivane {
namespace {

enum class Loader { Assembly, Native };

// dllname joined to the folder held in `folder_global`.
Ref path_in(const Module& module, const Name& folder_global, PyObject* dllname) {
    Ref folder = module.get(folder_global);
    if (!folder) return {};
    return module.call_os_path(host::join, folder, dllname);
}

bool load_from(const Module& module, Loader loader, const Ref& path) {
    Ref loaded = loader == Loader::Assembly ? module.call_imported(host::clr, host::AddReference, path)
                                            : module.call_imported(host::ctypes, host::CDLL, path);
    return static_cast<bool>(loaded);
}

Ref load_library(const Module& module, Loader loader, PyObject* given_name) {
    if (!check_guard(module, Guard::Setup)) return {};
    Ref name = text_path(module, given_name);
    if (!name) return {};
    PyObject* dllname = name.get();

    // The record is read afresh and only ever appended to, after a load succeeded.
    Ref loaded = module.get(globals::dlls);
    if (!loaded) return {};
    const int known = PySequence_Contains(loaded.get(), dllname);
    if (known < 0) return {};
    if (known) return none();

    Ref path = path_in(module, globals::dllPath, dllname);
    if (!path) return {};
    Truth found = module.exists(path.get());
    if (!found) return {};
    if (!*found) {
        path = path_in(module, globals::exePath, dllname);
        if (!path) return {};
        found = module.exists(path.get());
        if (!found) return {};
        if (!*found) return raise_with_message(PyExc_FileNotFoundError, "DLL '", dllname, "' not found.");
    }
    if (!load_from(module, loader, path)) return {};

    loaded = module.get(globals::dlls);
    if (!loaded) return {};
    Ref appended = call_method(loaded, host::append, dllname);
    if (!appended) return {};

    Ref line = Ref::consuming(PyUnicode_FromFormat("%S loaded", dllname));
    if (!line || !module.call_builtin(host::print, line)) return {};
    return none();
}

constexpr Signature<1> load_dll_signature{"load_dll", {"dllname"}};
Ref load_dll(Module module, const Arguments<1>& arguments) {
    return load_library(module, Loader::Assembly, arguments[0]);
}

constexpr Signature<1> load_dll_c_signature{"load_dll_c", {"dllname"}};
Ref load_dll_c(Module module, const Arguments<1>& arguments) {
    return load_library(module, Loader::Native, arguments[0]);
}

}  // namespace

PyMethodDef load_dll_function = define_function<load_dll_signature, load_dll>(
    "load_dll(dllname)\n"
    "\n"
    "Load a .NET DLL from assembly name.");

PyMethodDef load_dll_c_function = define_function<load_dll_c_signature, load_dll_c>(
    "load_dll_c(dllname)\n"
    "\n"
    "Load a C++ DLL from name.\n"
    "For internal use only.");

}  // namespace brivane

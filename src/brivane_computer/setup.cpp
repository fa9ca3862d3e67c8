// setup_brivane_computer: binds the module to one installed copy of the product.
#include "arguments.hpp"
#include "errors.hpp"
#include "full_path.hpp"
#include "function_table.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/bridge.hpp"
#include "sdk/product.hpp"

namespace brivane {
namespace {

// with open(path, "r", encoding="utf-8") as f: return json.load(f)
Ref read_json_file(const Module& module, PyObject* path) {
    Ref open = module.builtin(host::open);
    if (!open) return {};
    Ref mode = text("r");
    if (!mode) return {};
    Ref utf8 = text("utf-8");
    if (!utf8) return {};
    Ref manager = call_with_keywords(open.get(), {path, mode.get()}, {{&host::encoding, utf8.get()}});
    if (!manager) return {};
    Ref exit = attribute(manager, host::exit);
    if (!exit) return {};
    Ref file = call_method(manager, host::enter);
    if (!file) return {};

    Ref document = module.call_imported(host::json, host::load, file);
    if (!document) {
        // The file is closed on the way out; an error while closing takes over, as in a with block.
        PendingError error = PendingError::fetch();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.value()));
        Ref traceback = Ref::consuming(PyException_GetTraceback(error.value()));
        Ref closed = call(exit, type, error.value(), traceback ? traceback.get() : Py_None);
        error.restore_unless_replaced();
        return {};
    }
    if (!call(exit, Py_None, Py_None, Py_None)) return {};
    return document;
}

// Reads a settings file and stores the two values that `lookup` finds in it.
bool read_settings(const Module& module, const Name& path_global, const Name& lookup, const Name& first,
                   const Name& second) {
    Ref path = module.get(path_global);
    if (!path) return false;
    Ref document = read_json_file(module, path.get());
    if (!document) return false;
    Ref found = module.call(lookup, document);
    if (!found) return false;
    Ref first_value, second_value;
    return unpack_pair(found.get(), first_value, second_value) && module.set(first, first_value) &&
           module.set(second, second_value);
}

bool require_existing(const Module& module, PyObject* path) {
    Truth found = module.exists(path);
    if (!found) return false;
    if (!*found) return raise_with_message(PyExc_FileNotFoundError, "The directory '", path, "' does not exist.");
    return true;
}

bool require_existing_global(const Module& module, const Name& path_global) {
    Ref path = module.get(path_global);
    return path && require_existing(module, path.get());
}

// The calling thread's .NET cultures become "en-US".
bool apply_culture(const Module& module) {
    if (!sdk::reference_core_library(module)) return false;
    Ref culture_info = sdk::import_class(module, sdk::ns::globalization, sdk::cls::CultureInfo);
    if (!culture_info) return false;
    Ref thread = sdk::import_class(module, sdk::ns::threading, sdk::cls::Thread);
    if (!thread) return false;
    Ref culture_name = text(sdk::culture_name);
    if (!culture_name) return false;
    Ref culture = call(culture_info, culture_name);
    return culture && module.set(globals::cultureInfo, culture) && sdk::apply_set_up_culture(module, thread);
}

bool create_application(const Module& module) {
    if (!sdk::load_assemblies(module, {&sdk::assembly::sdk})) return false;
    Ref application_class = sdk::import_class(module, sdk::ns::sdk, sdk::cls::BrivaneApplication);
    if (!application_class) return false;
    Ref application = call(application_class);
    if (!application || !module.set(globals::application, application)) return false;

    if (!sdk::load_assemblies(module, {&sdk::assembly::pelorix_core})) return false;
    Ref controller_class = sdk::import_class(module, sdk::ns::pelorix_core, sdk::cls::CommandController);
    if (!controller_class) return false;
    Ref controller = call(controller_class);
    if (!controller || !module.set(globals::commandController, controller)) return false;
    controller = module.get(globals::commandController);
    application = module.get(globals::application);
    return controller && application && call_method(controller, sdk::member::SetApplication, application);
}

// Steps that replace the installation's values, from _exePath_ to the three
// flags; the result is the value of _validSetup_ at the end.
Ref bind_installation(const Module& module, PyObject* installation) {
    if (!module.set(globals::exePath, installation)) return {};
    PyObject* extensions_folder = sdk::extensions_folder.get();
    if (!extensions_folder) return {};
    Ref extensions = module.call_os_path(host::join, installation, extensions_folder);
    if (!extensions || !module.set(globals::dllPath, extensions)) return {};

    // Both documents are read completely before any assembly is loaded.
    if (!read_settings(module, globals::settingsPath, functions::FindSolverPaths, globals::revav, globals::quelbar) ||
        !read_settings(module, globals::dataSourcesPath, functions::FindDataProjectPaths, globals::dataPath,
                       globals::projectPath)) {
        return {};
    }

    if (!module.set(globals::validSetup, Py_False)) return {};
    Ref dll_path = module.get(globals::dllPath);
    if (!dll_path) return {};
    Truth has_extensions = module.exists(dll_path.get());
    if (!has_extensions) return {};
    if (*has_extensions) {
        // load_dll applies the set-up guard, so the flag goes up before the first load.
        if (!module.set(globals::validSetup, Py_True) || !create_application(module)) return {};
        for (const Name* flag : {&globals::validSetup, &globals::validPelorix, &globals::validKarvona}) {
            if (!module.set(*flag, Py_True)) return {};
        }
    }
    return module.get(globals::validSetup);
}

// A set-up that failed after it began to replace the installation's values
// leaves a mixture of two installations, or an application that was never
// made: the guarded functions must refuse to run on it. The exception goes
// on, as from a finally block.
void disarm(const Module& module) {
    PendingError error = PendingError::fetch();
    module.set(globals::validSetup, Py_False);
    error.restore_unless_replaced();
}

// The first tempfile.gettempdir() of a process takes a lock that an interrupt
// at the wrong step leaves held, and every later caller then waits for ever:
// made here, that first call is never a sandboxed solve's. An ordinary error
// (no usable temporary folder) is left for a sandboxed solve to raise.
bool look_up_temporary_folder(const Module& module) {
    if (module.call_imported(host::tempfile, host::gettempdir)) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

constexpr Signature<2> setup_signature{"setup_brivane_computer", {"pelorix_installation_directory", "brivaneModule"}};

// The module value is accepted as it is: every set-up enables both the piping
// and the structure functions.
Ref setup_brivane_computer(Module module, const Arguments<2>& arguments) {
    Ref installation_text = text_path(module, arguments[0]);
    if (!installation_text) return {};
    PyObject* installation = installation_text.get();
    if (!look_up_temporary_folder(module) || !apply_culture(module)) return {};

    // Failures up to here change none of the installation's values: an earlier set-up stays usable.
    if (!require_existing(module, installation) || !require_existing_global(module, globals::settingsPath) ||
        !require_existing_global(module, globals::dataSourcesPath)) {
        return {};
    }

    Ref result = bind_installation(module, installation);
    if (!result) disarm(module);
    return result;
}

}  // namespace

PyMethodDef setup_brivane_computer_function = define_function<setup_signature, setup_brivane_computer>(
    "setup_brivane_computer(pelorix_installation_directory, brivaneModule)\n"
    "\n"
    "Setup the Brivane Computer by defining its installation's directory and the module to use.\n"
    "Example : \n"
    "\n"
    "   import brivane_computer as bc\n"
    "   valid = bc.setup_brivane_computer(\"C:\\Program Files\\Brivane\\Pelorix 20XX.Y\", bc.BrivaneModule.Pelorix)\n"
    "\n"
    "brivaneModule can be:\n"
    "- bc.BrivaneModule.All\n"
    "- bc.BrivaneModule.Pelorix\n"
    "- bc.BrivaneModule.Karvona");

}  // namespace brivane

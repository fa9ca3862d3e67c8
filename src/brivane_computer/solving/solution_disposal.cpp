// disposeSolution: releases the last solution, then deletes the last sandbox
// folder when the module made it, and retries folders whose deletion failed.
#include "arguments.hpp"
#include "errors.hpp"
#include "function_table.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/product.hpp"
#include "solving/made_folders.hpp"

namespace brivane {
namespace {

bool dispose_last_solution(const Module& module) {
    PyObject* current = module.peek(globals::solution);
    if (current == nullptr) return false;
    // None != None is false without running any Python code.
    if (current == Py_None) return true;
    Ref solution = Ref::take(current);
    Truth present = differs(solution.get(), Py_None);
    if (!present) return false;
    if (!*present) return true;
    solution = module.get(globals::solution);
    if (!solution || !call_method(solution, sdk::member::Dispose)) return false;
    return module.set(globals::solution, Py_None);
}

// Deletes `folder` when it names a folder.
bool delete_folder(const Module& module, PyObject* folder) {
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return false;
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return false;
    return !*folder_exists || module.call_host(host::shutil, host::rmtree, folder);
}

// Deletes one of the module's own folders. It stays pending from the first
// attempt until it is gone, so that an interrupted or failed deletion is
// taken up again by a later call. An ordinary error is reported and the call
// goes on; anything else (an interrupt) stops it.
bool delete_own_folder(const Module& module, const Ref& folder) {
    if (!made_folders::add_pending(folder)) return false;
    if (delete_folder(module, folder.get())) return made_folders::drop_pending(folder.get());
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PendingError error = PendingError::fetch();
    Ref message = text("Impossible to delete temp directory :");
    return message && module.call_builtin(host::print, message, error.value());
}

constexpr Signature<0> dispose_solution_signature{"disposeSolution", {}};
Ref dispose_solution(Module module, const Arguments<0>&) {
    // The solution first: it may hold files of the sandbox open.
    if (!dispose_last_solution(module)) return {};
    // Whatever _tempDirectory_ holds, only a folder the module made is deleted.
    Ref retried = made_folders::pending();
    PyObject* named = module.peek(globals::tempDirectory);
    if (!retried || named == nullptr) return {};
    Ref sandbox = made_folders::take_named(named);
    if (sandbox && !delete_own_folder(module, sandbox)) return {};
    for (Py_ssize_t i = 0; i < PyTuple_Size(retried.get()); ++i) {
        if (!delete_own_folder(module, Ref::take(PyTuple_GetItem(retried.get(), i)))) return {};
    }
    return none();
}

}  // namespace

PyMethodDef disposeSolution_function = define_function<dispose_solution_signature, dispose_solution>(
    "disposeSolution()\n"
    "\n"
    "Close the solution file and free the memory.");

}  // namespace brivane

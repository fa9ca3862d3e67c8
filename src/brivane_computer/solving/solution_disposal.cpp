// disposeSolution: releases the last solution, then deletes the last sandbox folder.
#include "arguments.hpp"
#include "errors.hpp"
#include "function_table.hpp"
#include "host_names.hpp"
#include "module_globals.hpp"
#include "sdk/product.hpp"

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

bool delete_sandbox(const Module& module) {
    PyObject* recorded_folder = module.peek(globals::tempDirectory);
    if (recorded_folder == nullptr) return false;
    // None is false without running any Python code.
    if (recorded_folder == Py_None) return true;
    Ref folder = Ref::take(recorded_folder);
    Truth recorded = truth(folder.get());
    if (!recorded) return false;
    return !*recorded || delete_folder(module, folder.get());
}

// After a deletion failed: an ordinary error is reported and the call goes on;
// anything else (an interrupt) stops it.
bool report_failed_deletion(const Module& module) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PendingError error = PendingError::fetch();
    Ref message = text("Impossible to delete temp directory :");
    return message && module.call_builtin(host::print, message, error.value());
}

// Earlier sandboxes that a new sandboxed solve replaced in _tempDirectory_
// while they could not be deleted: each is tried again and kept until it goes.
bool delete_pending_sandboxes(const Module& module) {
    Ref pending = module.find(globals::pendingTempDirectories);
    if (!pending) return !PyErr_Occurred();
    Ref folders = Ref::steal(PySequence_List(pending.get()));
    Ref remaining = Ref::steal(PyList_New(0));
    if (!folders || !remaining) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(folders.get()); ++i) {
        Ref folder = Ref::take(PyList_GetItem(folders.get(), i));
        if (delete_folder(module, folder.get())) continue;
        if (!report_failed_deletion(module) || PyList_Append(remaining.get(), folder.get()) < 0) return false;
    }
    return PySequence_SetSlice(pending.get(), 0, PY_SSIZE_T_MAX, remaining.get()) == 0;
}

constexpr Signature<0> dispose_solution_signature{"disposeSolution", {}};
Ref dispose_solution(Module module, const Arguments<0>&) {
    // The solution first: it may hold files of the sandbox open.
    if (!dispose_last_solution(module)) return {};
    if (!delete_sandbox(module) && !report_failed_deletion(module)) return {};
    if (!delete_pending_sandboxes(module)) return {};
    return none();
}

}  // namespace

PyMethodDef disposeSolution_function = define_function<dispose_solution_signature, dispose_solution>(
    "disposeSolution()\n"
    "\n"
    "Close the solution file and free the memory.");

}  // namespace brivane

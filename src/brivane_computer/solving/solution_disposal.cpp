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
    Ref solution = module.get(globals::solution);
    if (!solution) return false;
    Truth present = differs(solution.get(), Py_None);
    if (!present) return false;
    if (!*present) return true;
    solution = module.get(globals::solution);
    if (!solution || !call_method(solution, sdk::member::Dispose)) return false;
    return module.set(globals::solution, Py_None);
}

bool delete_sandbox(const Module& module) {
    Ref folder = module.get(globals::tempDirectory);
    if (!folder) return false;
    Truth recorded = truth(folder.get());
    if (!recorded) return false;
    if (!*recorded) return true;
    Ref is_folder = module.call_os_path(host::isdir, folder);
    if (!is_folder) return false;
    Truth folder_exists = truth(is_folder.get());
    if (!folder_exists) return false;
    if (!*folder_exists) return true;
    return static_cast<bool>(module.call_host(host::shutil, host::rmtree, folder));
}

constexpr Signature<0> dispose_solution_signature{"disposeSolution", {}};
Ref dispose_solution(Module module, const Arguments<0>&) {
    // The solution first: it may hold files of the sandbox open.
    if (!dispose_last_solution(module)) return {};
    if (!delete_sandbox(module)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PendingError error = PendingError::fetch();
        Ref message = text("Impossible to delete temp directory :");
        if (!message || !module.call_builtin(host::print, message, error.value())) return {};
    }
    return none();
}

}  // namespace

PyMethodDef disposeSolution_function = define_function<dispose_solution_signature, dispose_solution>(
    "disposeSolution()\n"
    "\n"
    "Close the solution file and free the memory.");

}  // namespace brivane

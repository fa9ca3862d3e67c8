// disposeSolution: releases the last solution, then deletes the last sandbox
// folder when the module made it, and retries folders whose deletion failed
// or had to wait for a solver run.
#include "arguments.hpp"
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
    Ref solution = Ref::owning(current);
    Truth present = differs(solution.get(), Py_None);
    if (!present) return false;
    if (!*present) return true;
    solution = module.get(globals::solution);
    if (!solution || !call_method(solution, sdk::member::Dispose)) return false;
    return module.set(globals::solution, Py_None);
}

constexpr Signature<0> dispose_solution_signature{"disposeSolution", {}};
Ref dispose_solution(Module module, const Arguments<0>&) {
    // The solution first: it may hold files of the sandbox open.
    if (!dispose_last_solution(module)) return {};
    Ref named = module.get(globals::tempDirectory);
    if (!named || !made_folders::delete_named_and_pending(module, named.get())) return {};
    return none();
}

}  // namespace

PyMethodDef disposeSolution_function = define_function<dispose_solution_signature, dispose_solution>(
    "disposeSolution()\n"
    "\n"
    "Close the solution file and free the memory.");

}  // namespace brivane

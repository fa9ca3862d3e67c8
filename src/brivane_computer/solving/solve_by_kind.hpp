// Solving a loaded model by its kind: solve hands its model over here.
#pragma once

#include "module_namespace.hpp"

namespace brivane {

// Hands a loaded model to the solving function of its kind (solvePipingModel
// or solveStructureModel, through the module namespace); the result is
// _Solution_, or None for a model of neither kind.
Ref solve_by_kind(const Module& module, PyObject* model, PyObject* model_file, PyObject* solver_name, PyObject* folder);

}  // namespace brivane

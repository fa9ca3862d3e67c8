// The module's functions, each defined in the file of its concern, and the
// order in which the module body binds them.
#pragma once

#include <span>

#include "handles.hpp"

namespace brivane {

// set-up, library loading and settings lookups
extern PyMethodDef setup_brivane_computer_function;
extern PyMethodDef load_dll_function;
extern PyMethodDef load_dll_c_function;
extern PyMethodDef FindSolverPaths_function;
extern PyMethodDef FindDataProjectPaths_function;
// model documents
extern PyMethodDef loadVokel_function;
extern PyMethodDef saveVokel_function;
extern PyMethodDef getVokel_function;
extern PyMethodDef createVokel_function;
extern PyMethodDef createPipingVokel_function;
extern PyMethodDef createStructureVokel_function;
// solving
extern PyMethodDef solve_function;
extern PyMethodDef disposeSolution_function;
extern PyMethodDef solvePipingModel_function;
extern PyMethodDef solveStructureModel_function;
extern PyMethodDef QuelbarSolve_function;
extern PyMethodDef RevavSolve_function;
extern PyMethodDef find_first_file_function;
extern PyMethodDef copyDirectoryToTemp_function;
extern PyMethodDef inspectClass_function;
extern PyMethodDef findNameSpaceAndAssembly_function;
extern PyMethodDef writeFreFile_function;
extern PyMethodDef createCommand_function;
extern PyMethodDef executeCommand_function;
// projects and studies
extern PyMethodDef addProjectFolder_function;
extern PyMethodDef removeProjectFolder_function;
extern PyMethodDef addProject_function;
extern PyMethodDef addPipingProject_function;
extern PyMethodDef addStructureProject_function;
extern PyMethodDef removeProject_function;
extern PyMethodDef addStudy_function;
extern PyMethodDef addPipingStudy_function;
extern PyMethodDef addStructureStudy_function;
extern PyMethodDef removeStudy_function;
extern PyMethodDef duplicateStudy_function;

// In the order the module body binds them.
std::span<PyMethodDef* const> module_functions();

}  // namespace brivane

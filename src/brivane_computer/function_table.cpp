#include "function_table.hpp"

#include <array>

namespace brivane {

std::span<PyMethodDef* const> module_functions() {
    static const std::array<PyMethodDef*, 35> table{
        &setup_brivane_computer_function,
        &load_dll_function,
        &load_dll_c_function,
        &FindSolverPaths_function,
        &FindDataProjectPaths_function,
        &loadVokel_function,
        &saveVokel_function,
        &getVokel_function,
        &createVokel_function,
        &createPipingVokel_function,
        &createStructureVokel_function,
        &solve_function,
        &disposeSolution_function,
        &solvePipingModel_function,
        &solveStructureModel_function,
        &QuelbarSolve_function,
        &RevavSolve_function,
        &find_first_file_function,
        &copyDirectoryToTemp_function,
        &inspectClass_function,
        &findNameSpaceAndAssembly_function,
        &writeFreFile_function,
        &createCommand_function,
        &executeCommand_function,
        &addProjectFolder_function,
        &removeProjectFolder_function,
        &addProject_function,
        &addPipingProject_function,
        &addStructureProject_function,
        &removeProject_function,
        &addStudy_function,
        &addPipingStudy_function,
        &addStructureStudy_function,
        &removeStudy_function,
        &duplicateStudy_function,
    };
    return table;
}

}  // namespace brivane

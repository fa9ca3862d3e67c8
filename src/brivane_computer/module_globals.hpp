// Names of the module globals that hold the module's state.
#pragma once

#include "names.hpp"

namespace brivane::globals {

inline constinit Name validSetup{"_validSetup_"};
inline constinit Name validPelorix{"_validPelorix_"};
inline constinit Name validKarvona{"_validKarvona_"};
inline constinit Name settingsPath{"_settingsPath_"};
inline constinit Name dataSourcesPath{"_dataSourcesPath_"};
inline constinit Name cultureInfo{"_CultureInfo_"};
inline constinit Name exePath{"_exePath_"};
inline constinit Name dllPath{"_dllPath_"};
inline constinit Name revav{"_Revav_"};
inline constinit Name quelbar{"_Quelbar_"};
inline constinit Name dlls{"_dlls_"};
inline constinit Name solution{"_Solution_"};
inline constinit Name dataPath{"_dataPath_"};
inline constinit Name projectPath{"_projectPath_"};
inline constinit Name application{"_Application_"};
inline constinit Name commandController{"_commandController_"};
inline constinit Name tempDirectory{"_tempDirectory_"};

inline constexpr const char* default_settings_path = "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\Pelorix.settings";
inline constexpr const char* default_data_sources_path =
    "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\DataSources.settings";

}  // namespace brivane::globals

namespace brivane::functions {

// Module functions that other functions call through the namespace.
inline constinit Name load_dll{"load_dll"};
inline constinit Name FindSolverPaths{"FindSolverPaths"};
inline constinit Name FindDataProjectPaths{"FindDataProjectPaths"};
inline constinit Name loadVokel{"loadVokel"};
inline constinit Name writeFreFile{"writeFreFile"};
inline constinit Name find_first_file{"find_first_file"};
inline constinit Name createVokel{"createVokel"};
inline constinit Name disposeSolution{"disposeSolution"};
inline constinit Name solvePipingModel{"solvePipingModel"};
inline constinit Name solveStructureModel{"solveStructureModel"};
inline constinit Name QuelbarSolve{"_QuelbarSolve"};
inline constinit Name RevavSolve{"_RevavSolve"};
inline constinit Name addProject{"addProject"};
inline constinit Name addStudy{"addStudy"};

}  // namespace brivane::functions

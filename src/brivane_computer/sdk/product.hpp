// Every name through which the module reaches the product: assembly files,
// .NET namespaces, classes, members and the keys of the product's settings.
// Other files quote product names only in the module's own texts (messages,
// docstrings, the default settings paths) and in the file-name rules of model
// and project folders; nothing that calls the product spells a name itself.
#pragma once

#include "names.hpp"

namespace brivane::sdk {

namespace assembly {
inline constinit Name sdk{"Brivane.SDK.dll"};
inline constinit Name helper{"Brivane.Helper.dll"};
inline constinit Name pelorix_core{"Brivane.Pelorix.Core.dll"};
inline constinit Name pelorix_project{"Brivane.Pelorix.Project.dll"};
inline constinit Name quelbar_core{"Brivane.Quelbar.Core.dll"};
inline constinit Name revav_core{"Brivane.Revav.Core.dll"};
// The .NET core library, referenced by name rather than by file.
inline constinit Name core_library{"mscorlib"};
}  // namespace assembly

// The native solver library, which lies in the installation's Extensions folder.
inline constinit Name native_solver_library{"Brivane.Quelbar.lib"};
inline constinit Name extensions_folder{"Extensions"};

namespace ns {
inline constinit Name sdk{"Brivane.SDK"};
inline constinit Name pelorix_core{"Brivane.Pelorix.Core"};
inline constinit Name pelorix_project{"Brivane.Pelorix.Project"};
inline constinit Name quelbar_core{"Brivane.Quelbar.Core"};
inline constinit Name revav_core{"Brivane.Revav.Core"};
inline constinit Name globalization{"System.Globalization"};
inline constinit Name threading{"System.Threading"};
inline constinit Name windows{"System.Windows"};
}  // namespace ns

namespace cls {
inline constinit Name BrivaneApplication{"BrivaneApplication"};
inline constinit Name BrivaneModule{"BrivaneModule"};
inline constinit Name BrivaneClassInspector{"BrivaneClassInspector"};
inline constinit Name Model{"Model"};
inline constinit Name Layer{"Layer"};
inline constinit Name PipingCode{"PipingCode"};
inline constinit Name StructureCode{"StructureCode"};
inline constinit Name CommandController{"CommandController"};
inline constinit Name CustomCommand{"CustomCommand"};
inline constinit Name QBLibrary{"QBLibrary"};
inline constinit Name Solution{"Solution"};
inline constinit Name ProjectViewModel{"ProjectViewModel"};
inline constinit Name QuelbarSolver{"QuelbarSolver"};
inline constinit Name RevavSolver{"RevavSolver"};
inline constinit Name CultureInfo{"CultureInfo"};
inline constinit Name Thread{"Thread"};
inline constinit Name Point{"Point"};
}  // namespace cls

namespace member {
// Brivane.SDK
inline constinit Name GetSettingsController{"GetSettingsController"};
inline constinit Name GetSettingValue{"GetSettingValue"};
inline constinit Name Pelorix{"Pelorix"};
inline constinit Name Karvona{"Karvona"};
inline constinit Name ExportObjectToJson{"ExportObjectToJson"};
inline constinit Name FindNamespaceAndAssemblyFromClassName{"FindNamespaceAndAssemblyFromClassName"};
inline constinit Name Item1{"Item1"};
inline constinit Name Item2{"Item2"};
// Brivane.Pelorix.Core
inline constinit Name LoadFromFile{"LoadFromFile"};
inline constinit Name SaveToFile{"SaveToFile"};
inline constinit Name Layers{"Layers"};
inline constinit Name Add{"Add"};
inline constinit Name WriteFreFile{"WriteFreFile"};
inline constinit Name CalculationCode{"CalculationCode"};
inline constinit Name SetApplication{"SetApplication"};
inline constinit Name model{"model"};
inline constinit Name AddCommand{"AddCommand"};
inline constinit Name NeedToReloadModelAfterCommand{"NeedToReloadModelAfterCommand"};
inline constinit Name NeedToSaveModelAfterCommand{"NeedToSaveModelAfterCommand"};
inline constinit Name Initialize{"Initialize"};
inline constinit Name Dispose{"Dispose"};
// Brivane.Pelorix.Project
inline constinit Name CreateNewProject{"CreateNewProject"};
inline constinit Name GetStudy{"GetStudy"};
inline constinit Name AddEmptyStudy{"AddEmptyStudy"};
inline constinit Name SetCurrentStudy{"SetCurrentStudy"};
inline constinit Name DeleteCurrentStudy{"DeleteCurrentStudy"};
inline constinit Name DuplicateCurrentStudy{"DuplicateCurrentStudy"};
inline constinit Name GetCurrentStudyName{"GetCurrentStudyName"};
inline constinit Name RenameCurrentStudy{"RenameCurrentStudy"};
// the solvers
inline constinit Name IgnoreWarnings{"IgnoreWarnings"};
inline constinit Name Run{"Run"};
inline constinit Name GetAnalysisModel{"GetAnalysisModel"};
inline constinit Name BuildAnalysisModel{"BuildAnalysisModel"};
// System.Threading
inline constinit Name CurrentThread{"CurrentThread"};
inline constinit Name CurrentCulture{"CurrentCulture"};
inline constinit Name CurrentUICulture{"CurrentUICulture"};
}  // namespace member

// The solver names a script passes to solve and solvePipingModel.
inline constexpr const char* revav_solver = "Revav";
inline constexpr const char* quelbar_solver = "Quelbar";

// The culture that set-up gives the calling thread and the Revav run its worker.
inline constexpr const char* culture_name = "en-US";

// Keys of the product's settings document and data-sources document.
namespace settings {
inline constexpr const char* families = "Families";
inline constexpr const char* sub_families = "SubFamilies";
inline constexpr const char* settings = "Settings";
inline constexpr const char* name = "Name";
inline constexpr const char* value = "Value";
inline constexpr const char* current_data_directory = "CurrentDatasDirectory";
inline constexpr const char* current_projects_directory = "CurrentProjectsDirectory";

inline constexpr const char* revav_family = "REVAV";
inline constexpr const char* quelbar_family = "QUELBAR";
inline constexpr const char* pelorix_family = "PELORIX";
inline constexpr const char* path_sub_family = "PATH";
inline constexpr const char* revav_solver_path = "WINDOWS SOLVER PATH";
inline constexpr const char* quelbar_solver_path = "SOLVER PATH";

// Fre-file options read through the settings controller.
inline constexpr const char* max_field_length = "MAX FIELD LENGTH";
inline constexpr const char* rotation_units = "ROTATION UNITS";
inline constexpr const char* inline_restraints = "GENERATE RESTRAINTS INLINE";
inline constexpr const char* inline_dlcs = "GENERATE DLCS INLINE";
inline constexpr const char* inline_indi = "GENERATE INDI INLINE";
inline constexpr const char* imperial_notation = "USE IMPERIAL NOTATION";
inline constexpr const char* degrees = "Degrees";
inline constexpr const char* milliradians = "Milliradians";
}  // namespace settings

}  // namespace brivane::sdk

"""The module as it is specified, for the tests and the tools to check it against: its messages, its globals
with their initial values, and its functions with their parameters, set-up guard and docstring.

These are copies of the module's exact texts, kept here and nowhere else.
"""

import collections

GUARD_MESSAGE = (
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
    "and set up with Pelorix installation directory."
)
# What a sandbox deletion that fails prints, before the error.
DELETE_FAILED = "Impossible to delete temp directory :"
INVALID_SOLVER = "Invalid solver name. use 'Revav' or 'Quelbar'."
LIBRARY_MISSING = "Invalid setup! Brivane.Quelbar.lib not found!"

# The globals in the order the module body creates them, with their initial values.
INITIAL_GLOBALS = {
    "_validSetup_": False,
    "_validPelorix_": False,
    "_validKarvona_": False,
    "_settingsPath_": "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\Pelorix.settings",
    "_dataSourcesPath_": "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\DataSources.settings",
    "_CultureInfo_": None,
    "_exePath_": None,
    "_dllPath_": None,
    "_Revav_": None,
    "_Quelbar_": None,
    "_dlls_": [],
    "_Solution_": None,
    "_dataPath_": None,
    "_projectPath_": None,
    "_Application_": None,
    "_commandController_": None,
    "_tempDirectory_": None,
}
GLOBALS = list(INITIAL_GLOBALS)

# One row per function, in the order the module body binds them: its parameters, its set-up guard ("G", "GP",
# "GK" or None) and the text of its docstring after the signature line and the empty line.
Function = collections.namedtuple("Function", "name parameters guard description")

FUNCTIONS = [
    Function(
        "setup_brivane_computer",
        ("pelorix_installation_directory", "brivaneModule"),
        None,
        [
            "Setup the Brivane Computer by defining its installation's directory and the module to use.",
            "Example : ",
            "",
            "   import brivane_computer as bc",
            '   valid = bc.setup_brivane_computer("C:\\Program Files\\Brivane\\Pelorix 20XX.Y", '
            "bc.BrivaneModule.Pelorix)",
            "",
            "brivaneModule can be:",
            "- bc.BrivaneModule.All",
            "- bc.BrivaneModule.Pelorix",
            "- bc.BrivaneModule.Karvona",
        ],
    ),
    Function("load_dll", ("dllname",), "G", ["Load a .NET DLL from assembly name."]),
    Function("load_dll_c", ("dllname",), "G", ["Load a C++ DLL from name.", "For internal use only."]),
    Function(
        "FindSolverPaths",
        ("settings",),
        None,
        [
            "Return the path of Revav solver and Quelbar solver in the current settings json object.",
            "None if not defined.",
        ],
    ),
    Function(
        "FindDataProjectPaths",
        ("dataSources",),
        None,
        [
            "Return the path of the datas and of the projets in the current settings json object.",
        ],
    ),
    Function(
        "loadVokel",
        ("vokelFilename",),
        "G",
        [
            "Load a vokeL based on its filename.",
            "Return the vokeL class if exists. None otherwise.",
        ],
    ),
    Function(
        "saveVokel",
        ("vokel", "vokelFilename"),
        "G",
        [
            "Save the vokel with its filename. It will also save a fre file with the same name.",
        ],
    ),
    Function(
        "getVokel",
        ("directory",),
        "G",
        [
            "Return the first vokel filename in the directory or empty string if doesn't exist.",
        ],
    ),
    Function("createVokel", ("module",), None, ["For internal use."]),
    Function("createPipingVokel", (), "G", ["Return an empty piping model with layer 0."]),
    Function("createStructureVokel", (), "G", ["Return an empty structure model with layer 0."]),
    Function(
        "solve",
        ("filename", "solvername", "sandbox"),
        "G",
        [
            "Solve a piping/structure vokeL with use of a solver in a sandbox or not.",
            "solvername can be 'Revav' or 'Quelbar'.",
            "The path of the selected solver must exist in Pelorix's settings.",
            "Return a Solution object or None if invalid filename or solvername.",
        ],
    ),
    Function("disposeSolution", (), None, ["Close the solution file and free the memory."]),
    Function(
        "solvePipingModel",
        ("vokel", "vokelFilename", "solvername", "directory"),
        "GP",
        [
            "Solve a piping vokeL with use of a solver.",
            "solvername can be 'Revav' or 'Quelbar'.",
            "The path of the selected solver must exist in Pelorix's settings.",
            "Return a Solution object.",
        ],
    ),
    Function(
        "solveStructureModel",
        ("vokel", "vokelFilename", "directory"),
        "GK",
        [
            "Solve a structure vokeL with use of a Revav solver.",
            "The path of Revav solver must exist in Pelorix's settings.",
            "Return a Solution object.",
        ],
    ),
    Function(
        "_QuelbarSolve",
        ("vokel", "vokelFilename", "directory"),
        None,
        [
            "Private method.",
            "Solve a vokel with Quelbar solver in directory.",
            "Global _Quelbar_ path exists.",
            "Fill the global variable _Solution_ ",
        ],
    ),
    Function(
        "_RevavSolve",
        ("vokel", "vokelFilename", "directory"),
        None,
        [
            "Private method.",
            "Solve a vokel with Revav solver in directory.",
            "Global _Revav_ path exists.",
            "Fill the global variable _Solution_ ",
        ],
    ),
    Function(
        "find_first_file",
        ("directory", "ext"),
        None,
        [
            "Return the first file with extension = ext in directory or empty string if not exists.",
        ],
    ),
    Function(
        "copyDirectoryToTemp",
        ("directory",),
        None,
        [
            "Return a unic temporary directory with all the content of directory.",
            "Return an empty string if a problem occurs.",
        ],
    ),
    Function(
        "inspectClass",
        ("instance", "indent"),
        "G",
        [
            "Return a json structure with all properties and public method of an instance or a class.",
            "indent = True for indented json",
        ],
    ),
    Function(
        "findNameSpaceAndAssembly",
        ("className",),
        "G",
        [
            "Return the c# namespace and assembly of a className.",
            "Return None if doesn't exists in Pelorix installation.",
        ],
    ),
    Function(
        "writeFreFile",
        ("vokel", "vokelFilename"),
        "G",
        [
            "Write the fre file corresponding to the vokel in the directory with respect of the settings.",
        ],
    ),
    Function("createCommand", ("commandName", "vokel"), "G", ["Create a custom command based on its name."]),
    Function(
        "executeCommand",
        ("command",),
        "G",
        [
            "Execute the custom command on current vokeL. You need to save the vokeL manually!",
        ],
    ),
    Function(
        "addProjectFolder",
        ("directory", "folderName"),
        "G",
        [
            "Add a project folder in directory. Return the folder path or an empty string if already exist or problem.",
        ],
    ),
    Function("removeProjectFolder", ("folderDirectory",), "G", ["Try to remove a folder by its path."]),
    Function(
        "addProject",
        ("directory", "projectName", "studyName", "screenWidth", "screenheight", "module"),
        None,
        ["For internal use."],
    ),
    Function(
        "addPipingProject",
        ("directory", "projectName", "studyName", "screenWidth", "screenheight"),
        "GP",
        [
            "Add a project (projectName) with a piping study (studyName). "
            "Return the project directory if succed, empty string otherwise.",
        ],
    ),
    Function(
        "addStructureProject",
        ("directory", "projectName", "studyName", "screenWidth", "screenheight"),
        "GK",
        [
            "Add a project (projectName) with a structure study (studyName). "
            "Return the project directory if succed, empty string otherwise.",
        ],
    ),
    Function("removeProject", ("projectDirectory",), "G", ["Try to remove a project by its path."]),
    Function(
        "addStudy",
        ("projectDirectory", "studyName", "screenWidth", "screenheight", "module"),
        None,
        ["For internal use."],
    ),
    Function(
        "addPipingStudy",
        ("projectDirectory", "studyName", "screenWidth", "screenheight"),
        "GP",
        [
            "Add a piping study (studyName) in project (projectDirectory). "
            "Return a StudyModel if no problem or None otherwise.",
        ],
    ),
    Function(
        "addStructureStudy",
        ("projectDirectory", "studyName", "screenWidth", "screenheight"),
        "GK",
        [
            "Add a structure study (studyName) in project (projectDirectory). "
            "Return a StudyModel if no problem or None otherwise.",
        ],
    ),
    Function(
        "removeStudy",
        ("projectDirectory", "studyName"),
        "G",
        [
            "Try to delete the study (studyName) in project (projectDirectory). "
            "There must be at least one study in the project.",
        ],
    ),
    Function(
        "duplicateStudy",
        ("projectDirectory", "studyName", "copyStudyName"),
        "G",
        [
            "Duplicate a study (studyName) in project (projectDirectory). "
            "The duplicated study will have copyStudyName as name if possible.",
        ],
    ),
]

BY_NAME = {function.name: function for function in FUNCTIONS}

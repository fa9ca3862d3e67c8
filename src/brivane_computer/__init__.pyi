"""Type stubs of the package: the core module's names, shown at the top level."""

from . import brivane_core as brivane_core
from .brivane_core import (
    BrivaneModule as BrivaneModule,
)
from .brivane_core import (
    FindDataProjectPaths as FindDataProjectPaths,
)
from .brivane_core import (
    FindSolverPaths as FindSolverPaths,
)
from .brivane_core import (
    _Application_ as _Application_,
)
from .brivane_core import (
    _commandController_ as _commandController_,
)
from .brivane_core import (
    _CultureInfo_ as _CultureInfo_,
)
from .brivane_core import (
    _dataPath_ as _dataPath_,
)
from .brivane_core import (
    _dataSourcesPath_ as _dataSourcesPath_,
)
from .brivane_core import (
    _dllPath_ as _dllPath_,
)
from .brivane_core import (
    _dlls_ as _dlls_,
)
from .brivane_core import (
    _exePath_ as _exePath_,
)
from .brivane_core import (
    _projectPath_ as _projectPath_,
)
from .brivane_core import (
    _Quelbar_ as _Quelbar_,
)
from .brivane_core import (
    _QuelbarSolve as _QuelbarSolve,
)
from .brivane_core import (
    _Revav_ as _Revav_,
)
from .brivane_core import (
    _RevavSolve as _RevavSolve,
)
from .brivane_core import (
    _settingsPath_ as _settingsPath_,
)
from .brivane_core import (
    _Solution_ as _Solution_,
)
from .brivane_core import (
    _tempDirectory_ as _tempDirectory_,
)
from .brivane_core import (
    _validKarvona_ as _validKarvona_,
)
from .brivane_core import (
    _validPelorix_ as _validPelorix_,
)
from .brivane_core import (
    _validSetup_ as _validSetup_,
)
from .brivane_core import (
    addPipingProject as addPipingProject,
)
from .brivane_core import (
    addPipingStudy as addPipingStudy,
)
from .brivane_core import (
    addProject as addProject,
)
from .brivane_core import (
    addProjectFolder as addProjectFolder,
)
from .brivane_core import (
    addStructureProject as addStructureProject,
)
from .brivane_core import (
    addStructureStudy as addStructureStudy,
)
from .brivane_core import (
    addStudy as addStudy,
)
from .brivane_core import (
    copyDirectoryToTemp as copyDirectoryToTemp,
)
from .brivane_core import (
    createCommand as createCommand,
)
from .brivane_core import (
    createPipingVokel as createPipingVokel,
)
from .brivane_core import (
    createStructureVokel as createStructureVokel,
)
from .brivane_core import (
    createVokel as createVokel,
)
from .brivane_core import (
    disposeSolution as disposeSolution,
)
from .brivane_core import (
    duplicateStudy as duplicateStudy,
)
from .brivane_core import (
    executeCommand as executeCommand,
)
from .brivane_core import (
    find_first_file as find_first_file,
)
from .brivane_core import (
    findNameSpaceAndAssembly as findNameSpaceAndAssembly,
)
from .brivane_core import (
    getVokel as getVokel,
)
from .brivane_core import (
    inspectClass as inspectClass,
)
from .brivane_core import (
    load_dll as load_dll,
)
from .brivane_core import (
    load_dll_c as load_dll_c,
)
from .brivane_core import (
    loadVokel as loadVokel,
)
from .brivane_core import (
    removeProject as removeProject,
)
from .brivane_core import (
    removeProjectFolder as removeProjectFolder,
)
from .brivane_core import (
    removeStudy as removeStudy,
)
from .brivane_core import (
    saveVokel as saveVokel,
)
from .brivane_core import (
    setup_brivane_computer as setup_brivane_computer,
)
from .brivane_core import (
    solve as solve,
)
from .brivane_core import (
    solvePipingModel as solvePipingModel,
)
from .brivane_core import (
    solveStructureModel as solveStructureModel,
)
from .brivane_core import (
    writeFreFile as writeFreFile,
)

"""brivane doctor: checks an installation the way set-up uses it, one line per check."""

from __future__ import annotations

import contextlib
import ctypes
import importlib
import io
import json
import os
import warnings
from collections.abc import Callable
from types import ModuleType
from typing import Any

OK, WARN, FAIL = "ok", "warn", "FAIL"

# Facts about the product as the module has them, for when it cannot be imported to ask; a test checks each
# against the module (its default settings paths are the batch's, in brivane_computer.batch.installation).
# The assembly files that set-up loads; then the others, each with the module's functions that load it.
SETUP_ASSEMBLIES = ("Brivane.SDK.dll", "Brivane.Pelorix.Core.dll")
OTHER_ASSEMBLIES = {
    "Brivane.Helper.dll": (
        "loading and creating models (so every solve), solving with Revav, duplicating studies",
        ("loadVokel", "createPipingVokel", "createStructureVokel", "solveStructureModel", "duplicateStudy"),
    ),
    "Brivane.Revav.Core.dll": ("solving with Revav (every structure model)", ("solveStructureModel",)),
    "Brivane.Quelbar.Core.dll": ("solving with Quelbar", ("solvePipingModel",)),
    "Brivane.Pelorix.Project.dll": (
        "projects and studies",
        ("addPipingProject", "addPipingStudy", "removeStudy", "duplicateStudy"),
    ),
}
# The native solver library, which writeFreFile loads from Extensions.
NATIVE_LIBRARY = "Brivane.Quelbar.lib"
REPAIR = "repair or reinstall the product"


class _Checks:
    def __init__(self) -> None:
        self.failed = False

    def line(self, status: str, what: str, detail: str) -> None:
        self.failed = self.failed or status == FAIL
        print(f"{status:4}  {what:27}  {detail}", flush=True)


def doctor(installation: str, settings: str | None, data_sources: str | None) -> int:
    """Prints the checks; returns 1 when set-up would fail, else 0."""
    from brivane_computer.batch.installation import settings_paths

    checks = _Checks()
    core, bridge_error = _import_core()
    default_settings, default_data_sources = settings_paths()
    settings = settings or default_settings
    data_sources = data_sources or default_data_sources
    _installation(checks, installation)
    paths = _settings_file(checks, "settings file", settings, "--settings", core.FindSolverPaths if core else None)
    _settings_file(
        checks, "data-sources file", data_sources, "--data-sources", core.FindDataProjectPaths if core else None
    )
    _solvers(checks, paths)
    if os.path.isdir(installation):
        _assemblies(checks, installation)
        _native_library(checks, os.path.join(installation, "Extensions", NATIVE_LIBRARY))
    if core is None:
        checks.line(FAIL, "CLR bridge", _bridge_advice(bridge_error))
        checks.line(FAIL, "set-up", "not run: the module cannot be imported without the CLR bridge")
    else:
        checks.line(OK, "CLR bridge", "clr and pythoncom import")
        _set_up(checks, installation, settings, data_sources)
    print("set-up would fail: see the lines marked FAIL" if checks.failed else "set-up succeeds", flush=True)
    return 1 if checks.failed else 0


def _installation(checks: _Checks, installation: str) -> None:
    """The installation folder and its Extensions folder."""
    give = "give the folder that holds Extensions (C:\\Program Files\\Brivane\\Pelorix 20XX.Y)"
    if not os.path.exists(installation):
        checks.line(FAIL, "installation folder", f"{installation} does not exist: {give}")
        return
    if not os.path.isdir(installation):
        checks.line(FAIL, "installation folder", f"{installation} is a file, not a folder: {give}")
        return
    checks.line(OK, "installation folder", installation)
    extensions = os.path.join(installation, "Extensions")
    if os.path.isdir(extensions):
        checks.line(OK, "Extensions folder", extensions)
    else:
        checks.line(
            FAIL, "Extensions folder", f"{extensions} is missing, and set-up returns False without it: {REPAIR}"
        )


def _solvers(checks: _Checks, paths: Any) -> None:
    """Each solver's program, as the settings file gives it (``paths``: the lookup's result, or None)."""
    for solver, place, found in (
        ("Revav", "REVAV > PATH > WINDOWS SOLVER PATH", paths and paths[0]),
        ("Quelbar", "QUELBAR > PATH > SOLVER PATH", paths and paths[1]),
    ):
        what = f"{solver} solver"
        if paths is None:
            checks.line(WARN, what, "not checked: it is read from the settings file")
        elif found is None:
            checks.line(WARN, what, f"not set ({place} in the settings file): solving with {solver} gives no solution")
        elif not isinstance(found, str) or not os.path.exists(found):
            checks.line(WARN, what, f"{found} does not exist: correct {place} in the settings file")
        elif not os.path.isfile(found):
            checks.line(
                WARN, what, f"{found} is a folder, not the solver's program: correct {place} in the settings file"
            )
        else:
            checks.line(OK, what, found)


def _assemblies(checks: _Checks, installation: str) -> None:
    """Each assembly file, where the module looks for it: in Extensions, then in the installation folder."""
    extensions = os.path.join(installation, "Extensions")
    for name in SETUP_ASSEMBLIES + tuple(OTHER_ASSEMBLIES):
        status = FAIL if name in SETUP_ASSEMBLIES else WARN
        effect = "set-up loads it" if name in SETUP_ASSEMBLIES else f"{OTHER_ASSEMBLIES[name][0]} fails"
        found_in = next(
            (folder for folder in (extensions, installation) if os.path.exists(os.path.join(folder, name))), None
        )
        if found_in is None:
            checks.line(status, name, f"in neither Extensions nor the installation folder, and {effect}: {REPAIR}")
        elif not os.path.isfile(os.path.join(found_in, name)):
            checks.line(status, name, f"{os.path.join(found_in, name)} is a folder, not a file, and {effect}: {REPAIR}")
        else:
            checks.line(OK, name, os.path.join(found_in, name))


def _import_core() -> tuple[ModuleType | None, BaseException | None]:
    try:
        with warnings.catch_warnings():
            # A newer interpreter than the module's warns once; the check has nothing to do about it.
            warnings.simplefilter("ignore", RuntimeWarning)
            return importlib.import_module("brivane_computer.brivane_core"), None
    except Exception as error:
        return None, error


def _bridge_advice(error: BaseException | None) -> str:
    missing = getattr(error, "name", None)
    if missing == "clr":
        return "the CLR bridge clr does not import: install pythonnet in this Python (pip install pythonnet)"
    if missing == "pythoncom":
        return "the COM module pythoncom does not import: install pywin32 in this Python (pip install pywin32)"
    return f"the module does not import ({type(error).__name__}: {error}): check pythonnet and its .NET runtime"


def _settings_file(checks: _Checks, what: str, path: str, option: str, lookup: Callable[[Any], Any] | None) -> Any:
    """Reads the file as set-up does; returns the lookup's result, or None when it cannot."""
    from brivane_computer.batch.installation import SETTINGS_LIMIT, NotRegularFile, TooLarge, read_regular

    if os.path.isdir(path):
        # Windows refuses to open a folder with an error that does not say so.
        checks.line(FAIL, what, f"{path} is a folder, not a file: give the file's place with {option}")
        return None
    try:
        text = read_regular(path, SETTINGS_LIMIT).decode("utf-8")
    except FileNotFoundError:
        checks.line(FAIL, what, f"{path} does not exist: give its place with {option}")
        return None
    except NotRegularFile:
        checks.line(
            FAIL, what, f"{path} is not a regular file (a FIFO or a device, say): give the file's place with {option}"
        )
        return None
    except TooLarge:
        checks.line(
            FAIL,
            what,
            f"{path} is larger than {SETTINGS_LIMIT >> 20} MiB, which no settings file of the "
            f"product is: give the file's place with {option}",
        )
        return None
    except (OSError, UnicodeDecodeError) as error:
        checks.line(FAIL, what, f"{path} cannot be read ({error}): {REPAIR}")
        return None
    if text.startswith("\ufeff"):
        checks.line(
            FAIL, what, f"{path} starts with a byte-order mark, which set-up refuses: save it as UTF-8 without BOM"
        )
        return None
    try:
        document = json.loads(text)
    except ValueError as error:
        checks.line(FAIL, what, f"{path} is not valid JSON ({error}): restore the product's file")
        return None
    if lookup is None:
        checks.line(OK, what, f"{path} (its members are checked once the module imports)")
        return None
    try:
        found = lookup(document)
    except (KeyError, TypeError, AttributeError) as error:
        checks.line(
            FAIL, what, f"{path} lacks what set-up reads ({type(error).__name__}: {error}): restore the product's file"
        )
        return None
    checks.line(OK, what, path)
    return found


def _native_library(checks: _Checks, path: str) -> None:
    what = "native solver library"
    if not os.path.isfile(path):
        checks.line(WARN, what, f"{path} is missing: writing fre files, which Quelbar solves need, fails; {REPAIR}")
        return
    try:
        ctypes.CDLL(os.path.abspath(path))
    except OSError as error:
        checks.line(WARN, what, f"{path} does not load ({error}): {REPAIR}")
        return
    checks.line(OK, what, path)


def _set_up(checks: _Checks, installation: str, settings: str, data_sources: str) -> None:
    from brivane_computer.batch import set_up

    try:
        with contextlib.redirect_stdout(io.StringIO()):
            set_up(installation, "Pelorix", settings, data_sources)
    except Exception as error:
        checks.line(FAIL, "set-up", f"{type(error).__name__}: {error}")
        return
    checks.line(OK, "set-up", "setup_brivane_computer returned True")

"""What the argument fuzzers share: the module's function table, hostile
objects, the jailed sandbox with its stand-in installation, and the checked call.

A checked call must end in a result or in a Python exception. A SystemError
(which CPython also raises when a C function returns a result with an
exception set, or fails without one), an exception still set after a normal
return, a BaseException the arguments did not raise, or a solver worker thread
ending in one of these is a fault; a crash ends the process. Every call is made
inside the jail's record of what it may touch (jail.py): an
operation out of those bounds is a fault of the call even when the module
swallows the jail's refusal, reported with every other one by
Harness.verify_bounds. Every call made is counted per function.

Used by tests/fault_finding/test_argument_fuzzing.py (hypothesis) and
reliability/atheris_fuzz.py (atheris); nothing here needs either.
"""

import collections
import functools
import os
import re
import shutil
import sys
import threading
import types
import uuid
from pathlib import Path

import brivane_standin
from brivane_standin.installation import create_installation

from brivane_computer import brivane_core

from .jail import Jail, Sandbox, StablePath
from .module_table import INITIAL_GLOBALS
from .trees import tree_stamps

core = brivane_core
# The repository, one of the paths that a fuzzed call may name.
ROOT = Path(__file__).resolve().parents[2]


# --- the function table ------------------------------------------------------------------------


def _parameters(function):
    """Parameter names from the signature line of a function's docstring."""
    first_line = (function.__doc__ or "").splitlines()[0]
    found = re.fullmatch(r"(\w+)\((.*)\)", first_line.strip())
    assert found and found.group(1) == function.__name__, first_line
    return tuple(p.strip() for p in found.group(2).split(",") if p.strip())


def public_functions():
    """{name: parameter names} of every function in the module namespace."""
    return {
        name: _parameters(value)
        for name, value in vars(core).items()
        if isinstance(value, types.BuiltinFunctionType) and getattr(value, "__module__", None) == core.__name__
    }


FUNCTIONS = public_functions()
assert len(FUNCTIONS) == 35, sorted(FUNCTIONS)


# --- hostile objects ---------------------------------------------------------------------------


class HostileError(Exception):
    """Raised by the hostile objects' special methods."""


class HostileInterrupt(BaseException):
    """Raised by the interrupting hostile objects: not an Exception, so nothing may swallow it."""


HOSTILE_METHODS = (
    "__eq__",
    "__ne__",
    "__str__",
    "__fspath__",
    "__index__",
    "__bool__",
    "__hash__",
    "__iter__",
    "__getitem__",
    "__len__",
    "__format__",
    "__contains__",
    "__lt__",
    "__getattr__",
    "__add__",
    "__radd__",
    "__sub__",
    "__truediv__",
    "__float__",
    "__int__",
)


def _raiser(kind, method):
    def special(self, *args, **kwargs):
        raise kind(f"hostile {method}")

    special.__name__ = method
    return special


def _attribute_raiser(kind):
    def __getattr__(self, name):
        # Product members (SaveToFile, CalculationCode...) raise; tools' private probes (_repr_pretty_) do not.
        if name.startswith("_"):
            raise AttributeError(name)
        raise kind(f"hostile __getattr__ {name}")

    return __getattr__


def hostile_class(methods, kind=HostileError, base=object, name=None):
    namespace = {method: _raiser(kind, method) for method in methods}
    if "__getattr__" in methods:
        namespace["__getattr__"] = _attribute_raiser(kind)
    namespace["__repr__"] = lambda self: f"<{type(self).__name__}>"
    return type(name or f"Hostile_{'_'.join(m.strip('_') for m in methods)}", (base,), namespace)


class Odd:
    """Special methods that return the wrong kind of value instead of raising."""

    def __fspath__(self):
        return 42

    def __bool__(self):
        return "yes"

    def __index__(self):
        return 1.5

    def __iter__(self):
        return 7

    def __str__(self):
        return b"bytes"

    def __len__(self):
        return -1

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return NotImplemented

    def __getitem__(self, key):
        return self

    def __repr__(self):
        return "<Odd>"


class SelfIterating:
    """A finite iterable that yields itself, then ends."""

    def __iter__(self):
        return iter([self, self])

    def __getitem__(self, key):
        return self

    def __repr__(self):
        return "<SelfIterating>"


def make_hostiles():
    everything = hostile_class(HOSTILE_METHODS, name="HostileAll")
    made = {"all": everything(), "interrupt": hostile_class(HOSTILE_METHODS, HostileInterrupt, name="Interrupting")()}
    for method in HOSTILE_METHODS:
        made[method] = hostile_class((method,))()
    # Subclasses pass the C type checks and reach deeper.
    made["str"] = hostile_class(
        (
            "__eq__",
            "__ne__",
            "__hash__",
            "__fspath__",
            "__format__",
            "__add__",
            "__len__",
            "__iter__",
            "__getitem__",
            "__contains__",
        ),
        base=str,
        name="HostileStr",
    )("models")
    made["str-interrupt"] = hostile_class(
        ("__eq__", "__ne__", "__format__", "__add__"), HostileInterrupt, base=str, name="InterruptingStr"
    )("Quelbar")
    made["int"] = hostile_class(
        ("__eq__", "__ne__", "__index__", "__bool__", "__sub__", "__lt__", "__format__", "__float__"),
        base=int,
        name="HostileInt",
    )(1920)
    made["list"] = hostile_class(
        ("__iter__", "__getitem__", "__len__", "__contains__", "__eq__"), base=list, name="HostileList"
    )([1, 2])
    made["dict"] = hostile_class(("__getitem__", "__iter__", "__contains__", "__len__"), base=dict, name="HostileDict")(
        {"Families": []}
    )
    made["odd"] = Odd()
    made["self-iterating"] = SelfIterating()
    return made


HOSTILES = make_hostiles()


class Pooled:
    """A stand-in for an object or a path that only exists once a test prepared its sandbox (a model,
    a solution, the working folder...), replaced by it at call time; a path in the `form` asked for:
    str (None), "bytes", "path" (a path-like object) or "slash" (with a trailing separator). None when
    the pool has no such object."""

    __slots__ = ("key", "form")

    def __init__(self, key, form=None):
        self.key, self.form = key, form

    def __repr__(self):
        return f"Pooled({self.key!r}{'' if self.form is None else ', ' + repr(self.form)})"


def materialize(value, pool):
    if isinstance(value, Pooled):
        found = pool.get(value.key)
        if found is None or value.form is None:
            return found
        return {
            "bytes": os.fsencode,
            "path": StablePath,
            "slash": lambda p: p + os.sep,
            "hostile-str": type(HOSTILES["str"]),
            "hostile-list": lambda p: type(HOSTILES["list"])([p]),
        }[value.form](found)
    if type(value) is list:
        return [materialize(v, pool) for v in value]
    if type(value) is tuple:
        return tuple(materialize(v, pool) for v in value)
    if type(value) is dict:
        return {k: materialize(v, pool) for k, v in value.items()}
    return value


# Objects the "after set-up" pool holds (see Harness.prepare).
POOL_KEYS = (
    "piping",
    "structure",
    "empty-model",
    "command",
    "solution",
    "application",
    "controller",
    "product-module",
    "install-root",
    "settings-path",
    "extensions",
    "model-file",
    "project",
)
# Folders of every prepared sandbox (Harness.prepare): the working folder and its parents up to two levels
# above the sandbox, the temporary folder, folders the module made (after set-up) and one the script made
# there, the confinement's own sandbox and the repository. Outside the sandbox, the jail contains them.
PLACES = (
    "cwd",
    "up1",
    "up2",
    "sandbox",
    "beside",
    "above",
    "temp",
    "made-folder",
    "made-copy",
    "script-folder",
    "confined",
    "repository",
)
ROOTS = ["/", "//", "C:\\", "\\\\srv\\share\\"]

SPECIAL_TEXT = [
    "",
    "\x00",
    "a\x00b",
    "é",
    "\ud800",
    "\U0001f642" * 3,
    "x" * 100_000,
    "/" * 3,
    "..",
    "../..",
    "../../..",
    "../../../..",
    "../../../../..",
    ".",
    "./",
    "../",
    "/tmp",
    "/etc",
    "/work",
    ".vokel",
    ".thf",
    ".fre",
    ".VOKEL",
    "Revav",
    "Quelbar",
    "revav",
    "ADD_PIPE",
    "ADD_BEAM",
    "UNKNOWN",
    "Model",
    "BrivaneApplication",
    "BrivaneClassInspector",
    "System.String",
    "Brivane.SDK.dll",
    "Brivane.Quelbar.lib",
    "Brivane.Pelorix.Core.dll",
    "Brivane.Revav.Core.dll",
    "mscorlib",
    "P1",
    "S1",
    "S2",
    "models",
    "projects",
    "projects/P1",
    "projects/P1/P1.project",
    "models/study1.vokel",
    "models/a.thf",
    "models/conception.fre",
    "models/../models/study1.vokel",
    "new/deep/folder",
    "REVAV",
    "QUELBAR",
    "PATH",
    "SOLVER PATH",
    "WINDOWS SOLVER PATH",
    "Families",
    "Name",
    "Value",
    "\\",
    "C:\\Windows",
    "nul",
    "con",
    "\u00e9t\u00e9/\u4e2d\u6587.vokel",
    " ",
    "\t\n",
]
HUGE_INTS = [
    0,
    1,
    -1,
    2,
    300,
    400,
    1920,
    1080,
    2**31 - 1,
    2**31,
    -(2**31) - 1,
    2**63 - 1,
    2**63,
    -(2**63) - 1,
    2**64,
    10**100,
    -(10**100),
    10**400,
]
FLOATS = [0.0, -0.0, 1.5, 1920.0, float("nan"), float("inf"), float("-inf"), 1e308, 5e-324]
BAD_KEYWORDS = [
    "",
    "self",
    "args",
    "kwargs",
    "x",
    "é",
    "\ud800",
    "a\x00b",
    "Settings",
    "directory ",
    "DLLNAME",
    "vokel",
    "module",
    "filename",
]


def global_values():
    """What a script may assign to a global: the working folder, its parents and folders the module did
    or did not make, in every path type and as subclasses whose methods raise; roots, ".", "..", "";
    a text where a list belongs and lists of such folders; numbers and hostile objects."""
    places = [Pooled(key, form) for key in PLACES for form in (None, "bytes", "path", "slash", "hostile-str")]
    folders = [Pooled("cwd"), Pooled("up1"), Pooled("script-folder"), Pooled("made-folder"), Pooled("beside")]
    return (
        places
        + [Pooled(key, "hostile-list") for key in ("cwd", "made-folder", "script-folder")]
        + [
            "",
            ".",
            "..",
            "./",
            "../..",
            *ROOTS,
            b"",
            b".",
            b"..",
            *map(os.fsencode, ROOTS),
            "a\x00b",
            "Brivane.SDK.dll",
            "models",
            folders,
            ["/"],
            [b"/"],
            ("/", "."),
            ["Brivane.SDK.dll"],
            [],
            [None],
            Pooled("settings-path"),
            Pooled("settings-path", "bytes"),
            Pooled("settings-path", "path"),
            Pooled("install-root"),
            Pooled("extensions"),
            Pooled("model-file"),
            Pooled("project"),
            None,
            True,
            False,
            0,
            1,
            -1,
            3,
            2**64,
            1.5,
            float("nan"),
            {},
            {"a": 1},
            HOSTILES["all"],
            HOSTILES["interrupt"],
            HOSTILES["str"],
            HOSTILES["list"],
            HOSTILES["__fspath__"],
            HOSTILES["__bool__"],
            HOSTILES["__eq__"],
            HOSTILES["odd"],
            HOSTILES["int"],
        ]
    )


def _settings_documents():
    """Settings and data-sources documents, well-formed and not."""

    def setting(name, value):
        return {"Name": name, "Value": value}

    def family(name, sub, settings):
        return {"Name": name, "SubFamilies": [{"Name": sub, "Settings": settings}]}

    good = {
        "Families": [
            family("REVAV", "PATH", [setting("WINDOWS SOLVER PATH", "revav.exe")]),
            family("QUELBAR", "PATH", [setting("SOLVER PATH", "quelbar.exe")]),
        ]
    }
    hostile = HOSTILES
    return [
        good,
        {
            "Families": [
                family("REVAV", "PATH", [setting("WINDOWS SOLVER PATH", "")]),
                family("QUELBAR", "PATH", [setting("SOLVER PATH", hostile["all"])]),
            ]
        },
        {"Families": []},
        {"Families": None},
        {"Families": [None]},
        {"Families": "REVAV"},
        {},
        {"Families": [{"Name": "REVAV"}]},
        {
            "Families": [
                {"Name": "REVAV", "SubFamilies": [{"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH"}]}]}
            ]
        },
        {"Families": [{"Name": hostile["str"], "SubFamilies": []}]},
        {"Families": [{"Name": hostile["__eq__"]}]},
        {"Families": [{"Name": "REVAV", "SubFamilies": hostile["list"]}]},
        {"Families": [{"Name": "QUELBAR", "SubFamilies": [{"Name": "PATH", "Settings": [hostile["dict"]]}]}]},
        {
            "Families": (
                family("REVAV", "PATH", [setting("WINDOWS SOLVER PATH", 1), setting("WINDOWS SOLVER PATH", 2)]),
            )
        },
        {"Families": {"REVAV": 1}},
        {"Families": [family("REVAV", "PATH", [setting("WINDOWS SOLVER PATH", "a")])] * 3},
        {"Families": hostile["self-iterating"]},
        {"Families": [hostile["interrupt"]]},
        hostile["dict"],
        {"CurrentDatasDirectory": "data", "CurrentProjectsDirectory": "projects"},
        {"CurrentDatasDirectory": hostile["all"], "CurrentProjectsDirectory": None},
        {"CurrentDatasDirectory": "data"},
        {"CurrentProjectsDirectory": "projects"},
    ]


def build_catalog():
    """The values both fuzzers pick arguments from; None first (what a shrunk choice becomes)."""
    import brivane_computer

    values = [None, True, False]
    values += HUGE_INTS + FLOATS
    values += SPECIAL_TEXT + ROOTS
    values += [
        b"",
        b"\x00",
        b"models",
        b"\xff\xfe",
        b"../x",
        b"models/study1.vokel",
        bytearray(b"models"),
        b".",
        b"..",
        b"../../..",
        b"/etc",
    ] + [os.fsencode(root) for root in ROOTS]
    values += [
        [],
        {},
        (),
        [None],
        ["Revav"],
        [1, [2, [3]]],
        ("a", "b"),
        ("a", "b", "c"),
        {"a": 1},
        {1: None},
        [HOSTILES["all"]],
        {"x": HOSTILES["__eq__"]},
        range(3),
        set(),
        frozenset({1}),
        object(),
        1j,
        type,
        len,
        Ellipsis,
        NotImplemented,
        ValueError("v"),
        memoryview(b"ab"),
    ]
    values += list(brivane_computer.BrivaneModule)
    values += [HOSTILES[name] for name in sorted(HOSTILES)]
    values += [Pooled(key) for key in POOL_KEYS]
    values += [Pooled(key, form) for key in PLACES for form in (None, "bytes", "path")]
    values += [Pooled(key, "slash") for key in ("cwd", "up1", "made-folder", "script-folder")]
    values += _settings_documents()
    return values


CATALOG = build_catalog()
assert len(CATALOG) < 256, len(CATALOG)


def catalog_value(index):
    return CATALOG[index]


def _plausible_calls():
    """For each function, arguments that a set-up module accepts (on the pool of Harness.prepare).
    Fuzzed calls start from these and replace some arguments, so hostile values reach deep code."""
    import brivane_computer

    piping, model_file, project = Pooled("piping"), Pooled("model-file"), Pooled("project")
    kind = Pooled("product-module")
    return {
        "setup_brivane_computer": (Pooled("install-root"), brivane_computer.BrivaneModule.Pelorix),
        "load_dll": ("Brivane.SDK.dll",),
        "load_dll_c": ("Brivane.Quelbar.lib",),
        "FindSolverPaths": (CATALOG[-len(_settings_documents())],),  # the well-formed document
        "FindDataProjectPaths": ({"CurrentDatasDirectory": "data", "CurrentProjectsDirectory": "projects"},),
        "loadVokel": (model_file,),
        "saveVokel": (piping, "models/copy.vokel"),
        "getVokel": ("models",),
        "createVokel": (kind,),
        "createPipingVokel": (),
        "createStructureVokel": (),
        "solve": (model_file, "Quelbar", True),
        "disposeSolution": (),
        "solvePipingModel": (piping, model_file, "Revav", "models"),
        "solveStructureModel": (Pooled("structure"), "models/structure.vokel", "models"),
        "_QuelbarSolve": (piping, model_file, "models"),
        "_RevavSolve": (piping, model_file, "models"),
        "find_first_file": ("models", ".thf"),
        "copyDirectoryToTemp": ("models",),
        "inspectClass": (piping, True),
        "findNameSpaceAndAssembly": ("Model",),
        "writeFreFile": (piping, model_file),
        "createCommand": ("ADD_PIPE", piping),
        "executeCommand": (Pooled("command"),),
        "addProjectFolder": ("projects", "F1"),
        "removeProjectFolder": ("projects/F1",),
        "addProject": ("projects", "P2", "S1", 1920, 1080, kind),
        "addPipingProject": ("projects", "P2", "S1", 1920, 1080),
        "addStructureProject": ("projects", "P3", "S1", 1920.0, 1080.0),
        "removeProject": (project,),
        "addStudy": (project, "S2", 1920, 1080, kind),
        "addPipingStudy": (project, "S2", 1920, 1080),
        "addStructureStudy": (project, "S3", 800, 600),
        "removeStudy": (project, "S1"),
        "duplicateStudy": (project, "S1", "S4"),
    }


PLAUSIBLE = _plausible_calls()
assert {name: len(args) for name, args in PLAUSIBLE.items()} == {n: len(p) for n, p in FUNCTIONS.items()}


class Recipe:
    """Turns bytes into calls, one byte per decision; bytes past the end read as 0."""

    def __init__(self, data, fresh=()):
        self.data, self.position, self.fresh = data, 0, list(fresh)
        self.fresh_names = [v for v in self.fresh if type(v) is str]

    def byte(self):
        value = self.data[self.position] if self.position < len(self.data) else 0
        self.position += 1
        return value

    def value(self):
        b = self.byte()
        if b < len(CATALOG) or not self.fresh:
            return CATALOG[b % len(CATALOG)]
        return self.fresh[(b - len(CATALOG)) % len(self.fresh)]

    def keyword(self, parameters):
        names = list(parameters) + BAD_KEYWORDS + self.fresh_names
        return names[self.byte() % len(names)]

    def call(self, name, parameters):
        """(positional arguments, keyword arguments) for the function `name`: a plausible call with some
        arguments replaced, the right count by position or by (valid) keyword, or any count with any
        keyword names."""
        count = len(parameters)
        mode = self.byte()
        if mode < 96:
            return [self.value() for _ in range(count)], {}
        if mode < 160:
            arguments = list(PLAUSIBLE[name])
            for _ in range(self.byte() % (count + 1) if count else 0):
                arguments[self.byte() % count] = self.value()
            return arguments, {}
        if mode < 208:
            split = self.byte() % (count + 1)
            named = list(parameters[split:])
            turn = self.byte()
            if named:
                named = named[turn % len(named) :] + named[: turn % len(named)]
                if turn & 0x80:
                    named.reverse()
            positional = [self.value() for _ in range(split)]
            return positional, {name: self.value() for name in named}
        positional = [self.value() for _ in range(self.byte() % (count + 3))]
        keywords = {}
        for _ in range(self.byte() % 3):
            keywords[self.keyword(parameters)] = self.value()
        return positional, keywords


# --- the sandbox and the checked call ----------------------------------------------------------


class FuzzFault(AssertionError):
    """A call that did not end in a result or a Python exception."""


def _sink(*args, **kwargs):
    """Bound as `print` in the module namespace: the module's messages are not the point here."""


_DLLS = core._dlls_  # the module's own list, kept for its whole life


def reset_module():
    """The module and the stand-in as right after import (what the test suite's fixture does)."""
    brivane_standin.reset()
    del _DLLS[:]
    for name, value in INITIAL_GLOBALS.items():
        setattr(core, name, _DLLS if name == "_dlls_" else value)
    # A script's own global of that name, which the module must ignore.
    vars(core).pop("_pendingTempDirectories_", None)


class Harness:
    """A jailed sandbox for one test (or one fuzzing process), bound into the module.

    `parent` gets the sandbox and some canary files beside it; `verify_outside` checks that
    nothing beside the sandbox changed, `verify_bounds` that no call went out of its bounds.
    """

    def __init__(self, parent, counts, outcomes=None):
        self.parent = os.path.realpath(parent)
        canary = os.path.join(self.parent, "canary")
        os.makedirs(os.path.join(canary, "models"), exist_ok=True)
        for name in ("x", "models/study1.vokel", "conception.fre"):
            with open(os.path.join(canary, name), "w") as f:
                f.write("must stay\n")
        self.sandbox = Sandbox(os.path.join(self.parent, "sandbox"))
        self._install()
        self.jail = Jail(self.sandbox)
        self.counts = counts
        self.outcomes = outcomes if outcomes is not None else collections.Counter()
        self.outside = tree_stamps(self.parent, self.sandbox.root)
        self.pool = {}
        self.cwd = os.getcwd()
        self._uninstall = None
        self.worker_faults = []

    def _worker_ended(self, hook_arguments):
        """An exception that ends a solver worker thread (the solving functions let it end the worker
        only) is expected; one that no Python code should raise is a fault of the call."""
        kind = hook_arguments.exc_type
        if issubclass(kind, SystemError) or not issubclass(kind, (Exception, HostileInterrupt)):
            self.worker_faults.append(f"{kind.__name__}: {hook_arguments.exc_value}")

    def __enter__(self):
        self._uninstall = self.jail.install(core)
        vars(core)["print"] = _sink
        self._excepthook = threading.excepthook
        threading.excepthook = self._worker_ended
        self.sandbox.enter()
        return self

    def __exit__(self, *exc):
        threading.excepthook = self._excepthook
        vars(core).pop("print", None)
        self._uninstall()
        os.chdir(self.cwd)
        self.pool = {}
        reset_module()
        return False

    def _install(self):
        self.installation = create_installation(os.path.join(self.sandbox.protected, "Pelorix 2031.1"))
        self.installed = tree_stamps(self.sandbox.protected, None)

    def verify_outside(self):
        changed = tree_stamps(self.parent, self.sandbox.root)
        if changed != self.outside:
            raise FuzzFault(f"files beside the sandbox changed: {sorted(set(changed) ^ set(self.outside))}")
        if self.jail.unknown:
            raise FuzzFault(f"the module used file operations the jail does not know: {sorted(self.jail.unknown)}")

    def verify_bounds(self):
        """Fails with every operation out of bounds so far, counted per kind; none may pass as an
        ordinary exception."""
        found = self.jail.violations
        if found:
            kinds = collections.defaultdict(list)
            for violation in found:
                kinds[violation.call.split("(", 1)[0], violation.operation, violation.why].append(violation)
            shown = "\n  ".join(
                f"{len(seen)} x {name}: {operation} {why}, first: {seen[0]}"
                for (name, operation, why), seen in kinds.items()
            )
            raise FuzzFault(f"{len(found)} operations out of bounds:\n  {shown}")

    def _set_up_call(self, name, *args):
        """A call of the preparation, judged like every other."""
        with self.jail.calling(name, args):
            return getattr(core, name)(*args)

    def prepare(self, phase):
        """Starts an example: the module as after import, an empty working folder with a folder of the
        script's own in the temporary folder and, for the "after" phase, a set-up on the stand-in
        installation with a few product objects and folders the module made."""
        self.sandbox.enter()
        reset_module()
        self.sandbox.clean()
        self.sandbox.enter()
        # The product writes where it is told (inside the sandbox, the jail sees to that): a changed
        # installation is made again.
        if tree_stamps(self.sandbox.protected, None) != self.installed:
            shutil.rmtree(self.sandbox.protected)
            os.makedirs(self.sandbox.protected)
            self._install()
        found = self.installation
        core._settingsPath_ = found.settings_path
        core._dataSourcesPath_ = found.data_sources_path
        script_folder = os.path.join(self.sandbox.temp, str(uuid.uuid4()))
        os.makedirs(os.path.join(script_folder, "inner"))
        work = self.sandbox.work
        pool = {
            "install-root": found.root,
            "settings-path": found.settings_path,
            "extensions": found.extensions,
            "cwd": work,
            "up1": os.path.dirname(work),
            "up2": os.path.dirname(os.path.dirname(work)),
            "sandbox": self.sandbox.root,
            "beside": self.parent,
            "above": os.path.dirname(self.parent),
            "temp": self.sandbox.temp,
            "script-folder": script_folder,
            "confined": os.environ.get("BRIVANE_CONFINED"),
            "repository": str(ROOT),
        }
        if phase == "after":
            call = self._set_up_call
            assert call("setup_brivane_computer", found.root, core.BrivaneModule.Pelorix) is True
            piping = call("createPipingVokel")
            call("executeCommand", call("createCommand", "ADD_PIPE", piping))
            os.makedirs("models")
            call("saveVokel", piping, os.path.join("models", "study1.vokel"))
            with open(os.path.join("models", "a.thf"), "w") as f:
                f.write("thf\n")
            project = call("addPipingProject", "projects", "P1", "S1", 1920, 1080)
            assert project
            made_copy = call("copyDirectoryToTemp", "models")
            assert made_copy
            solution = call("solve", os.path.join("models", "study1.vokel"), "Quelbar", True)
            assert solution is not None
            from Brivane.SDK import BrivaneModule as ProductModule  # made importable by the set-up

            pool.update(
                {
                    "piping": piping,
                    "structure": call("createStructureVokel"),
                    "empty-model": call("createPipingVokel"),
                    "command": call("createCommand", "ADD_PIPE", piping),
                    "solution": solution,
                    "application": core._Application_,
                    "controller": core._commandController_,
                    "product-module": ProductModule.Pelorix,
                    "model-file": os.path.join("models", "study1.vokel"),
                    "project": project,
                    "made-folder": core._tempDirectory_,
                    "made-copy": made_copy,
                }
            )
        self.pool = pool

    def call(self, name, args, kwargs, trace=None):
        """One checked call of the module function `name`; returns a short outcome text."""
        function = vars(core)[name]
        args = [materialize(a, self.pool) for a in args]
        kwargs = {k: materialize(v, self.pool) for k, v in kwargs.items()}
        self.counts[name] += 1
        if trace is not None:
            trace.write(f"{name} args={args!r:.300} kwargs={kwargs!r:.300}\n")
            trace.flush()
        try:
            # Through partial, whose calls CPython always checks: `function(*args)` on 3.10 lets a result
            # returned with an exception set pass at the call site.
            with self.jail.calling(name, args, kwargs):
                result = functools.partial(function, *args, **kwargs)()
        except SystemError as error:
            raise FuzzFault(f"{name}: SystemError {error}") from error
        except (Exception, HostileInterrupt) as error:
            outcome = type(error).__name__
        except KeyboardInterrupt:
            raise
        except BaseException as error:  # noqa: B036
            raise FuzzFault(f"{name}: unexpected {type(error).__name__}: {error}") from error
        else:
            if sys.exc_info() != (None, None, None):
                raise FuzzFault(f"{name}: returned with {sys.exc_info()[0]} being handled")
            try:
                len([])  # a C function: SystemError here if the call left an exception set
            except SystemError as error:
                raise FuzzFault(f"{name}: returned a result but left an exception set") from error
            outcome = "returned"
            del result
        finally:
            # The removals change the working directory; relative paths must keep their meaning.
            self.sandbox.enter()
        if self.worker_faults:
            faults, self.worker_faults = self.worker_faults, []
            raise FuzzFault(f"{name}: a worker thread ended with {faults}")
        self.outcomes[name, outcome] += 1
        return outcome


def new_counts():
    return collections.Counter({name: 0 for name in FUNCTIONS})

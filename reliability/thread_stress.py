"""Thread stress: the module used from many threads at once while its namespace changes.

    python reliability/thread_stress.py [--seconds N] [--reports DIR] [--seed S]

Run confined (scripts/confine.sh), with the package and the stand-in on the
path (scripts/stress.sh does this, under AddressSanitizer and with a plain
build); it refuses to run unconfined. The parent process runs the
stress in a child process and judges it from outside, so that a crash or a
hang is counted rather than lost. In the child:

- eight worker threads call a mix of the module's functions for a bounded
  time: argument errors, guards, settings lookups, find_first_file, set-up,
  load_dll, model create/save/load/commands, writeFreFile, solve with and
  without sandbox and disposeSolution, projects and studies in per-thread
  folders, inspectClass and findNameSpaceAndAssembly;
- one thread keeps reassigning every module global except _dlls_ (flags,
  paths to valid and invalid values, junk objects, None, now and then a
  deleted global); _tempDirectory_ also to folders of the script's own, which
  disposeSolution must leave in place;
- one thread replaces the module's sibling functions, host modules and
  built-ins in its namespace by working proxies and restores them.

The module takes no lock, so exceptions in the workers are expected and only
counted. What must not happen: a crash, a deadlock (every thread must end
within a time limit after the stop signal; faulthandler's dump_traceback_later
is the last watchdog), a SystemError, an exception left set after a normal
return, any other exception outside the Exception family, an operation out of
the bounds of its call (the module's os, shutil, tempfile, threading and open,
and the product's writes, are jailed: brivane_testkit.jail), a folder of the
script's own removed, a change outside the jail's sandbox, or a sanitizer
report. The figures are printed; the exit status is non-zero on any problem.

The removals change the working folder of the whole process and then remove a
name relative to it; the module takes no lock and is used from one thread at a
time, so the workers make their removals one at a time: two at once would
remove each other's names.
"""

import argparse
import builtins
import collections
import faulthandler
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
from brivane_testkit import confinement  # noqa: E402
from brivane_testkit.jail import Jail, Sandbox, StablePath  # noqa: E402

WORKERS = 8
# Seconds every thread gets to finish after the stop signal.
JOIN_LIMIT = float(os.environ.get("BRIVANE_STRESS_JOIN_LIMIT", 60))
MODULE_FUNCTIONS = (
    "load_dll",
    "find_first_file",
    "loadVokel",
    "writeFreFile",
    "disposeSolution",
    "solvePipingModel",
    "solveStructureModel",
    "_QuelbarSolve",
    "_RevavSolve",
    "FindSolverPaths",
    "FindDataProjectPaths",
    "createVokel",
    "addProject",
    "addStudy",
)
HOST_MODULES = ("os", "clr", "ctypes", "pythoncom", "json", "threading", "shutil", "tempfile", "uuid")
# Functions whose normal results are counted by kind, to show how far the calls get.
COUNTED_RESULTS = (
    "solve",
    "solvePipingModel",
    "saveVokel",
    "loadVokel",
    "addPipingProject",
    "addPipingStudy",
    "duplicateStudy",
    "copyDirectoryToTemp",
    "writeFreFile",
    "setup_brivane_computer",
)
ASSEMBLIES = (
    "Brivane.SDK",
    "Brivane.Helper",
    "Brivane.Pelorix.Core",
    "Brivane.Pelorix.Project",
    "Brivane.Quelbar.Core",
    "Brivane.Revav.Core",
)
NAMESPACES = ASSEMBLIES + ("System", "System.IO", "System.Globalization", "System.Threading", "System.Windows")
SHADOWS = ("open", "isinstance", "int", "str", "next", "__import__")
SCRIPT_FOLDERS = 8  # folders of the script's own that _tempDirectory_ is set to


# --- the parent: runs the child and judges it -------------------------------------


def parent(args):
    if args.reports:
        os.makedirs(args.reports, exist_ok=True)
    work = tempfile.mkdtemp(prefix="brivane-stress-")
    result_path = os.path.join(work, "result.json")
    log_path = os.path.join(work, "child.log")
    command = [
        sys.executable,
        os.path.abspath(__file__),
        "--child",
        "--seconds",
        str(args.seconds),
        *(["--self-test", args.self_test] if args.self_test else []),
        *(["--first-loads"] if args.first_loads else []),
        "--seed",
        str(args.seed),
        "--result",
        result_path,
        "--root",
        os.path.join(work, "root"),
    ]
    limit = args.seconds + 2 * JOIN_LIMIT + 120
    started = time.monotonic()
    hung = False
    with open(log_path, "wb") as log:
        child = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
        try:
            returncode = child.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            hung = True
            child.kill()
            returncode = child.wait()
    elapsed = time.monotonic() - started
    ended = time.time()
    result = {}
    if os.path.exists(result_path):
        with open(result_path, encoding="utf-8") as f:
            result = json.load(f)
        result.setdefault("timings", {})["exit"] = ended - os.path.getmtime(result_path)
    with open(log_path, encoding="utf-8", errors="replace") as f:
        log_text = f.read()
    shutil.rmtree(work, ignore_errors=True)

    reports = sorted(os.listdir(args.reports)) if args.reports and os.path.isdir(args.reports) else []
    crashed = returncode < 0 or (not hung and not result)
    deadlocks = result.get("deadlocks", 0) + (1 if hung else 0)
    problems = result.get("problems", [])
    print(f"thread stress: {os.path.basename(sys.executable)} {sys.version.split()[0]}, seed {args.seed}")
    print(
        f"module: {result.get('module', '?')} (sanitizer runtime loaded: {'yes' if result.get('sanitizer') else 'no'})"
    )
    timings = ", ".join(f"{k} {v:.1f} s" for k, v in result.get("timings", {}).items())
    print(f"duration: {result.get('duration', elapsed):.1f} s of calls ({elapsed:.1f} s in all: {timings})")
    print(
        f"calls made: {result.get('calls', 0)} by {WORKERS} workers; "
        f"global reassignments: {result.get('reassignments', 0)}; "
        f"namespace replacements: {result.get('replacements', 0)}"
    )
    exceptions = result.get("exceptions", {})
    print(f"exceptions (expected, counted): {sum(exceptions.values())}")
    samples = result.get("samples", {})
    for name, count in sorted(exceptions.items(), key=lambda item: -item[1]):
        print(f"  {name}: {count}" + (f"   e.g. {samples.get(name)}" if args.verbose else ""))
    results = result.get("results", {})
    if results:
        print("normal returns: " + ", ".join(f"{k} {v}" for k, v in sorted(results.items())))
    thread_ends = result.get("thread_ends", {})
    if thread_ends:
        print("solver threads ended by: " + ", ".join(f"{k} {v}" for k, v in sorted(thread_ends.items())))
    print(f"crashes: {1 if crashed else 0}")
    print(f"deadlocks: {deadlocks}")
    print(f"SystemErrors: {result.get('system_errors', 0)}")
    print(f"exceptions left set: {result.get('left_set', 0)}")
    print(
        f"operations out of bounds: {result.get('out_of_bounds', 0)} "
        f"(within bounds but refused outside the sandbox: {result.get('contained', 0)})"
    )
    print(f"problems listed (all kinds): {len(problems)}")
    print(f"sanitizer reports: {len(reports)}")
    for problem in problems[:10]:
        print(f"  problem: {problem}", file=sys.stderr)
    failed = crashed or deadlocks or problems or reports or returncode != 0
    if failed:
        print(f"child exit status {returncode}; its output:\n{log_text[-20000:]}", file=sys.stderr)
    return 1 if failed else 0


# --- the child --------------------------------------------------------------------


class Problems:
    """What must not happen; shared by all threads (appends are atomic)."""

    def __init__(self):
        self.items = []
        self.system_errors = 0
        self.left_set = 0

    def add(self, text):
        if len(self.items) < 200:
            self.items.append(text)


class Forward:
    """A working proxy of a module: every attribute comes from `target`."""

    def __init__(self, target):
        self._target = target

    def __getattr__(self, name):
        return getattr(self._target, name)


class Stats:
    def __init__(self):
        self.calls = 0
        self.exceptions = collections.Counter()
        self.samples = {}
        self.results = collections.Counter()  # "function: kind of result" of normal returns


class Stress:
    def __init__(self, root, seconds, seed):
        self.seconds, self.seed = seconds, seed
        self.root = os.path.realpath(root)
        self.sandbox = Sandbox(os.path.join(self.root, "jail"))
        self.jail = Jail(self.sandbox)
        self.work = self.sandbox.root
        self.outside = os.path.join(self.root, "outside")
        self.temp = self.sandbox.temp
        self.junk = os.path.join(self.work, "junk")
        for folder in (self.junk, self.outside):
            os.makedirs(folder)
        with open(os.path.join(self.outside, "keep.txt"), "w") as f:
            f.write("must not change\n")
        self.script_folders = [os.path.join(self.temp, f"sandbox{i}") for i in range(SCRIPT_FOLDERS)]
        for folder in self.script_folders:
            os.makedirs(os.path.join(folder, "inner"))
            with open(os.path.join(folder, "inner", "keep.txt"), "w") as f:
                f.write("the script's own\n")
        tempfile.tempdir = self.temp
        os.chdir(self.work)
        self.removing = threading.Lock()  # the removals, one at a time (see the docstring)
        self.problems = Problems()
        self.stop = threading.Event()
        self.thread_ends = collections.Counter()
        self.reassignments = 0
        self.replacements = 0
        self.self_test = None
        self.first_loads = False
        self.timings = {}

    # -- preparation --

    def prepare(self):
        from brivane_standin.installation import create_installation
        from brivane_standin.product.sdk import BrivaneModule as ProductModule

        import brivane_computer
        from brivane_computer import brivane_core as core

        self.core, self.package, self.product_module = core, brivane_computer, ProductModule
        self.installation = inst = create_installation(os.path.join(self.sandbox.protected, "Pelorix 2031.1"))
        core._settingsPath_, core._dataSourcesPath_ = inst.settings_path, inst.data_sources_path
        # Lines the module prints go nowhere; the replacer swaps this for another sink.
        core.print = self.sink
        self.uninstall = self.jail.install(core)
        # The jail's proxies where it has them; the replacer swaps each for a forwarding proxy and back.
        self.base_hosts = {name: vars(core)[name] for name in HOST_MODULES}
        self.functions = {name: getattr(core, name) for name in MODULE_FUNCTIONS}
        assert self.jailed(core.setup_brivane_computer, inst.root, brivane_computer.BrivaneModule.Pelorix) is True
        if not self.first_loads:
            # The stand-in's clr holds its lock while a first AddReference imports the product's
            # module, and its import finder takes that lock under the interpreter's import lock:
            # first loads racing with namespace imports can deadlock the stand-in itself. So every
            # assembly is referenced, and its namespaces imported, before the threads start.
            for name in ASSEMBLIES:
                core.load_dll(name + ".dll")
            for namespace in NAMESPACES:
                __import__(namespace)
        self.valid = {
            name: getattr(core, name)
            for name in (
                "_validSetup_",
                "_validPelorix_",
                "_validKarvona_",
                "_settingsPath_",
                "_dataSourcesPath_",
                "_CultureInfo_",
                "_exePath_",
                "_dllPath_",
                "_Revav_",
                "_Quelbar_",
                "_dataPath_",
                "_projectPath_",
                "_Application_",
                "_commandController_",
            )
        }
        with open(inst.settings_path, encoding="utf-8") as f:
            self.settings_document = json.load(f)
        with open(inst.data_sources_path, encoding="utf-8") as f:
            self.data_sources_document = json.load(f)
        self.junk_values = self._junk()
        self.outside_before = self._outside()

    def sink(self, *args, **kwargs):
        return None

    def sink2(self, *args, **kwargs):
        return None

    def _junk(self):
        junk = self.junk
        bad_json = os.path.join(junk, "bad.settings")
        with open(bad_json, "w") as f:
            f.write("{not json")
        empty_ext = os.path.join(junk, "Extensions")
        os.makedirs(empty_ext)
        a_file = os.path.join(junk, "a-file")
        with open(a_file, "w") as f:
            f.write("x")

        class NoSettings:
            def GetSettingsController(self):
                return None

        class Controller:
            model = None

            def AddCommand(self, command):
                return None

            def SetApplication(self, application):
                return None

        class BadSolution:
            def Dispose(self):
                raise RuntimeError("dispose refused")

        class Loud:
            """Compares and converts by raising."""

            def __eq__(self, other):
                raise ValueError("no equality")

            __ne__ = __eq__

            def __bool__(self):
                raise ValueError("no truth")

            __hash__ = object.__hash__

        missing = os.path.join(junk, "missing")
        return {
            "flag": [True, False, 0, 1, None, Loud()],
            "settings": [missing, bad_json, junk, None, 42, a_file],
            "culture": [None, object(), "en-US", Loud()],
            "folder": [missing, junk, empty_ext, None, 7, "", a_file, b"bytes"],
            "solver": [None, missing, 3.5, a_file, ""],
            "data": [None, missing, 0],
            "application": [None, object(), NoSettings(), Loud()],
            "controller": [None, object(), Controller(), Loud()],
            "solution": [None, object(), BadSolution(), "text", Loud()],
            "tempdir": [
                None,
                "",
                a_file,
                12,
                missing,
                Loud(),
                "/",
                ".",
                "..",
                self.work,
                self.temp,
                os.fsencode(self.script_folders[0]),
                StablePath(self.script_folders[1]),
            ],
        }

    def _outside(self):
        found = {}
        for folder, _, files in os.walk(self.outside):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    found[os.path.join(folder, name)] = f.read()
        return found

    # -- calling --

    def jailed(self, function, *args, **kwargs):
        """A call of the module, judged by what it may touch."""
        with self.jail.calling(getattr(function, "__name__", repr(function)), args, kwargs):
            return function(*args, **kwargs)

    def invoke(self, stats, function, *args, **kwargs):
        name = getattr(function, "__name__", repr(function))
        stats.calls += 1
        try:
            result = self.jailed(function, *args, **kwargs)
        except SystemError as e:
            self.problems.system_errors += 1
            self.problems.add(f"SystemError from {name}: {e}\n" + traceback.format_exc(limit=4))
            return None
        except Exception as e:  # noqa: BLE001 - expected: the module takes no lock
            stats.exceptions[type(e).__name__] += 1
            stats.samples.setdefault(type(e).__name__, f"{name}: {e}"[:200])
            return None
        except BaseException as e:  # noqa: BLE001
            self.problems.add(f"{type(e).__name__} from {name}: {e!r}")
            return None
        if sys.exc_info()[0] is not None:
            self.problems.left_set += 1
            self.problems.add(f"exception left set after {name}: {sys.exc_info()[1]!r}")
        if name in COUNTED_RESULTS:
            if result is None or isinstance(result, str) and not result:
                kind = repr(result)
            else:
                kind = type(result).__name__
            stats.results[f"{name} -> {kind}"] += 1
        return result

    # -- the workers --

    def worker(self, index, stats):
        core, rng = self.core, random.Random(self.seed * 1000 + index)
        folder = os.path.join(self.work, f"w{index}")
        models = os.path.join(folder, "models")
        projects = os.path.join(folder, "projects")
        os.makedirs(models)
        piping = os.path.join(models, "pipe.vokel")
        structure = os.path.join(models, "frame.vokel")
        with open(os.path.join(models, "loads.thf"), "w") as f:
            f.write("thf\n")
        state = {"model": None}
        invoke = lambda function, *a, **k: self.invoke(stats, function, *a, **k)  # noqa: E731
        module = self.package.BrivaneModule

        def arguments():
            for call in (
                lambda: core.load_dll("a", "b"),
                lambda: core.load_dll(name="x"),
                lambda: core.load_dll("a", dllname="b"),
                lambda: core.disposeSolution(1),
                lambda: core.disposeSolution(x=1),
                lambda: core.solve("a"),
                lambda: core.setup_brivane_computer(brivaneModule=module.All),
                lambda: core.find_first_file(folder, ".x", extra=1),
                lambda: core.createPipingVokel(2),
            ):
                invoke(call)

        def guards():
            invoke(core.getVokel, models)
            invoke(core.solvePipingModel, None, piping, "Quelbar", models)
            invoke(core.solveStructureModel, state["model"], structure, models)
            invoke(core.addStructureStudy, os.path.join(projects, "P"), "S9", 800, 600)
            invoke(core.createStructureVokel)

        def lookups():
            invoke(core.FindSolverPaths, self.settings_document)
            invoke(core.FindDataProjectPaths, self.data_sources_document)
            invoke(
                core.FindSolverPaths,
                rng.choice([{}, {"Families": 5}, {"Families": [{"Name": 3}]}, {"Families": [{"Name": "REVAV"}]}]),
            )
            invoke(core.FindDataProjectPaths, rng.choice([{}, {"CurrentDatasDirectory": ""}, []]))

        def files():
            invoke(core.find_first_file, models, rng.choice([".vokel", ".thf", "", ".VOKEL"]))
            invoke(core.find_first_file, os.path.join(folder, "missing"), ".x")
            invoke(core.getVokel, models)

        def set_up():
            directory = rng.choice([self.installation.root, self.installation.root, os.path.join(self.junk, "missing")])
            invoke(core.setup_brivane_computer, directory, rng.choice(list(module)))

        def loading():
            invoke(core.load_dll, rng.choice(["Brivane.SDK.dll", "Brivane.Helper.dll", "Missing.dll"]))
            invoke(core.load_dll_c, rng.choice(["Brivane.Quelbar.lib", "Missing.lib"]))
            # A new spelling of a loaded assembly's path: a new entry of _dlls_ and a printed line.
            invoke(
                core.load_dll,
                os.path.join(
                    self.installation.extensions, "." + os.sep * rng.randrange(1, 40), rng.choice(ASSEMBLIES) + ".dll"
                ),
            )

        def model_documents():
            model = invoke(rng.choice([core.createPipingVokel, core.createStructureVokel]))
            if model is not None:
                state["model"] = model
                command = invoke(core.createCommand, rng.choice(["ADD_PIPE", "ADD_BEAM", "ADD_LAYER", "NOPE"]), model)
                if command is not None:
                    invoke(core.executeCommand, command)
                invoke(core.saveVokel, model, piping if "Pelorix" in str(model.Module) else structure)
            loaded = invoke(core.loadVokel, rng.choice([piping, structure, os.path.join(models, "loads.thf")]))
            if loaded is not None:
                state["model"] = loaded
            invoke(core.createVokel, self.product_module.Pelorix)

        def fre_file():
            if state["model"] is not None:
                invoke(core.writeFreFile, state["model"], rng.choice([piping, structure]))

        def solving():
            invoke(
                core.solve,
                rng.choice([piping, structure, os.path.join(models, "missing.vokel")]),
                rng.choice(["Quelbar", "Revav", "Other"]),
                rng.choice([True, False]),
            )
            if rng.random() < 0.5:
                invoke(core.disposeSolution)
            if state["model"] is not None:
                choice = rng.random()
                if choice < 0.3:
                    invoke(core.solvePipingModel, state["model"], piping, rng.choice(["Quelbar", "Revav"]), models)
                elif choice < 0.5:
                    invoke(core._QuelbarSolve, state["model"], piping, models)
                elif choice < 0.7:
                    invoke(core._RevavSolve, state["model"], structure, models)
            copy = invoke(core.copyDirectoryToTemp, rng.choice([models, os.path.join(folder, "missing")]))
            if isinstance(copy, str) and copy.startswith(self.temp + os.sep):
                shutil.rmtree(copy, ignore_errors=True)

        def removal(function, path):
            with self.removing:
                invoke(function, path)

        def projects_and_studies():
            project = os.path.join(projects, "P")
            steps = [
                lambda: invoke(core.addProjectFolder, folder, "pf"),
                lambda: removal(core.removeProjectFolder, os.path.join(folder, "pf")),
                lambda: invoke(core.addPipingProject, projects, "P", "S1", 1920, 1080),
                lambda: invoke(core.addStructureProject, projects, "Q", "S1", 1920, 1080),
                lambda: invoke(core.addProject, projects, "R", "S1", 800, 600, self.product_module.Pelorix),
                lambda: invoke(core.addPipingStudy, project, "S2", 1920, 1080),
                lambda: invoke(core.addStudy, project, "S3", 1920, 1080, self.product_module.Karvona),
                lambda: invoke(core.duplicateStudy, project, "S1", "S1 copy"),
                lambda: invoke(core.removeStudy, project, rng.choice(["S2", "S1 copy", "S9"])),
                lambda: removal(
                    core.removeProject, rng.choice([project, os.path.join(projects, "Q"), os.path.join(projects, "R")])
                ),
            ]
            for step in rng.sample(steps, 4):
                step()

        def inspection():
            invoke(core.inspectClass, rng.choice([state["model"], None, 5]), rng.choice([True, False]))
            invoke(core.findNameSpaceAndAssembly, rng.choice(["Model", "QuelbarSolver", "Nope"]))

        operations = [
            arguments,
            guards,
            lookups,
            files,
            set_up,
            loading,
            model_documents,
            fre_file,
            solving,
            solving,
            projects_and_studies,
            inspection,
        ]
        if index == 0 and self.self_test:
            operations = [lambda: self.misbehave(stats)]
        while not self.stop.is_set():
            try:
                rng.choice(operations)()
            except Exception:  # noqa: BLE001 - a fault of the stress itself, not of the module
                self.problems.add(f"worker {index} failed:\n{traceback.format_exc(limit=6)}")

    def misbehave(self, stats):
        """--self-test: proves that the stress sees what it must not miss."""
        time.sleep(0.5)
        if self.self_test == "hang":
            self.stop.wait()
            threading.Event().wait()
        elif self.self_test == "crash":
            faulthandler._sigsegv()
        elif self.self_test == "systemerror":

            def broken():
                raise SystemError("error return without exception set")

            self.invoke(stats, broken)
        elif self.self_test == "outofbounds":

            def swallowed_removal():
                try:
                    vars(self.core)["shutil"].rmtree(self.script_folders[0])
                except Exception:  # noqa: BLE001 - as the module's guarded blocks do
                    pass

            self.invoke(stats, swallowed_removal)

    # -- the namespace changers --

    def reassigner(self):
        core, rng = self.core, random.Random(self.seed * 1000 + 100)
        kinds = {
            "_validSetup_": "flag",
            "_validPelorix_": "flag",
            "_validKarvona_": "flag",
            "_settingsPath_": "settings",
            "_dataSourcesPath_": "settings",
            "_CultureInfo_": "culture",
            "_exePath_": "folder",
            "_dllPath_": "folder",
            "_Revav_": "solver",
            "_Quelbar_": "solver",
            "_Solution_": "solution",
            "_dataPath_": "data",
            "_projectPath_": "data",
            "_Application_": "application",
            "_commandController_": "controller",
            "_tempDirectory_": "tempdir",
        }
        while not self.stop.is_set():
            name = rng.choice(list(kinds))
            roll = rng.random()
            try:
                if roll < 0.45 and name in self.valid:
                    value = self.valid[name]
                elif name == "_tempDirectory_" and roll < 0.7:
                    # A folder of the script's own, made before the threads started: disposeSolution
                    # must leave it in place.
                    value = rng.choice(self.script_folders)
                elif roll < 0.03:
                    vars(core).pop(name, None)
                    time.sleep(0.0005)
                    value = self.valid.get(name)
                else:
                    value = rng.choice(self.junk_values[kinds[name]])
                setattr(core, name, value)
                self.reassignments += 1
            except Exception:  # noqa: BLE001
                self.problems.add(f"reassigner failed:\n{traceback.format_exc(limit=4)}")
            time.sleep(rng.choice([0, 0, 0.0002, 0.001]))

    def replacer(self):
        core, rng = self.core, random.Random(self.seed * 1000 + 200)

        def proxy_function(function):
            def working_proxy(*args, **kwargs):
                return function(*args, **kwargs)

            working_proxy.__name__ = function.__name__
            return working_proxy

        def shadow(name):
            real = self.jail.open if name == "open" else getattr(builtins, name)

            def working_shadow(*args, **kwargs):
                return real(*args, **kwargs)

            return working_shadow

        while not self.stop.is_set():
            kind = rng.random()
            try:
                if kind < 0.4:
                    name = rng.choice(MODULE_FUNCTIONS)
                    original = self.functions[name]
                    setattr(core, name, proxy_function(original) if getattr(core, name) is original else original)
                elif kind < 0.75:
                    name = rng.choice(HOST_MODULES)
                    base = self.base_hosts[name]
                    setattr(core, name, Forward(base) if vars(core).get(name) is base else base)
                elif kind < 0.95:
                    name = rng.choice(SHADOWS)
                    if name in vars(core):
                        del vars(core)[name]
                    else:
                        setattr(core, name, shadow(name))
                else:
                    core.print = self.sink2 if vars(core).get("print") is self.sink else self.sink
                self.replacements += 1
            except Exception:  # noqa: BLE001
                self.problems.add(f"replacer failed:\n{traceback.format_exc(limit=4)}")
            time.sleep(rng.choice([0, 0.0002, 0.001]))

    def restore(self):
        core = self.core
        for name, value in self.functions.items():
            setattr(core, name, value)
        for name, value in self.base_hosts.items():
            setattr(core, name, value)
        for name in SHADOWS:
            vars(core).pop(name, None)
        core.open = self.jail.open
        core.print = self.sink
        for name, value in self.valid.items():
            setattr(core, name, value)
        core._Solution_ = None
        core._tempDirectory_ = None

    # -- the run --

    def run(self):
        import brivane_standin.product.pelorix_core  # noqa: F401 - loaded before the threads start
        from brivane_standin import journal

        def thread_ended(arguments):
            name = arguments.exc_type.__name__
            self.thread_ends[name] += 1
            if issubclass(arguments.exc_type, SystemError) or not issubclass(arguments.exc_type, Exception):
                self.problems.add(f"a thread ended with {arguments.exc_value!r}")

        threading.excepthook = thread_ended

        stats = [Stats() for _ in range(WORKERS)]
        threads = [
            threading.Thread(target=self.worker, args=(i, stats[i]), name=f"worker-{i}", daemon=True)
            for i in range(WORKERS)
        ]
        threads += [
            threading.Thread(target=self.reassigner, name="reassigner", daemon=True),
            threading.Thread(target=self.replacer, name="replacer", daemon=True),
        ]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        while time.monotonic() - started < self.seconds:
            time.sleep(0.25)
            journal.clear()  # the stand-in's record of calls would grow without end
        self.stop.set()
        duration = time.monotonic() - started
        deadline = time.monotonic() + JOIN_LIMIT
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        self.timings["stop to joined"] = time.monotonic() - started - duration
        stuck = [t.name for t in threads if t.is_alive()]
        if stuck:
            faulthandler.dump_traceback(all_threads=True)
            return self.report(stats, duration, deadlocks=len(stuck), extra=[f"threads stuck: {stuck}"])

        # Still fully usable afterwards, and nothing outside the temporary folder changed.
        self.restore()
        extra = []
        final_started = time.monotonic()
        try:
            self.final_check()
        except Exception:  # noqa: BLE001
            extra.append(f"the module failed after the stress:\n{traceback.format_exc(limit=6)}")
        self.timings["final check"] = time.monotonic() - final_started
        if self._outside() != self.outside_before:
            extra.append("a file outside the jail's sandbox changed")
        for folder in self.script_folders:
            if not os.path.isfile(os.path.join(folder, "inner", "keep.txt")):
                extra.append(f"a folder of the script's own was removed: {folder}")
        for violation in list(dict.fromkeys(self.jail.violations))[:20]:
            extra.append(f"out of bounds: {violation}")
        return self.report(stats, duration, deadlocks=0, extra=extra)

    def final_check(self):
        core = self.core
        core._settingsPath_ = self.installation.settings_path
        core._dataSourcesPath_ = self.installation.data_sources_path
        call = self.jailed
        assert call(core.setup_brivane_computer, self.installation.root, self.package.BrivaneModule.Pelorix) is True
        call(core.disposeSolution)
        folder = os.path.join(self.work, "final")
        os.makedirs(folder)
        model = call(core.createPipingVokel)
        call(core.executeCommand, call(core.createCommand, "ADD_PIPE", model))
        path = os.path.join(folder, "final.vokel")
        call(core.saveVokel, model, path)
        solution = call(core.solve, path, "Quelbar", True)
        assert solution is not None, "a clean sandboxed solve found no solution"
        sandbox = core._tempDirectory_
        call(core.disposeSolution)
        assert not os.path.exists(sandbox), "disposeSolution left the sandbox"

    @staticmethod
    def sanitizer_loaded():
        try:
            with open("/proc/self/maps", encoding="utf-8", errors="replace") as f:
                return "libasan" in f.read()
        except OSError:
            return False

    def report(self, stats, duration, deadlocks, extra):
        exceptions, results, samples = collections.Counter(), collections.Counter(), {}
        for s in stats:
            exceptions.update(s.exceptions)
            results.update(s.results)
            for name, text in s.samples.items():
                samples.setdefault(name, text)
        for text in extra:
            self.problems.add(text)
        return {
            "duration": duration,
            "calls": sum(s.calls for s in stats),
            "exceptions": dict(exceptions),
            "samples": samples,
            "results": dict(results),
            "thread_ends": dict(self.thread_ends),
            "reassignments": self.reassignments,
            "replacements": self.replacements,
            "deadlocks": deadlocks,
            "system_errors": self.problems.system_errors,
            "left_set": self.problems.left_set,
            "out_of_bounds": len(self.jail.violations),
            "contained": self.jail.contained,
            "problems": self.problems.items,
            "module": self.core.__file__,
            "sanitizer": self.sanitizer_loaded(),
            "timings": self.timings,
        }


def child(args):
    faulthandler.enable()
    # The last watchdog: a hang that even the join limit does not catch ends the process with all tracebacks.
    faulthandler.dump_traceback_later(args.seconds + 2 * JOIN_LIMIT + 60, exit=True)
    warnings.simplefilter("ignore", RuntimeWarning)  # the version notice on interpreters after 3.10
    sys.setswitchinterval(2e-5)  # switch threads often
    stress = Stress(args.root, args.seconds, args.seed)
    stress.self_test = args.self_test
    stress.first_loads = args.first_loads
    prepare_started = time.monotonic()
    stress.prepare()
    stress.timings["prepare"] = time.monotonic() - prepare_started
    result = stress.run()
    with open(args.result, "w", encoding="utf-8") as f:
        json.dump(result, f)
    sys.stdout.flush()
    if result["deadlocks"]:
        os._exit(3)  # stuck threads would keep the interpreter from ending
    stress.uninstall()
    os.chdir(ROOT)
    shutil.rmtree(args.root, ignore_errors=True)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--reports", help="folder of the sanitizer's report files")
    parser.add_argument(
        "--first-loads",
        action="store_true",
        help="leave the first loads of most assemblies to the threads (exposes the stand-in's clr lock-order deadlock)",
    )
    parser.add_argument("--verbose", action="store_true", help="an example message of each exception type")
    parser.add_argument("--self-test", choices=["hang", "crash", "systemerror", "outofbounds"], help=argparse.SUPPRESS)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    parser.add_argument("--root", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    confinement.require("thread stress")
    return child(args) if args.child else parent(args)


if __name__ == "__main__":
    sys.exit(main())

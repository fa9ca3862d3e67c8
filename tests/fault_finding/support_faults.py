"""Host-call fault injection for the module's file-handling functions.

The module looks up `os`, `os.path`, `shutil`, `tempfile`, `uuid`, `json`,
`open` and `print` in its own namespace at every use. :class:`Harness` puts
counting proxies there (and Python wrappers around the module's functions,
which keep a per-thread stack of the module functions that are running), so
that the k-th host call of an action can be made to fail. A clean run of a
scenario gives the list of its host calls; one case per call then makes that
call fail and checks the outcome and the invariants:

- the exception passes through unchanged, except where a function catches
  it (writeFreFile's moving aside of the old fre file, set-up's look-up of the temporary folder,
  disposeSolution's folder deletion, the two removals, copyDirectoryToTemp's copy); a failure on a solver
  worker thread ends that thread and the solve returns None;
- a sandboxed solve never changes the model's own folder;
- nothing outside the folders a call works in is created, changed or removed;
- after a final disposeSolution no temporary folder of the module is left;
- model, fre and project files are never left truncated or corrupt;
- addProject leaves no empty project folder behind after a failure;
- every file the module opens is closed again.
"""

import builtins
import collections
import contextlib
import errno
import io
import os
import shutil
import tempfile
import threading

from brivane_standin import journal
from brivane_standin.installation import create_installation
from brivane_standin.knobs import knobs
from brivane_standin.product import read_fre, read_project
from brivane_standin.product.pelorix_core import Model
from brivane_standin.product.sdk import BrivaneModule as ProductModule
from brivane_testkit.module_table import DELETE_FAILED
from brivane_testkit.trees import tree_contents

import brivane_computer
from brivane_computer import brivane_core

from ..support import reset_module

HOST_MODULES = ("os", "shutil", "tempfile", "uuid", "json")
SHADOWED_BUILTINS = ("open", "print")
RUN_FUNCTIONS = ("_QuelbarSolve", "_RevavSolve")

# (module function, host call) pairs whose Exception-family failures the function catches.
CATCHES = {
    # The old fre file: claiming its aside name, moving it there, deleting it once the new one stands.
    ("writeFreFile", "open"),
    ("writeFreFile", "os.replace"),
    ("writeFreFile", "os.remove"),
    ("disposeSolution", "os.path.isdir"),
    ("disposeSolution", "shutil.rmtree"),
    ("copyDirectoryToTemp", "os.mkdir"),
    ("copyDirectoryToTemp", "shutil.copytree"),
    ("copyDirectoryToTemp", "shutil.rmtree"),
    # Set-up looks the temporary folder up only so that no sandboxed solve is the first to.
    ("setup_brivane_computer", "tempfile.gettempdir"),
}
for _removal in ("removeProject", "removeProjectFolder"):
    CATCHES |= {
        (_removal, call)
        for call in (
            "os.path.sep",
            "os.path.altsep",
            "os.path.split",
            "os.path.islink",
            "os.path.isjunction",
            "os.chdir",
            "shutil.rmtree",
        )
    }


HostCall = collections.namedtuple("HostCall", "name thread stack")


class Injector:
    """Counts the host calls made through the proxies; the call with index
    `fail_at` (counted from the last `arm`) raises `error` instead of running."""

    def __init__(self):
        self.lock = threading.Lock()
        self.local = threading.local()
        self.calls = []
        self.fail_at = None
        self.error = None
        self.failed = None
        self.opened = []
        self.printed = []
        self.partial_copy = None

    def stack(self):
        if not hasattr(self.local, "stack"):
            self.local.stack = []
        return self.local.stack

    def arm(self, fail_at=None, error=None):
        with self.lock:
            self.calls = []
            self.fail_at, self.error, self.failed = fail_at, error, None
            self.printed = []

    def call(self, name, real, args, kwargs):
        record = HostCall(name, threading.get_ident(), tuple(self.stack()))
        with self.lock:
            index = len(self.calls)
            self.calls.append(record)
            failing = index == self.fail_at
            if failing:
                self.failed = record
        if failing:
            raise self.error
        if name == "shutil.copytree" and self.partial_copy is not None:
            return self.partial_copy(real, *args, **kwargs)
        result = real(*args, **kwargs)
        if name == "open":
            self.opened.append(result)
        elif name == "print":
            self.printed.append(args)
        return result


class HostProxy:
    """Stands for a host module in the module namespace: every callable
    attribute goes through the injector; `children` replace attributes (os.path)."""

    def __init__(self, injector, real, prefix, children=None):
        self._injector, self._real, self._prefix = injector, real, prefix
        self._children = children or {}

    def __getattr__(self, name):
        if name in self._children:
            return self._children[name]
        value = getattr(self._real, name)
        if not callable(value):
            return value
        injector, label = self._injector, f"{self._prefix}.{name}"

        def host_call(*args, **kwargs):
            return injector.call(label, value, args, kwargs)

        return host_call


def _shadow(injector, name):
    def host_call(*args, **kwargs):
        return injector.call(name, getattr(builtins, name), args, kwargs)

    return host_call


def _traced(injector, name, function):
    def call(*args, **kwargs):
        stack = injector.stack()
        stack.append(name)
        try:
            return function(*args, **kwargs)
        finally:
            stack.pop()

    call.__name__ = call.__qualname__ = name
    return call


class Harness:
    """Installs the proxies and the traced module functions; `close` puts
    everything back. Also records the exceptions that end worker threads."""

    def __init__(self, core=brivane_core):
        self.core = core
        self.injector = injector = Injector()
        self.thread_errors = []
        namespace = vars(core)
        self.saved = {name: namespace[name] for name in HOST_MODULES}
        self.saved_functions = {
            name: value
            for name, value in namespace.items()
            if callable(value) and not isinstance(value, type) and getattr(value, "__module__", None) == core.__name__
        }
        self.saved_hook = threading.excepthook
        paths = HostProxy(injector, os.path, "os.path")
        for name in HOST_MODULES:
            children = {"path": paths} if name == "os" else None
            setattr(core, name, HostProxy(injector, self.saved[name], name, children))
        for name in SHADOWED_BUILTINS:
            setattr(core, name, _shadow(injector, name))
        for name, function in self.saved_functions.items():
            setattr(core, name, _traced(injector, name, function))
        threading.excepthook = self._thread_ended

    def _thread_ended(self, arguments):
        self.thread_errors.append((arguments.thread, arguments.exc_value))

    def close(self):
        threading.excepthook = self.saved_hook
        for name, value in self.saved.items():
            setattr(self.core, name, value)
        for name, value in self.saved_functions.items():
            setattr(self.core, name, value)
        for name in SHADOWED_BUILTINS:
            vars(self.core).pop(name, None)


# --- disk helpers ---------------------------------------------------------------


def documents(root):
    """{path: bytes} of the model, fre and project files under `root`."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            if os.path.splitext(name)[1].lower() in (".vokel", ".fre", ".project"):
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    found[path] = f.read()
    return found


def readable(path):
    """None when the document at `path` reads back, else why not."""
    ending = os.path.splitext(path)[1].lower()
    try:
        if ending == ".vokel":
            Model().LoadFromFile(path)
        elif ending == ".fre":
            read_fre(path)
        else:
            read_project(path)
    except Exception as e:  # noqa: BLE001 - any failure is the answer
        return f"{type(e).__name__}: {e}"
    return None


def build_model(core, folder, name, kind, fre=True, thf=True):
    """A model saved by the module: folder/name.vokel, its fre file
    (conception.fre, or none), and one ".thf" file."""
    os.makedirs(folder, exist_ok=True)
    model = core.createPipingVokel() if kind == "piping" else core.createStructureVokel()
    core.executeCommand(core.createCommand("ADD_PIPE" if kind == "piping" else "ADD_BEAM", model))
    path = os.path.join(folder, name + ".vokel")
    core.saveVokel(model, path)
    if not fre:
        os.remove(os.path.join(folder, "conception.fre"))
    if thf:
        with open(os.path.join(folder, "loads.thf"), "w") as f:
            f.write("thf\n")
    return path


def make_tree(folder):
    for relative, text in (("a/b/c.txt", "c"), ("a/d.txt", "d"), ("e.txt", "e"), ("f/g.bin", "g" * 3000)):
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


# --- scenarios ------------------------------------------------------------------


class Env:
    """The folders of one case under `root`: the installation, the work area
    (the folders the calls work in), a neighbour folder nobody may touch, and
    the temporary folder the module sees (tempfile.gettempdir())."""

    def __init__(self, root):
        self.root = str(root)
        self.work = os.path.join(self.root, "work")
        self.temp = os.path.join(self.root, "temp")
        self.neighbour = os.path.join(self.root, "neighbour")
        for folder in (self.work, self.temp):
            os.makedirs(folder)
        make_tree(self.neighbour)
        self.installation = create_installation(os.path.join(self.root, "Pelorix 2031.1"))
        self.core = brivane_core
        self.state = {}


def _set_up(env):
    env.core._settingsPath_ = env.installation.settings_path
    env.core._dataSourcesPath_ = env.installation.data_sources_path
    assert env.core.setup_brivane_computer(env.installation.root, brivane_computer.BrivaneModule.Pelorix) is True


class Scenario:
    """prepare(env) sets the stage (no faults); act(env) is the call under
    test; `works_in(env)` the folders it may change; `sandboxed(env)` the
    model folder a sandboxed solve must leave as it is."""

    def __init__(self, name, prepare, act, works_in, sandboxed=None, project=None, removes=None):
        self.name, self.prepare, self.act, self.works_in = name, prepare, act, works_in
        self.sandboxed, self.project, self.removes = sandboxed, project, removes


def _solve_scenario(name, kind, solver, sandbox, fre):
    def prepare(env):
        _set_up(env)
        folder = os.path.join(env.work, "models")
        env.state["model"] = build_model(env.core, folder, "study1", kind, fre=fre)
        env.state["folder"] = folder
        # An earlier sandboxed solve: the call under test disposes its solution and folder first.
        assert env.core.solve(env.state["model"], solver, True) is not None

    def act(env):
        return env.core.solve(env.state["model"], solver, sandbox)

    def works_in(env):
        return [env.temp] + ([] if sandbox else [env.state["folder"]])

    return Scenario(name, prepare, act, works_in, sandboxed=(lambda env: env.state["folder"]) if sandbox else None)


def _prepare_model(env, fre_name):
    _set_up(env)
    folder = os.path.join(env.work, "models")
    path = build_model(env.core, folder, "study1", "piping")
    if fre_name == "own":
        os.rename(os.path.join(folder, "conception.fre"), os.path.join(folder, "study1.fre"))
    model = env.core.loadVokel(path)
    env.core.executeCommand(env.core.createCommand("ADD_PIPE", model))
    env.state.update(model=model, path=path, folder=folder)


def _prepare_projects(env):
    _set_up(env)
    env.state["parent"] = os.path.join(env.work, "projects")
    os.makedirs(env.state["parent"])
    env.state["project"] = os.path.join(env.state["parent"], "Plant1")


def _prepare_project_to_remove(env):
    _prepare_projects(env)
    project = env.core.addPipingProject(env.state["parent"], "Plant1", "Study1", 1920, 1080)
    assert project == env.state["project"]
    env.core.addPipingStudy(project, "Study2", 1920, 1080)
    make_tree(os.path.join(project, "attachments"))


def _prepare_folder_to_remove(env):
    _set_up(env)
    env.state["group"] = os.path.join(env.work, "Group1")
    make_tree(env.state["group"])


def _prepare_tree(env):
    env.state["tree"] = os.path.join(env.work, "tree")
    make_tree(env.state["tree"])


def _prepare_solution(env):
    _set_up(env)
    model = build_model(env.core, os.path.join(env.work, "models"), "study1", "piping")
    assert env.core.solve(model, "Quelbar", True) is not None


def _prepare_set_up(env):
    env.core._settingsPath_ = env.installation.settings_path
    env.core._dataSourcesPath_ = env.installation.data_sources_path


SCENARIOS = {
    s.name: s
    for s in (
        _solve_scenario("solve-sandbox-quelbar", "piping", "Quelbar", True, fre=True),
        _solve_scenario("solve-sandbox-revav", "structure", "Revav", True, fre=True),
        _solve_scenario("solve-inplace-quelbar", "piping", "Quelbar", False, fre=False),
        _solve_scenario("solve-inplace-revav", "structure", "Revav", False, fre=True),
        Scenario(
            "writeFreFile",
            lambda env: _prepare_model(env, "own"),
            lambda env: env.core.writeFreFile(env.state["model"], env.state["path"]),
            lambda env: [env.state["folder"]],
        ),
        Scenario(
            "saveVokel",
            lambda env: _prepare_model(env, "conception"),
            lambda env: env.core.saveVokel(env.state["model"], env.state["path"]),
            lambda env: [env.state["folder"]],
        ),
        Scenario(
            "addProject",
            _prepare_projects,
            lambda env: env.core.addProject(env.state["parent"], "Plant1", "Study1", 1920, 1080, ProductModule.Pelorix),
            lambda env: [env.state["project"]],
            project=lambda env: env.state["project"],
        ),
        Scenario(
            "addPipingProject",
            _prepare_projects,
            lambda env: env.core.addPipingProject(env.state["parent"], "Plant1", "Study1", 1920, 1080),
            lambda env: [env.state["project"]],
            project=lambda env: env.state["project"],
        ),
        Scenario(
            "removeProject",
            _prepare_project_to_remove,
            lambda env: env.core.removeProject(env.state["project"]),
            lambda env: [env.state["project"]],
            removes=lambda env: env.state["project"],
        ),
        Scenario(
            "removeProjectFolder",
            _prepare_folder_to_remove,
            lambda env: env.core.removeProjectFolder(env.state["group"]),
            lambda env: [env.state["group"]],
            removes=lambda env: env.state["group"],
        ),
        Scenario(
            "copyDirectoryToTemp",
            _prepare_tree,
            lambda env: env.core.copyDirectoryToTemp(env.state["tree"]),
            lambda env: [env.temp],
        ),
        Scenario("disposeSolution", _prepare_solution, lambda env: env.core.disposeSolution(), lambda env: [env.temp]),
        Scenario(
            "setup_brivane_computer",
            _prepare_set_up,
            lambda env: env.core.setup_brivane_computer(env.installation.root, brivane_computer.BrivaneModule.Pelorix),
            lambda env: [],
        ),
    )
}


# --- one case -------------------------------------------------------------------

Outcome = collections.namedtuple("Outcome", "kind value")  # kind: "returned" or "raised"


class CaseResult:
    def __init__(self):
        self.calls = []
        self.records = []
        self.failed = None
        self.outcome = None
        self.expected = None
        self.mismatches = []
        self.violations = []
        self.printed = []
        self.signature = None


def signature(value, env):
    """What must be the same between a clean run and a run whose fault was caught."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, str):
        return "<temporary folder>" if value.startswith(env.temp + os.sep) else value
    return type(value).__name__


@contextlib.contextmanager
def _case_environment(root):
    """The temporary folder, the working directory and the knobs, put back afterwards."""
    saved_tempdir, cwd = tempfile.tempdir, os.getcwd()
    reset_module()
    env = Env(root)
    tempfile.tempdir = env.temp
    try:
        yield env
    finally:
        tempfile.tempdir = saved_tempdir
        os.chdir(cwd)
        knobs.reset()


def run_case(scenario, root, fail_at=None, error=None, clean_signature=None, product_fault=None, partial_copy=None):
    """Runs `scenario` in `root` with host call `fail_at` raising `error` (or
    with `product_fault(knobs)` applied before the action) and checks the
    outcome and the invariants."""
    result = CaseResult()
    with _case_environment(root) as env:
        harness = Harness(env.core)
        try:
            scenario.prepare(env)
            _check_case(scenario, env, harness, result, fail_at, error, clean_signature, product_fault, partial_copy)
        finally:
            harness.close()
            reset_module()
    return result


def _check_case(scenario, env, harness, result, fail_at, error, clean_signature, product_fault, partial_copy):
    injector, core = harness.injector, env.core
    works_in = scenario.works_in(env)
    outside_before = tree_contents(env.root, skip=works_in)
    documents_before = documents(env.work)
    sandboxed = scenario.sandboxed(env) if scenario.sandboxed else None
    sandboxed_before = tree_contents(sandboxed) if sandboxed else None
    journal.clear()
    harness.thread_errors.clear()
    if product_fault is not None:
        product_fault(knobs)
    injector.partial_copy = partial_copy

    injector.arm(fail_at, error)
    main = threading.get_ident()
    try:
        outcome = Outcome("returned", scenario.act(env))
    except BaseException as e:  # noqa: BLE001 - interrupts are outcomes here too
        outcome = Outcome("raised", e)
    result.calls = [c.name for c in injector.calls]
    result.records = list(injector.calls)
    result.signature = signature(outcome.value, env) if outcome.kind == "returned" else None
    result.failed, result.outcome, result.printed = injector.failed, outcome, list(injector.printed)
    injector.arm()
    injector.partial_copy = None
    knobs.reset()
    thread_errors = list(harness.thread_errors)

    if fail_at is not None:
        _check_outcome(env, result, outcome, error, main, thread_errors, clean_signature, scenario)

    violations = result.violations
    # The model's own folder, for a sandboxed solve.
    if sandboxed and tree_contents(sandboxed) != sandboxed_before:
        violations.append(f"sandboxed solve changed the model folder {sandboxed}")
    # Nothing outside the folders the call works in.
    outside_after = tree_contents(env.root, skip=works_in)
    if outside_after != outside_before:
        changed = sorted(set(outside_after.items()) ^ set(outside_before.items()), key=str)
        violations.append(f"changed outside {works_in}: {[c[0] for c in changed][:6]}")
    # No empty project folder after a failure.
    if scenario.project and outcome.kind == "raised":
        project = scenario.project(env)
        if os.path.isdir(project) and not os.listdir(project):
            violations.append(f"empty project folder left behind: {project}")
    # Documents: as they were, or readable; a model or project file is never lost
    # (a fre file may be: writeFreFile deletes it before writing it anew).
    removed_root = scenario.removes(env) if scenario.removes else None
    documents_after = documents(env.work)
    for path, content in documents_before.items():
        if removed_root and path.startswith(removed_root + os.sep):
            continue
        if path not in documents_after:
            if not path.endswith(".fre"):
                violations.append(f"document lost: {path}")
        elif documents_after[path] != content and readable(path):
            violations.append(f"document corrupt: {path} ({readable(path)})")
    for path in set(documents_after) - set(documents_before):
        if readable(path):
            violations.append(f"new document unreadable: {path} ({readable(path)})")
    # Files the module opened.
    still_open = [f.name for f in injector.opened if not f.closed]
    if still_open:
        violations.append(f"files left open: {still_open}")
    # A copy made by copyDirectoryToTemp is the caller's: the module deletes it only once _tempDirectory_ names it.
    if scenario.name == "copyDirectoryToTemp" and outcome.kind == "returned" and outcome.value:
        if tree_contents(outcome.value) != tree_contents(env.state["tree"]):
            violations.append("copyDirectoryToTemp returned an incomplete copy")
        shutil.rmtree(outcome.value)
    # A final disposeSolution leaves no temporary folder of the module.
    try:
        core.disposeSolution()
    except BaseException as e:  # noqa: BLE001
        violations.append(f"final disposeSolution raised {type(e).__name__}: {e}")
    leftover = os.listdir(env.temp)
    interrupted_copy = scenario.name == "copyDirectoryToTemp" and outcome.kind == "raised"
    if leftover and not interrupted_copy:
        violations.append(f"temporary folders left after disposeSolution: {leftover}")


def _check_outcome(env, result, outcome, error, main, thread_errors, clean_signature, scenario):
    """The outcome class that the failing call's place in the module calls for."""
    failed, mismatches = result.failed, result.mismatches
    if failed is None:
        mismatches.append(f"host call {len(result.calls)} calls made, the fault was never reached")
        return
    innermost = failed.stack[-1] if failed.stack else None
    if isinstance(error, Exception) and (innermost, failed.name) in CATCHES:
        result.expected = f"caught by {innermost}"
        if outcome.kind != "returned":
            mismatches.append(f"expected {innermost} to catch {failed.name}'s error, got {outcome.value!r}")
            return
        wanted = clean_signature
        if innermost == "copyDirectoryToTemp" and failed.name in ("os.mkdir", "shutil.copytree"):
            wanted = ""
        if signature(outcome.value, env) != wanted:
            mismatches.append(f"result {signature(outcome.value, env)!r}, expected {wanted!r}")
        if innermost == "disposeSolution" and not any(
            len(args) == 2 and args[0] == DELETE_FAILED and args[1] is error for args in result.printed
        ):
            mismatches.append(f"no {DELETE_FAILED!r} line with the error: {result.printed}")
        if thread_errors:
            mismatches.append(f"a thread ended with {thread_errors[0][1]!r}")
    elif failed.thread != main:
        result.expected = "ends the solver thread"
        runs = [f for f in failed.stack if f in RUN_FUNCTIONS]
        if not runs:
            mismatches.append(f"host call on another thread outside a solver run: {failed}")
        if outcome.kind != "returned" or outcome.value is not None:
            mismatches.append(f"expected the solve to return None, got {outcome}")
        if [e for _, e in thread_errors] != [error]:
            mismatches.append(f"expected the solver thread to end with the error, got {thread_errors}")
    else:
        result.expected = "raised unchanged"
        if outcome.kind != "raised" or outcome.value is not error:
            mismatches.append(f"expected {error!r} unchanged, got {outcome}")
        if thread_errors:
            mismatches.append(f"a thread ended with {thread_errors[0][1]!r}")


# --- enumeration ----------------------------------------------------------------

# where: the module function that makes the host call.
Case = collections.namedtuple("Case", "scenario k call where fault clean")


def make_error(fault, k):
    if fault == "interrupt":
        return KeyboardInterrupt(f"injected at host call {k}")
    if fault == "permission":
        return PermissionError(errno.EACCES, f"injected at host call {k}")
    return OSError(errno.EIO, f"injected at host call {k}")


def clean_run(scenario):
    """(host calls, result signature) of a run without faults, made in a
    temporary folder of its own and forgotten afterwards."""
    root = tempfile.mkdtemp(prefix="brivane-faults-")
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = run_case(scenario, os.path.join(root, "case"))
        if result.outcome.kind != "returned" or result.violations:
            raise RuntimeError(f"clean run of {scenario.name} failed: {result.outcome} {result.violations}")
        return result.records, result.signature
    finally:
        shutil.rmtree(root, ignore_errors=True)


def host_fault_cases():
    """One case per host call of each scenario's clean run (OSError and
    PermissionError alternately), and KeyboardInterrupt at the first, the
    middle and the last call."""
    cases = []
    for scenario in SCENARIOS.values():
        calls, clean = clean_run(scenario)
        for k, call in enumerate(calls):
            cases.append(Case(scenario.name, k, call.name, call.stack[-1], "permission" if k % 2 else "oserror", clean))
        for k in sorted({0, len(calls) // 2, len(calls) - 1}):
            cases.append(Case(scenario.name, k, calls[k].name, calls[k].stack[-1], "interrupt", clean))
    return cases

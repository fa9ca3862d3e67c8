"""solvePipingModel and solveStructureModel: guards, kind checks, the solver
choice, the assemblies, and the run on a joined daemon worker thread."""

import os
import threading
import types
import warnings

import pytest
import pythoncom
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_testkit.module_table import GUARD_MESSAGE, INVALID_SOLVER

from .support_solving import Disposable, Recorder, ThreadSpy, spy

CORE = "Brivane.Pelorix.Core.dll"
SDK = "Brivane.SDK.dll"
HELPER = "Brivane.Helper.dll"

# (function, kind of model it accepts, solver name or None, run function, assemblies in order)
PATHS = [
    ("solvePipingModel", "piping", "Revav", "_RevavSolve", [CORE, SDK, HELPER, "Brivane.Revav.Core.dll"]),
    ("solvePipingModel", "piping", "Quelbar", "_QuelbarSolve", [CORE, SDK, "Brivane.Quelbar.Core.dll"]),
    ("solveStructureModel", "structure", None, "_RevavSolve", [CORE, SDK, HELPER, "Brivane.Revav.Core.dll"]),
]
PATH_IDS = ["piping-Revav", "piping-Quelbar", "structure"]


@pytest.fixture
def study(models, core, capsys):
    """study(kind) -> a saved model of that kind, its folder and the loaded model."""

    def make(kind="piping", **options):
        path = models(folder=kind, kind=kind, **options)
        vokel = core.loadVokel(path)
        if isinstance(core.load_dll, Recorder):
            core.load_dll.calls.clear()
        journal.clear()
        capsys.readouterr()
        return types.SimpleNamespace(path=path, folder=os.path.dirname(path), vokel=vokel)

    return make


class FileNames:
    """The file names handed to load_dll so far, in order; compares as a list."""

    def __init__(self, recorder):
        self.recorder = recorder

    def __eq__(self, other):
        return [args[0] for args in self.recorder.calls] == other

    def __repr__(self):
        return repr([args[0] for args in self.recorder.calls])


@pytest.fixture
def loads(monkeypatch, core):
    return FileNames(spy(monkeypatch, core, "load_dll"))


def solve(core, function, solver, vokel, path, folder):
    if function == "solvePipingModel":
        return core.solvePipingModel(vokel, path, solver, folder)
    return core.solveStructureModel(vokel, path, folder)


def solve_with(core, function, solver, model):
    return solve(core, function, solver, model.vokel, model.path, model.folder)


@pytest.mark.parametrize(
    "function, flags, refused",
    [
        ("solvePipingModel", {"_validSetup_": False}, True),
        ("solvePipingModel", {"_validPelorix_": False}, True),
        ("solvePipingModel", {"_validSetup_": 0, "_validPelorix_": 1}, True),
        ("solvePipingModel", {"_validKarvona_": False}, False),
        ("solveStructureModel", {"_validSetup_": False}, True),
        ("solveStructureModel", {"_validKarvona_": False}, True),
        ("solveStructureModel", {"_validPelorix_": False}, False),
    ],
)
def test_the_guards(core, study, loads, function, flags, refused):
    model = study("piping" if function == "solvePipingModel" else "structure")
    earlier = Disposable()
    core._Solution_ = earlier
    for name, value in flags.items():
        setattr(core, name, value)
    if refused:
        with pytest.raises(EnvironmentError) as raised:
            solve_with(core, function, "Quelbar", model)
        assert str(raised.value) == GUARD_MESSAGE
        assert loads == [] and journal.entries() == []
        assert core._Solution_ is earlier
        # The guard comes before the model is looked at.
        with pytest.raises(EnvironmentError, match="Invalid setup!"):
            solve(core, function, "Quelbar", None, None, None)
    else:
        assert type(solve_with(core, function, "Quelbar", model)).__name__ == "Solution"


@pytest.mark.parametrize("function", ["solvePipingModel", "solveStructureModel"])
def test_a_missing_model_is_refused_before_anything_is_loaded(core, study, loads, function):
    model = study()
    earlier = Disposable()
    core._Solution_ = earlier
    with pytest.raises(EnvironmentError) as raised:
        solve(core, function, "Revav", None, model.path, model.folder)
    assert type(raised.value) is OSError and str(raised.value) == "Invalid vokel."
    assert loads == [] and journal.entries() == []
    assert core._Solution_ is earlier and earlier.disposed == 0


@pytest.mark.parametrize(
    "function, kind, message",
    [
        ("solvePipingModel", "structure", "The vokel is not a piping model."),
        ("solveStructureModel", "piping", "The vokel is not a structure model."),
    ],
)
def test_a_model_of_the_other_kind_is_refused(core, study, loads, capsys, function, kind, message):
    model = study(kind)
    earlier = Disposable()
    core._Solution_ = earlier
    with pytest.raises(EnvironmentError) as raised:
        solve_with(core, function, "Revav", model)
    assert type(raised.value) is OSError and str(raised.value) == message
    assert loads == [CORE]
    assert core._Solution_ is earlier and earlier.disposed == 0
    assert journal.calls(target="pythoncom") == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("name", ["revav", "quelbar", "REVAV", "Revav ", "", "Solver", None, 1])
def test_an_unknown_solver_name_is_reported(core, study, loads, capsys, monkeypatch, name):
    model = study()
    earlier = Disposable()
    core._Solution_ = earlier
    threads = ThreadSpy(monkeypatch, core)
    assert core.solvePipingModel(model.vokel, model.path, name, model.folder) is None
    assert capsys.readouterr().out == INVALID_SOLVER + "\n"
    assert core._Solution_ is None and earlier.disposed == 0, "dropped, not disposed"
    assert loads == [CORE] and threads.made == []


@pytest.mark.parametrize("missing", ["_Revav_", "_Quelbar_"])
@pytest.mark.parametrize("function, kind, solver, run_function, assemblies", PATHS, ids=PATH_IDS)
def test_a_missing_solver_path(
    core, study, loads, capsys, monkeypatch, function, kind, solver, run_function, assemblies, missing
):
    model = study(kind)
    earlier = Disposable()
    core._Solution_ = earlier
    setattr(core, missing, None)
    threads = ThreadSpy(monkeypatch, core)
    result = solve_with(core, function, solver, model)
    if run_function == "_" + missing.strip("_") + "Solve":
        assert result is None and core._Solution_ is None
        assert capsys.readouterr().out == ""
        assert loads == [CORE] and threads.made == []
        assert journal.calls(target="pythoncom") == []
    else:
        # Only the path of the chosen solver matters.
        assert type(result).__name__ == "Solution"
        assert loads == assemblies and len(threads.made) == 1
    assert earlier.disposed == 0


@pytest.mark.parametrize("function, kind, solver, run_function, assemblies", PATHS, ids=PATH_IDS)
def test_the_run_happens_on_a_joined_daemon_worker(
    core, study, loads, capsys, monkeypatch, function, kind, solver, run_function, assemblies
):
    model = study(kind, elements=3)
    seen = []

    def watch(*args):
        current = threading.current_thread()
        seen.append((threading.get_ident(), current.daemon, current))

    run = spy(monkeypatch, core, run_function, on_call=watch)
    threads = ThreadSpy(monkeypatch, core)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = solve_with(core, function, solver, model)

    assert loads == assemblies
    assert run.calls == [(model.vokel, model.path, model.folder)]
    (made,) = threads.made
    assert made.args == () and made.kwargs == {"target": run, "args": (model.vokel, model.path, model.folder)}
    ((ident, daemon, worker),) = seen
    assert worker is made.thread and daemon is True and ident != threading.get_ident()
    assert not made.thread.is_alive()
    worker_calls = [c for c in journal.entries() if c.target in ("pythoncom", run_function[1:-5] + "Solver")]
    assert worker_calls and {c.thread for c in worker_calls} == {ident}
    assert result is core._Solution_ and type(result).__name__ == "Solution"
    assert result.Summary.startswith(f"{run_function[1:-5]} solution of a {kind} model (3 elements)")
    assert pythoncom.open_apartments() == {}


@pytest.mark.parametrize("function, kind, solver, run_function, assemblies", PATHS, ids=PATH_IDS)
def test_no_deprecation_warning(core, study, function, kind, solver, run_function, assemblies):
    model = study(kind)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = solve_with(core, function, solver, model)
    assert [w for w in caught if issubclass(w.category, DeprecationWarning)] == []
    assert result is not None


@pytest.mark.parametrize("function, kind, solver, run_function, assemblies", PATHS, ids=PATH_IDS)
def test_an_exception_of_the_run_stays_on_the_worker(
    core, study, monkeypatch, capsys, function, kind, solver, run_function, assemblies
):
    model = study(kind)
    core._Solution_ = Disposable()
    hooked = []
    monkeypatch.setattr(threading, "excepthook", hooked.append)
    failing = run_function[1:-5] + "Solver..ctor"
    error = dotnet.FileNotFoundException("Solver not found")
    knobs.raise_on = {failing: error}
    assert solve_with(core, function, solver, model) is None
    (report,) = hooked
    assert report.exc_value is error and report.exc_type is dotnet.FileNotFoundException
    assert report.thread is not threading.current_thread() and report.thread.daemon
    assert journal.calls(target="pythoncom", member="CoUninitialize")[0].thread == report.thread.ident
    assert core._Solution_ is None and pythoncom.open_apartments() == {}
    # Only the progress line of the solver's assembly.
    assert capsys.readouterr().out == assemblies[-1] + " loaded\n"


@pytest.mark.parametrize("function, kind, solver, run_function, assemblies", PATHS, ids=PATH_IDS)
def test_a_run_that_fails_returns_none(core, study, function, kind, solver, run_function, assemblies):
    model = study(kind)
    knobs.quelbar_run_result = knobs.revav_run_result = 1
    assert solve_with(core, function, solver, model) is None
    assert core._Solution_ is None


@pytest.mark.parametrize("function, kind", [("solvePipingModel", "piping"), ("solveStructureModel", "structure")])
@pytest.mark.parametrize("failing", ["Model.get_CalculationCode", "thread start", "load_dll"])
def test_exceptions_on_the_callers_side_pass_through(core, study, monkeypatch, function, kind, failing):
    model = study(kind)
    earlier = Disposable()
    core._Solution_ = earlier
    error = RuntimeError(failing)
    if failing == "thread start":
        ThreadSpy(monkeypatch, core, start_error=error)
    elif failing == "load_dll":

        def load_dll(name):
            raise error

        monkeypatch.setattr(core, "load_dll", load_dll)
    else:
        knobs.raise_on = {failing: error}
    with pytest.raises(RuntimeError) as raised:
        solve_with(core, function, "Revav", model)
    assert raised.value is error
    if failing == "thread start":
        assert core._Solution_ is None  # the kind test had passed
    else:
        assert core._Solution_ is earlier
    assert earlier.disposed == 0 and journal.calls(target="pythoncom") == []


def test_the_run_function_is_looked_up_when_the_thread_is_made(core, study, monkeypatch):
    model = study()
    ran = []
    monkeypatch.setattr(core, "_QuelbarSolve", lambda *args: ran.append(args))
    core._Solution_ = Disposable()
    assert core.solvePipingModel(model.vokel, model.path, "Quelbar", model.folder) is None
    assert ran == [(model.vokel, model.path, model.folder)]
    assert journal.calls(target="QuelbarSolver") == []


pytestmark = pytest.mark.usefixtures("release_solution")

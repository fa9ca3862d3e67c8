"""The two solver runs, _QuelbarSolve and _RevavSolve: called directly on the
caller's thread and through solvePipingModel on its worker thread."""

import os
import shutil
import threading
import types

import pytest
import pythoncom
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_standin.product import open_result_files

from .support_solving import RUN_ASSEMBLIES, RUN_FUNCTION, Disposable, spy

SOLVERS = ["Quelbar", "Revav"]
HOWS = ["direct", "worker"]

SUCCESS = {
    "Quelbar": [
        "pythoncom.CoInitialize",
        "QuelbarSolver..ctor",
        "QuelbarSolver.set_IgnoreWarnings",
        "QuelbarSolver.Run",
        "QuelbarSolver.GetAnalysisModel",
        "Solution..ctor",
        "pythoncom.CoUninitialize",
    ],
    "Revav": [
        "pythoncom.CoInitialize",
        "clr.AddReference",
        "Thread.get_CurrentThread",
        "Thread.set_CurrentCulture",
        "Thread.get_CurrentThread",
        "Thread.set_CurrentUICulture",
        "RevavSolver..ctor",
        "RevavSolver.set_IgnoreWarnings",
        "RevavSolver.BuildAnalysisModel",
        "RevavSolver.Run",
        "Solution..ctor",
        "pythoncom.CoUninitialize",
    ],
}


@pytest.fixture
def prepare(models, core, capsys):
    """prepare(**build_model options) -> the saved model, its folder and the
    loaded model, with every assembly of the runs loaded beforehand."""

    def make(**options):
        path = models(**options)
        vokel = core.loadVokel(path)
        for name in RUN_ASSEMBLIES:
            core.load_dll(name)
        journal.clear()
        capsys.readouterr()
        return types.SimpleNamespace(path=path, folder=os.path.dirname(path), vokel=vokel)

    return make


@pytest.fixture
def hooked(monkeypatch):
    """Exceptions that ended a worker thread, as threading.excepthook sees them."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", seen.append)
    return seen


def run(core, solver, how, vokel, path, directory):
    if how == "direct":
        return getattr(core, RUN_FUNCTION[solver])(vokel, path, directory)
    return core.solvePipingModel(vokel, path, solver, directory)


def outcome(core, solver, how, study, hooked, directory=None):
    """The exception that left the run (None when it returned)."""
    directory = study.folder if directory is None else directory
    if how == "direct":
        try:
            assert run(core, solver, how, study.vokel, study.path, directory) is None
        except Exception as error:
            return error
        assert hooked == []
        return None
    result = run(core, solver, how, study.vokel, study.path, directory)
    assert result is core._Solution_
    assert len(hooked) <= 1
    return hooked[0].exc_value if hooked else None


def run_entries(how):
    """The run's journal entries: all of them on one thread, the caller's
    when called directly, another one through the worker."""
    caller = threading.get_ident()
    if how == "direct":
        entries = journal.entries()
        assert {c.thread for c in entries} <= {caller}
        return entries
    entries = [c for c in journal.entries() if c.thread != caller]
    assert len({c.thread for c in entries}) == 1
    return entries


def names(how):
    return [c.name for c in run_entries(how)]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_a_successful_run_leaves_a_new_solution(core, prepare, hooked, capsys, solver, how):
    study = prepare(elements=2)
    earlier = Disposable()
    core._Solution_ = earlier
    assert outcome(core, solver, how, study, hooked) is None
    assert names(how) == SUCCESS[solver]
    solution = core._Solution_
    assert type(solution).__name__ == "Solution" and not solution.IsDisposed
    assert open_result_files() == [solution.ResultsFile]
    assert os.path.dirname(solution.ResultsFile) == study.folder
    assert f"{solver} solution of a piping model (2 elements)" in solution.Summary
    assert earlier.disposed == 0, "the previous solution is dropped, not disposed"
    assert pythoncom.open_apartments() == {}
    assert capsys.readouterr().out == ""

    entries = run_entries(how)
    (made,) = [c for c in entries if c.member == ".ctor" and c.target.endswith("Solver")]
    if solver == "Quelbar":
        expected = (core._Quelbar_, study.vokel, os.path.join(study.folder, "conception.fre"), "")
    else:
        expected = (core._Revav_, study.vokel, study.path, "", False)
    assert made.args == expected and made.args[1] is study.vokel and made.kwargs == {}
    (ignore,) = [c for c in entries if c.member == "set_IgnoreWarnings"]
    assert ignore.args == (True,)
    (wrapped,) = [c for c in entries if c.name == "Solution..ctor"]
    assert wrapped.args[0] is None and type(wrapped.args[1]).__name__ == solver + "Solver"
    assert wrapped.args[1].IgnoreWarnings is True and not wrapped.args[1].IsDisposed


@pytest.mark.parametrize("solver", SOLVERS)
def test_the_solver_path_is_read_when_the_run_starts(core, prepare, tmp_path, solver):
    study = prepare()
    other = str(tmp_path / "other solver.exe")
    shutil.copy(core._Revav_, other)
    setattr(core, "_" + solver + "_", other)
    getattr(core, RUN_FUNCTION[solver])(study.vokel, study.path, study.folder)
    (made,) = journal.calls(target=solver + "Solver", member=".ctor")
    assert made.args[0] == other
    assert core._Solution_ is not None


def _error(name):
    return dotnet.InvalidOperationException(f"{name} failed")


RAISING_STEPS = [
    ("Quelbar", "QuelbarSolver..ctor", {}),
    ("Quelbar", "QuelbarSolver.set_IgnoreWarnings", {}),
    ("Quelbar", "QuelbarSolver.Run", {}),
    ("Quelbar", "QuelbarSolver.GetAnalysisModel", {}),
    ("Quelbar", "Solution..ctor", {}),
    ("Quelbar", "QuelbarSolver.Dispose", {"quelbar_run_result": 1}),
    ("Quelbar", "QuelbarSolver.Dispose", {"quelbar_analysis_model_missing": True}),
    ("Revav", "clr.AddReference", {}),
    ("Revav", "Thread.get_CurrentThread", {}),
    ("Revav", "Thread.set_CurrentCulture", {}),
    ("Revav", "Thread.set_CurrentUICulture", {}),
    ("Revav", "RevavSolver..ctor", {}),
    ("Revav", "RevavSolver.set_IgnoreWarnings", {}),
    ("Revav", "RevavSolver.BuildAnalysisModel", {}),
    ("Revav", "RevavSolver.Run", {}),
    ("Revav", "Solution..ctor", {}),
    ("Revav", "RevavSolver.Dispose", {"revav_build_result": -1}),
    ("Revav", "RevavSolver.Dispose", {"revav_run_result": 3}),
]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver, failing, settings", RAISING_STEPS)
def test_a_raising_step_leaves_the_run_after_the_apartment_is_closed(
    core, prepare, hooked, solver, failing, settings, how
):
    study = prepare()
    core._Solution_ = Disposable()
    error = _error(failing)
    knobs.raise_on = {failing: error}
    for knob, value in settings.items():
        setattr(knobs, knob, value)
    assert outcome(core, solver, how, study, hooked) is error
    called = names(how)
    assert called[0] == "pythoncom.CoInitialize"
    assert called[-2:] == [failing, "pythoncom.CoUninitialize"]
    assert called.count("pythoncom.CoUninitialize") == 1 and called.count(failing) == 1
    assert core._Solution_ is None
    assert pythoncom.open_apartments() == {}


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize(
    "solver, function, fre",
    [
        ("Quelbar", "find_first_file", "conception"),
        ("Revav", "find_first_file", "conception"),
        ("Quelbar", "writeFreFile", None),
    ],
)
def test_a_raising_module_function_leaves_the_run_after_the_apartment_is_closed(
    core, prepare, hooked, monkeypatch, solver, function, fre, how
):
    study = prepare(fre=fre)
    error = OSError(f"{function} failed")

    def failing(*args):
        raise error

    monkeypatch.setattr(core, function, failing)
    assert outcome(core, solver, how, study, hooked) is error
    assert names(how) == ["pythoncom.CoInitialize", "pythoncom.CoUninitialize"]
    assert core._Solution_ is None
    assert pythoncom.open_apartments() == {}


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver, first", [("Quelbar", "QuelbarSolver..ctor"), ("Revav", "RevavSolver.Run")])
def test_a_failing_close_replaces_the_exception_of_the_run(core, prepare, hooked, solver, first, how):
    study = prepare()
    error, closing = _error(first), pythoncom.com_error("close failed")
    knobs.raise_on = {first: error, "pythoncom.CoUninitialize": closing}
    raised = outcome(core, solver, how, study, hooked)
    assert raised is closing and raised.__context__ is error
    assert names(how)[-2:] == [first, "pythoncom.CoUninitialize"]
    assert core._Solution_ is None


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_a_failing_close_after_a_successful_run_leaves_the_run(core, prepare, hooked, solver, how):
    study = prepare()
    closing = pythoncom.com_error("close failed")
    knobs.raise_on = {"pythoncom.CoUninitialize": closing}
    raised = outcome(core, solver, how, study, hooked)
    assert raised is closing and raised.__context__ is None
    assert names(how) == SUCCESS[solver]
    assert type(core._Solution_).__name__ == "Solution"


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_a_failing_open_leaves_at_once_without_closing(core, prepare, hooked, solver, how):
    study = prepare()
    earlier = Disposable()
    core._Solution_ = earlier
    error = pythoncom.com_error("no apartment")
    knobs.raise_on = {"pythoncom.CoInitialize": error}
    assert outcome(core, solver, how, study, hooked) is error
    assert names(how) == ["pythoncom.CoInitialize"]
    assert core._Solution_ is None and earlier.disposed == 0


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize(
    "fre, name, given, written",
    [
        ("both", "study1", "study1.fre", False),
        ("own", "study1", "study1.fre", False),
        ("conception", "study1", "conception.fre", False),
        (None, "study1", "conception.fre", True),
        ("own", "a.b", "a.b.fre", False),
        (None, "a.b", "conception.fre", True),
    ],
)
def test_the_quelbar_run_takes_the_fre_file_of_the_folder(
    core, prepare, hooked, monkeypatch, fre, name, given, written, how
):
    study = prepare(fre=fre, name=name)
    writer = spy(monkeypatch, core, "writeFreFile")
    assert outcome(core, "Quelbar", how, study, hooked) is None
    assert writer.calls == ([(study.vokel, study.path)] if written else [])
    (made,) = journal.calls(target="QuelbarSolver", member=".ctor")
    assert made.args[2] == os.path.join(study.folder, given)
    assert os.path.isfile(made.args[2])
    assert core._Solution_ is not None
    assert core._Solution_.ResultsFile == os.path.join(study.folder, os.path.splitext(given)[0] + ".qres")


@pytest.mark.parametrize("how", HOWS)
def test_a_model_file_outside_the_folder_gets_its_fre_file_beside_it(core, prepare, hooked, monkeypatch, tmp_path, how):
    study = prepare(fre=None)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    writer = spy(monkeypatch, core, "writeFreFile")
    assert outcome(core, "Quelbar", how, study, hooked, directory=str(elsewhere)) is None
    assert writer.calls == [(study.vokel, study.path)]
    assert os.path.isfile(os.path.join(study.folder, "conception.fre"))
    assert os.listdir(elsewhere) == []
    (made,) = journal.calls(target="QuelbarSolver", member=".ctor")
    assert made.args[2] == os.path.join(str(elsewhere), "conception.fre")
    # The solver finds no fre file there: it fails and is released.
    assert len(journal.calls(target="QuelbarSolver", member="Dispose")) == 1
    assert core._Solution_ is None


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize(
    "thf, expected",
    [
        ((), ""),
        (("load.THF",), "load.THF"),
        (("notes.txt", "case.thf"), "case.thf"),
    ],
)
def test_the_runs_take_the_first_thf_file_of_the_folder(core, prepare, solver, thf, expected):
    study = prepare(thf=thf)
    getattr(core, RUN_FUNCTION[solver])(study.vokel, study.path, study.folder)
    (made,) = journal.calls(target=solver + "Solver", member=".ctor")
    assert made.args[3] == (os.path.join(study.folder, expected) if expected else "")
    assert core._Solution_ is not None


@pytest.mark.parametrize("solver", SOLVERS)
def test_the_thf_file_is_looked_for_in_the_given_folder(core, prepare, tmp_path, solver):
    study = prepare(thf=("beside.thf",))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "other.thf").write_text("thf")
    getattr(core, RUN_FUNCTION[solver])(study.vokel, study.path, str(elsewhere))
    (made,) = journal.calls(target=solver + "Solver", member=".ctor")
    assert made.args[3] == str(elsewhere / "other.thf")


RUN_FAILURES = [
    ("Quelbar", {"quelbar_run_result": 1}, ["QuelbarSolver.Run", "QuelbarSolver.Dispose"]),
    ("Quelbar", {"quelbar_run_result": -1}, ["QuelbarSolver.Run", "QuelbarSolver.Dispose"]),
    (
        "Quelbar",
        {"quelbar_analysis_model_missing": True},
        ["QuelbarSolver.Run", "QuelbarSolver.GetAnalysisModel", "QuelbarSolver.Dispose"],
    ),
    ("Revav", {"revav_build_result": -1}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Dispose"]),
    ("Revav", {"revav_build_result": -4}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Dispose"]),
    ("Revav", {"revav_run_result": 1}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Run", "RevavSolver.Dispose"]),
    ("Revav", {"revav_run_result": -2}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Run", "RevavSolver.Dispose"]),
    ("Revav", {"revav_build_result": 0}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Run", "Solution..ctor"]),
    ("Revav", {"revav_build_result": 3}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Run", "Solution..ctor"]),
]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver, settings, tail", RUN_FAILURES)
def test_a_failed_run_disposes_its_solver(core, prepare, hooked, solver, settings, tail, how):
    study = prepare()
    core._Solution_ = Disposable()
    for knob, value in settings.items():
        setattr(knobs, knob, value)
    assert outcome(core, solver, how, study, hooked) is None
    called = names(how)
    start = called.index(solver + "Solver.set_IgnoreWarnings") + 1
    assert called[start:] == tail + ["pythoncom.CoUninitialize"]
    if tail[-1] == "Solution..ctor":
        assert type(core._Solution_).__name__ == "Solution"
    else:
        assert core._Solution_ is None and open_result_files() == []
    assert pythoncom.open_apartments() == {}


@pytest.mark.parametrize(
    "solver, options, tail",
    [
        ("Revav", {"elements": 0}, ["RevavSolver.BuildAnalysisModel", "RevavSolver.Dispose"]),
        ("Quelbar", {"kind": "structure"}, ["QuelbarSolver.Run", "QuelbarSolver.Dispose"]),
    ],
)
def test_a_run_the_product_rejects_disposes_its_solver(core, prepare, solver, options, tail):
    study = prepare(**options)
    getattr(core, RUN_FUNCTION[solver])(study.vokel, study.path, study.folder)
    called = journal.names()
    assert called[called.index(solver + "Solver.set_IgnoreWarnings") + 1 :] == tail + ["pythoncom.CoUninitialize"]
    assert core._Solution_ is None


@pytest.mark.parametrize("culture", [None, "en-GB"])
@pytest.mark.parametrize("how", ["own thread", "worker"])
def test_the_revav_run_sets_the_culture_of_its_own_thread_only(core, prepare, culture, how):
    study = prepare(elements=2)
    if culture is not None:
        core._CultureInfo_ = dotnet.CultureInfo(culture)
    expected = culture or "en-US"
    caller = dotnet.Thread.CurrentThread
    caller.CurrentCulture = caller.CurrentUICulture = dotnet.CultureInfo("de-DE")
    journal.clear()
    if how == "own thread":
        thread = threading.Thread(target=core._RevavSolve, args=(study.vokel, study.path, study.folder))
        thread.start()
        thread.join()
        ident = thread.ident
    else:
        core.solvePipingModel(study.vokel, study.path, "Revav", study.folder)
        ident = journal.calls(target="Thread", member="set_CurrentCulture")[0].thread
    assert ident != threading.get_ident()
    assert {c.thread for c in journal.calls(target="Thread")} == {ident}
    assert dotnet.culture_of(ident) == (expected, expected)
    assert dotnet.culture_of(threading.get_ident()) == ("de-DE", "de-DE")
    with open(core._Solution_.ResultsFile) as f:
        lines = f.read().splitlines()
    assert f"culture={expected}" in lines and f"uiCulture={expected}" in lines
    assert "maxDisplacement=0.250" in lines
    assert pythoncom.open_apartments() == {}


def test_the_quelbar_run_leaves_the_culture_alone(core, prepare):
    study = prepare()
    core.solvePipingModel(study.vokel, study.path, "Quelbar", study.folder)
    (worker,) = {c.thread for c in journal.entries() if c.target == "QuelbarSolver"}
    assert journal.calls(target="Thread") == []
    assert dotnet.culture_of(worker) is None


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("solver, failing", [("Quelbar", "quelbar_run_result"), ("Revav", "revav_run_result")])
def test_two_successive_runs(core, prepare, hooked, solver, failing, how):
    study = prepare()
    outcome(core, solver, how, study, hooked)
    first = core._Solution_
    outcome(core, solver, how, study, hooked)
    second = core._Solution_
    assert type(second).__name__ == "Solution" and second is not first and not first.IsDisposed
    setattr(knobs, failing, 1)
    outcome(core, solver, how, study, hooked)
    assert core._Solution_ is None, "a failed second run leaves no solution behind"
    assert not first.IsDisposed and not second.IsDisposed
    assert journal.names().count("pythoncom.CoInitialize") == 3
    assert journal.names().count("pythoncom.CoUninitialize") == 3
    assert pythoncom.open_apartments() == {}
    first.Dispose()
    second.Dispose()
    assert open_result_files() == []


pytestmark = pytest.mark.usefixtures("release_solution")

"""A Ctrl-C during a solve, and another thread that misuses the module: the run goes on without its caller,
nothing is freed or deleted under it, and nothing the module made is left behind.

Each interleaving is pinned through the module's namespace-bound os, shutil and threading, or the stand-in's
solver; the statistical counterpart, real SIGINTs at random moments, is reliability/interrupt_fuzz.py."""

import importlib
import os
import shutil
import signal
import sys
import threading
import time

import pytest
from brivane_standin import journal
from brivane_standin.product import open_result_files
from brivane_standin.product.quelbar_core import QuelbarSolver
from brivane_testkit.module_table import DELETE_FAILED

from .support_solving import fake_shutil, spy

needs_thread_signals = pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="POSIX thread signals")
# The function that Thread.start() calls to start the system thread: 3.13 renamed it.
THREAD_START = "_start_joinable_thread" if hasattr(threading, "_start_joinable_thread") else "_start_new_thread"


def wait_until(condition, what):
    """Waits for something another thread does; the limit only stops a hung test."""
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.01)


@pytest.fixture
def held_runs(monkeypatch):
    """QuelbarSolver.Run held until `release` is set; records when each run starts and ends."""

    class Runs:
        started, release, spans = threading.Event(), threading.Event(), []

    real = QuelbarSolver.Run

    def run(self):
        span = [time.monotonic(), None]
        Runs.spans.append(span)
        Runs.started.set()
        Runs.release.wait(60)
        try:
            return real(self)
        finally:
            span[1] = time.monotonic()

    monkeypatch.setattr(QuelbarSolver, "Run", run)
    return Runs


def interrupt_main_thread_once_started(runs):
    def send():
        runs.started.wait(60)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=send, daemon=True).start()


@needs_thread_signals
@pytest.mark.parametrize("then", ["disposeSolution", "solve"])
def test_an_interrupted_solve_keeps_its_sandbox_until_the_run_ends(core, models, temp_root, held_runs, capsys, then):
    path = models(thf=("load.thf",))
    interrupt_main_thread_once_started(held_runs)
    with pytest.raises(KeyboardInterrupt):
        core.solve(path, "Quelbar", True)
    sandbox = core._tempDirectory_
    core.disposeSolution()  # what a script's finally block does
    assert os.path.isdir(sandbox), "deleted under a running solver"
    assert core._Solution_ is None

    if then == "disposeSolution":
        held_runs.release.set()
        wait_until(lambda: not os.path.exists(sandbox), "the run's end to delete its sandbox")
        assert core._Solution_ is None, "a late solution appeared"
        assert open_result_files() == []
    else:
        # A new solve waits for the earlier run before it starts another solver.
        threading.Timer(0.5, held_runs.release.set).start()
        solution = core.solve(path, "Quelbar", True)
        assert solution is core._Solution_ and not solution.IsDisposed
        assert not os.path.exists(sandbox) and os.listdir(temp_root) == [os.path.basename(core._tempDirectory_)]
        (first_start, first_end), (second_start, _) = held_runs.spans
        assert second_start >= first_end, "two solvers ran at once"
        assert open_result_files() == [solution.ResultsFile]
        core.disposeSolution()
    # The late run disposed its own solution, on its own thread.
    disposals = [c for c in journal.entries() if c.name == "Solution.Dispose"]
    assert disposals and disposals[0].thread != threading.main_thread().ident
    assert os.listdir(temp_root) == []
    assert DELETE_FAILED not in capsys.readouterr().out


@needs_thread_signals
def test_a_reimport_keeps_a_pending_sandbox_and_a_running_abandoned_run(
    core, models, temp_root, held_runs, monkeypatch, capsys
):
    path = models(thf=("load.thf",))
    interrupt_main_thread_once_started(held_runs)
    with pytest.raises(KeyboardInterrupt):
        core.solve(path, "Quelbar", True)
    sandbox = core._tempDirectory_
    core.disposeSolution()  # pending, for the run still works in it
    monkeypatch.delitem(sys.modules, "brivane_computer.brivane_core")
    again = importlib.import_module("brivane_computer.brivane_core")
    assert again is core
    threading.Timer(0.5, held_runs.release.set).start()
    solution = again.solve(path, "Quelbar", True)
    (first_start, first_end), (second_start, _) = held_runs.spans
    assert second_start >= first_end, "the run going on was forgotten: two solvers ran at once"
    assert not os.path.exists(sandbox), "the pending sandbox was forgotten"
    again.disposeSolution()
    assert solution.IsDisposed and os.listdir(temp_root) == []
    assert DELETE_FAILED not in capsys.readouterr().out


def bounded(call):
    """call() on another thread; the limit only stops a test whose call hangs."""
    result = []
    worker = threading.Thread(target=lambda: result.append(call()), daemon=True)
    worker.start()
    worker.join(60)
    assert not worker.is_alive(), "the call still waits"
    return result[0]


@pytest.mark.parametrize("when", ["before the thread starts", "once the thread runs"])
def test_a_ctrl_c_in_the_thread_start_never_blocks_a_later_solve(core, models, temp_root, monkeypatch, capsys, when):
    path = models()
    real_start, workers = getattr(threading, THREAD_START), []

    def start(bootstrap, *args, **kwargs):
        workers.append(bootstrap.__self__)
        if when == "once the thread runs":
            real_start(bootstrap, *args, **kwargs)
        raise KeyboardInterrupt

    monkeypatch.setattr(threading, THREAD_START, start)
    try:
        with pytest.raises(KeyboardInterrupt):
            core.solve(path, "Quelbar", True)
        monkeypatch.setattr(threading, THREAD_START, real_start)
        first = core._tempDirectory_
        solution = bounded(lambda: core.solve(path, "Quelbar", True))
        assert solution is core._Solution_ and not solution.IsDisposed
        assert not os.path.exists(first)
        core.disposeSolution()
        wait_until(lambda: os.listdir(temp_root) == [], "every sandbox to go")
        assert DELETE_FAILED not in capsys.readouterr().out
    finally:
        # Thread.start() lets a KeyboardInterrupt through without unlisting a thread that never started.
        for worker in workers:
            threading._limbo.pop(worker, None)


@needs_thread_signals
def test_one_side_deletes_a_sandbox_that_an_ending_run_and_a_disposal_both_take_up(
    core, models, temp_root, held_runs, monkeypatch, capsys
):
    path = models()
    interrupt_main_thread_once_started(held_runs)
    with pytest.raises(KeyboardInterrupt):
        core.solve(path, "Quelbar", True)
    sandbox = core._tempDirectory_
    core.disposeSolution()  # waits, pending, for the run
    deleting, disposed, deletions = threading.Event(), threading.Event(), []

    def rmtree(folder, *args, **kwargs):
        deletions.append(threading.current_thread())
        if threading.current_thread() is not threading.main_thread():
            deleting.set()  # the run's end takes its folder up ...
            disposed.wait(60)  # ... while the script disposes again
        return shutil.rmtree(folder, *args, **kwargs)

    monkeypatch.setattr(core, "shutil", fake_shutil(rmtree=rmtree))
    held_runs.release.set()
    assert deleting.wait(60)
    core.disposeSolution()
    disposed.set()
    wait_until(lambda: not os.path.exists(sandbox), "the run's end to delete its sandbox")
    assert len(deletions) == 1 and DELETE_FAILED not in capsys.readouterr().out


def test_a_deletion_whose_folder_went_meanwhile_is_not_reported(core, models, temp_root, monkeypatch, capsys):
    core.solve(models(), "Quelbar", True)
    capsys.readouterr()

    def removed_by_someone_else(folder, *args, **kwargs):
        shutil.rmtree(folder)
        raise FileNotFoundError(2, "No such file or directory", folder)

    monkeypatch.setattr(core, "shutil", fake_shutil(rmtree=removed_by_someone_else))
    core.disposeSolution()
    assert capsys.readouterr().out == "" and os.listdir(temp_root) == []


def test_a_copy_cut_short_by_a_ctrl_c_leaves_nothing(core, tmp_path, temp_root, monkeypatch):
    (tmp_path / "source" / "sub").mkdir(parents=True)

    def copytree(source, target, **kwargs):
        shutil.copytree(source, target, **kwargs)
        raise KeyboardInterrupt

    monkeypatch.setattr(core, "shutil", fake_shutil(copytree=copytree))
    with pytest.raises(KeyboardInterrupt):
        core.copyDirectoryToTemp(str(tmp_path / "source"))
    assert os.listdir(temp_root) == []


@pytest.mark.parametrize("step", ["copy", "loadVokel", "Run"])
def test_a_disposal_from_another_thread_never_deletes_a_sandbox_in_use(
    core, models, temp_root, monkeypatch, capsys, step
):
    path = models(thf=("load.thf",))
    misuse = []

    def dispose(*args):
        if not misuse:
            misuse.append(threading.current_thread())
            core.disposeSolution()

    if step == "copy":
        monkeypatch.setattr(core, "shutil", fake_shutil(copy=lambda *a: dispose() or shutil.copy(*a)))
    elif step == "loadVokel":
        spy(monkeypatch, core, step, dispose)
    else:
        real = QuelbarSolver.Run
        monkeypatch.setattr(QuelbarSolver, "Run", lambda self: dispose() or real(self))
    solution = core.solve(path, "Quelbar", True)
    sandbox = core._tempDirectory_
    assert misuse and solution is not None and os.path.isfile(solution.ResultsFile)
    assert os.path.dirname(solution.ResultsFile) == sandbox
    core.disposeSolution()
    assert solution.IsDisposed and os.listdir(temp_root) == []
    assert DELETE_FAILED not in capsys.readouterr().out


def test_a_sandbox_that_another_threads_solve_replaced_goes_with_the_next_disposal(
    core, models, temp_root, monkeypatch, release_solution
):
    path = models()
    other = []

    def copy(*args):
        # The other thread solves, start to end, after this solve made its sandbox and before it names it.
        if not other:
            other.append(threading.Thread(target=lambda: other.append(core.solve(path, "Quelbar", True))))
            other[0].start()
            other[0].join()
        return shutil.copy(*args)

    monkeypatch.setattr(core, "shutil", fake_shutil(copy=copy))
    solution = core.solve(path, "Quelbar", True)
    assert solution is not None and other[1] is not None
    assert len(os.listdir(temp_root)) == 2
    other[1].Dispose()  # its thread's own solution, which _Solution_ no longer holds
    core.disposeSolution()
    assert os.listdir(temp_root) == []


def test_threads_solving_at_once_leave_nothing_after_the_last_disposal(core, models, temp_root, capsys):
    path, failures = models(), []

    def solve_again_and_again():
        for _ in range(20):
            try:
                core.solve(path, "Quelbar", True)
            except Exception as error:  # noqa: BLE001 - collected for the assertion
                failures.append(error)

    threads = [threading.Thread(target=solve_again_and_again) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    core.disposeSolution()
    assert failures == [] and os.listdir(temp_root) == []
    assert DELETE_FAILED not in capsys.readouterr().out

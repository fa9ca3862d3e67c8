"""A Ctrl-C during a solve: the run goes on without its caller, and nothing is freed or deleted under it."""
import os
import signal
import threading
import time

import pytest
from brivane_standin import journal
from brivane_standin.product import open_result_files
from brivane_standin.product.quelbar_core import QuelbarSolver
from support_solving import models, temp_root  # noqa: F401


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


@pytest.mark.parametrize("then", ["disposeSolution", "solve"])
def test_an_interrupted_solve_keeps_its_sandbox_until_the_run_ends(core, models, temp_root, held_runs, capsys, then):
    path = models(thf=("load.thf",))
    interrupt_main_thread_once_started(held_runs)
    with pytest.raises(KeyboardInterrupt):
        core.solve(path, "Quelbar", True)
    sandbox = core._tempDirectory_
    core.disposeSolution()            # what a script's finally block does
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
    assert "Impossible to delete" not in capsys.readouterr().out

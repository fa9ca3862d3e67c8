"""A child made by a real fork (os.fork, or a multiprocessing pool with the "fork" start method) that calls the
module: what its parent made or started is not its own. It never deletes its parent's sandbox and never waits
for its parent's run; its own sandboxes follow the usual rules."""

import multiprocessing
import os
import pickle
import select
import signal
import tempfile
import threading
import time
import types

import pytest
from brivane_standin.product.quelbar_core import QuelbarSolver

from brivane_computer import brivane_core

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="fork() is POSIX only"),
    # 3.12 on warns about forking a process that has threads; the module's children are what is tested here.
    pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning"),
]
# Seconds a child may take; past them it is killed and the test fails (a child that hangs).
CHILD_SECONDS = 60


@pytest.fixture
def parent_run_held(monkeypatch):
    """QuelbarSolver.Run held in this process until `release` is set; a forked child's runs go at once."""
    parent, held = os.getpid(), types.SimpleNamespace(started=threading.Event(), release=threading.Event())
    real = QuelbarSolver.Run

    def run(self):
        if os.getpid() == parent:
            held.started.set()
            held.release.wait(CHILD_SECONDS)
        return real(self)

    monkeypatch.setattr(QuelbarSolver, "Run", run)
    yield held
    held.release.set()


def child_disposes():
    brivane_core.disposeSolution()
    return sorted(os.listdir(tempfile.gettempdir()))


def child_solves(path):
    """A sandboxed solve and its disposal, in the child; what the temporary folder holds in between and after."""
    solution = brivane_core.solve(path, "Quelbar", True)
    assert solution is not None and os.path.isfile(solution.ResultsFile)
    during = sorted(os.listdir(tempfile.gettempdir()))
    brivane_core.disposeSolution()
    return during, sorted(os.listdir(tempfile.gettempdir()))


def forked(kind, function, *args):
    """function(*args) in a child made by `kind`, once it is done: its result, or AssertionError with what it
    raised. The child is killed if it outlasts CHILD_SECONDS."""
    if kind == "pool":
        with multiprocessing.get_context("fork").Pool(1) as pool:  # its exit ends the worker
            try:
                return pool.apply_async(function, args).get(CHILD_SECONDS)
            except multiprocessing.TimeoutError:
                raise AssertionError("the forked child still waits") from None
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child, which never returns into the test
        try:
            outcome = ("returned", function(*args))
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            outcome = ("raised", repr(error))
        os.write(write, pickle.dumps(outcome))
        os._exit(0)
    os.close(write)
    data, deadline = b"", time.monotonic() + CHILD_SECONDS
    try:
        while select.select([read], [], [], max(0.0, deadline - time.monotonic()))[0]:
            chunk = os.read(read, 65536)
            if not chunk:
                break
            data += chunk
    finally:
        os.close(read)
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    assert data, "the forked child still waits"
    kind_of_end, value = pickle.loads(data)
    assert kind_of_end == "returned", f"the forked child raised {value}"
    return value


@pytest.mark.parametrize("kind", ["os.fork", "pool"])
@pytest.mark.parametrize("call", ["disposeSolution", "solve"])
def test_a_forked_child_leaves_its_parents_sandbox_alone(core, models, temp_root, release_solution, kind, call):
    path = models(thf=("load.thf",))
    solution = core.solve(path, "Quelbar", True)
    sandbox = os.path.basename(core._tempDirectory_)
    with open(solution.ResultsFile, "rb") as f:
        results = f.read()
    if call == "disposeSolution":
        assert forked(kind, child_disposes) == [sandbox]
    else:
        during, after = forked(kind, child_solves, path)
        assert sandbox in during and len(during) == 2, "the child solved in a sandbox of its own"
        assert after == [sandbox], "the child deleted its own sandbox, and only that"
    with open(solution.ResultsFile, "rb") as f:
        assert f.read() == results
    assert os.listdir(temp_root) == [sandbox]
    core.disposeSolution()
    assert os.listdir(temp_root) == []


@pytest.mark.parametrize("kind", ["os.fork", "pool"])
def test_a_forked_child_never_waits_for_its_parents_run(core, models, temp_root, parent_run_held, kind):
    path = models()

    def interrupt():
        parent_run_held.started.wait(CHILD_SECONDS)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        core.solve(path, "Quelbar", True)
    running = os.path.basename(core._tempDirectory_)
    core.disposeSolution()  # pending: the run goes on in it
    during, after = forked(kind, child_solves, path)
    assert running in during and after == [running]
    parent_run_held.release.set()
    deadline = time.monotonic() + CHILD_SECONDS
    while running in os.listdir(temp_root):
        assert time.monotonic() < deadline, "the run's end did not delete its sandbox"
        time.sleep(0.01)
    assert os.listdir(temp_root) == []

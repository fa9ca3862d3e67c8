"""What runs on a Dask worker: the task that solves one model, in a child process kept for its thread.

Set-up sets the .NET culture of its own thread, and a worker runs its tasks
on threads of its own. So each thread of a worker gets its own child, started
and set up by the first task of a batch on that thread, lazily, and kept for
the batch's next tasks there; the child sets up and solves on its one main
thread. A thread whose child cannot set up turns the batch's tasks down, so
that the batch sends them elsewhere.
"""
from __future__ import annotations

import threading
from dataclasses import dataclass

from ._child import ChildSolver, Ended
from ._task import Outcome, Task


@dataclass(frozen=True)
class Refused:
    """A task that this worker turned down: it cannot solve (``reason``), another worker should."""

    worker: str
    reason: str


@dataclass(frozen=True)
class Setup:
    """What a child sets up with: the same for every task of a batch."""

    installation: str
    module: str
    settings: str | None
    data_sources: str | None


_lock = threading.Lock()
# (batch, thread) -> the child that solves the batch's tasks on that thread.
_children: dict[tuple[str, int], ChildSolver] = {}
# (batch, thread) -> why that thread turns the batch's tasks down.
_refusals: dict[tuple[str, int], str] = {}
# Batches whose clean-up has run here: a task of theirs that arrives late starts nothing.
_ended: set[str] = set()


def solve_on_worker(batch: str, setup: Setup, task: Task, timeout: float | None) -> Outcome | Ended | Refused:
    """The Dask task: one model solved in this thread's child of the batch."""
    from distributed import get_worker

    worker = get_worker()
    if worker.state.nthreads != 1:
        return Refused(worker.address, f"it runs {worker.state.nthreads} threads; the batch needs workers of "
                                       "one thread (dask worker --nthreads 1)")
    key = (batch, threading.get_ident())
    with _lock:
        if batch in _ended:
            return Refused(worker.address, "the batch has ended")
        refusal = _refusals.get(key)
        child = _children.get(key)
        # A child of an earlier batch on this thread is of no more use.
        earlier = [k for k in _children if k[1] == key[1] and k[0] != batch]
        stale = [_children.pop(k) for k in earlier]
    for old in stale:
        old.stop()
    if refusal is not None:
        return Refused(worker.address, refusal)
    if child is None or not child.alive:
        child = ChildSolver(setup.installation, setup.module, setup.settings, setup.data_sources)
        with _lock:
            if child.setup_failure is not None:
                _refusals[key] = child.setup_failure
                return Refused(worker.address, child.setup_failure)
            late = batch in _ended
            if not late:
                _children[key] = child
        if late:
            child.stop()
            return Refused(worker.address, "the batch has ended")
    return child.solve(task, timeout)


def end_batch(batch: str, wait: float) -> None:
    """Ends the batch's children on this worker, each idle one given ``wait`` seconds to end by itself, and
    removes their folders (run by the batch on every worker at its end)."""
    with _lock:
        _ended.add(batch)
        ending = [_children.pop(key) for key in list(_children) if key[0] == batch]
        for key in [key for key in _refusals if key[0] == batch]:
            del _refusals[key]
    for child in ending:
        child.stop(wait)

"""What runs on a Dask worker: the task that solves one model, in a child process kept for its thread.

Set-up sets the .NET culture of its own thread, and a worker runs its tasks
on threads of its own. So each thread of a worker gets its own child, started
and set up by the first task of a batch on that thread, lazily, and kept for
the batch's next tasks there (up to ``max_models`` of them, then replaced);
the child sets up and solves on its one main thread. A thread whose child
cannot set up turns the batch's tasks down, so that the batch sends them
elsewhere.

The batch that sent the tasks renews a lease every ``LEASE_EVERY`` seconds
on every worker (``renew_lease``, run by the scheduler on each). A watch on
each worker notes the renewals on the worker's own monotonic clock: once a
batch's lease has not been renewed for its expiry, the batch is taken for
gone (its submitting process was killed, say) and its children here are
killed with their trees, their folders removed, and its running tasks return
at once.
"""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass

from ._child import ChildSolver, Ended
from ._task import Outcome, Task

# How often the submitting side renews its lease, and after how long without a renewal a worker takes the batch
# for gone.
LEASE_EVERY = 2.0
LEASE_EXPIRY = 15.0


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


@dataclass(frozen=True)
class Terms:
    """The batch's rules for its tasks: the time limit of a solve, the models per child, the lease's expiry."""

    timeout: float | None
    max_models: int | None
    lease_expiry: float


@dataclass(frozen=True)
class Done:
    """A task's answer with the worker and the child process that solved it."""

    answer: Outcome | Ended
    worker: str
    pid: int
    # Seconds that the child took to set up before this task, when the task started it; else 0.
    setup_seconds: float = 0.0


_lock = threading.Lock()
# (batch, thread) -> the child that solves the batch's tasks on that thread.
_children: dict[tuple[str, int], ChildSolver] = {}
# (batch, thread) -> why that thread turns the batch's tasks down.
_refusals: dict[tuple[str, int], str] = {}
# Batches whose clean-up has run here: a task of theirs that arrives late starts nothing.
_ended: set[str] = set()
# Batches with tasks here -> [their lease's expiry, when it was last renewed on this worker's monotonic clock].
_leases: dict[str, list[float]] = {}
_watch: list[threading.Thread] = []


def solve_on_worker(batch: str, setup: Setup, task: Task, terms: Terms) -> Done | Refused:
    """The Dask task: one model solved in this thread's child of the batch."""
    from distributed import get_worker

    worker = get_worker()
    if worker.state.nthreads != 1:
        return Refused(worker.address, f"it runs {worker.state.nthreads} threads; the batch needs workers of "
                                       "one thread (dask worker --nthreads 1)")
    key = (batch, threading.get_ident())
    found = _existing_child(key, terms)
    if isinstance(found, str):
        return Refused(worker.address, found)
    setup_seconds = 0.0
    child = found
    if child is None or not child.alive:
        setup_started = time.monotonic()
        started = _start_child(key, setup)
        if isinstance(started, str):
            return Refused(worker.address, started)
        child, setup_seconds = started, time.monotonic() - setup_started
    answer = child.solve(task, terms.timeout, lambda: batch not in _ended)
    if terms.max_models is not None and child.models >= terms.max_models:
        # Recycled: the next task of the batch on this thread starts a new child.
        with _lock:
            if _children.get(key) is child:
                del _children[key]
        child.stop()
    return Done(answer, worker.address, child.process.pid, setup_seconds)


def _existing_child(key: tuple[str, int], terms: Terms) -> ChildSolver | str | None:
    """The batch's child on this thread, None, or why the thread turns the batch down; the batch's lease and its
    watch started, and a child of an earlier batch on this thread ended."""
    batch = key[0]
    with _lock:
        if batch in _ended:
            return "the batch has ended"
        _leases.setdefault(batch, [terms.lease_expiry, time.monotonic()])
        if not _watch:
            _watch.append(threading.Thread(target=_watch_leases, daemon=True, name="brivane-leases"))
            _watch[0].start()
        refusal = _refusals.get(key)
        child = _children.get(key)
        # A child of an earlier batch on this thread is of no more use.
        earlier = [k for k in _children if k[1] == key[1] and k[0] != batch]
        stale = [_children.pop(k) for k in earlier]
    for old in stale:
        old.stop()
    return refusal if refusal is not None else child


def _start_child(key: tuple[str, int], setup: Setup) -> ChildSolver | str:
    """A new child for the batch on this thread, set up; or why it cannot solve (then the thread turns the
    batch down from now on)."""
    batch = key[0]
    child = ChildSolver(setup.installation, setup.module, setup.settings, setup.data_sources, batch)
    with _lock:
        if child.setup_failure is not None:
            _refusals[key] = child.setup_failure
            return child.setup_failure
        late = batch in _ended
        if not late:
            _children[key] = child
    if late:
        child.stop()
        return "the batch has ended"
    return child


def end_batch(batch: str, wait: float) -> None:
    """Ends the batch's children on this worker, each idle one given ``wait`` seconds to end by itself, and
    removes their folders (run by the batch on every worker at its end, and by the lease watch here)."""
    with _lock:
        _ended.add(batch)
        _leases.pop(batch, None)
        ending = [_children.pop(key) for key in list(_children) if key[0] == batch]
        for key in [key for key in _refusals if key[0] == batch]:
            del _refusals[key]
    for child in ending:
        child.stop(wait)


async def renew_lease(batch: str) -> None:
    """Run on every worker by the batch while it lives, in the worker's event loop (Dask runs only coroutines
    there without waiting for them)."""
    with _lock:
        lease = _leases.get(batch)
        if lease is not None:
            lease[1] = time.monotonic()


def _watch_leases() -> None:
    """Ends the batches here whose lease has not been renewed within its expiry, on this worker's clock."""
    while True:
        time.sleep(1.0)
        now = time.monotonic()
        with _lock:
            lapsed = [batch for batch, (expiry, renewed) in _leases.items() if now - renewed >= expiry]
        for batch in lapsed:
            end_batch(batch, 0.0)

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
at once. A task starts a child only for a batch whose lease it has seen
renewed: one that arrives late, for a batch that has ended or that the
worker has long forgotten, waits for a renewal that never comes and is turned
down without taking a licence seat.

All that a worker keeps of the batches is one ``WorkerState``. It forgets an
ended batch ``FORGET_AFTER`` seconds after its end, so that a worker that
lives for weeks keeps only what recent batches left. When the worker itself
closes (its service stopped, SIGTERM, Ctrl-C), the batch's plugin
(``_plugin``) has the state end every child at once, with its process tree,
and remove its folder.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from .._messages import Outcome, Task
from .._serve import STOP_WAIT
from ._child import ChildLost, ChildSolver

# How often the submitting side renews its lease, and after how long without a renewal a worker takes the batch
# for gone.
LEASE_EVERY = 2.0
LEASE_EXPIRY = 15.0
# How long a worker remembers a batch that has ended here: its late tasks are turned down at once meanwhile,
# and afterwards because no renewal of its lease comes.
FORGET_AFTER = 3600.0
# How often the watch looks at the leases.
_WATCH_EVERY = 1.0
# Why a task is turned down once its worker has begun to close.
CLOSING = "its Dask worker is closing"


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
    """A task's answer: the solve's outcome, or how it was lost (``outcome`` None: its child ran out of time,
    died, or was ended with its batch), with the worker and the child process that had it."""

    worker: str
    pid: int
    # What the solve took in the child, or until it was lost.
    seconds: float
    outcome: Outcome | None = None
    timed_out: bool = False
    error_type: str | None = None
    message: str | None = None
    # Seconds that the child took to set up before this task, when the task started it; else 0.
    setup_seconds: float = 0.0
    # Of a solve that was lost: where what it printed was kept, if it was.
    kept: Outcome | None = None


StartChild = Callable[[str, Setup], ChildSolver]


class WorkerState:
    """What one Dask worker keeps of the batches that send it tasks: each thread's child and refusal, each
    batch's lease, and the batches that have ended here."""

    def __init__(
        self, start_child: StartChild | None = None, clock: Callable[[], float] = time.monotonic, watch: bool = True
    ) -> None:
        self._start_child = start_child or _new_child
        self._clock = clock
        # Without its own watch, whoever holds the state calls ``look``.
        self._watching = watch
        self._lock = threading.Lock()
        # Signalled on each renewal: a task that waits for its batch's lease wakes up.
        self._renewed = threading.Condition(self._lock)
        # (batch, thread) -> the child that solves the batch's tasks on that thread.
        self._children: dict[tuple[str, int], ChildSolver] = {}
        # (batch, thread) -> why that thread turns the batch's tasks down.
        self._refusals: dict[tuple[str, int], str] = {}
        # Batches whose clean-up has run here -> when, on this worker's clock.
        self._ended: dict[str, float] = {}
        # Live batches -> [their lease's expiry, when it was last renewed on this worker's clock].
        self._leases: dict[str, list[float]] = {}
        # Whether the worker has begun to close: it starts no child from then on.
        self._closed = False
        self._watch: threading.Thread | None = None

    def solve(self, batch: str, setup: Setup, task: Task, terms: Terms, worker: str) -> Done | Refused:
        """One task of ``batch`` solved in this thread's child of the batch, started when there is none."""
        key = (batch, threading.get_ident())
        found = self._existing_child(key, terms)
        if isinstance(found, str):
            return Refused(worker, found)
        setup_seconds = 0.0
        child = found
        if child is None or not child.alive:
            setup_started = time.monotonic()
            started = self._new_child(key, setup)
            if isinstance(started, str):
                return Refused(worker, started)
            child, setup_seconds = started, time.monotonic() - setup_started
        try:
            outcome = child.solve(task, terms.timeout, lambda: self.is_leased(batch))
            done = Done(worker, child.process.pid, outcome.seconds, outcome, setup_seconds=setup_seconds)
        except ChildLost as lost:
            done = Done(
                worker,
                child.process.pid,
                lost.seconds,
                None,
                lost.timed_out,
                None if lost.timed_out else lost.error_type,
                lost.message,
                setup_seconds,
                lost.kept,
            )
        if terms.max_models is not None and child.models >= terms.max_models:
            # Recycled: the next task of the batch on this thread starts a new child.
            with self._lock:
                if self._children.get(key) is child:
                    del self._children[key]
            child.stop()
        return done

    def is_leased(self, batch: str) -> bool:
        with self._lock:
            return batch in self._leases

    def renew(self, batch: str, expiry: float = LEASE_EXPIRY) -> None:
        """The batch lives: its lease runs from now (a batch that has ended here stays ended)."""
        with self._lock:
            if batch in self._ended:
                return
            lease = self._leases.setdefault(batch, [expiry, 0.0])
            lease[1] = self._clock()
            self._start_watch()
            self._renewed.notify_all()

    def end(self, batch: str, wait: float) -> None:
        """Ends the batch's children here, each idle one given ``wait`` seconds to end by itself, and removes
        their folders; its late tasks are turned down from now on."""
        with self._lock:
            self._ended[batch] = self._clock()
            self._leases.pop(batch, None)
            ending = [self._children.pop(key) for key in list(self._children) if key[0] == batch]
            for key in [key for key in self._refusals if key[0] == batch]:
                del self._refusals[key]
            self._renewed.notify_all()
        for child in ending:
            child.stop(wait)

    def close(self) -> None:
        """The worker closes: every child here is ended at once, with its process tree, and its folder
        removed; the tasks that come later are turned down."""
        with self._lock:
            self._closed = True
            ending = list(self._children.values())
            self._children.clear()
            self._renewed.notify_all()
        for child in ending:
            child.stop(0.0)

    def look(self) -> None:
        """Ends the batches whose lease has not been renewed within its expiry, and forgets those that ended
        more than ``FORGET_AFTER`` seconds ago."""
        now = self._clock()
        with self._lock:
            lapsed = [batch for batch, (expiry, renewed) in self._leases.items() if now - renewed >= expiry]
            for batch in [batch for batch, ended in self._ended.items() if now - ended >= FORGET_AFTER]:
                del self._ended[batch]
        for batch in lapsed:
            self.end(batch, 0.0)

    def remembered(self) -> int:
        """How many batches this worker keeps anything of."""
        with self._lock:
            return len(
                set(self._ended)
                | set(self._leases)
                | {key[0] for key in self._children}
                | {key[0] for key in self._refusals}
            )

    def _existing_child(self, key: tuple[str, int], terms: Terms) -> ChildSolver | str | None:
        """The batch's child on this thread, None, or why the thread turns the batch down. A task waits up to
        the lease's expiry for the batch's first renewal here; a child of an earlier batch on this thread is
        ended."""
        batch = key[0]
        with self._lock:
            deadline = self._clock() + terms.lease_expiry
            while (
                batch not in self._leases and batch not in self._ended and not self._closed and self._clock() < deadline
            ):
                self._renewed.wait(min(_WATCH_EVERY, max(0.0, deadline - self._clock())))
            if self._closed:
                return CLOSING
            if batch in self._ended:
                return "the batch has ended"
            if batch not in self._leases:
                return "the batch has gone: its lease was never renewed here"
            refusal = self._refusals.get(key)
            child = self._children.get(key)
            # A child of an earlier batch on this thread is of no more use.
            earlier = [k for k in self._children if k[1] == key[1] and k[0] != batch]
            stale = [self._children.pop(k) for k in earlier]
        for old in stale:
            old.stop()
        return refusal if refusal is not None else child

    def _new_child(self, key: tuple[str, int], setup: Setup) -> ChildSolver | str:
        """A new child for the batch on this thread, set up; or why it cannot solve (then the thread turns the
        batch down from now on)."""
        batch = key[0]
        child = self._start_child(batch, setup)
        with self._lock:
            if child.setup_failure is not None:
                self._refusals[key] = child.setup_failure
                return child.setup_failure
            late = CLOSING if self._closed else "the batch has ended" if batch in self._ended else None
            if late is None:
                self._children[key] = child
        if late is not None:
            child.stop(0.0 if late == CLOSING else STOP_WAIT)
            return late
        return child

    def _start_watch(self) -> None:
        # Called with the lock held.
        if self._watching and self._watch is None:
            self._watch = threading.Thread(target=self._watch_leases, daemon=True, name="brivane-leases")
            self._watch.start()

    def _watch_leases(self) -> None:
        while True:
            time.sleep(_WATCH_EVERY)
            self.look()


def _new_child(batch: str, setup: Setup) -> ChildSolver:
    return ChildSolver(setup.installation, setup.module, setup.settings, setup.data_sources, batch)


# The one state of this worker process.
_state = WorkerState()


def solve_on_worker(batch: str, setup: Setup, task: Task, terms: Terms) -> Done | Refused:
    """The Dask task: one model solved in this thread's child of the batch."""
    from distributed import get_worker

    worker = get_worker()
    if worker.state.nthreads != 1:
        return Refused(
            worker.address,
            f"it runs {worker.state.nthreads} threads; the batch needs workers of "
            "one thread (dask worker --nthreads 1)",
        )
    return _state.solve(batch, setup, task, terms, worker.address)


def close_worker() -> None:
    """Ends every child on this worker, which closes (the batch's plugin runs it there)."""
    _state.close()


def end_batch(batch: str, wait: float) -> None:
    """Ends the batch's children on this worker (run by the batch on every worker at its end)."""
    _state.end(batch, wait)


async def renew_lease(batch: str, expiry: float = LEASE_EXPIRY) -> None:
    """Run on every worker by the batch while it lives, in the worker's event loop (Dask runs only coroutines
    there without waiting for them)."""
    _state.renew(batch, expiry)

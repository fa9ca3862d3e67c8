"""The cluster runner: a batch's models sent to a Dask cluster, one task per model, as many at once as the
workers take. It only submits tasks and hears their answers; what each attempt gave goes to the schedule.

Who retries what: the batch's ``retries`` cover a solve that failed or ran out
of time (the task reports it; it never raises for it). Dask's own
``distributed.scheduler.allowed-failures`` covers a task whose whole worker
was lost; once Dask gives up, the model is failed with ``KilledWorker`` and
the batch does not try it again. A task turned down by a worker that cannot
set up is not an attempt: it goes to the other workers.

A lost scheduler (the client's connection to it closed, and Dask cancelled
every task for that reason) ends the batch with ``SchedulerLost``: the models
under way are stopped, not failed. The batch's end waits at most
``CLUSTER_WAIT`` seconds for the cluster, and not at all once the scheduler
is lost: the workers' lease then ends the batch's children.
"""

from __future__ import annotations

import asyncio
import itertools
import queue
import threading
import time
from collections.abc import Hashable
from typing import Any

from .._errors import SchedulerLost
from .._schedule import Schedule
from .._serve import STOP_WAIT
from . import _on_worker
from ._on_worker import Done, Refused, Setup, Terms, end_batch, renew_lease, solve_on_worker

# Tasks sent ahead to each worker, so that it starts the next model as soon as one ends.
_AHEAD = 2
# How often the batch asks the scheduler which workers there are, for those that joined or left.
_WORKERS_EVERY = 1.0
# How long the batch waits for a worker when the cluster has none while models wait or run.
NO_WORKER_LIMIT = 60.0
# How long the batch waits for the cluster's answer: which workers there are, a renewal of its lease, and at its
# end the children ended.
CLUSTER_WAIT = 5.0
# Why Dask cancels every task of a client whose connection to the scheduler closed.
_CONNECTION_LOST = "scheduler-connection-lost"
# What a call to the scheduler raises when it cannot be reached or does not answer in time (asyncio's
# TimeoutError is an OSError only from Python 3.11 on).
_UNREACHABLE = (OSError, asyncio.TimeoutError)


def cluster_workers(client: Any) -> dict[str, int]:
    """{address: threads} of the cluster's workers; raises ValueError unless there are some, of one thread each."""
    from distributed import Client

    if not isinstance(client, Client):
        raise TypeError(f"executor must be a distributed.Client, not {type(client).__name__}")
    # Client's own methods are not typed.
    cluster: Any = client
    workers: dict[str, int] = cluster.nthreads()
    if not workers:
        raise ValueError(
            f"the Dask cluster at {cluster.scheduler.address} has no workers: start them with "
            "dask worker ADDRESS --nthreads 1"
        )
    many = [f"{address} runs {threads}" for address, threads in sorted(workers.items()) if threads != 1]
    if many:
        raise ValueError(
            "the batch needs Dask workers of one thread each (dask worker --nthreads 1): " + ", ".join(many)
        )
    return workers


def _next(done: queue.SimpleQueue[Any]) -> Any:
    """The next future that finished, or None after a while (the caller looks at the cluster again)."""
    # In short waits: Ctrl-C is seen between them, on every system.
    for _ in range(4):
        try:
            return done.get(timeout=0.25)
        except queue.Empty:
            pass
    return None


class ClusterBatch:
    """The models solved by Dask tasks, which send each solve to a child process of their worker; ``schedule``
    keeps what waits, runs and finished."""

    def __init__(
        self, schedule: Schedule, client: Any, timeout: float | None, max_models: int | None, batch_id: str
    ) -> None:
        self.schedule = schedule
        self.client, self.id = client, batch_id
        # Read at the start of each batch, so that the module's figures can be changed for one.
        self.terms = Terms(timeout, max_models, _on_worker.LEASE_EXPIRY)
        # The futures of the tasks that run, by key: the schedule's slots.
        self.futures: dict[Hashable, Any] = {}
        self.keys = (f"brivane-solve-{batch_id}-{number}" for number in itertools.count(1))
        # Workers that turned the batch down, and why.
        self.refusing: dict[str, str] = {}
        self.workers: list[str] = []
        self.looked_at = 0.0
        # Since when the cluster has had no worker, while models wait.
        self.none_since: float | None = None

    def run(self, config: dict[str, Any]) -> None:
        from ._plugin import NAME, EndChildrenAtClose

        setup = Setup(**config)
        try:
            self.client.register_plugin(EndChildrenAtClose(), name=NAME)
        except _UNREACHABLE:
            raise self._lost() from None
        # Futures put themselves here when they finish, from a thread of the client's.
        done: queue.SimpleQueue[Any] = queue.SimpleQueue()
        interrupted = False
        renewing = threading.Event()
        threading.Thread(target=self._renew_lease, args=(renewing,), daemon=True, name="brivane-lease").start()
        try:
            while self.schedule.outstanding and self._can_go_on():
                self._submit(setup, done)
                finished = _next(done)
                if finished is not None:
                    self._finish(finished)
        except KeyboardInterrupt:
            interrupted = True
            raise
        finally:
            renewing.set()
            self._end(interrupted)

    def _usable(self) -> list[str]:
        return [w for w in self.workers if w not in self.refusing]

    def _can_go_on(self) -> bool:
        """False, with the models that wait failed, once no worker can set up or the cluster has had no worker
        for NO_WORKER_LIMIT seconds."""
        self._look_at_workers()
        if not self._usable() and not self.schedule.running and self.refusing:
            last = list(self.refusing.values())[-1]
            self.schedule.gave_up("SetupFailed", f"no worker could set up: {last}")
            return False
        # A cluster without workers may get them back (restarted ones): the batch waits a while.
        self.none_since = (self.none_since or time.monotonic()) if not self.workers else None
        if self.none_since is not None and time.monotonic() - self.none_since >= NO_WORKER_LIMIT:
            self._no_workers()
            return False
        return True

    def _submit(self, setup: Setup, done: queue.SimpleQueue[Any]) -> None:
        """Tasks sent while the usable workers have fewer than _AHEAD each; while none can take them, none is
        sent: they would only come back."""
        usable = self._usable()
        while self.schedule.running < _AHEAD * len(usable):
            key = next(self.keys)
            job = self.schedule.dispatch(key)
            if job is None:
                return
            future = self.client.submit(
                solve_on_worker,
                self.id,
                setup,
                job.task,
                self.terms,
                key=key,
                # Only once some worker has turned the batch down are tasks kept from it.
                workers=usable if self.refusing else None,
                allow_other_workers=bool(self.refusing),
            )
            self.futures[key] = future
            future.add_done_callback(done.put)

    def _renew_lease(self, stopped: threading.Event) -> None:
        """Renews the lease on every worker every LEASE_EVERY seconds while the batch runs: the workers' sign
        that it lives (a worker that joins later starts the lease with the batch's first task there)."""
        while True:
            try:
                self.client.run(
                    renew_lease, self.id, self.terms.lease_expiry, wait=False, callback_timeout=CLUSTER_WAIT
                )
            except Exception:  # the scheduler out of reach for now: the workers' expiry allows for it
                pass
            if stopped.wait(_on_worker.LEASE_EVERY):
                return

    def _no_workers(self) -> None:
        message = (
            f"the Dask cluster at {self.client.scheduler.address} has had no workers for "
            f"{NO_WORKER_LIMIT:g} s while models waited"
        )
        running = self.schedule.running_slots()
        self.client.cancel([self.futures.pop(key) for key in running])
        for key in running:
            self.schedule.lost(key, None, None, "NoWorkers", message, retry=False, seconds=0.0)
        self.schedule.gave_up("NoWorkers", message)

    def _look_at_workers(self, now: bool = False) -> None:
        """The workers that the scheduler knows now; raises SchedulerLost once the connection to it has closed.
        A scheduler slow to answer leaves the workers as they were last seen."""
        if not self._connected():
            raise self._lost()
        if now or time.monotonic() - self.looked_at >= _WORKERS_EVERY:
            try:
                self.workers = sorted(self.client.nthreads(callback_timeout=CLUSTER_WAIT))
            except _UNREACHABLE:
                if not self._connected():
                    raise self._lost() from None
            self.looked_at = time.monotonic()

    def _connected(self) -> bool:
        """Whether the client is still connected to the scheduler: once the connection closes, Dask tries to
        connect again, and whatever it gets back, the batch's tasks are gone."""
        return bool(self.client.status == "running")

    def _lost(self) -> SchedulerLost:
        return SchedulerLost(self.client.scheduler.address)

    def _finish(self, future: Any) -> None:
        """A finished future's task: its answer given to the schedule, or Dask's failure; raises SchedulerLost
        for a task cancelled because the connection to the scheduler closed."""
        key = future.key
        self.futures.pop(key, None)
        if not self.schedule.is_running(key):
            return  # failed already, with the cluster's workers gone
        try:
            answer = future.result()
        except Exception as error:
            if getattr(error, "reason", None) == _CONNECTION_LOST or not self._connected():
                # Not an attempt that failed: the models under way are stopped with the batch.
                raise self._lost() from None
            self._failed(key, error)
            return
        if isinstance(answer, Refused):
            self._refused(key, answer)
        else:
            self._done(key, answer)

    def _failed(self, key: str, error: Exception) -> None:
        """A task that Dask failed."""
        from distributed.scheduler import KilledWorker

        if isinstance(error, KilledWorker):
            # Dask has tried it on allowed-failures + 1 workers that were lost while it ran.
            self.schedule.lost(key, None, None, "KilledWorker", str(error), retry=False, seconds=0.0)
        else:
            self.schedule.lost(key, None, None, type(error).__name__, str(error), seconds=0.0)

    def _refused(self, key: str, refused: Refused) -> None:
        """A task turned down is no attempt: it waits again, and the worker gets no more of the batch's tasks."""
        self.schedule.refused(key)
        if refused.worker not in self.refusing:
            self.refusing[refused.worker] = refused.reason
            self.schedule.setup_failed(refused.worker, refused.reason)
        self._look_at_workers(now=True)

    def _done(self, key: str, done: Done) -> None:
        if done.setup_seconds:
            self.schedule.set_up_before(key, done.worker, done.pid, done.setup_seconds, done.seconds)
        if done.outcome is not None:
            self.schedule.finished(key, done.outcome, done.worker, done.pid, done.seconds)
        elif done.timed_out:
            self.schedule.timed_out(key, done.worker, done.pid, done.message or "", done.seconds, done.kept)
        else:
            self.schedule.lost(
                key,
                done.worker,
                done.pid,
                done.error_type or "WorkerDied",
                done.message or "",
                seconds=done.seconds,
                outcome=done.kept,
            )

    def _end(self, interrupted: bool) -> None:
        """Cancels what still runs and ends the batch's children on every worker, removing their folders. With
        the scheduler lost, or silent for CLUSTER_WAIT seconds, the workers' lease ends the children instead."""
        if not self._connected():
            return
        try:
            if self.futures:
                self.client.cancel(list(self.futures.values()))
            # Idle children end by themselves, letting the product release what it took; busy ones are killed.
            self.client.run(end_batch, self.id, 0.0 if interrupted else STOP_WAIT, callback_timeout=CLUSTER_WAIT)
        except _UNREACHABLE:
            pass  # the workers end the children all the same: this run goes on there, and the lease expires

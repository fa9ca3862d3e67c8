"""The models of a batch sent to a Dask cluster: one task per model, as many at once as the workers take.

Who retries what: the batch's ``retries`` cover a solve that failed or ran out
of time (the task reports it; it never raises for it). Dask's own
``distributed.scheduler.allowed-failures`` covers a task whose whole worker
was lost; once Dask gives up, the model is failed with ``KilledWorker`` and
the batch does not try it again. A task turned down by a worker that cannot
set up is not an attempt: it goes to the other workers.
"""
from __future__ import annotations

import queue
import threading
import time
from typing import Any

from . import _on_worker
from ._child import Ended
from ._on_worker import Done, Refused, Setup, Terms, end_batch, renew_lease, solve_on_worker
from ._report import FAILED, SOLVED
from ._schedule import Job, Schedule, attempt
from ._workers import STOP_WAIT

# Tasks sent ahead to each worker, so that it starts the next model as soon as one ends.
_AHEAD = 2
# How often the batch asks the scheduler which workers there are, for those that joined or left.
_WORKERS_EVERY = 1.0
# How long the batch waits for a worker when the cluster has none while models wait or run.
NO_WORKER_LIMIT = 60.0


def cluster_workers(client: Any) -> dict[str, int]:
    """{address: threads} of the cluster's workers; raises ValueError unless there are some, of one thread each."""
    from distributed import Client

    if not isinstance(client, Client):
        raise TypeError(f"executor must be a distributed.Client, not {type(client).__name__}")
    # Client's own methods are not typed.
    cluster: Any = client
    workers: dict[str, int] = cluster.nthreads()
    if not workers:
        raise ValueError(f"the Dask cluster at {cluster.scheduler.address} has no workers: start them with "
                         "dask worker ADDRESS --nthreads 1")
    many = [f"{address} runs {threads}" for address, threads in sorted(workers.items()) if threads != 1]
    if many:
        raise ValueError("the batch needs Dask workers of one thread each (dask worker --nthreads 1): "
                         + ", ".join(many))
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

    def __init__(self, schedule: Schedule, client: Any, timeout: float | None, max_models: int | None,
                 batch_id: str) -> None:
        self.schedule = schedule
        self.client, self.id = client, batch_id
        # Read at the start of each batch, so that the module's figures can be changed for one.
        self.terms = Terms(timeout, max_models, _on_worker.LEASE_EXPIRY)
        self.submitted: dict[Any, float] = {}
        # Workers that turned the batch down, and why.
        self.refusing: dict[str, str] = {}
        self.workers: list[str] = []
        self.looked_at = 0.0
        # Since when the cluster has had no worker, while models wait.
        self.none_since: float | None = None

    def run(self, config: dict[str, Any]) -> None:
        setup = Setup(**config)
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
            self._end(list(self.schedule.running), interrupted)

    def _usable(self) -> list[str]:
        return [w for w in self.workers if w not in self.refusing]

    def _can_go_on(self) -> bool:
        """False, with the models that wait failed, once no worker can set up or the cluster has had no worker
        for NO_WORKER_LIMIT seconds."""
        self._look_at_workers()
        if not self._usable() and not self.schedule.running and self.refusing:
            last = list(self.refusing.values())[-1]
            self.schedule.fail_waiting("SetupFailed", f"no worker could set up: {last}")
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
        while len(self.schedule.running) < _AHEAD * len(usable):
            job = self.schedule.next_job()
            if job is None:
                return
            job.attempts += 1
            future = self.client.submit(
                solve_on_worker, self.id, setup, job.task, self.terms, pure=False,
                # Only once some worker has turned the batch down are tasks kept from it.
                workers=usable if self.refusing else None, allow_other_workers=bool(self.refusing))
            self.schedule.running[future] = job
            self.submitted[future] = time.time()
            future.add_done_callback(done.put)

    def _renew_lease(self, stopped: threading.Event) -> None:
        """Renews the lease on every worker every LEASE_EVERY seconds while the batch runs: the workers' sign
        that it lives (a worker that joins later starts the lease with the batch's first task there)."""
        while not stopped.wait(_on_worker.LEASE_EVERY):
            try:
                self.client.run(renew_lease, self.id, wait=False)
            except Exception:  # the scheduler out of reach for now: the workers' expiry allows for it
                pass

    def _no_workers(self) -> None:
        message = (f"the Dask cluster at {self.client.scheduler.address} has had no workers for "
                   f"{NO_WORKER_LIMIT:g} s while models waited")
        running = list(self.schedule.running.items())
        self.client.cancel([future for future, _ in running])
        self.schedule.running.clear()
        for _, job in running:
            self.schedule.settle(job, FAILED, 0.0, error_type="NoWorkers", message=message, retry=False)
        self.schedule.fail_waiting("NoWorkers", message)

    def _look_at_workers(self, now: bool = False) -> None:
        if now or time.monotonic() - self.looked_at >= _WORKERS_EVERY:
            self.workers = sorted(self.client.nthreads())
            self.looked_at = time.monotonic()

    def _finish(self, future: Any) -> None:
        """A finished future's task: its answer settled, or Dask's failure."""
        from distributed.scheduler import KilledWorker

        job = self.schedule.running.pop(future, None)
        if job is None:
            return  # failed already, with the cluster's workers gone
        submitted = self.submitted.pop(future, time.time())
        try:
            answer = future.result()
        except KilledWorker as lost:
            # Dask has tried it on allowed-failures + 1 workers that were lost while it ran.
            self.schedule.settle(job, FAILED, 0.0, error_type="KilledWorker", message=str(lost), retry=False)
            return
        except Exception as error:
            self.schedule.settle(job, FAILED, 0.0, error_type=type(error).__name__, message=str(error))
            return
        if isinstance(answer, Refused):
            self._refused(job, answer)
        else:
            self._settle(job, answer, self._timed(answer, submitted))

    def _timed(self, done: Done, submitted: float) -> dict[str, Any]:
        """The attempt's worker and times on this machine's clock, and the set-up of the child that it started."""
        # Its start: when the answer came, less what the solve took there.
        ended = time.time()
        started = max(submitted, ended - done.answer.seconds)
        if done.setup_seconds:
            # The child's set-up came just before the solve: a duration, so no clock of the worker's.
            self.schedule.set_up_timed(done.worker, done.pid, started - done.setup_seconds, started)
        return attempt(done.worker, done.pid, started, ended)

    def _refused(self, job: Job, refused: Refused) -> None:
        """A task turned down is no attempt: it waits again, and the worker gets no more of the batch's tasks."""
        job.attempts -= 1
        if refused.worker not in self.refusing:
            self.refusing[refused.worker] = refused.reason
            self.schedule.setup_failed(refused.worker, refused.reason)
        self.schedule.queue(job)
        self._look_at_workers(now=True)

    def _settle(self, job: Job, done: Done, run: dict[str, Any]) -> None:
        answer = done.answer
        if isinstance(answer, Ended):
            self.schedule.settle(job, answer.status, answer.seconds, error_type=answer.error_type,
                                 message=answer.message, run=run)
        else:
            self.schedule.settle(job, SOLVED if answer.solved else FAILED, answer.seconds, answer.results,
                                 answer.results_folder, answer.error_type, answer.error_message,
                                 solver=answer.solver, kind=answer.kind, manifest=answer.manifest, run=run)

    def _end(self, running: list[Any], interrupted: bool) -> None:
        """Cancels what still runs and ends the batch's children on every worker, removing their folders."""
        if running:
            self.client.cancel(running)
        # Idle children end by themselves, letting the product release what it took; busy ones are killed.
        self.client.run(end_batch, self.id, 0.0 if interrupted else STOP_WAIT)

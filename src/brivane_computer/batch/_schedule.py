"""What a batch keeps of its models wherever they are solved: each model's life, from queued to its record.

The schedule owns every transition of a model; a runner (worker processes
here, or a Dask cluster) only moves processes and tasks, and tells the
schedule what happened through the methods named for the events: a model is
``queued`` or ``skipped_if_unchanged``, ``dispatch``-ed to a slot, and its attempt there
``finished`` with an outcome, ``timed_out``, was ``lost`` with its worker or
``refused``; the schedule decides whether it is retried, and turns its last
attempt into the model's record (``_record``), written to the report at once.
``set_up_timed``, ``setup_failed``, ``gave_up`` and ``stopped`` say what
happened to the workers and to the batch. A slot is whatever the runner
tells its attempts apart by: a worker process, or a Dask task's key.
"""
from __future__ import annotations

import datetime
import os
import time
from collections import deque
from collections.abc import Hashable
from dataclasses import dataclass, field, replace
from typing import Any

from ._identity import Identity, folder_and_ancestors
from ._models import FoundModel
from ._progress import Progress
from ._messages import REVAV, Outcome, Task
from .report import FAILED, IN_PLACE, SKIPPED, SOLVED, STRUCTURE, TIMED_OUT, ModelResult, Report, ReportWriter


@dataclass
class Job:
    """One model's way through the batch. Only the schedule changes it."""

    index: int
    model: FoundModel
    task: Task
    # In place, the folder whose files the solve may share with other models of it, and the folders that
    # hold it, each by what it is (nearest first).
    folders: tuple[Identity, ...]
    size: int
    mtime_ns: int
    attempts: int = 0
    seconds: float = 0.0
    # Each attempt's worker and times (``_attempt``).
    runs: list[dict[str, Any]] = field(default_factory=list)
    # When its attempt under way was dispatched: on the monotonic clock, and on the wall clock for the report.
    dispatched: float = 0.0
    dispatched_wall: float = 0.0

    @property
    def folder(self) -> Identity:
        return self.folders[0] if self.folders else ("path", os.path.normcase(os.path.dirname(self.model.path)))


def make_job(index: int, model: FoundModel, solver: str, sandbox: bool, results: str | None) -> Job:
    """The job of a model; ``results`` is its own results folder, given to it by the batch."""
    try:
        info = os.stat(model.path)
        size, mtime_ns = info.st_size, info.st_mtime_ns
    except OSError:
        size = mtime_ns = 0
    folders = folder_and_ancestors(os.path.dirname(model.path))
    return Job(index, model, Task(model.path, solver, sandbox, results), folders, size, mtime_ns)


def _when(moment: float) -> str:
    return datetime.datetime.fromtimestamp(moment).astimezone().isoformat(timespec="milliseconds")


def _attempt(worker: int | str, pid: int | None, started: float, ended: float) -> dict[str, Any]:
    """What the report keeps of one attempt: the worker slot (on a cluster, the worker's address) and the
    process that ran it, and when it started and ended, on this machine's clock."""
    return {"worker": worker, "pid": pid, "started": _when(started), "ended": _when(ended)}


def _overlap(job: Job, other: Job) -> bool:
    """Whether one job's folder is the other's or holds it: a solve in place lists its folder's whole tree."""
    return job.folder in other.folders or other.folder in job.folders


class Schedule:
    """The models waiting, running and finished, whoever solves them."""

    def __init__(self, solver: str, mode: str, retries: int, writer: ReportWriter, progress: Progress,
                 report: Report) -> None:
        self.solver, self.mode, self.retries = solver, mode, retries
        self.writer, self.progress, self.report = writer, progress, report
        # Waiting jobs by folder in place (one queue for all in a sandbox), in the order given.
        self._queues: dict[Identity | str, deque[Job]] = {}
        # Each running job by its slot.
        self._running: dict[Hashable, Job] = {}
        self._records: dict[int, ModelResult] = {}
        self._outstanding = 0

    # What the runners read.

    @property
    def outstanding(self) -> int:
        """Models queued or running: the batch goes on while there are any."""
        return self._outstanding

    @property
    def running(self) -> int:
        return len(self._running)

    def running_slots(self) -> list[Hashable]:
        return list(self._running)

    def is_running(self, slot: Hashable) -> bool:
        return slot in self._running

    # A model's life.

    def queued(self, job: Job) -> None:
        """A model waits for its first attempt."""
        self._outstanding += 1
        self._wait(job)

    def skipped_if_unchanged(self, job: Job, earlier: ModelResult | None) -> bool:
        """A resumed model is skipped when its ``earlier`` record says it was solved with the solver that
        would run now, in this mode, and its file is unchanged: its earlier results stand. Whether it was."""
        # A structure model is solved with Revav whichever solver is asked for.
        would_run = REVAV if earlier is not None and earlier.kind == STRUCTURE else self.solver
        if (earlier is None or earlier.status != SOLVED or earlier.solver != would_run or earlier.mode != self.mode
                or (earlier.size, earlier.mtime_ns) != (job.size, job.mtime_ns)):
            return False
        self._record(job, replace(earlier, path=job.model.path, status=SKIPPED, seconds=0.0, attempts=0,
                                  error_type=None, error_message=None, runs=()))
        return True

    def dispatch(self, slot: Hashable) -> Job | None:
        """The first waiting job that may start now, now attempted in ``slot``; in place, none whose folder a
        running job shares."""
        for key, waiting in self._queues.items():
            if self.mode == IN_PLACE and any(_overlap(waiting[0], busy) for busy in self._running.values()):
                continue
            job = waiting.popleft()
            if not waiting:
                del self._queues[key]
            job.attempts += 1
            job.dispatched, job.dispatched_wall = time.monotonic(), time.time()
            self._running[slot] = job
            return job
        return None

    def finished(self, slot: Hashable, outcome: Outcome, worker: int | str, pid: int | None,
                 seconds: float | None = None) -> None:
        """The attempt in ``slot`` gave ``outcome``. ``seconds``: what the solve took where it ran (default:
        since it was dispatched)."""
        job = self._running.pop(slot)
        self._attempt_ended(job, worker, pid, seconds)
        status = SOLVED if outcome.solved else FAILED
        self._settle(job, status, outcome, outcome.error_type, outcome.error_message, retry=True)

    def timed_out(self, slot: Hashable, worker: int | str, pid: int | None, message: str,
                  seconds: float | None = None) -> None:
        """The attempt in ``slot`` ran out of time, and its worker was ended."""
        job = self._running.pop(slot)
        self._attempt_ended(job, worker, pid, seconds)
        self._settle(job, TIMED_OUT, None, None, message, retry=True)

    def lost(self, slot: Hashable, worker: int | str | None, pid: int | None, error_type: str, message: str,
             retry: bool = True, seconds: float | None = None) -> None:
        """The attempt in ``slot`` was lost with its worker (it died, or was taken away); ``worker`` None when
        the runner cannot say which it was. With ``retry`` False the model is failed whatever retries are
        left: what lost it would lose it again."""
        job = self._running.pop(slot)
        if worker is not None:
            self._attempt_ended(job, worker, pid, seconds)
        elif seconds is not None:
            job.seconds += seconds
        self._settle(job, FAILED, None, error_type, message, retry=retry)

    def refused(self, slot: Hashable) -> None:
        """The attempt in ``slot`` was turned down before it began: it is no attempt, and the model waits
        again."""
        job = self._running.pop(slot)
        job.attempts -= 1
        self._wait(job)

    def set_up_before(self, slot: Hashable, worker: int | str, pid: int | None, setup_seconds: float,
                      solve_seconds: float) -> None:
        """The attempt in ``slot`` first had its worker's process set up, for ``setup_seconds`` just before the
        solve of ``solve_seconds`` that ends now: timed on this machine's clock."""
        job = self._running[slot]
        started = max(job.dispatched_wall, time.time() - solve_seconds)
        self.set_up_timed(worker, pid, started - setup_seconds, started)

    def gave_up(self, error_type: str, message: str) -> None:
        """Nothing can solve the waiting models (no worker could set up, or none is left): each is failed."""
        for waiting in self._queues.values():
            for job in waiting:
                self._outstanding -= 1
                self._record(job, self._model_record(job, FAILED, None, error_type, message))
        self._queues.clear()

    def stopped(self, signal_name: str) -> None:
        """A signal (``SIGINT`` for Ctrl-C) stopped the batch: the report says so."""
        self.report.interrupted = True
        self.report.stopped = signal_name

    def close(self, seconds: float) -> Report:
        """The report completed with every model recorded, in the order given, and closed with its end
        record."""
        self.progress.close()
        self.report.seconds = seconds
        self.report.models = [self._records[index] for index in sorted(self._records)]
        self.writer.close(self.report)
        return self.report

    # Workers.

    def set_up_timed(self, worker: int | str, pid: int | None, started: float, ended: float,
                     failed: str | None = None) -> None:
        """Records a worker's set-up, from its start to its word that it is ready or could not set up, on this
        machine's clock."""
        setup = {**_attempt(worker, pid, started, ended), "failed": failed}
        self.report.setups.append(setup)
        self.writer.write({"record": "setup", **setup})

    def setup_failed(self, worker: int | str, message: str) -> None:
        self.report.setup_failures.append(message)
        self.writer.write({"record": "worker", "worker": worker, "message": message})
        self.progress.say(f"worker {worker} could not set up: {message}")

    # The schedule's own steps.

    def _wait(self, job: Job) -> None:
        key = job.folder if self.mode == IN_PLACE else ""
        self._queues.setdefault(key, deque()).append(job)

    def _attempt_ended(self, job: Job, worker: int | str, pid: int | None, seconds: float | None) -> None:
        """The attempt's time added to the job's, and its worker and times kept: it started at its dispatch,
        or, when the solve took less than that, ``seconds`` before now."""
        took = time.monotonic() - job.dispatched if seconds is None else seconds
        job.seconds += took
        ended = time.time()
        job.runs.append(_attempt(worker, pid, max(job.dispatched_wall, ended - took), ended))

    def _settle(self, job: Job, status: str, outcome: Outcome | None, error_type: str | None, message: str | None,
                retry: bool) -> None:
        """One attempt's end: the job waits again while it has retries left, else its record is made."""
        if status != SOLVED and retry and job.attempts <= self.retries:
            self._wait(job)
            return
        self._outstanding -= 1
        self._record(job, self._model_record(job, status, outcome, error_type, message))

    def _model_record(self, job: Job, status: str, outcome: Outcome | None, error_type: str | None,
                      message: str | None) -> ModelResult:
        """A model's record from its last attempt's outcome (None when the attempt gave none) and what the
        batch knows of it. A field added to a model's record is filled in here."""
        given = outcome if outcome is not None else Outcome(False, 0.0)
        return ModelResult(
            path=job.model.path, status=status, solver=given.solver or self.solver, mode=self.mode,
            seconds=round(job.seconds, 3), attempts=job.attempts, results=given.results,
            results_folder=given.results_folder, error_type=error_type, error_message=message, size=job.size,
            mtime_ns=job.mtime_ns, kind=given.kind, manifest=given.manifest, runs=tuple(job.runs))

    def _record(self, job: Job, result: ModelResult) -> None:
        self._records[job.index] = result
        self.writer.write({**result.record(), "index": job.index})
        self.progress.advance(result)

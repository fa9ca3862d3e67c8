"""What a batch keeps of its models wherever they are solved: each model's life, from queued to its record.

The schedule owns every transition of a model; a runner (worker processes
here, or a Dask cluster) only moves processes and tasks, and tells the
schedule what happened through the methods named for the events: a model is
``queued`` or ``skipped_if_unchanged``, ``dispatch``-ed to a slot, and its attempt there
``finished`` with an outcome, ``timed_out``, was ``lost`` with its worker or
``refused``; the schedule decides whether it is retried, and turns its last
attempt into the model's record (``_model_record``), written to the report at
once. ``set_up_timed``, ``setup_failed``, ``gave_up``, ``stopped`` and
``crashed`` say what happened to the workers and to the batch; ``close``
gives every model given an outcome: one being solved is stopped, one that
never started is not started. A slot is whatever the runner tells its
attempts apart by: a worker process, or a Dask task's key.

Every attempt keeps its own outcome. A failure that the model itself causes
is not retried (``NOT_RETRIED``: the solve gave no solution, because the
model file does not load or the solver's run refused its input); a worker's
crash, a time-out, a lost worker and a turned-down task are. A retried model
goes first in its queue, so that its fate is known early.
"""

from __future__ import annotations

import datetime
import os
import time
from collections import deque
from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

from ._identity import Identity, folder_and_ancestors
from ._messages import REVAV, Outcome, Task
from ._models import FoundModel
from ._progress import Progress
from ._solve_inputs import Digests
from .report import (
    CRASHED,
    FAILED,
    IN_PLACE,
    NOT_STARTED,
    SKIPPED,
    SOLVED,
    STOPPED,
    STRUCTURE,
    TIMED_OUT,
    ModelResult,
    Report,
    ReportWriter,
)

# The error types of a failure that the model itself causes, which another attempt would only repeat.
NOT_RETRIED = frozenset({"NoSolution"})


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
    # The inputs of its solve as found when it was queued (None: one could not be read).
    digests: Digests | None = None
    attempts: int = 0
    seconds: float = 0.0
    # Each attempt's worker and times (``_attempt``).
    runs: list[dict[str, Any]] = field(default_factory=list)
    # When its attempt under way was dispatched: on the monotonic clock, and on the wall clock for the report;
    # and to which worker slot and process, where the runner knew them then.
    dispatched: float = 0.0
    dispatched_wall: float = 0.0
    dispatched_to: tuple[int | str | None, int | None] = (None, None)

    @property
    def folder(self) -> Identity:
        return self.folders[0] if self.folders else ("path", os.path.normcase(os.path.dirname(self.model.path)))


def make_job(
    index: int, model: FoundModel, solver: str, sandbox: bool, results: str | None, digests: Digests | None = None
) -> Job:
    """The job of a model; ``results`` is its own results folder, given to it by the batch, ``digests`` the
    inputs of its solve as the batch found them."""
    try:
        info = os.stat(model.path)
        size, mtime_ns = info.st_size, info.st_mtime_ns
    except OSError:
        size = mtime_ns = 0
    folders = folder_and_ancestors(os.path.dirname(model.path))
    return Job(index, model, Task(model.path, solver, sandbox, results), folders, size, mtime_ns, digests)


def _when(moment: float) -> str:
    return datetime.datetime.fromtimestamp(moment).astimezone().isoformat(timespec="milliseconds")


def _timed(worker: int | str | None, pid: int | None, started: float, ended: float) -> dict[str, Any]:
    """The worker slot (on a cluster, the worker's address) and the process, and when it started and ended, on
    this machine's clock."""
    return {"worker": worker, "pid": pid, "started": _when(started), "ended": _when(ended)}


def solved_from_the_same_inputs(earlier: ModelResult, job: Job, solver: str, mode: str) -> bool:
    """Whether the ``earlier`` record of a model says that it was solved with the solver that would run now, in
    ``mode``, from the same inputs (by their digests; a record without them never counts as the same)."""
    # A structure model is solved with Revav whichever solver is asked for.
    would_run = REVAV if earlier.kind == STRUCTURE else solver
    return (
        earlier.status == SOLVED
        and earlier.solver == would_run
        and earlier.mode == mode
        and earlier.digests is not None
        and earlier.digests == job.digests
    )


def _overlap(job: Job, other: Job) -> bool:
    """Whether one job's folder is the other's or holds it: a solve in place lists its folder's whole tree."""
    return job.folder in other.folders or other.folder in job.folders


class Schedule:
    """The models waiting, running and finished, whoever solves them."""

    def __init__(
        self,
        solver: str,
        mode: str,
        retries: int,
        writer: ReportWriter,
        progress: Progress,
        report: Report,
        given: Sequence[FoundModel] = (),
        max_failures: int | None = None,
    ) -> None:
        self.solver, self.mode, self.retries = solver, mode, retries
        # After this many models failed or timed out, no more start: those running finish, the rest are not
        # started.
        self._max_failures, self._failures, self._stopping = max_failures, 0, False
        self.writer, self.progress, self.report = writer, progress, report
        # Every model given, by index: each gets a record by the end, whatever ends the batch.
        self._given = list(given)
        # Waiting jobs by folder in place (one queue for all in a sandbox), in the order given.
        self._queues: dict[Identity | str, deque[Job]] = {}
        # Each running job by its slot.
        self._running: dict[Hashable, Job] = {}
        self._records: dict[int, ModelResult] = {}
        self._outstanding = 0

    # What the runners read.

    @property
    def outstanding(self) -> int:
        """Models queued or running: the batch goes on while there are any (once it stops by its limit of
        failures, only those running)."""
        return len(self._running) if self._stopping else self._outstanding

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
        would run now, in this mode, from the same inputs (by their digests; a record without them never
        counts as the same): its earlier results stand. Whether it was."""
        if earlier is None or not solved_from_the_same_inputs(earlier, job, self.solver, self.mode):
            return False
        self._record(
            job.index,
            replace(
                earlier,
                path=job.model.path,
                status=SKIPPED,
                seconds=0.0,
                attempts=0,
                error_type=None,
                error_message=None,
                size=job.size,
                mtime_ns=job.mtime_ns,
                runs=(),
            ),
        )
        return True

    def dispatch(self, slot: Hashable, worker: int | str | None = None, pid: int | None = None) -> Job | None:
        """The first waiting job that may start now, now attempted in ``slot`` (by ``worker``'s process ``pid``,
        where the runner knows them now); in place, none whose folder a running job shares."""
        if self._stopping:
            return None
        for key, waiting in self._queues.items():
            if self.mode == IN_PLACE and any(_overlap(waiting[0], busy) for busy in self._running.values()):
                continue
            job = waiting.popleft()
            if not waiting:
                del self._queues[key]
            job.attempts += 1
            job.dispatched, job.dispatched_wall = time.monotonic(), time.time()
            job.dispatched_to = (worker, pid)
            self._running[slot] = job
            self.writer.write(
                {
                    "record": "attempt",
                    "index": job.index,
                    "model": job.model.path,
                    "attempt": job.attempts,
                    "worker": worker,
                    "pid": pid,
                    "started": _when(job.dispatched_wall),
                }
            )
            return job
        return None

    def finished(
        self, slot: Hashable, outcome: Outcome, worker: int | str, pid: int | None, seconds: float | None = None
    ) -> None:
        """The attempt in ``slot`` gave ``outcome``. ``seconds``: what the solve took where it ran (default:
        since it was dispatched)."""
        job = self._running.pop(slot)
        status = SOLVED if outcome.solved else FAILED
        self._settle(
            job,
            self._ran(job, worker, pid, seconds, status, outcome.error_type, outcome.error_message),
            outcome,
            retry=True,
        )

    def timed_out(
        self,
        slot: Hashable,
        worker: int | str,
        pid: int | None,
        message: str,
        seconds: float | None = None,
        outcome: Outcome | None = None,
    ) -> None:
        """The attempt in ``slot`` ran out of time, and its worker was ended; ``outcome``, where the runner kept
        what the solve printed, says where."""
        job = self._running.pop(slot)
        self._settle(job, self._ran(job, worker, pid, seconds, TIMED_OUT, None, message), outcome, retry=True)

    def lost(
        self,
        slot: Hashable,
        worker: int | str | None,
        pid: int | None,
        error_type: str,
        message: str,
        retry: bool = True,
        seconds: float | None = None,
        outcome: Outcome | None = None,
    ) -> None:
        """The attempt in ``slot`` was lost with its worker (it died, or was taken away); ``worker`` None when
        the runner cannot say which it was. With ``retry`` False the model is failed whatever retries are
        left: what lost it would lose it again."""
        job = self._running.pop(slot)
        self._settle(job, self._ran(job, worker, pid, seconds, FAILED, error_type, message), outcome, retry=retry)

    def refused(self, slot: Hashable) -> None:
        """The attempt in ``slot`` was turned down before it began: it is no attempt, and the model waits
        again."""
        job = self._running.pop(slot)
        job.attempts -= 1
        self._wait(job)

    def set_up_before(
        self, slot: Hashable, worker: int | str, pid: int | None, setup_seconds: float, solve_seconds: float
    ) -> None:
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
                self._record(job.index, self._model_record(job, FAILED, None, error_type, message))
        self._queues.clear()

    def stopped(self, by: str) -> None:
        """The batch was stopped ``by`` a signal (``SIGINT`` for Ctrl-C) or a rule of its own."""
        self.report.ended, self.report.stopped = STOPPED, by

    def crashed(self, error: BaseException) -> None:
        """An exception ended the batch."""
        self.report.ended, self.report.error = CRASHED, f"{type(error).__name__}: {error}"

    def close(self, seconds: float) -> Report:
        """The report completed with every model given, in the order given, and closed with its end record:
        a model being solved now is stopped, with its seconds so far; one that never started is not
        started; one whose retry never started keeps its last attempt's outcome."""
        for job in self._running.values():
            self._ran(job, None, None, None, STOPPED, None, None)
            self._record(job.index, self._model_record(job, STOPPED, None, None, None))
        self._running.clear()
        for waiting in self._queues.values():
            for job in waiting:
                # One waiting for a retry that never came keeps what its last attempt gave.
                last = job.runs[-1] if job.runs else {"status": NOT_STARTED, "error_type": None, "error_message": None}
                self._record(
                    job.index, self._model_record(job, last["status"], None, last["error_type"], last["error_message"])
                )
        self._queues.clear()
        for index, model in enumerate(self._given):
            if index not in self._records:
                self._record(index, self._model_record(None, NOT_STARTED, None, None, None, path=model.path))
        self._outstanding = 0
        self.progress.close()
        self.report.seconds = seconds
        self.report.given = len(self._given) or len(self._records)
        self.report.models = [self._records[index] for index in sorted(self._records)]
        self.writer.close(self.report)
        return self.report

    # Workers.

    def set_up_timed(
        self, worker: int | str, pid: int | None, started: float, ended: float, failed: str | None = None
    ) -> None:
        """Records a worker's set-up, from its start to its word that it is ready or could not set up, on this
        machine's clock."""
        setup = {**_timed(worker, pid, started, ended), "failed": failed}
        self.report.setups.append(setup)
        self.writer.write({"record": "setup", **setup})

    def setup_failed(self, worker: int | str, message: str) -> None:
        self.report.setup_failures.append(message)
        self.writer.write({"record": "worker", "worker": worker, "message": message})
        self.progress.say(f"worker {worker} could not set up: {message}")

    # The schedule's own steps.

    def _wait(self, job: Job, first: bool = False) -> None:
        key = job.folder if self.mode == IN_PLACE else ""
        waiting = self._queues.setdefault(key, deque())
        if first:
            waiting.appendleft(job)
        else:
            waiting.append(job)

    def _ran(
        self,
        job: Job,
        worker: int | str | None,
        pid: int | None,
        seconds: float | None,
        status: str,
        error_type: str | None,
        message: str | None,
    ) -> dict[str, Any]:
        """The attempt under way has ended: its time added to the job's, and its outcome kept. It started at
        its dispatch, or, when the solve took less than that, ``seconds`` before now."""
        took = time.monotonic() - job.dispatched if seconds is None else seconds
        job.seconds += took
        ended = time.time()
        if worker is None:
            worker, pid = job.dispatched_to
        run = {
            **_timed(worker, pid, max(job.dispatched_wall, ended - took), ended),
            "status": status,
            "error_type": error_type,
            "error_message": message,
            "seconds": round(took, 3),
        }
        job.runs.append(run)
        return run

    def _settle(self, job: Job, run: dict[str, Any], outcome: Outcome | None, retry: bool) -> None:
        """One attempt's end: the job waits again, first in its queue, while it has retries left and what
        ended it may pass; else its record is made."""
        status, error_type = run["status"], run["error_type"]
        if status != SOLVED:
            retried = retry and job.attempts <= self.retries and error_type not in NOT_RETRIED
            self.progress.attempt_failed(job.model.path, run, job.attempts, retried)
            if retried:
                self.writer.write({"record": "retry", "index": job.index, "model": job.model.path, "run": run})
                self._wait(job, first=True)
                return
        self._outstanding -= 1
        self._record(job.index, self._model_record(job, status, outcome, error_type, run["error_message"]))
        if status in (FAILED, TIMED_OUT):
            self._failures += 1
            if self._max_failures is not None and self._failures >= self._max_failures and not self._stopping:
                self._stopping = True
                self.stopped(f"its limit of {self._max_failures} failed model{'s' if self._max_failures > 1 else ''}")
                self.progress.say(
                    f"{self._failures} models failed: the batch stops at its limit; the models "
                    "being solved finish, the rest are not started"
                )

    def _model_record(
        self,
        job: Job | None,
        status: str,
        outcome: Outcome | None,
        error_type: str | None,
        message: str | None,
        path: str = "",
    ) -> ModelResult:
        """A model's record from its last attempt's outcome (None when the attempt gave none) and what the
        batch knows of it (``job`` None: the batch never queued it). A field added to a model's record is
        filled in here."""
        given = outcome if outcome is not None else Outcome(False, 0.0)
        return ModelResult(
            path=job.model.path if job is not None else path,
            status=status,
            solver=given.solver or self.solver,
            mode=self.mode,
            seconds=round(job.seconds, 3) if job is not None else 0.0,
            attempts=job.attempts if job is not None else 0,
            results=given.results,
            results_folder=given.results_folder,
            error_type=error_type,
            error_message=message,
            size=job.size if job is not None else 0,
            mtime_ns=job.mtime_ns if job is not None else 0,
            kind=given.kind,
            manifest=given.manifest,
            runs=tuple(job.runs) if job is not None else (),
            digests=job.digests if job is not None else None,
        )

    def _record(self, index: int, result: ModelResult) -> None:
        self._records[index] = result
        self.writer.write({**result.record(), "index": index})
        self.progress.advance(result)

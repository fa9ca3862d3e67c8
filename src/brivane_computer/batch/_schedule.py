"""What a batch keeps of its models wherever they are solved: the queues, the retries and the report."""
from __future__ import annotations

import os
from collections import deque
import datetime
from dataclasses import dataclass, field
from typing import Any

from ._identity import Identity, folder_and_ancestors
from ._models import FoundModel
from ._progress import Progress
from ._report import FAILED, IN_PLACE, SOLVED, ModelResult, Report, ReportWriter
from ._task import Task


@dataclass
class Job:
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
    # Each attempt's worker and times (``attempt``).
    runs: list[dict[str, Any]] = field(default_factory=list)

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


def attempt(worker: int | str, pid: int | None, started: float, ended: float) -> dict[str, Any]:
    """What the report keeps of one attempt: the worker slot (on a cluster, the worker's address) and the
    process that ran it, and when it started and ended, on this machine's clock."""
    def when(moment: float) -> str:
        return datetime.datetime.fromtimestamp(moment).astimezone().isoformat(timespec="milliseconds")
    return {"worker": worker, "pid": pid, "started": when(started), "ended": when(ended)}


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
        self.queues: dict[Identity | str, deque[Job]] = {}
        # Each running job by what solves it: a worker process or a cluster's future.
        self.running: dict[Any, Job] = {}
        self.finished: list[ModelResult | None] = []
        self.outstanding = 0

    def add(self, job: Job) -> None:
        self.outstanding += 1
        self.queue(job)

    def queue(self, job: Job) -> None:
        key = job.folder if self.mode == IN_PLACE else ""
        self.queues.setdefault(key, deque()).append(job)

    def record(self, job: Job, result: ModelResult) -> None:
        while len(self.finished) <= job.index:
            self.finished.append(None)
        self.finished[job.index] = result
        self.writer.write({**result.record(), "index": job.index})
        self.progress.advance(result)

    def next_job(self) -> Job | None:
        """The first waiting job that may start now: in place, none whose folder a running job shares."""
        for key, waiting in self.queues.items():
            if self.mode == IN_PLACE and any(_overlap(waiting[0], busy) for busy in self.running.values()):
                continue
            job = waiting.popleft()
            if not waiting:
                del self.queues[key]
            return job
        return None

    def settle(self, job: Job, status: str, seconds: float, results: tuple[str, ...] = (),
               results_folder: str | None = None, error_type: str | None = None, message: str | None = None,
               retry: bool = True, solver: str | None = None, kind: str | None = None,
               manifest: tuple[str, ...] = (), run: dict[str, Any] | None = None) -> None:
        """One attempt's end: the job waits again while it has retries left, else its result is recorded."""
        job.seconds += seconds
        if run is not None:
            job.runs.append(run)
        if status != SOLVED and retry and job.attempts <= self.retries:
            self.queue(job)
            return
        self.outstanding -= 1
        self.record(job, ModelResult(job.model.path, status, solver or self.solver, self.mode,
                                     round(job.seconds, 3), job.attempts, results, results_folder, error_type,
                                     message, job.size, job.mtime_ns, kind, manifest, tuple(job.runs)))

    def set_up_timed(self, worker: int | str, pid: int | None, started: float, ended: float,
                     failed: str | None = None) -> None:
        """Records a worker's set-up, from its start to its word that it is ready or could not set up, on this
        machine's clock."""
        setup = {**attempt(worker, pid, started, ended), "failed": failed}
        self.report.setups.append(setup)
        self.writer.write({"record": "setup", **setup})

    def setup_failed(self, worker: int | str, message: str) -> None:
        self.report.setup_failures.append(message)
        self.writer.write({"record": "worker", "worker": worker, "message": message})
        self.progress.say(f"worker {worker} could not set up: {message}")

    def fail_waiting(self, error_type: str, message: str) -> None:
        for waiting in self.queues.values():
            for job in waiting:
                self.outstanding -= 1
                self.record(job, ModelResult(job.model.path, FAILED, self.solver, self.mode, 0.0, job.attempts,
                                             error_type=error_type, error_message=message, size=job.size,
                                             mtime_ns=job.mtime_ns))
        self.queues.clear()

"""The local runner: a batch's models shared out to worker processes of this machine.

It only starts, feeds, watches and ends processes; what each model's attempt
gave goes to the schedule, which decides what comes next.
"""

from __future__ import annotations

import itertools
import os
import time
from multiprocessing.connection import wait
from typing import Any

from .._files import remove_tree
from .._leftovers import LockedFolder
from .._lifetime import stop_signals_held
from .._messages import Finished, Outcome, Ready, Task
from .._outputs import keep_solve_log
from .._schedule import Schedule
from .._serve import STOP_WAIT, WorkerConfig
from ._workers import Worker

# The temporary folder of a batch on this machine, its workers' folders inside.
FOLDER_PREFIX = "brivane-batch-"
# The longest the batch waits for its workers at a time.
_SHORT_WAIT = 0.25


class LocalBatch:
    """The models shared out to worker processes of this machine; ``schedule`` keeps what waits, runs and
    finished."""

    def __init__(
        self, schedule: Schedule, jobs: int, timeout: float | None, max_models: int | None, batch_id: str
    ) -> None:
        self.schedule = schedule
        self.jobs, self.timeout, self.max_models, self.id = jobs, timeout, max_models, batch_id
        self.workers: list[Worker] = []
        self.retired = 0
        self.numbers = itertools.count(1)
        self.last_setup_failure = ""

    def run(self, config: dict[str, Any]) -> None:
        # Locked for the batch's life: a later batch removes it only once this one has gone.
        root = LockedFolder(FOLDER_PREFIX)
        interrupted = False
        try:
            while self.schedule.outstanding:
                self._start_workers(root.path, config)
                if not self.workers:
                    self.schedule.gave_up("SetupFailed", f"no worker could set up: {self.last_setup_failure}")
                    return
                self._dispatch()
                self._wait()
                for worker in list(self.workers):
                    self._hear(worker)
                self._end_overdue()
        except KeyboardInterrupt:
            interrupted = True
            raise
        finally:
            with stop_signals_held():
                for worker in self.workers:
                    # One still setting up is not needed any more.
                    worker.stop(STOP_WAIT if worker.ready and not interrupted else 0)
                root.remove()

    def _start_workers(self, root: str, config: dict[str, Any]) -> None:
        """As many workers as may run and have models to take, each in a temporary folder of its own."""
        while len(self.workers) < min(self.jobs - self.retired, self.schedule.outstanding):
            number = next(self.numbers)
            slot = min(set(range(1, self.jobs + 1)) - {w.slot for w in self.workers})
            temp = os.path.join(root, f"worker-{number}")
            os.mkdir(temp)
            self.workers.append(
                Worker(
                    number,
                    slot,
                    WorkerConfig(**config, temp=temp, log=temp + ".log", solve_log=temp + ".solve.log"),
                    self.id,
                )
            )

    def _hear(self, worker: Worker) -> None:
        """What the worker said, and whether it has gone or is due to be recycled."""
        messages, gone = worker.receive()
        for message in messages:
            if isinstance(message, Ready):
                worker.ready = True
                self.schedule.set_up_timed(worker.slot, message.pid, worker.started_wall, time.time())
            elif isinstance(message, Finished):
                self._finish(worker, message.outcome)
            else:
                self._setup_failed(worker, message.message)
        if gone and worker in self.workers:
            if not worker.ready:
                self._setup_failed(worker, worker.death())
            else:
                self._lost(worker, "WorkerDied", worker.death())
        elif self.max_models is not None and worker.models >= self.max_models and not worker.busy:
            # Recycled: it ends by itself, letting the product release what it grew to hold.
            self._remove(worker, STOP_WAIT)

    def _end_overdue(self) -> None:
        """The workers whose solve ran out of time, ended."""
        if self.timeout is None:
            return
        now = time.monotonic()
        for worker in [w for w in self.workers if w.busy and now - w.sent_at >= self.timeout]:
            self._timed_out(worker, f"the solve took longer than {self.timeout:g} s; its worker was ended")

    def _dispatch(self) -> None:
        for worker in self.workers:
            if not worker.ready or worker.busy:
                continue
            if self.max_models is not None and worker.models >= self.max_models:
                continue
            job = self.schedule.dispatch(worker)
            if job is None:
                return
            worker.send(job.task)

    def _wait(self) -> None:
        # In short waits: Ctrl-C is seen between them on every system (Windows does not end a wait for it).
        deadline = _SHORT_WAIT
        if self.timeout is not None:
            deadlines = [w.sent_at + self.timeout for w in self.workers if w.busy]
            if deadlines:
                deadline = min(deadline, max(0.0, min(deadlines) - time.monotonic()))
        wait([w.connection for w in self.workers] + [w.process.sentinel for w in self.workers], deadline)

    def _finish(self, worker: Worker, outcome: Outcome) -> None:
        worker.take_task()
        worker.models += 1
        self.schedule.finished(worker, outcome, worker.slot, worker.process.pid)

    def _lost(self, worker: Worker, error_type: str, message: str) -> None:
        """A busy worker that died: it is ended and its folder removed, what its solve printed kept, and its
        model's attempt is lost."""
        task = worker.take_task()
        self._remove(worker, 0)
        if task is not None:
            self.schedule.lost(
                worker, worker.slot, worker.process.pid, error_type, message, outcome=self._kept_log(worker, task)
            )

    def _timed_out(self, worker: Worker, message: str) -> None:
        """A busy worker whose solve ran out of time: it is ended and its folder removed, what its solve printed
        kept, and its model's attempt timed out."""
        task = worker.take_task()
        self._remove(worker, 0)
        if task is not None:
            self.schedule.timed_out(
                worker, worker.slot, worker.process.pid, message, outcome=self._kept_log(worker, task)
            )

    @staticmethod
    def _kept_log(worker: Worker, task: Task) -> Outcome | None:
        """What the killed worker's solve printed, kept in the model's results folder (its log outlives it)."""
        assert worker.config.solve_log is not None
        kept = keep_solve_log(task.results, task.model, worker.config.solve_log)
        return Outcome(False, 0.0, results_folder=task.results, manifest=kept) if kept else None

    def _setup_failed(self, worker: Worker, message: str) -> None:
        self.schedule.set_up_timed(worker.slot, worker.process.pid, worker.started_wall, time.time(), message)
        self.retired += 1
        self.last_setup_failure = message
        self.schedule.setup_failed(worker.number, message)
        # It ends by itself after its message, letting the product release what it took.
        self._remove(worker, STOP_WAIT)

    def _remove(self, worker: Worker, wait: float) -> None:
        worker.stop(wait)
        self.workers.remove(worker)
        # Its sandboxes go with it.
        remove_tree(worker.config.temp)

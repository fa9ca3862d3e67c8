"""solve_many: the models shared out to worker processes or a Dask cluster, with time limits, retries and a
report."""
from __future__ import annotations

import datetime
import itertools
import os
import signal
import time
import uuid
from collections.abc import Iterable
from multiprocessing.connection import wait
from typing import TYPE_CHECKING, Any

from ..brivane_core import BrivaneModule
from ._inputs import BatchInput, check_input
from ._leftovers import LockedFolder
from ._lifetime import stop_signals_held
from ._models import ModelSource
from ._outputs import claim_results_folder
from ._page import page_after_batch
from ._progress import Progress
from ._report import (FAILED, IN_PLACE, SANDBOX, SKIPPED, SOLVED, STRUCTURE, TIMED_OUT, ModelResult, Report,
                      ReportWriter)
from ._schedule import Schedule, attempt, make_job
from ._task import REVAV, Outcome, remove_tree
from ._messages import Finished, Ready
from ._workers import STOP_WAIT, Worker, WorkerConfig

# The temporary folder of a batch on this machine, its workers' folders inside.
FOLDER_PREFIX = "brivane-batch-"

if TYPE_CHECKING:
    from ._cluster import ClusterBatch


# The longest the batch waits for its workers at a time.
_SHORT_WAIT = 0.25


class StopSignal(KeyboardInterrupt):
    """What a handler of a stop signal raises (SIGTERM, SIGHUP, Ctrl-Break) to end a batch in order, as Ctrl-C
    does; the command line installs such handlers, ``solve_many`` none of its own."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C or a stop signal stopped the batch; ``report`` holds the models finished by then, ``signal`` the
    number of the signal (``signal.SIGINT`` for Ctrl-C)."""

    def __init__(self, report: Report, number: int = signal.SIGINT) -> None:
        super().__init__()
        self.report = report
        self.signal = number


def solve_many(models: Iterable[ModelSource], installation: str, *, solver: str, sandbox: bool = True,
               module: BrivaneModule | str = BrivaneModule.Pelorix, settings: str | None = None,
               data_sources: str | None = None, jobs: int = 1,
               timeout: float | None = None, retries: int = 0, results: str | None = None,
               report: str | None = None, resume: bool = False, progress: bool = True,
               executor: Any = None, max_models_per_worker: int | None = None, html: str | None = None) -> Report:
    """Solves every model in worker processes and reports each one's outcome.

    ``models``: model files, folders (searched as ``find_models`` does) or
    entries of ``find_models``. Each of ``jobs`` workers sets the module up
    on ``installation`` once (``module``, a ``BrivaneModule`` or its name,
    default ``Pelorix``), then solves one model at a time with ``solver`` ("Revav" or
    "Quelbar"), in a sandbox or, with ``sandbox=False``, in the model's folder
    (never two models of one folder at once). The files that each solve added
    or changed are listed in the report and, with ``results``, copied to
    ``results/<the model's name>/``. A solve longer than ``timeout`` seconds
    has its worker ended; a failed or timed-out model is tried again up to
    ``retries`` times. ``report`` names a JSON Lines file written as the batch
    goes; with ``resume``, models that it marks solved with the same solver and
    mode are skipped while their file is unchanged. ``settings`` and
    ``data_sources`` replace the module's two settings paths in the workers
    (default: the values of ``_settingsPath_`` and ``_dataSourcesPath_`` here).
    ``progress`` shows a bar on a terminal, one line per model otherwise.
    ``max_models_per_worker`` replaces a worker (on a cluster, a thread's
    solver child) after that many models, releasing what the product holds;
    the default is no limit. ``html`` names a page written when the batch
    ends, however it ends (it needs the extra ``report``): the summary, the
    models' table, a timeline of the worker slots and the solve times.

    ``executor``, a ``distributed.Client``, solves the models on its Dask
    cluster instead: each worker must run one thread, the installation must be
    at ``installation`` on every worker, and the models and ``results`` on
    storage that every worker sees under the same paths (the report is
    written here); ``jobs`` is then not used (leave it at 1).

    Every input is checked before anything starts: a bad value raises
    ``BatchInputError`` (a ``ValueError``; ``BatchInputNotFound``, also a
    ``FileNotFoundError``, for a file or folder that does not exist) with one
    line that says what it is and what is expected, and ``models`` given as
    one path raises ``TypeError``. A report file is only ever appended to,
    and each model's results folder is its own (see ``_outputs``): a report
    or results folder that cannot be is bad input too (``OutputError``, a
    ``BatchInputError``). Returns the ``Report``. Ctrl-C (or a ``StopSignal``
    that a signal handler raises) ends the workers and raises
    ``BatchInterrupted`` (a ``KeyboardInterrupt``) with the report so far.
    """
    checked = check_input(models, installation, solver=solver, sandbox=sandbox, module=module, settings=settings,
                          data_sources=data_sources, jobs=jobs, timeout=timeout, retries=retries, results=results,
                          report=report, resume=resume, executor=executor,
                          max_models_per_worker=max_models_per_worker, html=html)
    batch = _start(checked, progress)
    started = time.monotonic()
    try:
        _plan(batch.schedule, checked)
        batch.run(_setup(checked))
    except KeyboardInterrupt as stop:
        number = stop.number if isinstance(stop, StopSignal) else signal.SIGINT
        batch.schedule.report.interrupted = True
        batch.schedule.report.stopped = signal.Signals(number).name
        raise BatchInterrupted(batch.schedule.report, number) from None
    finally:
        with stop_signals_held():
            _collect(batch.schedule, time.monotonic() - started, checked.html)
    return batch.schedule.report


def _setup(checked: BatchInput) -> dict[str, Any]:
    """What every worker sets up with."""
    return dict(installation=checked.installation, module=checked.module, settings=checked.settings,
                data_sources=checked.data_sources)


def _start(checked: BatchInput, progress: bool) -> _LocalBatch | ClusterBatch:
    """The report opened with its "batch" record, the results folder made, and what solves the models: worker
    processes here or the cluster's tasks."""
    mode = SANDBOX if checked.sandbox else IN_PLACE
    # The installation is the workers': on a cluster it need not be here.
    where: dict[str, Any] = ({"jobs": checked.jobs} if checked.workers is None else
                             {"scheduler": checked.executor.scheduler.address, "workers": len(checked.workers)})
    if checked.results is not None:
        os.makedirs(checked.results, exist_ok=True)
    # Named in the environment of every process the batch starts.
    batch_id = uuid.uuid4().hex
    writer = ReportWriter(checked.report, header={
        "started": datetime.datetime.now().astimezone().isoformat(timespec="seconds"), **_setup(checked),
        "solver": checked.solver, "mode": mode, **where, "timeout": checked.timeout, "retries": checked.retries,
        "results": checked.results, "models": len(checked.models),
        "max_models_per_worker": checked.max_models_per_worker, "batch": batch_id})
    schedule = Schedule(checked.solver, mode, checked.retries, writer, Progress(len(checked.models), progress),
                        Report(models=[], path=checked.report))
    if checked.executor is None:
        return _LocalBatch(schedule, checked.jobs, checked.timeout, checked.max_models_per_worker, batch_id)
    from ._cluster import ClusterBatch
    return ClusterBatch(schedule, checked.executor, checked.timeout, checked.max_models_per_worker, batch_id)


def _plan(schedule: Schedule, checked: BatchInput) -> None:
    """Each model recorded as skipped (resumed, solved before and unchanged) or queued with its results
    folder, which is decided once, before any worker starts: its folder of earlier runs, else a free one."""
    mode = schedule.mode
    for index, model in enumerate(checked.models):
        job = make_job(index, model, checked.solver, checked.sandbox, None)
        before = checked.earlier.get(os.path.normcase(model.path))
        # A structure model is solved with Revav whichever solver is asked for.
        would_run = REVAV if before is not None and before.kind == STRUCTURE else checked.solver
        if (before is not None and before.status == SOLVED and before.solver == would_run and before.mode == mode
                and (before.size, before.mtime_ns) == (job.size, job.mtime_ns)):
            schedule.record(job, ModelResult(model.path, SKIPPED, before.solver, mode, 0.0, 0, before.results,
                                             before.results_folder, size=job.size, mtime_ns=job.mtime_ns,
                                             kind=before.kind, manifest=before.manifest))
            continue
        if checked.results is not None:
            job = make_job(index, model, checked.solver, checked.sandbox,
                           claim_results_folder(checked.results, model.name, model.path))
        schedule.add(job)


def _collect(schedule: Schedule, seconds: float, html: str | None) -> None:
    """The report completed with every model finished, in the order given, and closed with its end record; its
    page written when one was asked for."""
    schedule.progress.close()
    report = schedule.report
    report.seconds = seconds
    report.models = [r for r in schedule.finished if r is not None]
    schedule.writer.close(report)
    if html is not None:
        page_after_batch(report, html)


class _LocalBatch:
    """The models shared out to worker processes of this machine; ``schedule`` keeps what waits, runs and
    finished."""

    def __init__(self, schedule: Schedule, jobs: int, timeout: float | None, max_models: int | None,
                 batch_id: str) -> None:
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
                    self.schedule.fail_waiting("SetupFailed", f"no worker could set up: {self.last_setup_failure}")
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
            self.workers.append(Worker(number, slot, WorkerConfig(**config, temp=temp, log=temp + ".log"), self.id))

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
                self._lost(worker, FAILED, "WorkerDied", worker.death())
        elif self.max_models is not None and worker.models >= self.max_models and not worker.busy:
            # Recycled: it ends by itself, letting the product release what it grew to hold.
            self._remove(worker, STOP_WAIT)

    def _end_overdue(self) -> None:
        """The workers whose solve ran out of time, ended."""
        if self.timeout is None:
            return
        now = time.monotonic()
        for worker in [w for w in self.workers if w.busy and now - w.sent_at >= self.timeout]:
            self._lost(worker, TIMED_OUT, None, f"the solve took longer than {self.timeout:g} s; its worker was ended")

    def _dispatch(self) -> None:
        for worker in self.workers:
            if not worker.ready or worker.busy:
                continue
            if self.max_models is not None and worker.models >= self.max_models:
                continue
            job = self.schedule.next_job()
            if job is None:
                return
            job.attempts += 1
            self.schedule.running[worker] = job
            worker.sent_wall = time.time()
            worker.send(job.task)

    def _wait(self) -> None:
        # In short waits: Ctrl-C is seen between them on every system (Windows does not end a wait for it).
        deadline = _SHORT_WAIT
        if self.timeout is not None:
            deadlines = [w.sent_at + self.timeout for w in self.workers if w.busy]
            if deadlines:
                deadline = min(deadline, max(0.0, min(deadlines) - time.monotonic()))
        wait([w.connection for w in self.workers] + [w.process.sentinel for w in self.workers], deadline)

    def _attempt(self, worker: Worker) -> dict[str, Any]:
        return attempt(worker.slot, worker.process.pid, worker.sent_wall, time.time())

    def _finish(self, worker: Worker, outcome: Outcome) -> None:
        worker.take_task()
        worker.models += 1
        job = self.schedule.running.pop(worker)
        self.schedule.settle(job, SOLVED if outcome.solved else FAILED, time.monotonic() - worker.sent_at,
                             outcome.results, outcome.results_folder, outcome.error_type, outcome.error_message,
                             solver=outcome.solver, kind=outcome.kind, manifest=outcome.manifest,
                             run=self._attempt(worker))

    def _lost(self, worker: Worker, status: str, error_type: str | None, message: str) -> None:
        """A busy worker that died or ran out of time: it is ended, its folder removed, its model settled."""
        seconds = time.monotonic() - worker.sent_at
        job = self.schedule.running.pop(worker, None)
        worker.take_task()
        run = self._attempt(worker)
        self._remove(worker, 0)
        if job is not None:
            self.schedule.settle(job, status, seconds, error_type=error_type, message=message, run=run)

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

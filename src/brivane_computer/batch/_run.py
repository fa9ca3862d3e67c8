"""solve_many: the models shared out to worker processes or a Dask cluster, with time limits, retries and a
report."""

from __future__ import annotations

import datetime
import inspect
import os
import signal
import socket
import time
import uuid
from collections.abc import Iterable
from typing import Any

from ._errors import BatchCrashed, disk_full
from ._identity import identity
from ._inputs import OPTION_NAMES, BatchInput, Options, check_input, options_given
from ._lifetime import stop_signals_held
from ._locks import BatchLocks
from ._models import ModelSource
from ._outputs import claim_results_folder
from ._progress import Progress
from ._schedule import Schedule, make_job
from ._solve_inputs import input_digests
from .report import IN_PLACE, SANDBOX, Report, ReportWriter, package_version, page_after_batch


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


def solve_many(models: Iterable[ModelSource], installation: str, **options: Any) -> Report:
    """Solves every model in worker processes and reports each one's outcome.

    ``models``: model files, folders (searched as ``find_models`` does) or
    entries of ``find_models``. Each of ``jobs`` workers sets the module up
    on ``installation`` once (``module``, a ``BrivaneModule`` or its name,
    default ``Pelorix``), then solves one model at a time with ``solver`` ("Revav" or
    "Quelbar"), in a sandbox or, with ``sandbox=False``, in the model's folder
    (never two models of one folder at once). The files that each solve added
    or changed are listed in the report and, with ``results``, copied to
    ``results/<the model's name>/``. A solve longer than ``timeout`` seconds
    has its worker ended; a failed or timed-out model is tried again, at once,
    up to ``retries`` times, unless the model itself caused the failure (it
    gave no solution: its file does not load, or the solver refused its
    input). ``report`` names a JSON Lines file written as the batch goes;
    with ``resume``, models that it marks solved with the same solver and
    mode are skipped while every input of their solve is unchanged (the model
    file, its fre file and its first ``.thf`` file, by content digest).
    ``settings`` and ``data_sources`` replace the module's two settings paths in the workers
    (default: the values of ``_settingsPath_`` and ``_dataSourcesPath_`` here).
    ``progress`` shows a bar on a terminal, one line per model otherwise.
    ``max_failures`` stops the batch in order once that many models failed
    or timed out: the models being solved finish, the rest are not started.
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
    ``BatchInterrupted`` (a ``KeyboardInterrupt``) with the report: every model
    given has an outcome in it, "stopped" for one being solved then and "not
    started" for one never begun. Any other exception ends the batch the same
    way and passes on; the report's end record says that the batch crashed, and
    why. What one line tells is a ``BatchCrashed``, carrying the report: a
    full disk (``DiskFull``, an ``OSError``) or a lost Dask scheduler
    (``SchedulerLost``, a ``ConnectionError``).
    """
    checked = check_input(models, installation, options_given("solve_many", options))
    # Named in the environment of every process the batch starts, and in its lock files.
    batch_id = uuid.uuid4().hex
    with _locked(checked, batch_id):
        return _run(checked, batch_id)


def _locked(checked: BatchInput, batch_id: str) -> BatchLocks:
    """The batch's lock files, held for its whole life: beside its report, in its results folder (made now),
    in each folder that it solves in place. Raises ``OutputError`` when another batch holds one."""
    options = checked.options
    if options.results is not None:
        try:
            os.makedirs(options.results, exist_ok=True)
        except OSError as error:
            raise disk_full(error) from None
    # Each folder once, by what it is: one reached by two paths has one lock file.
    in_place = (
        {}
        if options.sandbox
        else {
            identity(folder): folder
            for folder in sorted({os.path.dirname(model.path) for model in checked.models}, reverse=True)
        }
    )
    return BatchLocks(batch_id, options.report, options.results, in_place.values())


def _run(checked: BatchInput, batch_id: str) -> Report:
    try:
        schedule, runner = _start(checked, batch_id)
    except OSError as error:
        raise disk_full(error) from None
    started = time.monotonic()
    crash: BaseException | None = None
    try:
        _plan(schedule, checked)
        runner.run(_setup(checked))
    except KeyboardInterrupt as stop:
        number = stop.number if isinstance(stop, StopSignal) else signal.SIGINT
        schedule.stopped(signal.Signals(number).name)
        raise BatchInterrupted(schedule.report, number) from None
    except BaseException as error:
        crash = disk_full(error)
        schedule.crashed(crash)
        if crash is not error:
            raise crash from None
        raise
    finally:
        with stop_signals_held():
            report = schedule.close(time.monotonic() - started)
            if crash is None and schedule.writer.error is not None:
                # The report's disk filled as the batch ended: the file still reads, without its end.
                crash = disk_full(schedule.writer.error)
                schedule.crashed(crash)
            if isinstance(crash, BatchCrashed):
                crash.report = report
            if checked.options.html is not None:
                page_after_batch(report, checked.options.html, schedule.writer.header)
    if crash is not None:
        raise crash
    return report


# The options as keyword-only parameters, for help() and for tools that read signatures.
solve_many.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [
        inspect.Parameter("models", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        inspect.Parameter("installation", inspect.Parameter.POSITIONAL_OR_KEYWORD),
    ]
    + [
        inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=getattr(Options, name, inspect.Parameter.empty))
        for name in OPTION_NAMES
    ],
    return_annotation=Report,
)


def _setup(checked: BatchInput) -> dict[str, Any]:
    """What every worker sets up with."""
    options = checked.options
    return dict(
        installation=checked.installation,
        module=options.module,
        settings=options.settings,
        data_sources=options.data_sources,
    )


def _start(checked: BatchInput, batch_id: str) -> tuple[Schedule, Any]:
    """The report opened with its "batch" record, the results folder made, the schedule, and what solves the
    models: worker processes here or the cluster's tasks."""
    options = checked.options
    mode = SANDBOX if options.sandbox else IN_PLACE
    # The installation is the workers': on a cluster it need not be here.
    where: dict[str, Any] = (
        {"jobs": options.jobs}
        if checked.workers is None
        else {"scheduler": options.executor.scheduler.address, "workers": len(checked.workers)}
    )
    writer = ReportWriter(
        options.report,
        header={
            "started": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            **_setup(checked),
            "solver": options.solver,
            "mode": mode,
            **where,
            "timeout": options.timeout,
            "retries": options.retries,
            "results": options.results,
            "models": len(checked.models),
            "max_models_per_worker": options.max_models_per_worker,
            "resume": options.resume,
            "html": options.html,
            "batch": batch_id,
            "pid": os.getpid(),
            "host": socket.gethostname(),
            "version": package_version(),
            "given": [model.path for model in checked.models],
        },
    )
    schedule = Schedule(
        options.solver,
        mode,
        options.retries,
        writer,
        Progress(len(checked.models), options.progress),
        Report(models=[], path=options.report),
        checked.models,
        options.max_failures,
    )
    if options.executor is None:
        from .local import LocalBatch

        return schedule, LocalBatch(schedule, options.jobs, options.timeout, options.max_models_per_worker, batch_id)
    from .cluster import ClusterBatch

    return schedule, ClusterBatch(schedule, options.executor, options.timeout, options.max_models_per_worker, batch_id)


def _plan(schedule: Schedule, checked: BatchInput) -> None:
    """Each model skipped (resumed, solved before and unchanged) or queued with its results folder, which is
    decided once, before any worker starts: its folder of earlier runs, else a free one."""
    options = checked.options
    for index, model in enumerate(checked.models):
        digests = input_digests(model.path)
        job = make_job(index, model, options.solver, options.sandbox, None, digests)
        if schedule.skipped_if_unchanged(job, checked.earlier.get(os.path.normcase(model.path))):
            continue
        if options.results is not None:
            job = make_job(
                index,
                model,
                options.solver,
                options.sandbox,
                claim_results_folder(options.results, model.name, model.path),
                digests,
            )
        schedule.queued(job)

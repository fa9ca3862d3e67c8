"""Batch solving: many models, worker processes on this machine or a Dask cluster, a report.

    from brivane_computer.batch import find_models, solve_many

    if __name__ == "__main__":          # workers start a fresh interpreter that imports this script
        report = solve_many(find_models([r"D:\\plant"]), r"C:\\Program Files\\Brivane\\Pelorix 2031.1",
                            solver="Quelbar", jobs=2, timeout=600, report="plant.jsonl")
        print(report.summary())

The command line ``brivane solve`` does the same. With ``executor=``, a
``distributed.Client``, the models are solved on the workers of a Dask cluster
instead (``brivane solve --scheduler``). ``solve_model`` is the task that each
worker runs for one model, after ``set_up``: a plain function that any
process can run.

Only the worker's side loads the native module (``set_up``, ``solve_model``
and the results of a solve, imported at their first use): checking input
that needs no installation, submitting to a cluster, and reading, summarising
and showing reports need neither the CLR bridge nor the product.

How the data flows (the names are this package's). The core (``_inputs``,
``_schedule``, ``_task``, ``_results``, ``_outputs``) sits beside three
subpackages: ``local`` and ``cluster``, the runners, which only move processes
and tasks, and ``report``, which writes, reads, summarises and shows what a
batch did. Every transition of a model is a method of the ``Schedule``, named
for its event; nothing else changes a model's job::

    caller
      | models, options (keywords)
      v
    solve_many --check_input--> BatchInput: the models found and one frozen Options (or BatchInputError,
      |                         before anything starts)
      |  _start: ReportWriter ("batch" record), Schedule (queues, retries, records, progress), a runner
      |  _plan:  each model Schedule.skipped_if_unchanged (resumed), or Schedule.queued as a Job with its
      |          results folder decided
      v
    local.LocalBatch.run: start workers; Schedule.dispatch(worker) -> Job; wait; hear; end overdue workers
      |   Solve(task), Stop()                     ^   Ready(pid), SetupFailed(message), Finished(outcome)
      v   over each worker's own pipe             |
    worker process (_serve.serve): start-up once; the installation checked, the module loaded and set_up,
                             once; then solve_model(task) for each Solve
                             solve_model: the module's solve, then the results (_results) collected
      |
    Schedule.finished / timed_out / lost / refused: queued again while retries are left, else
      |       Schedule._model_record --> ReportWriter ("model" record), Progress
      v
    Schedule.close: the Report (returned, or carried by BatchInterrupted), "end" record; report's page

    On a cluster, cluster.ClusterBatch takes LocalBatch's place:
    ClusterBatch --Schedule.dispatch(key); client.submit(solve_on_worker, batch, Setup, Task, Terms)-->
                 Dask worker thread (one WorkerState a worker)
                 <--Done(outcome, or how the solve was lost; worker, pid) or Refused(worker, reason)--
    Dask worker thread --ChildStart, then Solve--> ChildSolver's process (_serve.serve, as above)
                       <--Ready | SetupFailed, then Finished--
    ClusterBatch --renew_lease, at once and every LEASE_EVERY s--> every Dask worker; end_batch at the end
"""

from typing import TYPE_CHECKING, Any

from ._dry_run import PlannedModel, dry_run
from ._errors import BatchCrashed, BatchInputError, BatchInputNotFound, DiskFull, SchedulerLost, SetupError
from ._lifetime import MARKER
from ._messages import SOLVERS, Outcome, Task
from ._models import FoundModel, find_models
from ._outputs import MANIFEST, OutputError
from ._run import BatchInterrupted, StopSignal, solve_many
from .report import (
    CRASHED,
    DIED,
    FAILED,
    FINISHED,
    IN_PLACE,
    NOT_STARTED,
    RUNNING,
    SANDBOX,
    SKIPPED,
    SOLVED,
    STOPPED,
    TIMED_OUT,
    ModelResult,
    Report,
    ReportError,
    read_report,
)

if TYPE_CHECKING:
    from ._task import keep_run_errors, set_up, solve_model

__all__ = [
    "CRASHED",
    "DIED",
    "FAILED",
    "FINISHED",
    "IN_PLACE",
    "MANIFEST",
    "MARKER",
    "NOT_STARTED",
    "RUNNING",
    "SANDBOX",
    "SKIPPED",
    "SOLVED",
    "SOLVERS",
    "STOPPED",
    "TIMED_OUT",
    "BatchCrashed",
    "BatchInputError",
    "BatchInputNotFound",
    "BatchInterrupted",
    "DiskFull",
    "FoundModel",
    "ModelResult",
    "Outcome",
    "OutputError",
    "PlannedModel",
    "Report",
    "ReportError",
    "SchedulerLost",
    "SetupError",
    "StopSignal",
    "Task",
    "dry_run",
    "find_models",
    "keep_run_errors",
    "read_report",
    "set_up",
    "solve_many",
    "solve_model",
]

# What a worker runs, which loads the native module: imported at its first use, so that reading reports and
# submitting to a cluster work where the module cannot load.
_ON_WORKER = ("keep_run_errors", "set_up", "solve_model")

# Hidden from mypy, which would take any name unknown here for one that __getattr__ gives.
if not TYPE_CHECKING:

    def __getattr__(name: str) -> Any:
        if name in _ON_WORKER:
            from . import _task

            return getattr(_task, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> list[str]:
        return sorted({*globals(), *_ON_WORKER})

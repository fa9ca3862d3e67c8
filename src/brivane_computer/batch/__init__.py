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
    worker process (_serve.serve): start-up once, set_up once, then solve_model(task) for each Solve
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
from ._errors import BatchCrashed, BatchInputError, BatchInputNotFound, DiskFull, SchedulerLost, SetupError
from ._lifetime import MARKER
from ._messages import SOLVERS, Outcome, Task
from ._models import FoundModel, find_models
from ._outputs import MANIFEST, OutputError
from ._run import BatchInterrupted, StopSignal, solve_many
from ._task import keep_run_errors, set_up, solve_model
from .report import (CRASHED, DIED, FAILED, FINISHED, IN_PLACE, NOT_STARTED, RUNNING, SANDBOX, SKIPPED, SOLVED,
                     STOPPED, TIMED_OUT, ModelResult, Report, ReportError, read_report)

__all__ = [
    "CRASHED", "DIED", "FAILED", "FINISHED", "IN_PLACE", "MANIFEST", "MARKER", "NOT_STARTED", "RUNNING", "SANDBOX",
    "SKIPPED", "SOLVED", "SOLVERS", "STOPPED", "TIMED_OUT", "BatchCrashed", "BatchInputError", "BatchInputNotFound",
    "BatchInterrupted", "DiskFull", "FoundModel", "ModelResult", "Outcome", "OutputError", "Report", "ReportError",
    "SchedulerLost", "SetupError", "StopSignal", "Task", "find_models", "keep_run_errors", "read_report", "set_up",
    "solve_many", "solve_model",
]

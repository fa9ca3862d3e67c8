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

How the data flows (the names are this package's)::

    caller
      | models, options
      v
    solve_many --check_input--> BatchInput (or BatchInputError, before anything starts)
      |  _start: ReportWriter ("batch" record), Schedule (queues, retries, report, progress), a runner
      |  _plan:  each model skipped (resumed, unchanged) or queued as a Job, its results folder decided
      v
    _LocalBatch.run: _start_workers, _dispatch, _wait, _hear, _end_overdue, until nothing is outstanding
      |   Solve(task), Stop()                     ^   Ready(pid), SetupFailed(message), Finished(outcome)
      v   over each worker's own pipe             |
    worker process (serve): start-up once, set_up once, then solve_model(task) for each Solve
                             solve_model: the module's solve, then the results (_results) collected
      |
    Schedule.settle: queued again while retries are left, else a ModelResult
      |                 --> ReportWriter ("model" record), Progress
      v
    _collect: Report (returned, or carried by BatchInterrupted), "end" record

    On a cluster, ClusterBatch.run takes _LocalBatch's place:
    ClusterBatch --client.submit(solve_on_worker, batch, Setup, Task, Terms)--> Dask worker thread
                 <--Done(Outcome | Ended, worker, pid) or Refused(worker, reason)--
    Dask worker thread --ChildStart, then Solve--> ChildSolver's process (serve, as above)
                       <--Ready | SetupFailed, then Finished--
    ClusterBatch --renew_lease, every LEASE_EVERY s--> every Dask worker; end_batch at the end
"""
from ._errors import BatchInputError, BatchInputNotFound
from ._models import FoundModel, find_models
from ._outputs import MANIFEST, OutputError
from ._report import (FAILED, IN_PLACE, SANDBOX, SKIPPED, SOLVED, TIMED_OUT, ModelResult, Report, ReportError,
                      read_report)
from ._lifetime import MARKER
from ._run import BatchInterrupted, StopSignal, solve_many
from ._task import SOLVERS, Outcome, SetupError, Task, keep_run_errors, set_up, solve_model

__all__ = [
    "FAILED", "IN_PLACE", "MANIFEST", "MARKER", "SANDBOX", "SKIPPED", "SOLVED", "SOLVERS", "TIMED_OUT",
    "BatchInputError", "BatchInputNotFound", "BatchInterrupted", "FoundModel", "ModelResult", "Outcome",
    "OutputError", "Report", "ReportError", "SetupError", "StopSignal", "Task",
    "find_models", "keep_run_errors", "read_report", "set_up", "solve_many", "solve_model",
]

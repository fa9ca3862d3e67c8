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
"""
from ._errors import BatchInputError, BatchInputNotFound
from ._models import FoundModel, find_models
from ._outputs import MANIFEST, OutputError
from ._report import (FAILED, IN_PLACE, SANDBOX, SKIPPED, SOLVED, TIMED_OUT, ModelResult, Report, ReportError,
                      read_report)
from ._lifetime import MARKER
from ._run import BatchInterrupted, StopSignal, solve_many
from ._task import SOLVERS, Outcome, SetupError, Task, set_up, solve_model

__all__ = [
    "FAILED", "IN_PLACE", "MANIFEST", "MARKER", "SANDBOX", "SKIPPED", "SOLVED", "SOLVERS", "TIMED_OUT",
    "BatchInputError", "BatchInputNotFound", "BatchInterrupted", "FoundModel", "ModelResult", "Outcome",
    "OutputError", "Report", "ReportError", "SetupError", "StopSignal", "Task",
    "find_models", "read_report", "set_up", "solve_many", "solve_model",
]

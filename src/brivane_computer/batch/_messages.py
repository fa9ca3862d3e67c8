"""What crosses between the batch and a worker process (or a cluster task and its solver child): the task to
solve, its outcome, and the messages that carry them.

Each message is pickled whole over the worker's pipe: the batch sends
``Solve`` or ``Stop``; the worker answers ``Ready`` or ``SetupFailed`` once,
then one ``Finished`` for each ``Solve``. Nothing here loads the native
module.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Union

SOLVERS = ("Revav", "Quelbar")
# A structure model is solved with Revav whichever solver was asked for.
REVAV = "Revav"


@dataclass(frozen=True)
class Task:
    """A model to solve: its file, the solver, the mode and where its results go."""

    model: str
    solver: str
    sandbox: bool = True
    # The folder that receives the collected files; None keeps them where the solve left them
    # (in place) or only lists them (sandbox).
    results: str | None = None


@dataclass(frozen=True)
class Outcome:
    """What one solve of a task gave."""

    solved: bool
    seconds: float
    # The files that the solve added or changed, relative to its working folder.
    results: tuple[str, ...] = ()
    # Where those files are now: the results folder, the model's folder in place, or None when
    # they went with the sandbox.
    results_folder: str | None = None
    error_type: str | None = None
    error_message: str | None = None
    # The solver that ran (see ``ModelResult.solver``) and the model's kind, once it was loaded.
    solver: str | None = None
    kind: str | None = None
    # Every file that the results folder's manifest lists: what the batch wrote there for the model.
    manifest: tuple[str, ...] = ()


@dataclass(frozen=True)
class Ready:
    """The worker has set up and waits for tasks."""

    pid: int


@dataclass(frozen=True)
class SetupFailed:
    """The worker could not set up, and ends: ``message`` says why."""

    message: str


@dataclass(frozen=True)
class Finished:
    """One task solved, or failed, in the worker."""

    outcome: Outcome


@dataclass(frozen=True)
class Solve:
    """The batch asks the worker to solve one task."""

    task: Task


@dataclass(frozen=True)
class Stop:
    """The batch asks an idle worker to end by itself."""


FromWorker = Union[Ready, SetupFailed, Finished]
ToWorker = Union[Solve, Stop]

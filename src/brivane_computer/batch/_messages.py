"""The messages between the batch and a worker process (or a cluster task and its solver child).

Each is pickled whole over the worker's pipe: the batch sends ``Solve`` or
``Stop``; the worker answers ``Ready`` or ``SetupFailed`` once, then one
``Finished`` for each ``Solve``.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Union

from ._task import Outcome, Task


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

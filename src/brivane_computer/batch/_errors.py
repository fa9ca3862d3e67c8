"""The batch's errors: its input's, raised before anything starts with one line that says what is wrong; a
worker's set-up's; and what ended a batch that could not go on, also said in one line."""

from __future__ import annotations

import errno
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .report import Report

# The errors of a write that found its disk full (or the user's quota spent).
DISK_FULL = frozenset({errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC)})


class BatchInputError(ValueError):
    """Input that the batch cannot start with: the message says what the value is and what is expected.
    ``command_line`` says the same in the words of ``brivane solve``, which names options, not arguments."""

    def __init__(self, message: str, command_line: str | None = None) -> None:
        super().__init__(message)
        self.command_line = command_line if command_line is not None else message


class BatchInputNotFound(BatchInputError, FileNotFoundError):
    """A file or folder of the input that does not exist."""


class SetupError(Exception):
    """Set-up did not complete: the worker cannot solve."""


class BatchCrashed(Exception):
    """A batch that could not go on, for a reason that one line tells (a full disk, a lost scheduler). It ended
    its workers and gave every model its outcome, which ``report`` holds; its report file ends with a record
    that says it crashed, and why."""

    report: Report | None = None


class DiskFull(BatchCrashed, OSError):
    """A file of the batch (its report, a results folder, a manifest) could not be written: its disk is full."""

    def __init__(self, error: OSError, path: str | None = None) -> None:
        path = path or error.filename
        where = f"{path} cannot be written" if path else "a file of the batch cannot be written"
        OSError.__init__(self, error.errno, f"the disk is full: {where} ({error.strerror or error})", path)

    def __str__(self) -> str:
        return str(self.strerror)


class SchedulerLost(BatchCrashed, ConnectionError):
    """The batch's connection to its Dask scheduler closed while it ran (the scheduler stopped, its machine went
    down, the network between them failed): its tasks are gone with it."""

    def __init__(self, address: str) -> None:
        ConnectionError.__init__(
            self, f"lost the Dask scheduler at {address}: the connection to it closed while the batch ran"
        )
        self.address = address


def disk_full(error: BaseException, path: str | None = None) -> Any:
    """``error`` as a ``DiskFull`` when it is an ``OSError`` of a full disk, else ``error`` itself."""
    if isinstance(error, OSError) and not isinstance(error, DiskFull) and error.errno in DISK_FULL:
        return DiskFull(error, path)
    return error

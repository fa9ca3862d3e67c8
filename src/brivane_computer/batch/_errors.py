"""The batch's errors: its input's, raised before anything starts with one line that says what is wrong, and a
worker's set-up's."""
from __future__ import annotations


class BatchInputError(ValueError):
    """Input that the batch cannot start with: the message says what the value is and what is expected."""


class BatchInputNotFound(BatchInputError, FileNotFoundError):
    """A file or folder of the input that does not exist."""


class SetupError(Exception):
    """Set-up did not complete: the worker cannot solve."""

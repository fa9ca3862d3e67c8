"""The error of a batch's input: raised before anything starts, with one line that says what is wrong."""
from __future__ import annotations


class BatchInputError(ValueError):
    """Input that the batch cannot start with: the message says what the value is and what is expected."""


class BatchInputNotFound(BatchInputError, FileNotFoundError):
    """A file or folder of the input that does not exist."""

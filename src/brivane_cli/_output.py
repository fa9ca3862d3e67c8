"""What the command prints. Output that cannot be shown (a closed pipe, a closed terminal, a full disk) is
dropped and changes nothing else: not the batch, not the exit status."""

from __future__ import annotations

import os
import sys
from typing import TextIO

from brivane_computer.batch.report import printable


def show(text: str, stream: TextIO | None = None) -> None:
    """Prints ``text`` and a newline to ``stream`` (standard output by default), at once. A name that is not
    valid UTF-8 shows with replacement characters, and a character that the stream cannot encode as one."""
    stream = stream if stream is not None else sys.stdout
    text = printable(text)
    try:
        try:
            print(text, file=stream, flush=True)
        except UnicodeEncodeError:
            encoding = stream.encoding or "utf-8"
            print(text.encode(encoding, "replace").decode(encoding), file=stream, flush=True)
    except (OSError, ValueError):  # EPIPE, EIO, ENOSPC; or a stream already closed
        _silence(stream)


def _silence(stream: TextIO) -> None:
    """Sends the stream's later writes, and what it still holds for the interpreter's last flush at exit,
    nowhere: else that flush would fail again and change the exit status."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError):
        pass

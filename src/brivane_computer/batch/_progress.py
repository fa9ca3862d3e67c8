"""Progress on standard error: a live bar on a terminal, one plain line per event otherwise.

Each model is counted once it has its outcome; an attempt that failed, ran
out of time or was lost is shown the moment it ends, and counted as
"retrying" while the model waits for its next attempt. Output that cannot be
shown (a closed pipe, a closed terminal, a full disk) only ends the
progress: the batch goes on as it would have.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from .report import (
    FAILED,
    NOT_STARTED,
    SKIPPED,
    SOLVED,
    STATUSES,
    STOPPED,
    TIMED_OUT,
    ModelResult,
    printable,
    shown_path,
)

if TYPE_CHECKING:
    from tqdm import tqdm

RETRYING = "retrying"
_SHORT = {SOLVED: "ok", FAILED: "fail", TIMED_OUT: "t/o", STOPPED: "stop", NOT_STARTED: "n/s", SKIPPED: "skip"}


class Progress:
    def __init__(self, total: int, enabled: bool, stream: TextIO | None = None) -> None:
        self.total, self.done = total, 0
        self.counts = {status: 0 for status in STATUSES}
        # The models that wait for another attempt after one that gave no solution.
        self.retrying: set[str] = set()
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.bar: tqdm[NoReturn] | None = None
        if enabled:
            with self._shown():
                self.bar = self._bar(total) if self.stream.isatty() else None

    def _bar(self, total: int) -> tqdm[NoReturn]:
        from tqdm import tqdm

        try:
            sized = min(os.get_terminal_size(self.stream.fileno())) > 0
        except (OSError, ValueError):
            sized = False
        # A terminal that tells no size (a bare pseudo-terminal) would get no bar at all.
        return tqdm(
            total=total,
            unit="model",
            file=self.stream,
            smoothing=0.1,
            dynamic_ncols=sized,
            ncols=None if sized else 80,
            nrows=None if sized else 24,
        )

    @contextlib.contextmanager
    def _shown(self) -> Iterator[None]:
        """Whatever is written meanwhile: a stream that cannot take it ends the progress, nothing else."""
        try:
            yield
        except (OSError, ValueError):  # EPIPE, EIO, ENOSPC; or the stream was closed
            self.enabled = False
            self.bar = None

    def advance(self, result: ModelResult) -> None:
        """A model has its outcome."""
        self.done += 1
        self.counts[result.status] += 1
        self.retrying.discard(result.path)
        if not self.enabled:
            return
        with self._shown():
            if self.bar is not None:
                self._postfix()
                self.bar.update(1)
            else:
                error = f"  {result.error_type}: {result.error_message}" if result.error_type else ""
                self._line(
                    f"[{self.done}/{self.total}] {result.status:11} {shown_path(result.path)}  "
                    f"{result.seconds:.2f} s{error}"
                )

    def attempt_failed(self, path: str, run: dict[str, Any], attempt: int, retried: bool) -> None:
        """An attempt at a model ended without a solution; with ``retried``, the model waits for another."""
        if retried:
            self.retrying.add(path)
        if not self.enabled or not retried:
            return  # its outcome says the rest
        with self._shown():
            cause = (
                f"{run.get('error_type')}: {run.get('error_message')}"
                if run.get("error_type")
                else (run.get("error_message") or "")
            )
            line = (
                f"attempt {attempt} {run.get('status')}, {RETRYING}: {shown_path(path)}  "
                f"{float(run.get('seconds') or 0):.2f} s  {cause}"
            ).rstrip()
            if self.bar is not None:
                self._postfix()
                self.bar.write(printable(line), file=self.stream)
            else:
                self._line(line)

    def say(self, line: str) -> None:
        """A line of its own, above the bar on a terminal."""
        if not self.enabled:
            return
        with self._shown():
            if self.bar is not None:
                self.bar.write(printable(line), file=self.stream)
            else:
                self._line(line)

    def close(self) -> None:
        if self.bar is not None:
            with self._shown():
                self.bar.close()
            self.bar = None

    def _postfix(self) -> None:
        assert self.bar is not None
        # In short words, so that the bar keeps its room at 80 columns.
        shown = [f"{n} {_SHORT[status]}" for status, n in self.counts.items() if n]
        if self.retrying:
            shown.append(f"{len(self.retrying)} retry")
        self.bar.set_postfix_str(" ".join(shown), refresh=False)

    def _line(self, line: str) -> None:
        print(printable(line), file=self.stream, flush=True)

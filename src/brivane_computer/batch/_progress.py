"""Progress on standard error: a live bar on a terminal, one plain line per model otherwise."""
from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING, NoReturn, TextIO

from .report import FAILED, SKIPPED, SOLVED, TIMED_OUT, ModelResult, shown_path

if TYPE_CHECKING:
    from tqdm import tqdm


class Progress:
    def __init__(self, total: int, enabled: bool, stream: TextIO | None = None) -> None:
        self.total, self.done = total, 0
        self.counts = {SOLVED: 0, FAILED: 0, TIMED_OUT: 0, SKIPPED: 0}
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.bar: tqdm[NoReturn] | None = None
        if enabled and self.stream.isatty():
            from tqdm import tqdm
            try:
                sized = min(os.get_terminal_size(self.stream.fileno())) > 0
            except (OSError, ValueError):
                sized = False
            # A terminal that tells no size (a bare pseudo-terminal) would get no bar at all.
            self.bar = tqdm(total=total, unit="model", file=self.stream, smoothing=0.1, dynamic_ncols=sized,
                            ncols=None if sized else 80, nrows=None if sized else 24)

    def advance(self, result: ModelResult) -> None:
        self.done += 1
        self.counts[result.status] += 1
        if self.bar is not None:
            self.bar.set_postfix_str(", ".join(f"{n} {s}" for s, n in self.counts.items() if n), refresh=False)
            self.bar.update(1)
        elif self.enabled:
            error = f"  {result.error_type}: {result.error_message}" if result.error_type else ""
            self.say(f"[{self.done}/{self.total}] {result.status:9} {shown_path(result.path)}  "
                     f"{result.seconds:.2f} s{error}")

    def say(self, line: str) -> None:
        """A line of its own, above the bar on a terminal."""
        if self.bar is not None:
            self.bar.write(line, file=self.stream)
        elif self.enabled:
            print(line, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None

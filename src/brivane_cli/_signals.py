"""The stop signals of brivane solve: each ends the batch in order, as Ctrl-C does.

SIGTERM (what timeout, a service manager or a cancelled job sends), SIGHUP (a
closed terminal) and, on Windows, Ctrl-Break (SIGBREAK) and the closing of the
console window, which Windows announces through SetConsoleCtrlHandler and
then gives the process about 5 s. The exit status is 128 plus the signal's
number: 130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP, 149 for Ctrl-Break
(and a closed console, taken as SIGTERM, ends with 143 where anyone can see it).
"""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any

_NAMES = ("SIGTERM", "SIGHUP", "SIGBREAK")
# What the console-close handler waits for before it lets Windows end the process.
_ended = threading.Event()
# The Windows handler, kept alive as long as it is installed.
_console_handler: list[Any] = []


def exit_status(number: int) -> int:
    return 128 + number


@contextlib.contextmanager
def stop_signals_handled(stop: Callable[[int], BaseException]) -> Iterator[None]:
    """While the batch runs, each stop signal raises ``stop(number)`` in the main thread; the handlers that
    were there before come back afterwards."""

    def handler(number: int, frame: FrameType | None) -> None:
        raise stop(number)

    previous = {}
    for name in _NAMES:
        if hasattr(signal, name):
            number = getattr(signal, name)
            previous[number] = signal.signal(number, handler)
    if sys.platform == "win32":
        _handle_console_close()
    _ended.clear()
    try:
        yield
    finally:
        _ended.set()
        for number, before in previous.items():
            signal.signal(number, before)


def _handle_console_close() -> None:
    """A closed console window, a log-off or a shutdown: SIGTERM in the main thread, then this handler waits
    for the batch to end (Windows ends the process once the handler returns)."""
    if sys.platform == "win32" and not _console_handler:
        import _thread
        import ctypes
        from ctypes import wintypes

        close_events = {2, 5, 6}  # CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT

        @ctypes.WINFUNCTYPE(wintypes.BOOL, wintypes.DWORD)
        def on_event(event: int) -> bool:
            if event not in close_events:
                return False  # Ctrl-C and Ctrl-Break: Python's own handlers
            _thread.interrupt_main(signal.SIGTERM)
            _ended.wait(4.5)
            return True

        ctypes.WinDLL("kernel32").SetConsoleCtrlHandler(on_event, True)
        _console_handler.append(on_event)

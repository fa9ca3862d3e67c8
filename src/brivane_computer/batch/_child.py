"""A solver child process: what a Dask task starts to solve its models in.

A Dask worker runs tasks on threads of its own process, which cannot be
ended one by one, and is a daemon process, which multiprocessing does not let
have children. So the task starts a plain child interpreter, talks to it over
its standard input and output with pickled messages, and kills it when a solve
runs out of time. The child runs the one-machine worker's body: it sets up
once, on its main thread, then solves one task at a time.
"""
from __future__ import annotations

import os
import pickle
import queue
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import IO, Any

from ._report import FAILED, TIMED_OUT
from ._task import Outcome, Task, remove_tree
from ._workers import DONE, READY, SETUP_FAILED, STOP_WAIT, WorkerConfig, describe_end, serve

# The child imports this package through the same path as its parent, as multiprocessing's children do.
_START = ("import pickle, sys\n"
          "sys.path[:] = pickle.load(sys.stdin.buffer)\n"
          "from brivane_computer.batch._child import child_main\n"
          "child_main()\n")


@dataclass(frozen=True)
class Ended:
    """A solve that gave no outcome: it ran out of time, or its child died."""

    status: str
    error_type: str | None
    message: str
    seconds: float


class _Pipes:
    """The child's channel: pickles over its standard input and a copy of its standard output."""

    def __init__(self, reading: IO[bytes], writing: IO[bytes]) -> None:
        self.reading, self.writing = reading, writing

    def send(self, message: Any) -> None:
        pickle.dump(message, self.writing, pickle.HIGHEST_PROTOCOL)
        self.writing.flush()

    def recv(self) -> Any:
        return pickle.load(self.reading)


def child_main() -> None:
    """The body of the child: its messages leave by a copy of standard output, which then goes to the log."""
    answers = os.fdopen(os.dup(1), "wb")
    config: WorkerConfig = pickle.load(sys.stdin.buffer)
    serve(_Pipes(sys.stdin.buffer, answers), config)


class ChildSolver:
    """The task's end of one child: started and set up at once, then asked to solve task after task."""

    def __init__(self, installation: str, module: str, settings: str | None, data_sources: str | None) -> None:
        self.folder = tempfile.mkdtemp(prefix="brivane-solver-")
        temp = os.path.join(self.folder, "temp")
        os.mkdir(temp)
        self.config = WorkerConfig(installation, module, settings, data_sources, temp,
                                   os.path.join(self.folder, "log.txt"))
        self.messages: queue.Queue[tuple[str, Any] | None] = queue.Queue()
        # Until the child sends its output to the log itself, what it prints (an import error) goes there.
        with open(self.config.log, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _START], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                # Ctrl-C on the worker's console is not for the child: the task ends it.
                creationflags=getattr(subprocess, "CREATE_NEW_PROCESS_GROUP", 0))
        assert self.process.stdin is not None and self.process.stdout is not None
        self.requests = self.process.stdin
        threading.Thread(target=self._read, args=(self.process.stdout,), daemon=True,
                         name="brivane-solver-answers").start()
        self.setup_failure: str | None = None
        try:
            self._send(list(sys.path))
            self._send(self.config)
        except OSError:
            pass  # it has died: its first message says how
        first = self.messages.get()
        if first is None or first[0] != READY:
            self.setup_failure = first[1] if first is not None and first[0] == SETUP_FAILED else self._death()
            self.stop()

    def _read(self, answers: IO[bytes]) -> None:
        try:
            while True:
                self.messages.put(pickle.load(answers))
        except Exception:  # EOF, or a child cut off in the middle of a message
            self.messages.put(None)

    def _send(self, message: Any) -> None:
        pickle.dump(message, self.requests, pickle.HIGHEST_PROTOCOL)
        self.requests.flush()

    @property
    def alive(self) -> bool:
        return self.process.poll() is None

    def solve(self, task: Task, timeout: float | None) -> Outcome | Ended:
        """The task's outcome; a child that takes longer than ``timeout`` seconds is killed."""
        started = time.monotonic()
        try:
            self._send(task)
            answer = self.messages.get(timeout=timeout)
        except queue.Empty:
            self.stop(0)
            return Ended(TIMED_OUT, None, f"the solve took longer than {timeout:g} s; its worker was ended",
                         time.monotonic() - started)
        except (OSError, ValueError):  # its input is closed: it has died or was ended
            answer = None
        if answer is None or answer[0] != DONE:
            self.stop(0)
            return Ended(FAILED, "WorkerDied", self._death(), time.monotonic() - started)
        outcome: Outcome = answer[1]
        return outcome

    def _death(self) -> str:
        try:
            code = self.process.wait(STOP_WAIT)
        except subprocess.TimeoutExpired:
            code = None
        return describe_end(code, self.config.log)

    def stop(self, wait: float = STOP_WAIT) -> None:
        """Ends the child (one that is idle gets ``wait`` seconds to end by itself) and removes its folder."""
        try:
            self.requests.close()  # the end of its input tells it to stop
        except (OSError, ValueError):
            pass
        try:
            self.process.wait(wait)
        except subprocess.TimeoutExpired:
            pass
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        remove_tree(self.folder)

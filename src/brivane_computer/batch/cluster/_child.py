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
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any, NoReturn

from .._leftovers import LockedFolder
from .._lifetime import MARKER, kill_tree, lifeline_for_child, read_lifeline
from .._messages import Finished, FromWorker, Outcome, Ready, SetupFailed, Solve, Task
from .._outputs import keep_solve_log
from .._serve import STOP_WAIT, WorkerConfig, describe_end, serve

# The child imports this package through the same path as its parent, as multiprocessing's children do.
_START = (
    "import pickle, sys\n"
    "sys.path[:] = pickle.load(sys.stdin.buffer)\n"
    "from brivane_computer.batch.cluster._child import child_main\n"
    "child_main()\n"
)


# The folder of a solver child in its worker's temporary folder.
FOLDER_PREFIX = "brivane-solver-"
# How often a solve that waits for its child looks at its batch's lease.
_LOOK_EVERY = 1.0


class ChildLost(Exception):
    """A solve that gave no outcome: its child ran out of time (``timed_out``) or died, or was ended because
    its batch had gone; ``seconds`` is how long it had been solving; ``kept``, where what the solve printed was
    kept in the model's results folder, says where."""

    def __init__(
        self,
        message: str,
        seconds: float,
        timed_out: bool = False,
        error_type: str = "WorkerDied",
        kept: Outcome | None = None,
    ):
        super().__init__(message)
        self.message, self.seconds, self.timed_out, self.error_type = message, seconds, timed_out, error_type
        self.kept = kept


@dataclass(frozen=True)
class ChildStart:
    """The child's second message, once its path is set (its first, a plain list, so that it can import this
    package): how it sets up, and the token of its lifeline."""

    config: WorkerConfig
    lifeline: int


class _Pipes:
    """The child's channel: pickles over its standard input and a copy of its standard output."""

    def __init__(self, reading: IO[bytes], writing: IO[bytes]) -> None:
        self.reading, self.writing = reading, writing

    def send(self, message: FromWorker) -> None:
        pickle.dump(message, self.writing, pickle.HIGHEST_PROTOCOL)
        self.writing.flush()

    def recv(self) -> Any:
        return pickle.load(self.reading)


def child_main() -> None:
    """The body of the child: its messages leave by a copy of standard output, which then goes to the log."""
    answers = os.fdopen(os.dup(1), "wb")
    start: ChildStart = pickle.load(sys.stdin.buffer)
    serve(_Pipes(sys.stdin.buffer, answers), start.config, read_lifeline(start.lifeline))


class ChildSolver:
    """The task's end of one child: started and set up at once, then asked to solve task after task."""

    def __init__(
        self, installation: str, module: str, settings: str | None, data_sources: str | None, batch: str
    ) -> None:
        # Locked while the child lives: a worker that was killed outright leaves it for the next child to remove.
        self.locked = LockedFolder(FOLDER_PREFIX)
        self.folder = self.locked.path
        temp = os.path.join(self.folder, "temp")
        os.mkdir(temp)
        self.config = WorkerConfig(
            installation,
            module,
            settings,
            data_sources,
            temp,
            os.path.join(self.folder, "log.txt"),
            os.path.join(self.folder, "solve.log"),
        )
        self.messages: queue.Queue[FromWorker | None] = queue.Queue()
        # Models that it solved or failed, for recycling.
        self.models = 0
        self._stopping = threading.Lock()
        self.lifeline, reading, token, handing = lifeline_for_child()
        # Until the child sends its output to the log itself, what it prints (an import error) goes there.
        with open(self.config.log, "ab") as log:
            try:
                self.process = subprocess.Popen(
                    [sys.executable, "-c", _START],
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    stderr=log,
                    env={**os.environ, MARKER: batch},
                    # Ctrl-C on the worker's console is not for the child: the task ends it.
                    creationflags=getattr(subprocess, "CREATE_NEW_PROCESS_GROUP", 0),
                    **handing,
                )
            finally:
                os.close(reading)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.requests = self.process.stdin
        threading.Thread(
            target=self._read, args=(self.process.stdout,), daemon=True, name="brivane-solver-answers"
        ).start()
        self.setup_failure: str | None = None
        try:
            self._send(list(sys.path))
            self._send(ChildStart(self.config, token))
        except OSError:
            pass  # it has died: its first message says how
        first = self.messages.get()
        if not isinstance(first, Ready):
            self.setup_failure = first.message if isinstance(first, SetupFailed) else self._death()
            self.stop()

    def _read(self, answers: IO[bytes]) -> None:
        try:
            while True:
                self.messages.put(pickle.load(answers))
        except Exception:  # EOF, or a child cut off in the middle of a message
            self.messages.put(None)

    def _send(self, message: list[str] | ChildStart | Solve) -> None:
        pickle.dump(message, self.requests, pickle.HIGHEST_PROTOCOL)
        self.requests.flush()

    @property
    def alive(self) -> bool:
        return self.process.poll() is None

    def solve(self, task: Task, timeout: float | None, leased: Callable[[], bool] = lambda: True) -> Outcome:
        """The task's outcome. A child that takes longer than ``timeout`` seconds, or whose batch's lease
        lapses meanwhile (``leased`` turns false), is killed; then, and when it dies, raises ``ChildLost``."""
        started = time.monotonic()
        self.models += 1
        try:
            self._send(Solve(task))
            while True:
                left = None if timeout is None else started + timeout - time.monotonic()
                if left is not None and left <= 0:
                    raise queue.Empty
                try:
                    answer = self.messages.get(timeout=_LOOK_EVERY if left is None else min(left, _LOOK_EVERY))
                    break
                except queue.Empty:
                    if not leased():
                        self._lease_expired(task, started)
        except queue.Empty:
            self._lost(task, f"the solve took longer than {timeout:g} s; its worker was ended", started, timed_out=True)
        except (OSError, ValueError):  # its input is closed: it has died or was ended
            answer = None
        if not isinstance(answer, Finished):
            if not leased():  # ended by the lease's watch
                self._lease_expired(task, started)
            self._lost(task, None, started)
        return answer.outcome

    def _lease_expired(self, task: Task, started: float) -> NoReturn:
        self._lost(
            task,
            "the batch that sent it had gone (its lease was not renewed): its solve was ended",
            started,
            error_type="LeaseExpired",
        )

    def _lost(
        self, task: Task, message: str | None, started: float, timed_out: bool = False, error_type: str = "WorkerDied"
    ) -> NoReturn:
        """The child's solve gave no outcome: what it printed kept in the model's results folder (before its
        folder goes), the child ended; ``message`` None: it died, and how it ended says why."""
        assert self.config.solve_log is not None
        kept = keep_solve_log(task.results, task.model, self.config.solve_log)
        seconds = time.monotonic() - started
        self.stop(0)
        raise ChildLost(
            message if message is not None else self._death(),
            seconds,
            timed_out,
            error_type,
            Outcome(False, 0.0, results_folder=task.results, manifest=kept) if kept else None,
        )

    def _death(self) -> str:
        try:
            code = self.process.wait(STOP_WAIT)
        except subprocess.TimeoutExpired:
            code = None
        return describe_end(code, self.config.log)

    def stop(self, wait: float = STOP_WAIT) -> None:
        """Ends the child (one that is idle gets ``wait`` seconds to end by itself) and removes its folder. Once:
        the batch's end and the task's own solve may both stop it, from two threads."""
        with self._stopping:
            if self.lifeline < 0:
                return
            try:
                self.requests.close()  # the end of its input tells it to stop
            except (OSError, ValueError):
                pass
            try:
                self.process.wait(wait)
            except subprocess.TimeoutExpired:
                pass
            if self.process.poll() is None:
                kill_tree(self.process.pid)  # with what its solve started
                self.process.kill()
                self.process.wait()
            os.close(self.lifeline)
            self.lifeline = -1
            self.locked.remove()

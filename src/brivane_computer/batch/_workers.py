"""Worker processes: each sets the module up once, then solves one task at a time.

Workers are started with the "spawn" method everywhere, as Windows must, and
talk to the batch over a pipe of their own: a worker that hangs or dies can be
ended or lost alone. Each also holds a lifeline from the batch and leads a
process tree of its own (``_lifetime``): it ends, with whatever its solve
started, as soon as the batch has gone, however the batch ended.
"""
from __future__ import annotations

import contextlib
import faulthandler
import multiprocessing
import os
import signal
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess
from typing import Any, Protocol

from ._lifetime import hold_lifeline, ignore_stop_signals, kill_tree, lead_own_tree, marked, stop_signals_held
from ._messages import Finished, FromWorker, Ready, SetupFailed, Solve, Stop, ToWorker
from ._task import Task, keep_run_errors, set_up, solve_model

# How long a worker that is ending by itself gets before it is killed.
STOP_WAIT = 10.0


@dataclass(frozen=True)
class WorkerConfig:
    installation: str
    module: str
    settings: str | None
    data_sources: str | None
    # The worker's own temporary folder, which the batch owns and removes.
    temp: str
    # Where the worker's standard output and error go.
    log: str


def worker_main(connection: Connection, lifeline: Connection, config: WorkerConfig) -> None:
    """The body of a worker process."""
    serve(connection, config, lambda: _wait_until_closed(lifeline))


def _wait_until_closed(lifeline: Connection) -> None:
    # Nothing is ever sent on it: it only closes.
    try:
        while True:
            lifeline.recv_bytes()
    except (EOFError, OSError):
        return


class Channel(Protocol):
    """The worker's end of its line to the batch: a pipe's connection or the cluster's child pipes."""

    def send(self, message: FromWorker) -> None: ...

    # A pipe gives back whatever was pickled into it: the worker checks that it is a ``ToWorker``.
    def recv(self) -> Any: ...


def serve(channel: Channel, config: WorkerConfig, lifeline: Callable[[], None]) -> None:
    """Sets up, says whether it could, then solves each task received until told to stop. Its process tree
    ends as soon as ``lifeline`` returns: the batch has gone."""
    _start_up(config, lifeline)
    try:
        set_up(config.installation, config.module, config.settings, config.data_sources)
    except Exception as error:
        channel.send(SetupFailed(f"{type(error).__name__}: {error}"))
        return
    channel.send(Ready(os.getpid()))
    while True:
        try:
            request: ToWorker = channel.recv()
        except EOFError:
            return  # the batch has gone
        if not isinstance(request, Solve):
            return
        channel.send(Finished(solve_model(request.task)))


def _start_up(config: WorkerConfig, lifeline: Callable[[], None]) -> None:
    """What a worker process sets once, for its whole life, before it sets up: its signals, its process tree and
    lifeline, its output, its temporary folder and the hook that keeps a solver run's exception."""
    # The batch ends its workers itself; Ctrl-C or SIGTERM sent to the terminal's group is for the batch alone.
    ignore_stop_signals()
    # Before anything starts a process: whatever the solve starts ends with the worker.
    lead_own_tree()
    hold_lifeline(lifeline)
    log = os.open(config.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    # What the product or the interpreter prints would break the batch's progress bar; a crash
    # report stays in the log, where the batch reads it.
    sys.stdout.flush()
    sys.stderr.flush()
    os.dup2(log, 1)
    os.dup2(log, 2)
    faulthandler.enable()
    for name in ("TMPDIR", "TEMP", "TMP"):
        os.environ[name] = config.temp
    tempfile.tempdir = config.temp
    keep_run_errors()


class Worker:
    """The batch's end of one worker process."""

    def __init__(self, number: int, slot: int, config: WorkerConfig, batch: str) -> None:
        self.number, self.slot = number, slot
        self.config = config
        self.task: Task | None = None
        self.ready = False
        # When the task was sent: on the monotonic clock for time limits, on the wall clock for the report.
        self.sent_at = self.sent_wall = 0.0
        # Models that it solved or failed, for recycling.
        self.models = 0
        context = multiprocessing.get_context("spawn")
        self.connection, child = context.Pipe()
        lifeline, self.lifeline = context.Pipe(duplex=False)
        self.process: BaseProcess = context.Process(target=worker_main, args=(child, lifeline, config), daemon=True,
                                                    name=f"brivane-worker-{number}")
        if sys.platform != "win32":
            # The interpreter's resource tracker, which spawn starts with the first worker, serves this process
            # for its whole life, not the batch: started here, it does not carry the batch's marker.
            from multiprocessing import resource_tracker
            resource_tracker.ensure_running()
        # When its set-up began, on the wall clock for the report.
        self.started_wall = time.time()
        with stop_signals_held(), marked(batch):
            self.process.start()
        child.close()
        lifeline.close()

    @property
    def busy(self) -> bool:
        return self.task is not None

    def send(self, task: Task) -> None:
        self.task = task
        self.sent_at = time.monotonic()
        self.connection.send(Solve(task))

    def receive(self) -> tuple[list[FromWorker], bool]:
        """The messages waiting, and whether the worker has ended (then they are its last)."""
        # Read after the exit is known: all that an ended process sent is in the pipe by then.
        ended = self.process.exitcode is not None
        messages: list[FromWorker] = []
        try:
            while self.connection.poll():
                messages.append(self.connection.recv())
        except (EOFError, OSError):
            # The worker closed its end: it is ending, and its exit status comes with it.
            self.process.join(STOP_WAIT)
            ended = True
        return messages, ended

    def take_task(self) -> Task | None:
        task, self.task = self.task, None
        return task

    def stop(self, wait: float) -> None:
        """Ends the worker: one that is not solving gets ``wait`` seconds to
        end by itself (asked to, when it is ready); then it is killed."""
        if self.process.exitcode is None and not self.busy and wait > 0:
            if self.ready:
                with contextlib.suppress(OSError):
                    self.connection.send(Stop())
            self.process.join(wait)
        if self.process.exitcode is None:
            if self.process.pid is not None:
                kill_tree(self.process.pid)  # with what its solve started
            self.process.kill()
            self.process.join()
        self.connection.close()
        self.lifeline.close()

    def death(self) -> str:
        """How the worker ended, with the last line it left in its log."""
        return describe_end(self.process.exitcode, self.config.log)


def describe_end(code: int | None, log: str) -> str:
    """How a worker process ended (its exit status), with the last line it left in its log."""
    if code is not None and code < 0:
        try:
            how = f"was killed by {signal.Signals(-code).name}"
        except ValueError:
            how = f"was killed by signal {-code}"
    else:
        how = f"exited with code {code}"
    last = _last_line(log)
    return f"the worker process {how}" + (f" ({last})" if last else "")


def _last_line(path: str) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 4096))
            lines = [line.strip() for line in f.read().decode("utf-8", "replace").splitlines()]
    except OSError:
        return ""
    lines = [line for line in lines if line]
    fatal = [line for line in lines if line.startswith("Fatal Python error")]
    return (fatal or lines or [""])[-1]


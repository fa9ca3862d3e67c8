"""Worker processes of this machine: each sets the module up once, then solves one task at a time.

Workers are started with the "spawn" method everywhere, as Windows must, and
talk to the batch over a pipe of their own: a worker that hangs or dies can be
ended or lost alone. Each also holds a lifeline from the batch and leads a
process tree of its own (``_lifetime``): it ends, with whatever its solve
started, as soon as the batch has gone, however the batch ended.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import sys
import time
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess

from .._lifetime import kill_tree, marked, stop_signals_held
from .._messages import FromWorker, Solve, Stop, Task
from .._serve import STOP_WAIT, WorkerConfig, describe_end, serve


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


class Worker:
    """The batch's end of one worker process."""

    def __init__(self, number: int, slot: int, config: WorkerConfig, batch: str) -> None:
        self.number, self.slot = number, slot
        self.config = config
        self.task: Task | None = None
        self.ready = False
        # When the task was sent, on the monotonic clock, for time limits.
        self.sent_at = 0.0
        # Models that it solved or failed, for recycling.
        self.models = 0
        context = multiprocessing.get_context("spawn")
        self.connection, child = context.Pipe()
        lifeline, self.lifeline = context.Pipe(duplex=False)
        self.process: BaseProcess = context.Process(
            target=worker_main, args=(child, lifeline, config), daemon=True, name=f"brivane-worker-{number}"
        )
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

"""What a worker process does, wherever it runs: it sets up once, then solves each task that it is sent.

A local worker process (``local``) and a cluster task's solver child
(``cluster``) both run ``serve``; each talks to whoever started it over a
channel of its own, and each ends, with whatever its solve started, as soon as
its lifeline closes (``_lifetime``).
"""

from __future__ import annotations

import faulthandler
import os
import signal
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

from ._inputs import check_installation
from ._lifetime import hold_lifeline, ignore_stop_signals, lead_own_tree
from ._messages import Finished, FromWorker, Ready, SetupFailed, Solve, ToWorker

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
    # Where what the module prints during each solve goes, as it prints it.
    solve_log: str | None = None


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
        # What the batch could not check where it was started (on a cluster, the installation is this
        # machine's), then the native module, which only the worker loads: a failure of either is the
        # worker's set-up failing.
        check_installation(config.installation, config.settings, config.data_sources)
        from . import _task

        _task.keep_run_errors()
        _task.set_up(config.installation, config.module, config.settings, config.data_sources)
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
        channel.send(Finished(_task.solve_model(request.task, config.solve_log)))


def _start_up(config: WorkerConfig, lifeline: Callable[[], None]) -> None:
    """What a worker process sets once, for its whole life, before it sets up: its signals, its process tree and
    lifeline, its output and its temporary folder."""
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

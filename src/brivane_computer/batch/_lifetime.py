"""How long the processes of a batch live: none outlives the batch.

Every process that a batch starts carries ``MARKER`` in its environment,
naming the batch. Each worker (and each solver child on a cluster) is the root
of a process tree of its own, so that ending it ends whatever its solve
started: on POSIX it leads its own process group, which is killed as one; on
Windows it puts itself, before it starts anything, in a job object that kills
every process in it once its one handle closes (the handle is not inherited).
Each also holds a lifeline, a pipe from its parent that nothing is written
to: once it closes (the parent ended, however it ended: Ctrl-C, SIGKILL, a
crash, TerminateProcess), the tree ends at once.
"""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

MARKER = "BRIVANE_BATCH"

# What stops a batch: Ctrl-C, SIGTERM (timeout, a service manager, a cancelled job), SIGHUP (a closed terminal)
# and, on Windows, Ctrl-Break.
STOP_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGBREAK") if hasattr(signal, name)
)

# The job object of this process's tree on Windows, kept open for the life of the process.
_job: Any = None


def ignore_stop_signals() -> None:
    """In a worker: a stop signal sent to a whole process group (a terminal's Ctrl-C, ``kill -TERM -PGID``) is
    for the batch alone, which ends its workers itself and records their models as interrupted."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, set(STOP_SIGNALS))


@contextlib.contextmanager
def stop_signals_held() -> Iterator[None]:
    """Stop signals wait: while a worker starts (it begins with them blocked, before it can ignore them), and
    while the batch ends its workers and closes its report; they are delivered right afterwards."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, set(STOP_SIGNALS))
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


@contextlib.contextmanager
def marked(batch: str) -> Iterator[None]:
    """The processes started meanwhile carry the batch's marker in their environment."""
    previous = os.environ.get(MARKER)
    os.environ[MARKER] = batch
    try:
        yield
    finally:
        if previous is None:
            del os.environ[MARKER]
        else:
            os.environ[MARKER] = previous


def lead_own_tree() -> None:
    """Makes this process the root of a tree that ends as one (see the module's description)."""
    global _job
    if sys.platform == "win32":
        if _job is None:
            _job = _windows_job()
    elif os.getpgid(0) != os.getpid() and os.getsid(0) != os.getpid():
        os.setpgid(0, 0)


def kill_tree(pid: int) -> None:
    """Kills the tree that the process ``pid`` leads, on POSIX (on Windows, killing the process closes its job,
    which ends the rest). A process that has not yet made its group loses nothing else."""
    if sys.platform != "win32":
        with contextlib.suppress(OSError):
            os.killpg(pid, signal.SIGKILL)


def end_own_tree() -> None:
    """Ends this process and every process of its tree, now."""
    if sys.platform == "win32":
        if _job is not None:
            import ctypes
            from ctypes import wintypes

            terminate = ctypes.WinDLL("kernel32").TerminateJobObject
            terminate.argtypes = (wintypes.HANDLE, wintypes.UINT)
            terminate(_job, 1)
        os._exit(1)
    with contextlib.suppress(OSError):
        os.killpg(os.getpgid(0), signal.SIGKILL)
    os._exit(1)


def hold_lifeline(wait_until_closed: Callable[[], None]) -> None:
    """Ends this process's tree as soon as ``wait_until_closed`` returns: its lifeline has closed."""

    def watch() -> None:
        try:
            wait_until_closed()
        finally:
            end_own_tree()

    threading.Thread(target=watch, daemon=True, name="brivane-lifeline").start()


def lifeline_for_child() -> tuple[int, int, int, dict[str, Any]]:
    """A lifeline for a child started with ``subprocess.Popen``: (the end that the parent keeps open while the
    child may live, the end that the parent closes once the child has started, the token that the child
    passes to ``read_lifeline``, the Popen arguments that hand it over and give the child a tree of its own)."""
    reading, writing = os.pipe()
    if sys.platform == "win32":
        import msvcrt

        handle = msvcrt.get_osfhandle(reading)
        os.set_handle_inheritable(handle, True)
        startup = subprocess.STARTUPINFO()  # type: ignore[attr-defined]
        # Only this handle is inherited, not the other ends of other children's lifelines.
        startup.lpAttributeList = {"handle_list": [handle]}
        return writing, reading, handle, {"startupinfo": startup, "close_fds": True}
    return writing, reading, reading, {"pass_fds": (reading,), "start_new_session": True}


def read_lifeline(token: int) -> Callable[[], None]:
    """In the child: a function that returns once the parent's end of the lifeline is closed."""
    if sys.platform == "win32":
        import msvcrt

        descriptor = msvcrt.open_osfhandle(token, os.O_RDONLY)
    else:
        descriptor = token

    def wait() -> None:
        with contextlib.suppress(OSError):
            while os.read(descriptor, 64):
                pass

    return wait


def _windows_job() -> Any:
    """A job object that kills its processes when its handle closes, with this process in it."""
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        class Basic(ctypes.Structure):
            _fields_ = [
                ("PerProcessUserTimeLimit", ctypes.c_int64),
                ("PerJobUserTimeLimit", ctypes.c_int64),
                ("LimitFlags", wintypes.DWORD),
                ("MinimumWorkingSetSize", ctypes.c_size_t),
                ("MaximumWorkingSetSize", ctypes.c_size_t),
                ("ActiveProcessLimit", wintypes.DWORD),
                ("Affinity", ctypes.c_size_t),
                ("PriorityClass", wintypes.DWORD),
                ("SchedulingClass", wintypes.DWORD),
            ]

        class Counters(ctypes.Structure):
            _fields_ = [
                (name, ctypes.c_ulonglong)
                for name in (
                    "ReadOperationCount",
                    "WriteOperationCount",
                    "OtherOperationCount",
                    "ReadTransferCount",
                    "WriteTransferCount",
                    "OtherTransferCount",
                )
            ]

        class Extended(ctypes.Structure):
            _fields_ = [
                ("BasicLimitInformation", Basic),
                ("IoInfo", Counters),
                ("ProcessMemoryLimit", ctypes.c_size_t),
                ("JobMemoryLimit", ctypes.c_size_t),
                ("PeakProcessMemoryUsed", ctypes.c_size_t),
                ("PeakJobMemoryUsed", ctypes.c_size_t),
            ]

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.CreateJobObjectW.restype = wintypes.HANDLE
        kernel32.CreateJobObjectW.argtypes = (ctypes.c_void_p, wintypes.LPCWSTR)
        kernel32.SetInformationJobObject.argtypes = (wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD)
        kernel32.AssignProcessToJobObject.argtypes = (wintypes.HANDLE, wintypes.HANDLE)
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        # No security attributes: the handle is not inherited, so that only this process holds the job open.
        job = kernel32.CreateJobObjectW(None, None)
        if not job:
            raise ctypes.WinError(ctypes.get_last_error())
        limits = Extended()
        limits.BasicLimitInformation.LimitFlags = 0x2000  # JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
        extended_limit_information = 9
        if not kernel32.SetInformationJobObject(
            job, extended_limit_information, ctypes.byref(limits), ctypes.sizeof(limits)
        ):
            raise ctypes.WinError(ctypes.get_last_error())
        if not kernel32.AssignProcessToJobObject(job, kernel32.GetCurrentProcess()):
            raise ctypes.WinError(ctypes.get_last_error())
        return job
    raise OSError("job objects exist on Windows only")

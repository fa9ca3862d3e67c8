"""The call journal: one entry per call made into the stand-in, in order.

Targets are class names ("Model", "Thread", "LayerCollection") or the module
names "clr" and "pythoncom".  Members use .NET accessor names: ".ctor" for a
constructor, "set_X"/"get_X" for properties, the plain name for methods.
"""

import json
import os
import threading
import time
from dataclasses import dataclass, field

from .knobs import knobs
from .locks import fork_safe_lock


@dataclass(frozen=True)
class Call:
    target: str
    member: str
    args: tuple
    kwargs: dict = field(default_factory=dict)
    thread: int = 0
    thread_name: str = ""

    @property
    def name(self):
        return f"{self.target}.{self.member}"


_lock = fork_safe_lock(globals(), "_lock")
_entries = []


def record(target, member, args=(), kwargs=None):
    """Append one entry, then raise the exception that ``knobs.raise_on``
    holds for "target.member", if any."""
    current = threading.current_thread()
    call = Call(target, member, tuple(args), dict(kwargs or {}), threading.get_ident(), current.name)
    with _lock:
        _entries.append(call)
    if knobs.journal_file:
        _append_to_file(knobs.journal_file, call)
    error = knobs.raise_on.get(call.name)
    if error is not None:
        raise error
    return call


def _append_to_file(path, call):
    line = json.dumps(
        {
            "pid": os.getpid(),
            "thread": call.thread,
            "time": time.monotonic(),
            "name": call.name,
            "args": [_plain(a) for a in call.args],
        }
    )
    # One write of one line in append mode: lines of several processes never mix.
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, (line + "\n").encode("utf-8"))
    finally:
        os.close(fd)


def _plain(value):
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return f"<{type(value).__name__}>"


def read_file(path):
    """The entries that processes appended to ``path`` (knobs.journal_file),
    as dicts: pid, thread, time (the system's monotonic clock), name, args."""
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def entries():
    with _lock:
        return list(_entries)


def clear():
    with _lock:
        _entries.clear()


def calls(target=None, member=None):
    return [c for c in entries() if (target is None or c.target == target) and (member is None or c.member == member)]


def names():
    """["Target.member", ...] in call order."""
    return [c.name for c in entries()]

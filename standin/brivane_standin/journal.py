"""The call journal: one entry per call made into the stand-in, in order.

Targets are class names ("Model", "Thread", "LayerCollection") or the module
names "clr" and "pythoncom".  Members use .NET accessor names: ".ctor" for a
constructor, "set_X"/"get_X" for properties, the plain name for methods.
"""
import threading
from dataclasses import dataclass, field

from .knobs import knobs


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


_lock = threading.Lock()
_entries = []


def record(target, member, args=(), kwargs=None):
    """Append one entry, then raise the exception that ``knobs.raise_on``
    holds for "target.member", if any."""
    current = threading.current_thread()
    call = Call(target, member, tuple(args), dict(kwargs or {}),
                threading.get_ident(), current.name)
    with _lock:
        _entries.append(call)
    error = knobs.raise_on.get(call.name)
    if error is not None:
        raise error
    return call


def entries():
    with _lock:
        return list(_entries)


def clear():
    with _lock:
        _entries.clear()


def calls(target=None, member=None):
    return [c for c in entries()
            if (target is None or c.target == target)
            and (member is None or c.member == member)]


def names():
    """["Target.member", ...] in call order."""
    return [c.name for c in entries()]

"""Stand-ins for the parts of the .NET base library that the product uses.

Also holds :func:`netclass`, the decorator that makes a Python class behave
like a bridged .NET class: every constructor, public method, static method
and property set (and the property gets it names) goes to the journal.
"""

import functools
import threading

from . import journal
from .knobs import knobs
from .locks import fork_safe_lock


def _wrap(fn, target, member, bound=True):
    @functools.wraps(fn)
    def call(*args, **kwargs):
        journal.record(target, member, args[1:] if bound else args, kwargs)
        return fn(*args, **kwargs)

    return call


def netclass(namespace, journaled_gets=()):
    """Class decorator: mark ``cls`` as a .NET class of ``namespace``."""

    def decorate(cls):
        members = {}
        for klass in reversed(cls.__mro__):  # plain (non-.NET) bases too
            if klass is not object and "__namespace__" not in vars(klass):
                members.update(vars(klass))
        cls.__namespace__ = namespace
        name = cls.__name__
        for attr, value in members.items():
            if attr == "__init__":
                setattr(cls, attr, _wrap(value, name, ".ctor"))
            elif attr.startswith("_"):
                continue
            elif isinstance(value, staticmethod):
                wrapped = _wrap(value.__func__, name, attr, bound=False)
                setattr(cls, attr, staticmethod(wrapped))
            elif isinstance(value, property):
                fget, fset = value.fget, value.fset
                if attr in journaled_gets:
                    fget = _wrap(fget, name, "get_" + attr)
                if fset is not None:
                    fset = _wrap(fset, name, "set_" + attr)
                setattr(cls, attr, property(fget, fset, None, value.__doc__))
            elif callable(value):
                setattr(cls, attr, _wrap(value, name, attr))
        return cls

    return decorate


# --- exceptions ---------------------------------------------------------------


class Exception(Exception):  # noqa: A001 - the .NET name on purpose
    """System.Exception; what the bridge raises for a failing .NET call."""

    @property
    def Message(self):
        return str(self)


def _exception(name, base, namespace="System"):
    cls = type(name, (base,), {"__module__": namespace})
    cls.__qualname__ = name
    return cls


Exception.__module__ = "System"
ArgumentException = _exception("ArgumentException", Exception)
ArgumentNullException = _exception("ArgumentNullException", ArgumentException)
InvalidOperationException = _exception("InvalidOperationException", Exception)
ObjectDisposedException = _exception("ObjectDisposedException", InvalidOperationException)
BadImageFormatException = _exception("BadImageFormatException", Exception)
UnauthorizedAccessException = _exception("UnauthorizedAccessException", Exception)
IOException = _exception("IOException", Exception, "System.IO")
FileNotFoundException = _exception("FileNotFoundException", IOException, "System.IO")
DirectoryNotFoundException = _exception("DirectoryNotFoundException", IOException, "System.IO")
FileLoadException = _exception("FileLoadException", IOException, "System.IO")
InvalidDataException = _exception("InvalidDataException", Exception, "System.IO")


# --- CultureInfo, Thread, Point, Tuple ----------------------------------------


@netclass("System.Globalization")
class CultureInfo:
    """A culture, known by its name ("en-US", "fr-FR", ...)."""

    def __init__(self, name):
        if not isinstance(name, str):
            raise ArgumentNullException("culture name must be a string")
        self._name = name

    @property
    def Name(self):
        return self._name

    def __eq__(self, other):
        return isinstance(other, CultureInfo) and other._name == self._name

    def __hash__(self):
        return hash(self._name)

    def __str__(self):
        return self._name

    def __repr__(self):
        return f"CultureInfo({self._name!r})"

    @classmethod
    def _make(cls, name):  # made by the runtime itself: not journaled
        self = object.__new__(cls)
        self._name = name
        return self

    @property
    def _decimal_separator(self):
        return "." if self._name in ("", "en-US", "en-GB") else ","


class _ThreadType(type):
    @property
    def CurrentThread(cls):
        """The .NET thread object of the calling Python thread."""
        journal.record("Thread", "get_CurrentThread")
        return _current_thread()


@netclass("System.Threading")
class Thread(metaclass=_ThreadType):
    """System.Threading.Thread, reached only through ``CurrentThread``."""

    @property
    def ManagedThreadId(self):
        return self._ident

    @property
    def CurrentCulture(self):
        return self._culture

    @CurrentCulture.setter
    def CurrentCulture(self, value):
        self._culture = _check_culture(value)

    @property
    def CurrentUICulture(self):
        return self._ui_culture

    @CurrentUICulture.setter
    def CurrentUICulture(self, value):
        self._ui_culture = _check_culture(value)


def _check_culture(value):
    if value is None:
        raise ArgumentNullException("value")
    if not isinstance(value, CultureInfo):
        raise TypeError("CurrentCulture expects a CultureInfo")
    return value


_threads_lock = fork_safe_lock(globals(), "_threads_lock")
_threads = {}  # ident -> (python thread object, Thread)


def _current_thread():
    ident = threading.get_ident()
    owner = threading.current_thread()
    with _threads_lock:
        known = _threads.get(ident)
        if known is None or known[0] is not owner:  # idents are reused
            net = object.__new__(Thread)
            net._ident = ident
            net._culture = CultureInfo._make(knobs.default_culture)
            net._ui_culture = CultureInfo._make(knobs.default_culture)
            known = _threads[ident] = (owner, net)
        return known[1]


def current_culture():
    """Current .NET culture of the calling thread (not journaled)."""
    return _current_thread()._culture


def culture_of(thread_ident):
    """(CurrentCulture name, CurrentUICulture name) of the .NET thread object
    last made for ``thread_ident``, also after that thread ended; None when
    that thread never touched .NET threading."""
    with _threads_lock:
        known = _threads.get(thread_ident)
    if known is None:
        return None
    return known[1]._culture.Name, known[1]._ui_culture.Name


@netclass("System.Windows")
class Point:
    """System.Windows.Point; X and Y keep the values given."""

    def __init__(self, x, y):
        for v in (x, y):
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                raise TypeError("Point(x, y) expects two numbers")
        self._x, self._y = x, y

    @property
    def X(self):
        return self._x

    @property
    def Y(self):
        return self._y

    def __repr__(self):
        return f"Point({self._x!r}, {self._y!r})"


@netclass("System", journaled_gets=("Item1", "Item2"))
class Tuple:
    """System.Tuple of two items, as .NET methods return it."""

    @classmethod
    def _make(cls, item1, item2):
        self = object.__new__(cls)
        self._items = (item1, item2)
        return self

    @property
    def Item1(self):
        return self._items[0]

    @property
    def Item2(self):
        return self._items[1]


NAMESPACES = {
    "System": [
        "Exception",
        "ArgumentException",
        "ArgumentNullException",
        "InvalidOperationException",
        "ObjectDisposedException",
        "BadImageFormatException",
        "UnauthorizedAccessException",
        "Tuple",
    ],
    "System.IO": [
        "IOException",
        "FileNotFoundException",
        "DirectoryNotFoundException",
        "FileLoadException",
        "InvalidDataException",
    ],
    "System.Globalization": ["CultureInfo"],
    "System.Threading": ["Thread"],
    "System.Windows": ["Point"],
}


def _reset():
    with _threads_lock:
        _threads.clear()

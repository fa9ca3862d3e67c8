"""The file-system jail of the argument fuzzing and the thread stress.

The module looks up ``os``, ``shutil``, ``tempfile``, ``threading`` and the
built-in ``open`` in its own namespace at every use, so binding proxies there
routes every file operation the module makes through :class:`Jail`; the
stand-in product writes every file through
``brivane_standin.product._files.write_atomic``, which the jail wraps too.
Each call of the module is made inside ``Jail.calling(name, args, kwargs)``,
which tells the jail what that call may touch; a solver thread that the module
starts carries the call of the thread that started it.

An operation that changes something is judged twice.

1. Bounds: what the call may touch.

   * ``removeProjectFolder`` and ``removeProject`` may change the working
     folder to the parent of the folder their argument names and remove that
     folder, as the system resolves the argument from the working folder when
     the call starts; only when it names an existing folder that is neither a
     root, ``.``, ``..`` nor a link. Nothing else.
   * ``disposeSolution`` and ``solve`` may remove folders the module made: the
     jail records each new folder that ``solve`` makes directly in the
     temporary folder (its sandbox) and each new copy of
     ``copyDirectoryToTemp``.
   * ``copyDirectoryToTemp`` may make one new folder directly in the
     temporary folder and copy into it; any call may remove a folder it
     created itself.
   * The calls of :data:`WRITERS` may create, replace and delete what their
     arguments name (a path argument, or two of them joined), what lies
     directly in it or beside it, and anything in a folder they created. The
     product's writes are held to the same bounds, since it writes what the
     module tells it.
   * No other call writes, removes or changes the working folder.

   An operation out of bounds is recorded in :attr:`Jail.violations` (the
   call with its arguments, the operation and the path) and refused with
   PermissionError. The module may swallow that exception; the record stays,
   and the harness fails the test or the run with it at its end. A change of
   the working folder out of bounds is recorded but made (it changes no file,
   and the harness puts the working folder back after each call), so that
   what the call does next is judged too.

2. Containment: an operation within bounds is forwarded only when what it
   changes lies strictly inside the sandbox and outside its protected folder
   (the stand-in installation). Otherwise it is refused with PermissionError,
   as a read-only place would refuse it, and counted in
   :attr:`Jail.contained`: a call may name "/" or a folder beside the sandbox,
   and a root or such a folder that reaches ``rmtree`` is never removed. While
   the jail is bound, the host's own ``shutil.rmtree`` refuses (and records as
   out of bounds) anything outside the sandbox too, whoever calls it.

Reading changes nothing. File tests (``exists``, ``isdir``, ``isfile``,
``islink``, ``isjunction``, ``lexists``) are forwarded for any path, so that
roots and folders outside the sandbox reach the code that decides on them.
Reading contents (``listdir``, ``open`` for reading, the source of a copy) is
forwarded only inside the sandbox and otherwise refused as an ordinary
PermissionError (counted in :attr:`Jail.refused_reads`): that harms nothing and
keeps a copy of "/" from filling the sandbox. A file descriptor (an int) is
refused with TypeError wherever it would be read or written. A member of
``os``, ``os.path``, ``shutil`` or ``tempfile`` that the jail does not know
raises AttributeError and is recorded in :attr:`Jail.unknown`, so that a new
file operation of the module shows up instead of passing unchecked.
"""

import builtins
import contextlib
import errno
import os
import pathlib
import reprlib
import shutil
import threading
from typing import NamedTuple

# Levels between the sandbox and the working folder of the calls: ".." and its repeats stay inside.
WORK_DEPTH = 3

# Calls that create or replace files and folders, themselves or through the product.
WRITERS = frozenset(
    {
        "saveVokel",
        "writeFreFile",
        "solve",
        "solvePipingModel",
        "solveStructureModel",
        "_QuelbarSolve",
        "_RevavSolve",
        "addProjectFolder",
        "addProject",
        "addPipingProject",
        "addStructureProject",
        "addStudy",
        "addPipingStudy",
        "addStructureStudy",
        "removeStudy",
        "duplicateStudy",
    }
)
REMOVALS = frozenset({"removeProjectFolder", "removeProject"})
# disposeSolution, and solve, which disposes of the last solution first.
DISPOSERS = frozenset({"disposeSolution", "solve"})

_real_open = builtins.open
_short = reprlib.Repr()
_short.maxstring = _short.maxother = 120


class StablePath:
    """A path-like object that always names the same path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path

    def __repr__(self):
        return f"StablePath({self.path!r})"


def plain_path(value):
    """The str or bytes a path argument stands for, computed without running the caller's code;
    None for anything else."""
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, bytes):
        return bytes.__getitem__(value, slice(None))
    if isinstance(value, (pathlib.PurePath, StablePath)):
        return os.fspath(value)
    return None


def where(path, cwd=None):
    """The absolute place a str or bytes path names, with its parent folders resolved as the system
    resolves them and its last name kept (a link there is not followed)."""
    text = os.fsdecode(path)
    if "\0" in text:
        raise ValueError("embedded null byte")
    full = os.path.join(os.getcwd() if cwd is None else cwd, text)
    head, tail = os.path.split(full.rstrip(os.sep) or os.sep)
    if tail in ("", ".", ".."):
        return os.path.realpath(full)
    return os.path.join(os.path.realpath(head), tail)


def removal_bounds(path, cwd):
    """(parent, folder) that a removal of `path` may touch, or None when it may touch nothing."""
    try:
        text = os.fsdecode(path)
        if not text or "\0" in text or not os.path.isdir(os.path.join(cwd, text)):
            return None
        parent, name = os.path.split(text.rstrip(os.sep))
        if name in ("", ".", "..") or os.path.islink(os.path.join(cwd, parent, name)):
            return None
        parent = os.path.realpath(os.path.join(cwd, parent))
        return parent, os.path.join(parent, name)
    except (OSError, ValueError):
        return None


def describe(name, args=(), kwargs=None):
    """name(arguments) as a short text; never fails."""

    def shown(value):
        try:
            return _short.repr(value)
        except BaseException:  # noqa: B036 - a hostile __repr__ must not hide the call
            return f"<{type(value).__name__}>"

    parts = [shown(a) for a in args] + [f"{k}={shown(v)}" for k, v in (kwargs or {}).items()]
    return f"{name}({', '.join(parts)})"


class Violation(NamedTuple):
    """An operation out of bounds: the call, the operation, its path and why it is out of bounds."""

    call: str
    operation: str
    path: object
    why: str

    def __str__(self):
        return f"{self.call}: {self.operation} {self.path!r} {self.why}"


class Call:
    """One call of the module being made, and what it may touch."""

    def __init__(self, name, args=(), kwargs=None):
        kwargs = dict(kwargs or {})
        self.name = name
        self.text = describe(name, args, kwargs)
        self.cwd = os.getcwd()
        self.created = set()  # folders this call created, which it may remove again
        values = [v for v in map(plain_path, list(args) + list(kwargs.values())) if v is not None]
        self._paths = values if name in WRITERS else []
        self._named = None
        self.removal = None
        if name in REMOVALS and len(args) + len(kwargs) == 1 and values:
            self.removal = removal_bounds(values[0], self.cwd)

    def named(self):
        """(places the arguments name, the folders those places lie in)."""
        if self._named is None:
            # The module decodes a bytes path at entry, so a str and a bytes argument join too.
            texts = [os.fsdecode(p) for p in self._paths]
            paths = texts + [os.path.join(a, b) for i, a in enumerate(texts) for j, b in enumerate(texts) if i != j]
            places, folders = set(), set()
            for path in paths:
                with contextlib.suppress(ValueError, OSError):
                    place = where(path, self.cwd)
                    places.add(place)
                    folders.add(os.path.dirname(place))
                # The folder of "a/.." is "a", as the module takes it, not the parent of what it names; and a
                # name with a NUL, which names no file, still has its folder.
                with contextlib.suppress(ValueError, OSError):
                    folders.add(where(os.path.dirname(path), self.cwd))
            self._named = places, folders
        return self._named


class Jail:
    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.temp = os.path.realpath(sandbox.temp)
        # Folders the module made: sandboxes of solve, copies of copyDirectoryToTemp. Kept once removed, since
        # the module may try again to remove one that another thread (or a failed attempt) removed in part.
        self.made = set()
        self.violations = []  # operations out of bounds, each with its call
        self.contained = 0  # operations within bounds refused because they leave the sandbox
        self.refused_reads = 0
        self.unknown = set()
        self._lock = threading.Lock()
        self._local = threading.local()
        self.os = _JailedOs(self)
        self.shutil = _JailedShutil(self)
        self.tempfile = _JailedTempfile(self)
        self.threading = _JailedThreading(self)

    # -- the call being made -----------------------------------------------------------------
    @contextlib.contextmanager
    def calling(self, name, args=(), kwargs=None):
        """The calls of the module made inside this are judged by what `name` may touch."""
        previous = getattr(self._local, "call", None)
        self._local.call = call = Call(name, args, kwargs)
        try:
            yield call
        finally:
            self._local.call = previous

    def current(self):
        return getattr(self._local, "call", None)

    def carrying(self, target):
        """`target` run with the call of the thread that asks for it (a thread the module starts)."""
        if not callable(target):
            return target
        call = self.current()

        def carried(*args, **kwargs):
            self._local.call = call
            try:
                return target(*args, **kwargs)
            finally:
                self._local.call = None

        return carried

    # -- decisions -----------------------------------------------------------------------------
    @staticmethod
    def path_of(path):
        """The path as fspath gives it (TypeError for a descriptor or a non-path; an object's __fspath__
        runs once, so it cannot name one place for the check and another for the operation) and the
        place it names."""
        value = os.fspath(path)
        return value, where(value)

    def out_of_bounds(self, operation, path, why):
        call = self.current()
        with self._lock:
            self.violations.append(Violation(call.text if call else "outside any call", operation, path, why))
        return PermissionError(errno.EACCES, f"jail: {operation} out of bounds: {why}", os.fsdecode(path))

    def contain(self, place, operation):
        """Refuses a change outside the sandbox or inside its protected folder."""
        root, protected = self.sandbox.root, self.sandbox.protected
        if place.startswith(root + os.sep) and place != protected and not place.startswith(protected + os.sep):
            return
        with self._lock:
            self.contained += 1
        raise PermissionError(errno.EACCES, f"jail: {operation} outside the sandbox", place)

    def readable(self, path):
        value, place = self.path_of(path)
        root = self.sandbox.root
        if place != root and not place.startswith(root + os.sep):
            with self._lock:
                self.refused_reads += 1
            raise PermissionError(errno.EACCES, "jail: read outside the sandbox", place)
        return value

    def may_write(self, call, place):
        if call is None or call.name not in WRITERS:
            return False
        if any(place == folder or place.startswith(folder + os.sep) for folder in call.created):
            return True
        places, folders = call.named()
        parent = os.path.dirname(place)
        return place in places or parent in places or parent in folders

    def writable(self, path, operation):
        """The path to forward for a write within bounds and inside the sandbox."""
        value, place = self.path_of(path)
        if not self.may_write(self.current(), place):
            raise self.out_of_bounds(operation, value, "is not named by the call")
        self.contain(place, operation)
        return value, place

    def missing(self, owner, name):
        self.unknown.add(f"{owner}.{name}")
        raise AttributeError(f"{owner}.{name} is not available in the jail")

    # -- the built-in open ---------------------------------------------------------------------
    def open(self, file, mode="r", *args, **kwargs):
        if isinstance(mode, str) and any(c in mode for c in "wax+"):
            file = self.writable(file, "open")[0]
        else:
            file = self.readable(file)
        return _real_open(file, mode, *args, **kwargs)

    # -- the product's writes ------------------------------------------------------------------
    def product_write(self, write):
        def checked_write(path, text):
            # Anything but a clean str is refused by the product's own checks before it writes.
            if isinstance(path, str) and "\0" not in path:
                place = where(path)
                if not self.may_write(self.current(), place):
                    raise self.out_of_bounds("the product's write to", path, "is not named by the call")
                self.contain(
                    os.path.join(os.path.realpath(os.path.dirname(os.path.abspath(path))), "file"),
                    "the product's write",
                )
            return write(path, text)

        return checked_write

    # -- binding into the module ---------------------------------------------------------------
    def host_rmtree(self, rmtree):
        """The host's rmtree while the jail is bound: nothing outside the sandbox, whoever asks, so that
        even a fault of the jail removes nothing more. Such a call is out of bounds."""

        def guarded_rmtree(path, *args, **kwargs):
            with contextlib.suppress(TypeError, ValueError):
                if not where(os.fspath(path)).startswith(self.sandbox.root + os.sep):
                    raise self.out_of_bounds("the host's rmtree of", path, "lies outside the sandbox")
            return rmtree(path, *args, **kwargs)

        guarded_rmtree.avoids_symlink_attacks = rmtree.avoids_symlink_attacks
        return guarded_rmtree

    def install(self, module):
        """Binds the proxies in the module namespace, wraps the product's writes and guards the host's
        rmtree; returns a function that undoes it."""
        from brivane_standin.product import _files

        namespace = vars(module)
        saved = {name: namespace.get(name, _ABSENT) for name in ("os", "shutil", "tempfile", "threading", "open")}
        namespace.update(
            os=self.os, shutil=self.shutil, tempfile=self.tempfile, threading=self.threading, open=self.open
        )
        write, rmtree = _files.write_atomic, shutil.rmtree
        _files.write_atomic = self.product_write(write)
        shutil.rmtree = self.host_rmtree(rmtree)

        def uninstall():
            shutil.rmtree = rmtree
            _files.write_atomic = write
            for name, value in saved.items():
                if value is _ABSENT:
                    namespace.pop(name, None)
                else:
                    namespace[name] = value

        return uninstall


_ABSENT = object()


class Sandbox:
    """The folders of one jail: ``root``, the working folder WORK_DEPTH levels below it, a temporary
    folder and a protected folder."""

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.work_top = os.path.join(self.root, "work")
        self.work = os.path.join(self.work_top, *[f"w{i}" for i in range(1, WORK_DEPTH)])
        self.temp = os.path.join(self.root, "tmp")
        self.protected = os.path.join(self.root, "protected")
        for folder in (self.work, self.temp, self.protected):
            os.makedirs(folder, exist_ok=True)

    def clean(self):
        """Removes everything made since the folders were created, except in the protected folder."""
        keep = {self.root: {"work", "tmp", "protected"}}
        folder = self.root
        for part in os.path.relpath(self.work, self.root).split(os.sep):
            keep.setdefault(folder, set()).add(part)
            folder = os.path.join(folder, part)
        keep[self.work] = set()
        keep[self.temp] = set()
        for folder, kept in keep.items():
            try:
                entries = os.listdir(folder)
            except FileNotFoundError:
                entries = []
            for name in entries:
                if name not in kept:
                    path = os.path.join(folder, name)
                    if os.path.isdir(path) and not os.path.islink(path):
                        shutil.rmtree(path)
                    else:
                        os.remove(path)
        for folder in (self.work, self.temp, self.protected):
            os.makedirs(folder, exist_ok=True)

    def enter(self):
        """Makes the working folder current again (recreating it if a call removed it)."""
        os.makedirs(self.work, exist_ok=True)
        os.chdir(self.work)


class _JailedPath:
    """os.path: arithmetic and file tests forwarded."""

    _pure = {
        "join",
        "dirname",
        "basename",
        "splitext",
        "split",
        "normpath",
        "abspath",
        "normcase",
        "sep",
        "altsep",
        "extsep",
        "pardir",
        "curdir",
        "isabs",
        "commonpath",
        "relpath",
    }
    _tests = {"exists", "isdir", "isfile", "islink", "isjunction", "lexists"}

    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        if name in self._pure or name in self._tests:
            # As the host has it: isjunction only from 3.12 on.
            return getattr(os.path, name)
        return self._jail.missing("os.path", name)


class _JailedOs:
    _pure = {
        "sep",
        "altsep",
        "pathsep",
        "curdir",
        "pardir",
        "extsep",
        "linesep",
        "name",
        "fspath",
        "fsdecode",
        "fsencode",
        "getcwd",
        "getcwdb",
        "environ",
        "error",
    }

    def __init__(self, jail):
        self._jail = jail
        self.path = _JailedPath(jail)

    def __getattr__(self, name):
        if name in self._pure:
            return getattr(os, name)
        return self._jail.missing("os", name)

    def listdir(self, path="."):
        return os.listdir(self._jail.readable(path))

    def makedirs(self, name, *args, **kwargs):
        jail = self._jail
        value, place = jail.path_of(name)
        call = jail.current()
        new = not os.path.lexists(place)
        sandbox = call is not None and call.name == "solve" and new and os.path.dirname(place) == jail.temp
        if not sandbox and not jail.may_write(call, place):
            raise jail.out_of_bounds("makedirs", value, "is not named by the call")
        jail.contain(place, "makedirs")
        result = os.makedirs(value, *args, **kwargs)
        if new:
            call.created.add(place)
            if sandbox:
                with jail._lock:
                    jail.made.add(place)
        return result

    def mkdir(self, path, *args, **kwargs):
        # A new folder directly in the temporary folder: a sandbox of solve or a copy of copyDirectoryToTemp.
        jail = self._jail
        value, place = jail.path_of(path)
        call = jail.current()
        made = (
            call is not None and call.name in ("solve", "copyDirectoryToTemp") and os.path.dirname(place) == jail.temp
        )
        if not made and not jail.may_write(call, place):
            raise jail.out_of_bounds("mkdir", value, "is not named by the call")
        jail.contain(place, "mkdir")
        result = os.mkdir(value, *args, **kwargs)
        call.created.add(place)
        if made:
            with jail._lock:
                jail.made.add(place)
        return result

    def remove(self, path, *args, **kwargs):
        return os.remove(self._jail.writable(path, "remove")[0], *args, **kwargs)

    def replace(self, src, dst, *args, **kwargs):
        # A move changes both places.
        return os.replace(
            self._jail.writable(src, "replace")[0], self._jail.writable(dst, "replace")[0], *args, **kwargs
        )

    def rmdir(self, path, *args, **kwargs):
        jail = self._jail
        value, place = jail.path_of(path)
        call = jail.current()
        if call is None or place not in call.created:
            raise jail.out_of_bounds("rmdir", value, "is not a folder the call created")
        jail.contain(place, "rmdir")
        return os.rmdir(value, *args, **kwargs)

    def chdir(self, path):
        jail = self._jail
        value = os.fspath(path)
        place = os.path.realpath(os.fsdecode(value))
        call = jail.current()
        if call is None or call.removal is None or place != call.removal[0]:
            jail.out_of_bounds("chdir", value, "is not the parent of a folder the call may remove")
        return os.chdir(value)


class _JailedShutil:
    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        if name == "Error":
            return shutil.Error
        return self._jail.missing("shutil", name)

    def copy(self, src, dst, *args, **kwargs):
        jail = self._jail
        src = jail.readable(src)
        if os.path.isdir(src):
            # As the host's copy fails, before it opens its target: a folder is no file to copy.
            raise IsADirectoryError(errno.EISDIR, "Is a directory", os.fsdecode(src))
        value, place = jail.path_of(dst)
        if os.path.isdir(place):
            place = os.path.join(place, os.path.basename(os.fsdecode(src)))
        if not jail.may_write(jail.current(), place):
            raise jail.out_of_bounds("copy to", value, "is not named by the call")
        jail.contain(place, "copy")
        return shutil.copy(src, value, *args, **kwargs)

    def copytree(self, src, dst, *args, **kwargs):
        jail = self._jail
        value, place = jail.path_of(dst)
        call = jail.current()
        new = not os.path.lexists(place) or place in (call.created if call else ())
        if call is None or call.name != "copyDirectoryToTemp" or not new or os.path.dirname(place) != jail.temp:
            raise jail.out_of_bounds("copytree to", value, "is not a new folder of copyDirectoryToTemp")
        # Its own from now on, even if the copy fails before it creates it: the call may clean it up.
        call.created.add(place)
        with jail._lock:
            jail.made.add(place)
        src = jail.readable(src)
        jail.contain(place, "copytree")
        source = where(src)
        if place == source or place.startswith(source + os.sep):
            with jail._lock:
                jail.contained += 1
            raise PermissionError(errno.EACCES, "jail: a folder copied into itself", place)
        return shutil.copytree(src, value, *args, **kwargs)

    def rmtree(self, path, *args, **kwargs):
        jail = self._jail
        value, place = jail.path_of(path)
        call = jail.current()
        if call is None:
            raise jail.out_of_bounds("rmtree", value, "is removed outside any call")
        if call.removal is not None and place == call.removal[1] or place in call.created:
            pass
        elif call.name in DISPOSERS:
            with jail._lock:
                made = place in jail.made
            if not made:
                raise jail.out_of_bounds("rmtree", value, "is not a folder the module made")
        elif call.name in REMOVALS:
            raise jail.out_of_bounds("rmtree", value, "is not the folder the call names")
        else:
            raise jail.out_of_bounds("rmtree", value, "is removed by a call that removes nothing")
        jail.contain(place, "rmtree")
        return shutil.rmtree(value, *args, **kwargs)


class _JailedTempfile:
    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        return self._jail.missing("tempfile", name)

    def gettempdir(self):
        return self._jail.sandbox.temp


class _JailedThreading:
    """threading, whose threads carry the call that starts them."""

    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        return getattr(threading, name)

    def Thread(self, *args, **kwargs):  # noqa: N802 - the host's name
        if "target" in kwargs:
            kwargs["target"] = self._jail.carrying(kwargs["target"])
        elif len(args) > 1:
            args = (args[0], self._jail.carrying(args[1])) + args[2:]
        return threading.Thread(*args, **kwargs)

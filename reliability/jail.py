"""A file-system jail for the argument fuzzing of brivane_core.

The module looks up ``os``, ``shutil``, ``tempfile`` and the built-in ``open``
in its own namespace at every use, so binding proxies there routes every file
operation the module makes through :class:`Jail`:

* pure path arithmetic (``os.path.join``, ``dirname``, ``basename``,
  ``splitext``, ``abspath``, ...) is forwarded unchanged: it touches nothing;
* reading (``os.path.exists``/``isdir``/``isfile``, ``os.listdir``,
  ``open`` for reading, the source of ``shutil.copy``/``copytree``) is
  forwarded only for paths that resolve inside the sandbox;
* changing (``os.makedirs``/``remove``/``rmdir``/``chdir``, ``shutil.rmtree``,
  the target of a copy, ``open`` for writing) is forwarded only for paths
  strictly inside the sandbox and outside its protected folders (the
  stand-in installation), and never copies a folder into itself;
* everything else is refused: PermissionError for a path outside the jail,
  TypeError for a file descriptor (an int), AttributeError for a member the
  jail does not know (recorded in :attr:`Jail.unknown`, so that a new file
  operation of the module shows up instead of passing unchecked).

Paths resolve with ``os.path.realpath`` against the current directory.

The stand-in product writes some files itself (``Model.SaveToFile``,
``Model.WriteFreFile``, ``ProjectViewModel.CreateNewProject``, the solvers'
results) with plain Python file calls the jail does not see. Those paths come
from the fuzzed arguments, so the fuzzers only generate path-like strings that
are relative (no leading separator, no drive) with at most
:data:`MAX_PARENT_STEPS` ".." segments each (:func:`confine`), and they run
with the current directory :data:`WORK_DEPTH` levels deep in the sandbox: one
argument, or two joined by the module, cannot climb out of it. The harness
puts the current directory back after every call, since the removals chdir.
"""
import builtins
import errno
import os
import shutil

# Levels between the sandbox and the directory the fuzzed calls run in.
WORK_DEPTH = 6
# ".." segments one generated path may hold: two joined paths stay inside.
MAX_PARENT_STEPS = 3
assert 2 * MAX_PARENT_STEPS <= WORK_DEPTH

_real_open = builtins.open


def confine(text):
    """``text`` made safe to hand to the stand-in as a path: relative, with at
    most MAX_PARENT_STEPS ".." segments (extra ones become "x")."""
    is_bytes = isinstance(text, bytes)
    value = text.decode("latin-1") if is_bytes else text
    # No absolute path, no Windows drive or UNC prefix (harmless here, but kept relative in spirit).
    value = value.lstrip("/")
    parts = value.split("/")
    steps = 0
    for i, part in enumerate(parts):
        if part == "..":
            steps += 1
            if steps > MAX_PARENT_STEPS:
                parts[i] = "x"
    value = "/".join(parts)
    return value.encode("latin-1") if is_bytes else value


class Sandbox:
    """The folders of one jail: ``root``, the working directory WORK_DEPTH
    levels below it, a temporary folder and a protected folder."""

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
        """Makes the working directory current again (recreating it if a call removed it)."""
        os.makedirs(self.work, exist_ok=True)
        os.chdir(self.work)


class Jail:
    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.refused = 0
        self.unknown = set()
        self.os = _JailedOs(self)
        self.shutil = _JailedShutil(self)
        self.tempfile = _JailedTempfile(self)

    # -- decisions ---------------------------------------------------------------------------
    def resolve(self, path):
        """(the path as str or bytes, its real absolute form as str)."""
        value = os.fspath(path)  # TypeError for an int (a descriptor) or a non-path; __fspath__ runs here, once
        text = os.fsdecode(value) if isinstance(value, bytes) else value
        if "\0" in text:
            raise ValueError("embedded null byte")
        return value, os.path.realpath(os.path.join(os.getcwd(), text))

    def _refuse(self, path, why):
        self.refused += 1
        raise PermissionError(errno.EACCES, f"fuzzing jail: {why}", str(path))

    # Both return the path as fspath gave it, which is what gets forwarded: an object's __fspath__
    # runs once, so it cannot name one place for the check and another for the operation.
    def readable(self, path):
        value, resolved = self.resolve(path)
        root = self.sandbox.root
        if resolved != root and not resolved.startswith(root + os.sep):
            self._refuse(resolved, "outside the sandbox")
        return value

    def writable(self, path):
        value, resolved = self.resolve(path)
        root = self.sandbox.root
        if not resolved.startswith(root + os.sep):
            self._refuse(resolved, "not strictly inside the sandbox")
        protected = self.sandbox.protected
        if resolved == protected or resolved.startswith(protected + os.sep):
            self._refuse(resolved, "inside the protected folder")
        return value

    def missing(self, owner, name):
        self.unknown.add(f"{owner}.{name}")
        raise AttributeError(f"{owner}.{name} is not available in the fuzzing jail")

    # -- the built-in open -------------------------------------------------------------------
    def open(self, file, mode="r", *args, **kwargs):
        if isinstance(mode, str) and any(c in mode for c in "wax+"):
            file = self.writable(file)
        else:
            file = self.readable(file)
        return _real_open(file, mode, *args, **kwargs)

    # -- binding into the module -------------------------------------------------------------
    def install(self, module):
        """Binds the proxies in the module namespace; returns a function that undoes it."""
        namespace = vars(module)
        saved = {name: namespace.get(name, _ABSENT) for name in ("os", "shutil", "tempfile", "open")}
        namespace.update(os=self.os, shutil=self.shutil, tempfile=self.tempfile, open=self.open)

        def uninstall():
            for name, value in saved.items():
                if value is _ABSENT:
                    namespace.pop(name, None)
                else:
                    namespace[name] = value

        return uninstall


_ABSENT = object()


class _JailedPath:
    """os.path: arithmetic forwarded, file tests only inside the sandbox."""

    _pure = {"join", "dirname", "basename", "splitext", "split", "normpath", "abspath", "normcase",
             "sep", "altsep", "extsep", "pardir", "curdir", "isabs", "commonpath", "relpath"}
    _reading = {"exists", "isdir", "isfile", "islink", "getsize", "getmtime", "lexists"}

    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        if name in self._pure:
            return getattr(os.path, name)
        if name in self._reading:
            real = getattr(os.path, name)
            jail = self._jail
            return lambda path: real(jail.readable(path))
        return self._jail.missing("os.path", name)


class _JailedOs:
    _pure = {"sep", "altsep", "pathsep", "curdir", "pardir", "extsep", "linesep", "name", "fspath", "fsdecode",
             "fsencode", "getcwd", "environ", "error"}

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
        return os.makedirs(self._jail.writable(name), *args, **kwargs)

    def remove(self, path, *args, **kwargs):
        return os.remove(self._jail.writable(path), *args, **kwargs)

    def rmdir(self, path, *args, **kwargs):
        return os.rmdir(self._jail.writable(path), *args, **kwargs)

    def chdir(self, path):
        # Inside the sandbox only; the harness makes the working directory current again after each call.
        return os.chdir(self._jail.readable(path))


class _JailedShutil:
    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        if name == "Error":
            return shutil.Error
        return self._jail.missing("shutil", name)

    def copy(self, src, dst, *args, **kwargs):
        return shutil.copy(self._jail.readable(src), self._jail.writable(dst), *args, **kwargs)

    def copytree(self, src, dst, *args, **kwargs):
        src, dst = self._jail.readable(src), self._jail.writable(dst)
        source, target = self._jail.resolve(src)[1], self._jail.resolve(dst)[1]
        if target == source or target.startswith(source + os.sep):
            self._jail._refuse(target, "a folder copied into itself")
        return shutil.copytree(src, dst, *args, **kwargs)

    def rmtree(self, path, *args, **kwargs):
        return shutil.rmtree(self._jail.writable(path), *args, **kwargs)


class _JailedTempfile:
    def __init__(self, jail):
        self._jail = jail

    def __getattr__(self, name):
        return self._jail.missing("tempfile", name)

    def gettempdir(self):
        return self._jail.sandbox.temp

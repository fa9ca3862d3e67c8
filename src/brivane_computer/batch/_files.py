"""Files, folders and processes as both sides of a batch handle them, without the native module: a tree
removed, a lock taken on a file, a process told alive."""

from __future__ import annotations

import errno
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable
from typing import IO, Any, BinaryIO


def remove_tree(folder: str) -> None:
    """Deletes a folder tree, read-only files too; what cannot go now stays."""

    def make_writable_and_retry(function: Callable[[str], Any], path: str, _: Any) -> None:
        # Windows deletes a read-only file (a copy of a read-only model, say) only once it is writable.
        try:
            os.chmod(path, stat.S_IWRITE)
            function(path)
        except OSError:
            pass

    if sys.version_info >= (3, 12):
        shutil.rmtree(folder, onexc=make_writable_and_retry)
    else:
        shutil.rmtree(folder, onerror=make_writable_and_retry)


def try_lock(file: IO[bytes]) -> bool:
    """Takes the operating system's lock on ``file`` without waiting (``fcntl.flock``, or ``msvcrt.locking``
    of its first byte on Windows); whether it could. The lock goes with the file's closing or its process."""
    try:
        if sys.platform == "win32":
            import msvcrt

            msvcrt.locking(file.fileno(), msvcrt.LK_NBLCK, 1)
        else:
            import fcntl

            fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return False
    return True


def process_alive(pid: int) -> bool:
    """Whether a process ``pid`` runs on this machine (a zombie on POSIX counts, as it has not been waited
    for; a process of another user counts)."""
    if pid <= 0:
        return False
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.OpenProcess.restype = wintypes.HANDLE
        kernel32.OpenProcess.argtypes = (wintypes.DWORD, wintypes.BOOL, wintypes.DWORD)
        kernel32.GetExitCodeProcess.argtypes = (wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD))
        kernel32.CloseHandle.argtypes = (wintypes.HANDLE,)
        # PROCESS_QUERY_LIMITED_INFORMATION; os.kill(pid, 0) would end the process on Windows.
        handle = kernel32.OpenProcess(0x1000, False, pid)
        if not handle:
            return ctypes.get_last_error() == 5  # ERROR_ACCESS_DENIED: it exists
        try:
            code = wintypes.DWORD()
            still_active = 259
            return bool(kernel32.GetExitCodeProcess(handle, ctypes.byref(code))) and code.value == still_active
        finally:
            kernel32.CloseHandle(handle)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class NotRegularFile(OSError):
    """A path that names something other than a regular file (a folder, a FIFO, a device)."""


def open_regular(path: str) -> BinaryIO:
    """The regular file ``path``, opened to read. Raises ``NotRegularFile`` for anything else, without waiting on
    it (opening a FIFO to read waits for a writer)."""
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    file = os.fdopen(descriptor, "rb")
    try:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise NotRegularFile(errno.EINVAL, "not a regular file", path)
    except BaseException:
        file.close()
        raise
    return file


class TooLarge(ValueError):
    """A file larger than what it is read for can be."""


def read_regular(path: str, limit: int) -> bytes:
    """The bytes of the regular file ``path`` (``open_regular``); ``TooLarge`` for one larger than ``limit``."""
    with open_regular(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise TooLarge(f"{path} is larger than {limit} bytes")
    return data


def is_regular_or_absent(path: str) -> bool:
    """Whether ``path`` names nothing, or a regular file (a link to one counts)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:  # absent, below a file, or a link that leads nowhere
        return not os.path.lexists(path)


def write_whole(path: str, text: str) -> None:
    """Writes ``text`` to ``path`` whole or not at all: a temporary file beside it, then renamed over it, with
    the mode of the user's other files (mkstemp makes it readable by its owner alone)."""
    handle, temporary = tempfile.mkstemp(prefix=".brivane-", suffix=".partial", dir=os.path.dirname(path))
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except BaseException:
        os.remove(temporary)
        raise

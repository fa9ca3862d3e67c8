"""Files and folders as both sides of a batch handle them, without the native module: a tree removed, a lock
taken on a file."""
from __future__ import annotations

import os
import shutil
import stat
import sys
from collections.abc import Callable
from typing import IO, Any


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

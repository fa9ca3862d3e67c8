"""One batch at a time per report, per results folder and per model folder solved in place.

A batch holds a lock file for its whole life: ``<report>.lock`` beside its
report, ``LOCK`` in its results folder and in each folder that it solves in
place. It locks the lock file, never the report, which others must still
read (``fcntl.flock``; ``msvcrt.locking`` on Windows). The file holds the
holder's process id, host and batch, so that a second batch is refused
before it starts, with one line naming them. The batch removes its lock
files at its end; one whose lock can be taken was left by a batch that has
gone, and is taken over.
"""

from __future__ import annotations

import contextlib
import json
import os
import socket
import stat
import sys
import time
from collections.abc import Iterable
from typing import IO, Any

from ._files import try_lock
from ._outputs import OutputError

# The lock file of a results folder and of a folder solved in place.
LOCK = "brivane-batch.lock"
REPORT_LOCK_SUFFIX = ".lock"
# A reader that looks whether a report's batch still runs holds its lock for a moment: a batch that starts
# then tries again for this long.
_TRIES, _TRY_EVERY = 10, 0.05
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)


def report_lock(report: str) -> str:
    return report + REPORT_LOCK_SUFFIX


def holder_of(path: str) -> str | None:
    """Who holds the lock file ``path``, as its file says: "process 123 on host H"; None when there is no such
    file any more."""
    try:
        with open(path, encoding="utf-8") as f:
            owner = json.loads(f.read(4096))
        return f"process {int(owner['pid'])} on {owner['host']}"
    except FileNotFoundError:
        return None
    except (OSError, ValueError, KeyError, TypeError):
        return "a process that did not say which"


def held(path: str) -> bool:
    """Whether a batch holds the lock file ``path`` now."""
    try:
        file = open(path, "rb+")
    except OSError:
        return False
    with file:
        return not try_lock(file)


class LockFile:
    """A lock file that this batch holds until ``release``."""

    def __init__(self, path: str, what: str, batch: str) -> None:
        self.path = path
        self.file: IO[bytes] | None = self._take(what, batch)

    def _take(self, what: str, batch: str) -> IO[bytes]:
        holder, tries = "a process that did not say which", 0
        for _ in range(3 * _TRIES):
            if tries == _TRIES:
                break
            try:
                descriptor = os.open(self.path, os.O_RDWR | os.O_CREAT | _NOFOLLOW | getattr(os, "O_BINARY", 0), 0o666)
            except OSError as error:
                raise OutputError(
                    f"the lock file {self.path} of the {what} cannot be made ({error.strerror or error})"
                ) from None
            file = os.fdopen(descriptor, "r+b")
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                file.close()
                raise OutputError(f"the lock file {self.path} of the {what} is not a regular file: move it away")
            if try_lock(file):
                if self._still_at_path(file):
                    owner = {"pid": os.getpid(), "host": socket.gethostname(), "batch": batch}
                    file.truncate(0)
                    file.write(json.dumps(owner).encode("utf-8"))
                    file.flush()
                    return file
                # Its batch removed it since it was opened: take the file that is there now.
                file.close()
                continue
            file.close()
            known = holder_of(self.path)
            if known is None:
                continue  # its batch has just ended and removed it: take it now
            holder, tries = known, tries + 1
            time.sleep(_TRY_EVERY)
        raise OutputError(
            f"the {what} is in use by another batch ({holder}, lock file {self.path}): wait until it "
            "ends, or name another"
        )

    def _still_at_path(self, file: IO[bytes]) -> bool:
        try:
            here, there = os.fstat(file.fileno()), os.stat(self.path, follow_symlinks=False)
        except OSError:
            return False
        return (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino)

    def release(self) -> None:
        if self.file is None:
            return
        if sys.platform == "win32":
            # Windows removes no open file: closed first, then removed unless another batch has it open now.
            self.file.close()
            with contextlib.suppress(OSError):
                os.remove(self.path)
        else:
            # Removed while still locked, so that no other batch ever holds a lock on a file no longer there.
            with contextlib.suppress(OSError):
                if self._still_at_path(self.file):
                    os.remove(self.path)
            self.file.close()
        self.file = None


class BatchLocks:
    """The lock files of one batch, taken together and released together."""

    def __init__(self, batch: str, report: str | None, results: str | None, in_place: Iterable[str]) -> None:
        wanted: list[tuple[str, str]] = []
        if report is not None:
            wanted.append((report_lock(report), f"report {report}"))
        if results is not None:
            wanted.append((os.path.join(results, LOCK), f"results folder {results}"))
        wanted += [(os.path.join(folder, LOCK), f"model folder {folder}") for folder in sorted(set(in_place))]
        _allow_descriptors(len(wanted))
        self.held: list[LockFile] = []
        try:
            for path, what in wanted:
                self.held.append(LockFile(path, what, batch))
        except BaseException:
            self.release()
            raise

    def release(self) -> None:
        for lock in reversed(self.held):
            lock.release()
        self.held = []

    def __enter__(self) -> BatchLocks:
        return self

    def __exit__(self, *_: Any) -> None:
        self.release()


def _allow_descriptors(count: int) -> None:
    """Room for ``count`` more open files: a batch in place over many folders holds a lock in each."""
    if sys.platform == "win32":
        return
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = count + 256
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(
            resource.RLIMIT_NOFILE, (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard), hard)
        )

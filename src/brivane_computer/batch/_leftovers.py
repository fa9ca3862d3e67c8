"""The batch's folders in the system's temporary folder, and those that a batch killed outright left there.

A batch makes its folder with a name of ``PREFIX`` and, inside it, the
marker file ``LOCK``, on which it holds an operating-system lock for its
whole life (``fcntl.flock``, or ``msvcrt.locking`` on Windows). A batch that
was killed cannot remove its folder, but its lock goes with its process. A
later batch removes a folder left there only if it is a direct child of the
temporary folder, carries the marker, is not a link, and its lock can be
taken: a folder of a batch still running, or anything else, stays.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from typing import IO

from ._files import remove_tree, try_lock

LOCK = "brivane-batch.lock"


class LockedFolder:
    """A folder of the batch's in the temporary folder, locked while it lives."""

    def __init__(self, prefix: str) -> None:
        remove_leftovers(prefix)
        self.path = tempfile.mkdtemp(prefix=prefix)
        # Locked under a name that no sweep looks at, then given the marker's name: the marker is never seen
        # unlocked while its batch lives.
        partial = os.path.join(self.path, LOCK + ".partial")
        self.file: IO[bytes] | None = open(partial, "wb")
        if not try_lock(self.file):
            raise OSError(f"cannot lock {partial}")
        os.replace(partial, os.path.join(self.path, LOCK))

    def remove(self) -> None:
        if self.file is not None:
            # Unlocked by the close; Windows removes no open file.
            self.file.close()
            self.file = None
        remove_tree(self.path)


def remove_leftovers(prefix: str) -> None:
    """Removes the folders named ``prefix``... that a killed batch left in the temporary folder."""
    root = tempfile.gettempdir()
    try:
        names = [name for name in os.listdir(root) if name.startswith(prefix)]
    except OSError:
        return
    for name in names:
        folder = os.path.join(root, name)
        marker = os.path.join(folder, LOCK)
        if os.path.islink(folder) or not os.path.isdir(folder) or os.path.islink(marker) or not os.path.isfile(marker):
            continue
        try:
            file = open(marker, "rb+")
        except OSError:
            continue
        with file:
            if not try_lock(file):
                continue  # its batch still runs
        with contextlib.suppress(OSError):
            remove_tree(folder)

"""What the test areas share: the repository's folder, the module and the stand-in put back as import leaves
them, and a path object that names another path at each read."""
from pathlib import Path

from brivane_testkit.module_table import INITIAL_GLOBALS

ROOT = Path(__file__).resolve().parents[1]

_original_dlls = []


def reset_module():
    """Puts the module and the stand-in back to their state right after import."""
    import brivane_standin
    from brivane_computer import brivane_core

    brivane_standin.reset()
    # The module's own list, kept for its whole life and emptied in place.
    if not _original_dlls:
        _original_dlls.append(brivane_core._dlls_)
    dlls = _original_dlls[0]
    del dlls[:]
    for name, value in INITIAL_GLOBALS.items():
        setattr(brivane_core, name, dlls if name == "_dlls_" else value)
    # The module's private record of the folders it made: those that _tempDirectory_ (now None) does not name
    # are forgotten, and those whose deletion failed or was interrupted are deleted now, with the real host
    # modules, so that no test inherits another's.
    brivane_core.disposeSolution()


class Shifting:
    """A path object that names the next of its paths at each read of __fspath__, and counts the reads."""

    def __init__(self, *paths):
        self.paths, self.reads = list(paths), 0

    def __fspath__(self):
        self.reads += 1
        return self.paths[min(self.reads, len(self.paths)) - 1]

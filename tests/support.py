"""What every test area shares: the set-up guard's message, the module's globals as import leaves them, and
a snapshot of a folder tree."""
import os

GUARD_MESSAGE = (
    "Invalid setup! Please call 'from brivane_computer import setup_brivane_computer' "
    "and set up with Pelorix installation directory."
)

# The globals in the order the module body creates them, with their initial values.
INITIAL_GLOBALS = {
    "_validSetup_": False,
    "_validPelorix_": False,
    "_validKarvona_": False,
    "_settingsPath_": "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\Pelorix.settings",
    "_dataSourcesPath_": "C:\\ProgramData\\Brivane\\Pelorix\\Settings\\DataSources.settings",
    "_CultureInfo_": None,
    "_exePath_": None,
    "_dllPath_": None,
    "_Revav_": None,
    "_Quelbar_": None,
    "_dlls_": [],
    "_Solution_": None,
    "_dataPath_": None,
    "_projectPath_": None,
    "_Application_": None,
    "_commandController_": None,
    "_tempDirectory_": None,
}


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


def snapshot(root, skip=()):
    """{relative path: bytes, or None for a folder (its path ends with a separator)} of the tree under `root`,
    leaving out the trees under the folders in `skip`."""
    skipped = {os.path.realpath(s) for s in skip}
    found = {}
    for folder, folders, files in os.walk(root):
        folders[:] = [f for f in folders if os.path.realpath(os.path.join(folder, f)) not in skipped]
        relative = os.path.relpath(folder, root)
        for name in folders:
            found[os.path.normpath(os.path.join(relative, name)) + os.sep] = None
        for name in files:
            path = os.path.join(folder, name)
            if os.path.realpath(path) in skipped:
                continue
            with open(path, "rb") as f:
                found[os.path.normpath(os.path.join(relative, name))] = f.read()
    return found


class Shifting:
    """A path object that names the next of its paths at each read of __fspath__, and counts the reads."""

    def __init__(self, *paths):
        self.paths, self.reads = list(paths), 0

    def __fspath__(self):
        self.reads += 1
        return self.paths[min(self.reads, len(self.paths)) - 1]

"""What the test areas share: the repository's folder, the module and the stand-in put back as import leaves
them, models made by the module itself (so that their fre files are the ones it writes), and a path object that
names another path at each read."""

import os
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


def build_model(core, folder, name="study1", kind="piping", elements=1, fre="conception", thf=()):
    """Saves a model of `kind` with `elements` elements as folder/name.vokel.

    fre: "conception" (what saveVokel writes when no fre file carries the
    model's name), "own" (name.fre only), "both", or None (no fre file).
    thf: names of ".thf" files to add, each holding its own name.
    """
    os.makedirs(folder, exist_ok=True)
    model = core.createPipingVokel() if kind == "piping" else core.createStructureVokel()
    command = "ADD_PIPE" if kind == "piping" else "ADD_BEAM"
    for _ in range(elements):
        core.executeCommand(core.createCommand(command, model))
    path = os.path.join(folder, name + ".vokel")
    own = os.path.join(folder, name + ".fre")
    if fre == "both":
        core.saveVokel(model, path)  # conception.fre
    if fre in ("own", "both"):
        open(own, "w").close()  # saveVokel rewrites a fre file of the model's name
    core.saveVokel(model, path)
    if fre is None:
        os.remove(os.path.join(folder, "conception.fre"))
    for thf_name in thf:
        with open(os.path.join(folder, thf_name), "w") as f:
            f.write(thf_name)
    return path


class Shifting:
    """A path object that names the next of its paths at each read of __fspath__, and counts the reads."""

    def __init__(self, *paths):
        self.paths, self.reads = list(paths), 0

    def __fspath__(self):
        self.reads += 1
        return self.paths[min(self.reads, len(self.paths)) - 1]

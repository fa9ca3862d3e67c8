"""Resident memory across repeated solve/dispose cycles, in a process of its own.

    python bench/memory.py FIXTURES [CYCLES]

Solves a small piping model with the stand-in Quelbar solver in a sandbox and
disposes the solution, CYCLES times (default 1,000) after a warm-up, and
prints one JSON object: the resident set size before and after, in bytes.
The stand-in's call journal is emptied after each cycle: it is the stand-in's
memory, not the module's.
"""

import contextlib
import gc
import io
import json
import os
import sys

import clr  # noqa: F401  (the platform is there before the module)
import pythoncom  # noqa: F401
from brivane_standin import journal

import fixtures
from brivane_computer import brivane_core as core

WARM_UP = 100


def resident_bytes():
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main(directory, cycles):
    layout = fixtures.load(directory)
    installation = layout["installation"]
    core._settingsPath_ = installation["settings_path"]
    core._dataSourcesPath_ = installation["data_sources_path"]
    with contextlib.redirect_stdout(io.StringIO()):
        if core.setup_brivane_computer(installation["root"], core.BrivaneModule.Pelorix) is not True:
            raise RuntimeError("set-up on the stand-in installation failed")
        model_folder = os.path.join(directory, "memory_model")
        os.makedirs(model_folder, exist_ok=True)
        model_file = os.path.join(model_folder, "study.vokel")
        core.saveVokel(core.createPipingVokel(), model_file)
        with open(os.path.join(model_folder, "loads.thf"), "w", encoding="utf-8") as f:
            f.write("thf\n")

    def cycle():
        solution = core.solve(model_file, "Quelbar", True)
        if solution is None:
            raise RuntimeError("the stand-in solver gave no solution")
        del solution
        core.disposeSolution()
        journal.clear()

    for _ in range(WARM_UP):
        cycle()
    gc.collect()
    before = resident_bytes()
    for _ in range(cycles):
        cycle()
    gc.collect()
    after = resident_bytes()
    print(json.dumps({"cycles": cycles, "before": before, "after": after, "growth": after - before}))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000)

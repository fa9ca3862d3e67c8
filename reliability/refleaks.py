"""Reference-leak hunt: each test area's calls repeated on a debug interpreter.

Run confined, with an interpreter built with Py_DEBUG (Debian's python3-dbg),
the wheel's package and the stand-in on its path (scripts/refleaks.sh does
this); it refuses to run unconfined. For every
area, a round of calls runs many times to warm up, then several tracked times;
an area leaks when every tracked round grows the total reference count (the way
CPython's own leak hunter decides). Allocated memory blocks are counted over
windows of rounds instead of single rounds: the host's free lists and caches
keep settling long after warm-up and move the count by a block or two either
way, while a leak of one object per call grows every window by a block per
round; an area leaks when every tracked window grows by at least a block for
every fourth round. Prints one line per area and exits 1 on a leak.
"""

import gc
import json
import os
import shutil
import sys
import tempfile
import warnings

from brivane_testkit import confinement

confinement.require("the leak hunt")
warnings.simplefilter("ignore", RuntimeWarning)

import pythoncom  # noqa: E402
from brivane_standin import dotnet, journal  # noqa: E402
from brivane_standin.installation import create_installation  # noqa: E402
from brivane_standin.knobs import knobs  # noqa: E402

import brivane_computer as bc  # noqa: E402
from brivane_computer import brivane_core as core  # noqa: E402

WARMUP = 100
TRACKED = 8
WINDOW = 24  # rounds per tracked window of the block count


def expect_error(kind, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{function.__name__} did not raise {kind.__name__}")


class Areas:
    """One method per test area; each is one round of that area's calls."""

    def __init__(self, work):
        self.work = work
        self.installation = create_installation(os.path.join(work, "Pelorix 2031.1"))
        core._settingsPath_ = self.installation.settings_path
        core._dataSourcesPath_ = self.installation.data_sources_path
        with open(self.installation.settings_path, encoding="utf-8") as f:
            self.settings = json.load(f)

    def set_up(self):
        assert bc.setup_brivane_computer(self.installation.root, bc.BrivaneModule.Pelorix)

    def frame_and_lookups(self):
        expect_error(TypeError, bc.load_dll, 1, 2)
        expect_error(TypeError, bc.load_dll, name="x")
        expect_error(TypeError, bc.load_dll, "a", dllname="b")
        expect_error(TypeError, bc.disposeSolution, 1)
        expect_error(TypeError, bc.disposeSolution, x=1)
        expect_error(TypeError, bc.addProject, "a", "b", "c", 1, 2)
        bc.FindSolverPaths(self.settings)
        bc.FindDataProjectPaths({"CurrentDatasDirectory": "", "CurrentProjectsDirectory": ""})
        expect_error(KeyError, bc.FindSolverPaths, {"Families": [{"NoName": 1}]})
        expect_error(TypeError, bc.FindSolverPaths, {"Families": 3})
        expect_error(KeyError, bc.FindDataProjectPaths, {})
        saved = core._validSetup_
        core._validSetup_ = False
        expect_error(OSError, bc.getVokel, self.work)
        expect_error(OSError, bc.solve, "x", "Revav", True)
        core._validSetup_ = saved
        bc.find_first_file(self.work, ".nothing")
        expect_error(OSError, bc.find_first_file, os.path.join(self.work, "missing"), ".vokel")

    def setup_and_loading(self):
        self.set_up()
        bc.load_dll("Brivane.SDK.dll")
        expect_error(FileNotFoundError, bc.load_dll, "Missing.dll")
        expect_error(
            FileNotFoundError, bc.setup_brivane_computer, os.path.join(self.work, "nowhere"), bc.BrivaneModule.All
        )
        self.set_up()

    def models(self):
        study = tempfile.mkdtemp(dir=self.work)
        model = bc.createPipingVokel()
        for name in ("ADD_LAYER", "ADD_PIPE"):
            bc.executeCommand(bc.createCommand(name, model))
        model_file = os.path.join(study, "study.vokel")
        bc.saveVokel(model, model_file)
        assert bc.loadVokel(model_file) is not None
        assert bc.loadVokel(os.path.join(study, "conception.fre")) is None
        assert bc.getVokel(study) == model_file
        bc.writeFreFile(bc.createStructureVokel(), model_file)
        bc.inspectClass(model, True)
        bc.findNameSpaceAndAssembly("Model")
        bc.findNameSpaceAndAssembly("Nothing")
        expect_error(Exception, bc.createCommand, "NO_SUCH_COMMAND", model)
        shutil.rmtree(study)

    def solving(self):
        study = tempfile.mkdtemp(dir=self.work)
        model = bc.createPipingVokel()
        bc.executeCommand(bc.createCommand("ADD_PIPE", model))
        model_file = os.path.join(study, "study.vokel")
        bc.saveVokel(model, model_file)
        for solver in ("Quelbar", "Revav"):
            for sandbox in (True, False):
                assert bc.solve(model_file, solver, sandbox) is not None
        bc.solve(model_file, "quelbar", True)
        knobs.quelbar_run_result = 1
        assert bc.solve(model_file, "Quelbar", False) is None
        knobs.reset()
        bc.disposeSolution()
        temporary = bc.copyDirectoryToTemp(study)
        shutil.rmtree(temporary)
        assert bc.copyDirectoryToTemp(os.path.join(study, "missing")) == ""
        shutil.rmtree(study)

    def projects(self):
        projects = bc.addProjectFolder(self.work, "Projects")
        project = bc.addPipingProject(projects, "Plant", "First", 1920, 1080)
        assert bc.addPipingProject(projects, "Plant", "First", 1920, 1080) == ""
        assert bc.addStructureStudy(project, "Second", 1921, 1080) is not None
        assert bc.addPipingStudy(project, "Second", 1920, 1080) is None
        bc.duplicateStudy(project, "First", "Copy")
        bc.removeStudy(project, "Second")
        bc.removeStudy(project, "Unknown")
        expect_error(TypeError, bc.addPipingProject, projects, "Other", "First", "wide", 1080)
        bc.removeProject(project)
        bc.removeProjectFolder(projects)
        os.chdir(self.work)


def forget_stand_in_records():
    """The stand-in's own records (journal, per-thread state) are not the module's."""
    journal.clear()
    dotnet._reset()
    pythoncom._reset()


def measure(round_of_calls):
    def one_round():
        round_of_calls()
        forget_stand_in_records()

    for _ in range(WARMUP):
        one_round()
    # Filled in place: appending would itself add references and blocks.
    references, blocks = [0] * TRACKED, [0] * TRACKED
    references_before = blocks_before = 0
    for index in range(TRACKED):
        gc.collect()
        blocks_before = sys.getallocatedblocks()
        references_before = sys.gettotalrefcount()
        # References are exact: the window's first round is tracked on its own.
        one_round()
        gc.collect()
        references[index] = sys.gettotalrefcount() - references_before
        for _ in range(WINDOW - 1):
            one_round()
        gc.collect()
        blocks[index] = sys.getallocatedblocks() - blocks_before
    return references, blocks


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("run this with a debug interpreter (Py_DEBUG), such as Debian's python3-dbg")
    work = tempfile.mkdtemp(prefix="brivane-refleaks-")
    home = os.getcwd()
    leaking = []
    try:
        os.chdir(work)
        areas = Areas(work)
        areas.set_up()
        for name in ("frame_and_lookups", "setup_and_loading", "models", "solving", "projects"):
            references, blocks = measure(getattr(areas, name))
            leaks = all(d > 0 for d in references) or all(4 * d >= WINDOW for d in blocks)
            print(
                f"{name:18} reference growth {sum(references):+5d} {references}  "
                f"block growth {sum(blocks):+5d} {blocks}  {'LEAK' if leaks else 'ok'}",
                flush=True,
            )
            if leaks:
                leaking.append(name)
    finally:
        os.chdir(home)
        bc.disposeSolution()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{len(leaking)} leaking areas" + (f": {', '.join(leaking)}" if leaking else ""))
    sys.exit(1 if leaking else 0)


if __name__ == "__main__":
    main()

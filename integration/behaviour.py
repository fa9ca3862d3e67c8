"""The product's behaviour as the module sees it, one table for both stand-ins.

Each scenario drives the module from a completed set-up (or, for "set-up",
from the module's state right after import) and yields an observation:

steps    each call made, with what it returned (described: host values as
         they are, product objects as "<ClassName>", paths relative to the
         work folder, the installation or a sandbox) or the name of the
         exception it raised, and any line it printed;
files    every file of the work folder afterwards, with its content read
         (model and project files parsed, fre fields, results lines);
journal  the product calls, "Target.member", in order.

behaviour.json beside this file holds the observation each scenario must
give. The Python stand-in (standin/) and the C# stand-in run through the real
CLR bridge (standin-dotnet/) are both checked against it, so neither can drift
from it. It is the oracle: BRIVANE_BEHAVIOUR_DUMP=FILE writes what a run
observed to FILE as a draft, but every change to behaviour.json is made and
reviewed by hand in its diff, never copied over from a draft.
"""

import contextlib
import io
import json
import os
import pathlib
import re
import tempfile

from .product import read_fre

SANDBOX = re.compile(
    re.escape(os.path.join(tempfile.gettempdir(), "")) + r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-"
    r"[0-9a-f]{4}-[0-9a-f]{12}"
)


class Run:
    """What a scenario uses: the module, the stand-in's face and a work folder."""

    def __init__(self, bc, core, face, installation, work):
        self.bc, self.core, self.face, self.installation = bc, core, face, installation
        self.work = str(work)
        self.steps = []

    # -- recording

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def text(self, value):
        value = SANDBOX.sub("<sandbox>", value)
        return value.replace(self.work, "<work>").replace(self.installation.root, "<installation>")

    def describe(self, value):
        if value is None or isinstance(value, (bool, int, float)):
            return value
        if isinstance(value, str):
            return self.text(value)
        if isinstance(value, (tuple, list)):
            return type(value)(self.describe(v) for v in value)
        if type(value).__name__ == "BrivaneModule":
            return "BrivaneModule." + (getattr(value, "name", None) or str(value))
        return f"<{type(value).__name__}>"

    def call(self, name, *args):
        """Calls the module function `name`; records and returns its result (None when it raised)."""
        output = io.StringIO()
        result, outcome = None, None
        with contextlib.redirect_stdout(output):
            try:
                result = getattr(self.bc, name)(*args)
                outcome = self.describe(result)
            except Exception as error:  # noqa: BLE001 - the exception's name is the observation
                outcome = "raises " + type(error).__name__
                self.error = error
        step = [name, outcome]
        printed = [self.text(line) for line in output.getvalue().splitlines()]
        if printed:
            step.append(printed)
        self.steps.append(step)
        return result

    def note(self, label, value):
        """Records a value that the scenario reads itself."""
        self.steps.append([label, self.describe(value)])
        return value

    # -- helpers

    def model(self, kind="piping", commands=(), folder="Study1", name="Study1"):
        """A saved model made by the module; returns (model, file)."""
        os.makedirs(self.path(folder), exist_ok=True)
        model = self.call("createPipingVokel" if kind == "piping" else "createStructureVokel")
        for command in commands:
            self.call("executeCommand", self.call("createCommand", command, model))
        path = self.path(folder, name + ".vokel")
        self.call("saveVokel", model, path)
        return model, path

    def files(self):
        found = {}
        for root, _, names in os.walk(self.work):
            for name in names:
                path = os.path.join(root, name)
                found[os.path.relpath(path, self.work)] = self.content(path)
        return found

    def content(self, path):
        ending = os.path.splitext(path)[1]
        with open(path, "rb") as f:
            data = f.read()
        if ending in (".vokel", ".project"):
            try:
                return self.describe_json(json.loads(data))
            except ValueError:
                return f"<{len(data)} bytes>"
        if ending == ".fre":
            return {k: self.text(v) for k, v in read_fre(path).items()}
        if ending in (".qres", ".rres"):
            return [self.text(line) for line in data.decode().splitlines()]
        return f"<{len(data)} bytes>"

    def describe_json(self, value):
        if isinstance(value, dict):
            return {k: self.describe_json(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self.describe_json(v) for v in value]
        return self.describe(value)

    def observation(self):
        return {"steps": self.steps, "files": self.files(), "journal": self.face.names()}


# ---- the scenarios ---------------------------------------------------------------


def set_up(run):
    run.call("setup_brivane_computer", run.installation.root, run.bc.BrivaneModule.Pelorix)
    run.note("_dlls_", list(run.core._dlls_))
    run.note("flags", (run.core._validSetup_, run.core._validPelorix_, run.core._validKarvona_))


def new_models(run):
    for function in ("createPipingVokel", "createStructureVokel"):
        model = run.call(function)
        run.note("Module", model.Module)
        run.note("layers", [layer.Name for layer in model.Layers])
        run.note("Elements", list(model.Elements))
        run.note("FilePath", model.FilePath)


def commands_and_save(run):
    model, _ = run.model(commands=("ADD_LAYER", "ADD_PIPE", "ADD_PIPE", "ADD_LAYER"))
    run.note("layers", list(model.Layers.Names))
    run.note("Elements", list(model.Elements))
    run.note("FilePath", model.FilePath)


def structure_commands(run):
    model, _ = run.model(kind="structure", commands=("ADD_BEAM", "ADD_BEAM", "CLEAR", "ADD_BEAM"))
    run.note("Elements", list(model.Elements))


def wrong_commands(run):
    model = run.call("createPipingVokel")
    command = run.call("createCommand", "ADD_BEAM", model)
    run.call("executeCommand", command)
    run.call("createCommand", "NOPE", model)
    run.call("createCommand", "ADD_PIPE", None)
    run.note("Elements", list(model.Elements))


def load_models(run):
    _, path = run.model(commands=("ADD_PIPE",))
    loaded = run.call("loadVokel", path)
    run.note("layers", [layer.Name for layer in loaded.Layers])
    run.note("Elements", list(loaded.Elements))
    run.note("Module", loaded.Module)
    with open(run.path("Study1", "broken.vokel"), "w") as f:
        f.write("not a model")
    run.call("loadVokel", run.path("Study1", "broken.vokel"))
    run.call("loadVokel", run.path("Study1", "missing.vokel"))
    run.call("getVokel", run.path("Study1"))


def fre_with_other_settings(run):
    from brivane_standin.installation import create_installation

    create_installation(
        run.installation.root,
        extensions=False,
        settings_overrides={
            ("QUELBAR", "ROTATION UNITS"): "Milliradians",
            ("QUELBAR", "MAX FIELD LENGTH"): "120",
            ("QUELBAR", "GENERATE DLCS INLINE"): "1",
            ("PELORIX", "USE IMPERIAL NOTATION"): "1",
        },
    )
    model = run.call("createStructureVokel")
    os.makedirs(run.path("Study1"))
    with open(run.path("Study1", "Study1.fre"), "w") as f:
        f.write("old")
    run.call("writeFreFile", model, run.path("Study1", "Study1.vokel"))


def settings_controller_missing(run):
    run.face.set_knob("settings_controller_missing", True)
    model = run.call("createPipingVokel")
    os.makedirs(run.path("Study1"))
    run.call("writeFreFile", model, run.path("Study1", "Study1.vokel"))


def class_inspection(run):
    model = run.call("createPipingVokel")
    command = run.call("createCommand", "ADD_PIPE", model)
    run.call("inspectClass", model, True)
    run.call("inspectClass", type(model), False)
    run.call("inspectClass", command, False)
    run.call("inspectClass", model.Layers, False)
    run.call("inspectClass", list(model.Layers)[0], False)


def class_lookup(run):
    for name in (
        "Model",
        "Version",
        "QuelbarSolver",
        "RevavSolver",
        "StudyModel",
        "ProjectViewModel",
        "BrivaneModule",
        "Solution",
        "SettingsController",
        "LayerCollection",
        "Nope",
    ):
        run.call("findNameSpaceAndAssembly", name)


def solve_in_place(solver, kind="piping", commands=("ADD_PIPE",)):
    def scenario(run):
        _, path = run.model(kind=kind, commands=commands)
        with open(run.path("Study1", "loads.THF"), "w") as f:
            f.write("thf")
        solution = run.call("solve", path, solver, False)
        if solution is not None:
            run.note("Summary", solution.Summary)
            run.note("open results", run.face.open_result_files())
        run.call("disposeSolution")
        run.note("open results after disposal", run.face.open_result_files())
        if solution is not None:
            run.note("IsDisposed", solution.IsDisposed)

    return scenario


def solve_in_sandbox(solver):
    def scenario(run):
        _, path = run.model(commands=("ADD_PIPE", "ADD_PIPE"))
        solution = run.call("solve", path, solver, True)
        sandbox = run.core._tempDirectory_
        run.note("sandbox", sandbox)
        run.note("sandbox files", sorted(os.listdir(sandbox)))
        run.note("Summary", solution.Summary)
        run.call("disposeSolution")
        run.note("sandbox left", os.path.exists(sandbox))

    return scenario


def solver_failures(run):
    _, path = run.model(commands=("ADD_PIPE",))
    model = run.call("loadVokel", path)
    folder = run.path("Study1")
    run.face.set_knob("quelbar_run_result", 2)
    run.call("solvePipingModel", model, path, "Quelbar", folder)
    run.face.set_knob("quelbar_run_result", None)
    run.face.set_knob("quelbar_analysis_model_missing", True)
    run.call("solvePipingModel", model, path, "Quelbar", folder)
    run.face.set_knob("revav_run_result", 7)
    run.call("solvePipingModel", model, path, "Revav", folder)
    run.call("solvePipingModel", model, path, "Nope", folder)
    run.call("solveStructureModel", model, path, folder)


def revav_without_elements(run):
    _, path = run.model(kind="structure")
    run.call("solve", path, "Revav", False)


def projects(run):
    folder = run.call("addProjectFolder", run.work, "Projects")
    project = run.call("addPipingProject", folder, "Plant1", "Piping study", 1920, 1080)
    run.call("addPipingProject", folder, "Plant1", "Other", 1920, 1080)
    study = run.call("addStructureStudy", project, "Structure study", 1280, 1024)
    run.note("study", (study.Name, study.Module, study.X, study.Y))
    run.call("addPipingStudy", project, "Structure study", 1280, 1024)
    run.call("addPipingStudy", run.path("Projects", "Nowhere"), "Other", 1280, 1024)
    run.call("duplicateStudy", project, "Piping study", "Piping study B")
    run.call("duplicateStudy", project, "Piping study", "Structure study")
    run.call("duplicateStudy", project, "Unknown", "Copy")
    run.call("removeStudy", project, "Structure study")
    run.call("removeStudy", project, "Unknown")


def last_study(run):
    project = run.call("addStructureProject", run.work, "Plant2", "Only", 800, 600)
    run.call("removeStudy", project, "Only")


def failed_project(run):
    run.call("addPipingProject", run.work, "Plant3", "   ", 800, 600)
    run.note("folder left", os.path.exists(run.path("Plant3")))


def removals(run):
    project = run.call("addPipingProject", run.work, "Plant4", "Study", 800, 600)
    run.call("removeProject", project)
    run.note("project left", os.path.exists(project))


def error_passes_through(run):
    model = run.call("createPipingVokel")
    os.makedirs(run.path("Study1"))
    error = run.face.exception("IOException")("the disk is gone")
    run.face.raise_on("Model.SaveToFile", error)
    run.call("saveVokel", model, run.path("Study1", "Study1.vokel"))
    run.note("same exception", run.face.same_object(run.error, error))


def failing_writes(run):
    model, path = run.model(commands=("ADD_PIPE",))
    run.call("executeCommand", run.call("createCommand", "ADD_PIPE", model))
    run.face.set_knob("fail_writes_after", 10)
    run.call("saveVokel", model, path)


SCENARIOS = {
    "set-up": (set_up, False),
    "new models": (new_models, True),
    "commands and save": (commands_and_save, True),
    "structure commands": (structure_commands, True),
    "wrong commands": (wrong_commands, True),
    "load models": (load_models, True),
    "fre with other settings": (fre_with_other_settings, True),
    "settings controller missing": (settings_controller_missing, True),
    "class inspection": (class_inspection, True),
    "class lookup": (class_lookup, True),
    "quelbar in place": (solve_in_place("Quelbar"), True),
    "revav in place": (solve_in_place("Revav"), True),
    "revav on a structure": (solve_in_place("Revav", "structure", ("ADD_BEAM", "ADD_BEAM")), True),
    "quelbar on a structure": (solve_in_place("Quelbar", "structure", ("ADD_BEAM",)), True),
    "quelbar in a sandbox": (solve_in_sandbox("Quelbar"), True),
    "revav in a sandbox": (solve_in_sandbox("Revav"), True),
    "solver failures": (solver_failures, True),
    "revav without elements": (revav_without_elements, True),
    "projects": (projects, True),
    "last study": (last_study, True),
    "failed project": (failed_project, True),
    "removals": (removals, True),
    "error passes through": (error_passes_through, True),
    "failing writes": (failing_writes, True),
}


EXPECTED = json.loads((pathlib.Path(__file__).parent / "behaviour.json").read_text(encoding="utf-8"))

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

EXPECTED holds the observation each scenario must give. The Python stand-in
(standin/) and the C# stand-in run through the real CLR bridge
(standin-dotnet/) are both checked against it, so neither can drift from it.
"""
import contextlib
import io
import json
import os
import re
import tempfile

from .product import read_fre

SANDBOX = re.compile(re.escape(os.path.join(tempfile.gettempdir(), "")) + r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-"
                     r"[0-9a-f]{4}-[0-9a-f]{12}")


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
    create_installation(run.installation.root, extensions=False, settings_overrides={
        ("QUELBAR", "ROTATION UNITS"): "Milliradians", ("QUELBAR", "MAX FIELD LENGTH"): "120",
        ("QUELBAR", "GENERATE DLCS INLINE"): "1", ("PELORIX", "USE IMPERIAL NOTATION"): "1"})
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
    for name in ("Model", "Version", "QuelbarSolver", "RevavSolver", "StudyModel", "ProjectViewModel",
                 "BrivaneModule", "Solution", "SettingsController", "LayerCollection", "Nope"):
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


# ---- what each scenario must give -----------------------------------------------------

EXPECTED = {
    'set-up': {'steps': [['setup_brivane_computer', True, ['Brivane.SDK.dll loaded', 'Brivane.Pelorix.Core.dll loaded']],
               ['_dlls_', ['Brivane.SDK.dll', 'Brivane.Pelorix.Core.dll']],
               ['flags', [True, True, True]]],
     'files': {},
     'journal': ['BrivaneApplication..ctor', 'CommandController..ctor', 'CommandController.SetApplication']},
    'new models': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['Module', 'BrivaneModule.Pelorix'],
               ['layers', ['0']],
               ['Elements', []],
               ['FilePath', None],
               ['createStructureVokel', '<Model>'],
               ['Module', 'BrivaneModule.Karvona'],
               ['layers', ['0']],
               ['Elements', []],
               ['FilePath', None]],
     'files': {},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'Model.get_Layers',
                 'Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'Model.get_Layers']},
    'commands and save': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['layers', ['0', 'Layer 1', 'Layer 2']],
               ['Elements', ['PIPE-1', 'PIPE-2']],
               ['FilePath', '<work>/Study1/Study1.vokel']],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0', 'Layer 1', 'Layer 2'],
                                       'elements': ['PIPE-1', 'PIPE-2']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0", "Layer 1", "Layer 2"]',
                                         'elements': '2',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model.get_Layers']},
    'structure commands': {'steps': [['createStructureVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['Elements', ['BEAM-1']]],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Karvona',
                                       'layers': ['0'],
                                       'elements': ['BEAM-1']},
               'Study1/conception.fre': {'module': 'Karvona',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile']},
    'wrong commands': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', 'raises InvalidOperationException'],
               ['createCommand', 'raises ArgumentException'],
               ['createCommand', 'raises ArgumentNullException'],
               ['Elements', []]],
     'files': {},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CommandController.set_model',
                 'CustomCommand..ctor']},
    'load models': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['loadVokel', '<Model>'],
               ['layers', ['0']],
               ['Elements', ['PIPE-1']],
               ['Module', 'BrivaneModule.Pelorix'],
               ['loadVokel', None],
               ['loadVokel', None],
               ['getVokel', '<work>/Study1/Study1.vokel']],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'},
               'Study1/broken.vokel': '<11 bytes>'},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_Layers',
                 'Model..ctor',
                 'Model.LoadFromFile']},
    'fre with other settings': {'steps': [['createStructureVokel', '<Model>', ['Brivane.Helper.dll loaded']], ['writeFreFile', None]],
     'files': {'Study1/Study1.fre': {'module': 'Karvona',
                                     'layers': '["0"]',
                                     'elements': '0',
                                     'frefile': "'<work>/Study1/Study1.fre'",
                                     'a2': 'None',
                                     'maxLength': '120',
                                     'rotation': '2',
                                     'a5': 'False',
                                     'imperial': 'True',
                                     'inlineRestraints': 'True',
                                     'inlineDLCS': 'True',
                                     'inlineINDI': 'True',
                                     'a10': 'False',
                                     'a11': 'None',
                                     'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile']},
    'settings controller missing': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']], ['writeFreFile', None]],
     'files': {},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController']},
    'class inspection': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['inspectClass',
                '{\n'
                '  "Type": "Model",\n'
                '  "Namespace": "Brivane.Pelorix.Core",\n'
                '  "Properties": [\n'
                '    {\n'
                '      "Name": "CalculationCode",\n'
                '      "CanWrite": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "Elements",\n'
                '      "CanWrite": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "FilePath",\n'
                '      "CanWrite": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "Layers",\n'
                '      "CanWrite": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "Module",\n'
                '      "CanWrite": false\n'
                '    }\n'
                '  ],\n'
                '  "Methods": [\n'
                '    {\n'
                '      "Name": "LoadFromFile",\n'
                '      "Static": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "SaveToFile",\n'
                '      "Static": false\n'
                '    },\n'
                '    {\n'
                '      "Name": "WriteFreFile",\n'
                '      "Static": false\n'
                '    }\n'
                '  ]\n'
                '}'],
               ['inspectClass',
                '{"Type":"Model","Namespace":"Brivane.Pelorix.Core","Properties":[{"Name":"CalculationCode","CanWrite":false},{"Name":"Elements","CanWrite":false},{"Name":"FilePath","CanWrite":false},{"Name":"Layers","CanWrite":false},{"Name":"Module","CanWrite":false}],"Methods":[{"Name":"LoadFromFile","Static":false},{"Name":"SaveToFile","Static":false},{"Name":"WriteFreFile","Static":false}]}'],
               ['inspectClass',
                '{"Type":"CustomCommand","Namespace":"Brivane.Pelorix.Core","Properties":[{"Name":"Name","CanWrite":false},{"Name":"NeedToReloadModelAfterCommand","CanWrite":true},{"Name":"NeedToSaveModelAfterCommand","CanWrite":true}],"Methods":[]}'],
               ['inspectClass',
                '{"Type":"LayerCollection","Namespace":"Brivane.Pelorix.Core","Properties":[{"Name":"Count","CanWrite":false},{"Name":"Names","CanWrite":false}],"Methods":[{"Name":"Add","Static":false}]}'],
               ['inspectClass',
                '{"Type":"Layer","Namespace":"Brivane.Pelorix.Core","Properties":[{"Name":"Name","CanWrite":false}],"Methods":[]}']],
     'files': {},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'BrivaneClassInspector.ExportObjectToJson',
                 'BrivaneClassInspector.ExportObjectToJson',
                 'BrivaneClassInspector.ExportObjectToJson',
                 'Model.get_Layers',
                 'BrivaneClassInspector.ExportObjectToJson',
                 'Model.get_Layers',
                 'BrivaneClassInspector.ExportObjectToJson']},
    'class lookup': {'steps': [['findNameSpaceAndAssembly', ['Brivane.Pelorix.Core', 'Brivane.Pelorix.Core']],
               ['findNameSpaceAndAssembly', ['Brivane.Helper', 'Brivane.Helper']],
               ['findNameSpaceAndAssembly', ['Brivane.Quelbar.Core', 'Brivane.Quelbar.Core']],
               ['findNameSpaceAndAssembly', ['Brivane.Revav.Core', 'Brivane.Revav.Core']],
               ['findNameSpaceAndAssembly', ['Brivane.Pelorix.Project', 'Brivane.Pelorix.Project']],
               ['findNameSpaceAndAssembly', ['Brivane.Pelorix.Project', 'Brivane.Pelorix.Project']],
               ['findNameSpaceAndAssembly', ['Brivane.SDK', 'Brivane.SDK']],
               ['findNameSpaceAndAssembly', ['Brivane.Pelorix.Core', 'Brivane.Pelorix.Core']],
               ['findNameSpaceAndAssembly', [None, None]],
               ['findNameSpaceAndAssembly', [None, None]],
               ['findNameSpaceAndAssembly', [None, None]]],
     'files': {},
     'journal': ['BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName',
                 'BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName']},
    'quelbar in place': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Quelbar.Core.dll loaded']],
               ['Summary', 'Quelbar solution of a piping model (1 elements): <work>/Study1/conception.qres'],
               ['open results', ['<work>/Study1/conception.qres']],
               ['disposeSolution', None],
               ['open results after disposal', []],
               ['IsDisposed', True]],
     'files': {'Study1/loads.THF': '<3 bytes>',
               'Study1/conception.qres': ['STANDIN-QUELBAR-RESULTS 1',
                                          'solver=<installation>/Solvers/quelbar_solver.exe',
                                          'model=piping',
                                          'elements=1',
                                          'input=<work>/Study1/conception.fre',
                                          'thf=<work>/Study1/loads.THF',
                                          'ignoreWarnings=True',
                                          'maxLength=80',
                                          'rotation=1'],
               'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'QuelbarSolver..ctor',
                 'QuelbarSolver.set_IgnoreWarnings',
                 'QuelbarSolver.Run',
                 'QuelbarSolver.GetAnalysisModel',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'revav in place': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Revav.Core.dll loaded']],
               ['Summary', 'Revav solution of a piping model (1 elements): <work>/Study1/Study1.rres'],
               ['open results', ['<work>/Study1/Study1.rres']],
               ['disposeSolution', None],
               ['open results after disposal', []],
               ['IsDisposed', True]],
     'files': {'Study1/loads.THF': '<3 bytes>',
               'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1']},
               'Study1/Study1.rres': ['STANDIN-REVAV-RESULTS 1',
                                      'solver=<installation>/Solvers/revav_solver.exe',
                                      'model=piping',
                                      'elements=1',
                                      'input=<work>/Study1/Study1.vokel',
                                      'thf=<work>/Study1/loads.THF',
                                      'ignoreWarnings=True',
                                      'culture=en-US',
                                      'uiCulture=en-US',
                                      'maxDisplacement=0.125'],
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Run',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'revav on a structure': {'steps': [['createStructureVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Revav.Core.dll loaded']],
               ['Summary', 'Revav solution of a structure model (2 elements): <work>/Study1/Study1.rres'],
               ['open results', ['<work>/Study1/Study1.rres']],
               ['disposeSolution', None],
               ['open results after disposal', []],
               ['IsDisposed', True]],
     'files': {'Study1/loads.THF': '<3 bytes>',
               'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Karvona',
                                       'layers': ['0'],
                                       'elements': ['BEAM-1', 'BEAM-2']},
               'Study1/Study1.rres': ['STANDIN-REVAV-RESULTS 1',
                                      'solver=<installation>/Solvers/revav_solver.exe',
                                      'model=structure',
                                      'elements=2',
                                      'input=<work>/Study1/Study1.vokel',
                                      'thf=<work>/Study1/loads.THF',
                                      'ignoreWarnings=True',
                                      'culture=en-US',
                                      'uiCulture=en-US',
                                      'maxDisplacement=0.250'],
               'Study1/conception.fre': {'module': 'Karvona',
                                         'layers': '["0"]',
                                         'elements': '2',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Run',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'quelbar on a structure': {'steps': [['createStructureVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Revav.Core.dll loaded']],
               ['Summary', 'Revav solution of a structure model (1 elements): <work>/Study1/Study1.rres'],
               ['open results', ['<work>/Study1/Study1.rres']],
               ['disposeSolution', None],
               ['open results after disposal', []],
               ['IsDisposed', True]],
     'files': {'Study1/loads.THF': '<3 bytes>',
               'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Karvona',
                                       'layers': ['0'],
                                       'elements': ['BEAM-1']},
               'Study1/Study1.rres': ['STANDIN-REVAV-RESULTS 1',
                                      'solver=<installation>/Solvers/revav_solver.exe',
                                      'model=structure',
                                      'elements=1',
                                      'input=<work>/Study1/Study1.vokel',
                                      'thf=<work>/Study1/loads.THF',
                                      'ignoreWarnings=True',
                                      'culture=en-US',
                                      'uiCulture=en-US',
                                      'maxDisplacement=0.125'],
               'Study1/conception.fre': {'module': 'Karvona',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Run',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'quelbar in a sandbox': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Quelbar.Core.dll loaded']],
               ['sandbox', '<sandbox>'],
               ['sandbox files', ['Study1.vokel', 'conception.fre', 'conception.qres']],
               ['Summary', 'Quelbar solution of a piping model (2 elements): <sandbox>/conception.qres'],
               ['disposeSolution', None],
               ['sandbox left', False]],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1', 'PIPE-2']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '2',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'QuelbarSolver..ctor',
                 'QuelbarSolver.set_IgnoreWarnings',
                 'QuelbarSolver.Run',
                 'QuelbarSolver.GetAnalysisModel',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'revav in a sandbox': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['solve', '<Solution>', ['Brivane.Revav.Core.dll loaded']],
               ['sandbox', '<sandbox>'],
               ['sandbox files', ['Study1.rres', 'Study1.vokel', 'conception.fre']],
               ['Summary', 'Revav solution of a piping model (2 elements): <sandbox>/Study1.rres'],
               ['disposeSolution', None],
               ['sandbox left', False]],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1', 'PIPE-2']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '2',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Run',
                 'Solution..ctor',
                 'Solution.Dispose']},
    'solver failures': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['loadVokel', '<Model>'],
               ['solvePipingModel', None, ['Brivane.Quelbar.Core.dll loaded']],
               ['solvePipingModel', None],
               ['solvePipingModel', None, ['Brivane.Revav.Core.dll loaded']],
               ['solvePipingModel', None, ["Invalid solver name. use 'Revav' or 'Quelbar'."]],
               ['solveStructureModel', 'raises OSError']],
     'files': {'Study1/conception.qres': ['STANDIN-QUELBAR-RESULTS 1',
                                          'solver=<installation>/Solvers/quelbar_solver.exe',
                                          'model=piping',
                                          'elements=1',
                                          'input=<work>/Study1/conception.fre',
                                          'thf=',
                                          'ignoreWarnings=True',
                                          'maxLength=80',
                                          'rotation=1'],
               'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'QuelbarSolver..ctor',
                 'QuelbarSolver.set_IgnoreWarnings',
                 'QuelbarSolver.Run',
                 'QuelbarSolver.Dispose',
                 'Model.get_CalculationCode',
                 'QuelbarSolver..ctor',
                 'QuelbarSolver.set_IgnoreWarnings',
                 'QuelbarSolver.Run',
                 'QuelbarSolver.GetAnalysisModel',
                 'QuelbarSolver.Dispose',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Run',
                 'RevavSolver.Dispose',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode']},
    'revav without elements': {'steps': [['createStructureVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['saveVokel', None],
               ['solve', None, ['Brivane.Revav.Core.dll loaded']]],
     'files': {'Study1/Study1.vokel': {'standin-model': 1, 'module': 'Karvona', 'layers': ['0'], 'elements': []},
               'Study1/conception.fre': {'module': 'Karvona',
                                         'layers': '["0"]',
                                         'elements': '0',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'Model..ctor',
                 'Model.LoadFromFile',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'Model.get_CalculationCode',
                 'RevavSolver..ctor',
                 'RevavSolver.set_IgnoreWarnings',
                 'RevavSolver.BuildAnalysisModel',
                 'RevavSolver.Dispose']},
    'projects': {'steps': [['addProjectFolder', '<work>/Projects'],
               ['addPipingProject', '<work>/Projects/Plant1', ['Brivane.Pelorix.Project.dll loaded']],
               ['addPipingProject', ''],
               ['addStructureStudy', '<StudyModel>'],
               ['study', ['Structure study', 'BrivaneModule.Karvona', 490.0, 312.0]],
               ['addPipingStudy', None],
               ['addPipingStudy', None],
               ['duplicateStudy', None, ['Brivane.Helper.dll loaded']],
               ['duplicateStudy', None],
               ['duplicateStudy', None],
               ['removeStudy', None],
               ['removeStudy', None]],
     'files': {'Projects/Plant1/Plant1.project': {'standin-project': 1,
                                                  'name': 'Plant1',
                                                  'text': '',
                                                  'current': 'Piping study B',
                                                  'studies': [{'name': 'Piping study',
                                                               'module': 'Pelorix',
                                                               'x': 810.0,
                                                               'y': 340.0},
                                                              {'name': 'Piping study B',
                                                               'module': 'Pelorix',
                                                               'x': 810.0,
                                                               'y': 340.0},
                                                              {'name': 'Piping study - Copy',
                                                               'module': 'Pelorix',
                                                               'x': 810.0,
                                                               'y': 340.0}]}},
     'journal': ['ProjectViewModel..ctor',
                 'ProjectViewModel.CreateNewProject',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel.AddEmptyStudy',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.DuplicateCurrentStudy',
                 'ProjectViewModel.GetCurrentStudyName',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.RenameCurrentStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.DuplicateCurrentStudy',
                 'ProjectViewModel.GetCurrentStudyName',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.RenameCurrentStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.DeleteCurrentStudy',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy']},
    'last study': {'steps': [['addStructureProject', '<work>/Plant2', ['Brivane.Pelorix.Project.dll loaded']],
               ['removeStudy', 'raises InvalidOperationException']],
     'files': {'Plant2/Plant2.project': {'standin-project': 1,
                                         'name': 'Plant2',
                                         'text': '',
                                         'current': 'Only',
                                         'studies': [{'name': 'Only',
                                                      'module': 'Karvona',
                                                      'x': 250.0,
                                                      'y': 100.0}]}},
     'journal': ['ProjectViewModel..ctor',
                 'ProjectViewModel.CreateNewProject',
                 'ProjectViewModel..ctor',
                 'ProjectViewModel.LoadFromFile',
                 'ProjectViewModel.GetStudy',
                 'ProjectViewModel.SetCurrentStudy',
                 'ProjectViewModel.DeleteCurrentStudy']},
    'failed project': {'steps': [['addPipingProject', 'raises ArgumentException', ['Brivane.Pelorix.Project.dll loaded']],
               ['folder left', False]],
     'files': {},
     'journal': ['ProjectViewModel..ctor', 'ProjectViewModel.CreateNewProject']},
    'removals': {'steps': [['addPipingProject', '<work>/Plant4', ['Brivane.Pelorix.Project.dll loaded']],
               ['removeProject', None],
               ['project left', False]],
     'files': {},
     'journal': ['ProjectViewModel..ctor', 'ProjectViewModel.CreateNewProject']},
    'error passes through': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['saveVokel', 'raises IOException'],
               ['same exception', True]],
     'files': {},
     'journal': ['Model..ctor', 'Layer..ctor', 'Model.get_Layers', 'LayerCollection.Add', 'Model.SaveToFile']},
    'failing writes': {'steps': [['createPipingVokel', '<Model>', ['Brivane.Helper.dll loaded']],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', None],
               ['createCommand', '<CustomCommand>'],
               ['executeCommand', None],
               ['saveVokel', 'raises IOException']],
     'files': {'Study1/Study1.vokel': {'standin-model': 1,
                                       'module': 'Pelorix',
                                       'layers': ['0'],
                                       'elements': ['PIPE-1']},
               'Study1/conception.fre': {'module': 'Pelorix',
                                         'layers': '["0"]',
                                         'elements': '1',
                                         'frefile': "'<work>/Study1/conception.fre'",
                                         'a2': 'None',
                                         'maxLength': '80',
                                         'rotation': '1',
                                         'a5': 'False',
                                         'imperial': 'False',
                                         'inlineRestraints': 'True',
                                         'inlineDLCS': 'False',
                                         'inlineINDI': 'True',
                                         'a10': 'False',
                                         'a11': 'None',
                                         'a12': 'None'}},
     'journal': ['Model..ctor',
                 'Layer..ctor',
                 'Model.get_Layers',
                 'LayerCollection.Add',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile',
                 'QBLibrary.Initialize',
                 'BrivaneApplication.GetSettingsController',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'SettingsController.GetSettingValue',
                 'Model.WriteFreFile',
                 'CommandController.set_model',
                 'CustomCommand..ctor',
                 'CustomCommand.set_NeedToReloadModelAfterCommand',
                 'CustomCommand.set_NeedToSaveModelAfterCommand',
                 'CommandController.AddCommand',
                 'Model.SaveToFile']},
}

"""The module through the CLR bridge: the demo's workflow end to end, assembly
loading, cultures and threads, value conversions and exceptions.

Where the real bridge and the Python stand-in of it differ, the test says how,
per bridge (``face.bridge``).
"""

import contextlib
import os
import threading

import pytest
from brivane_testkit.trees import tree_contents

MAIN = threading.get_ident()


class CountingClr:
    """Stands for the module's clr and counts AddReference calls by file name."""

    def __init__(self, real):
        self.real, self.references = real, []

    def AddReference(self, name):
        self.references.append(os.path.basename(name))
        return self.real.AddReference(name)

    def __getattr__(self, name):
        return getattr(self.real, name)


@pytest.fixture
def counting_clr(core):
    spy = CountingClr(core.clr)
    core.clr = spy
    return spy


@contextlib.contextmanager
def worker_errors():
    """Collects the exceptions that end worker threads."""
    seen = []
    previous, threading.excepthook = threading.excepthook, lambda hook: seen.append(hook.exc_value)
    try:
        yield seen
    finally:
        threading.excepthook = previous


def saved_model(core, folder, kind="piping", elements=1, name="Study1"):
    os.makedirs(folder, exist_ok=True)
    model = core.createPipingVokel() if kind == "piping" else core.createStructureVokel()
    for _ in range(elements):
        core.executeCommand(core.createCommand("ADD_PIPE" if kind == "piping" else "ADD_BEAM", model))
    path = os.path.join(folder, name + ".vokel")
    core.saveVokel(model, path)
    return model, path


# ---- the bridge itself -------------------------------------------------------------------


def test_the_chosen_bridge_is_in_use(face):
    import clr

    if face.bridge == "mono":
        from importlib.metadata import version

        import pythonnet

        assert not clr.__file__.endswith("clr.py")  # made by the runtime, not a source file
        assert pythonnet.get_runtime_info().kind.lower() == "mono"
        assert version("pythonnet") == "3.0.5"
    else:
        assert clr.__file__.endswith(os.path.join("standin", "clr.py"))


# ---- the demo's workflow -----------------------------------------------------------------


def test_the_demo_workflow(core, bc, face, installation, tmp_path, capsys, counting_clr):
    assert bc.setup_brivane_computer(installation.root, bc.BrivaneModule.Pelorix) is True
    assert (core._validSetup_, core._validPelorix_, core._validKarvona_) == (True, True, True)
    assert core._Revav_ == installation.revav_solver and core._Quelbar_ == installation.quelbar_solver
    assert (core._dataPath_, core._projectPath_) == (installation.data_dir, installation.projects_dir)

    study = tmp_path / "Study1"
    model, model_file = saved_model(core, str(study), elements=1)
    model.Layers  # the collection is reachable and iterable through the bridge
    assert sorted(os.listdir(study)) == ["Study1.vokel", "conception.fre"]
    loaded = bc.loadVokel(model_file)
    assert len(list(loaded.Layers)) == 1 and list(loaded.Elements) == ["PIPE-1"]
    assert bc.getVokel(str(study)) == model_file
    assert bc.inspectClass(loaded, False).startswith('{"Type":"Model","Namespace":"Brivane.Pelorix.Core"')
    assert bc.findNameSpaceAndAssembly("Model") == ("Brivane.Pelorix.Core", "Brivane.Pelorix.Core")

    for solver, results in (("Quelbar", "conception.qres"), ("Revav", "Study1.rres")):
        before = tree_contents(str(study))
        solution = bc.solve(model_file, solver, True)
        sandbox = core._tempDirectory_
        assert solution.Summary.endswith(os.path.join(sandbox, results))
        assert tree_contents(str(study)) == before
        bc.disposeSolution()
        assert not os.path.exists(sandbox) and solution.IsDisposed
        solution = bc.solve(model_file, solver, False)
        assert solution.ResultsFile == str(study / results)
    bc.disposeSolution()
    assert face.open_result_files() == []

    projects = bc.addProjectFolder(str(tmp_path), "Projects")
    project = bc.addPipingProject(projects, "Plant1", "Piping study", 1920, 1080)
    project_file = os.path.join(project, "Plant1.project")
    from .product import read_current_study, read_project

    assert read_project(project_file) == ["Piping study"]
    study_model = bc.addStructureStudy(project, "Structure study", 1920, 1080)
    assert study_model.Name == "Structure study"
    bc.duplicateStudy(project, "Piping study", "Piping study B")
    bc.removeStudy(project, "Structure study")
    assert read_project(project_file) == ["Piping study", "Piping study B"]
    assert read_current_study(project_file) == "Piping study B"
    bc.removeProject(project)
    assert not os.path.exists(project)

    # Every assembly file was referenced once, however many calls needed it.
    files = [name for name in counting_clr.references if name.endswith(".dll")]
    assert sorted(files) == sorted(
        f"{n}.dll"
        for n in (
            "Brivane.SDK",
            "Brivane.Helper",
            "Brivane.Pelorix.Core",
            "Brivane.Pelorix.Project",
            "Brivane.Quelbar.Core",
            "Brivane.Revav.Core",
        )
    )
    lines = capsys.readouterr().out.splitlines()
    loaded_lines = [line for line in lines if line.endswith(" loaded")]
    assert len(loaded_lines) == len(set(loaded_lines)) == 6
    assert sorted(core._dlls_) == sorted(set(core._dlls_))


def test_each_assembly_is_in_the_process_once(core, bc, face, ready, tmp_path):
    _, path = saved_model(core, str(tmp_path / "S"))
    bc.solve(path, "Quelbar", False)
    bc.solve(path, "Revav", False)
    bc.addPipingProject(str(tmp_path), "P", "S", 800, 600)
    names = face.loaded_assemblies()
    assert len(names) == len(set(names)) == 6


# ---- cultures and threads ----------------------------------------------------------------


def test_set_up_gives_the_calling_thread_the_en_us_culture(bc, face, installation):
    assert face.current_cultures() == ("fr-FR", "fr-FR")
    bc.setup_brivane_computer(installation.root, bc.BrivaneModule.Pelorix)
    assert face.current_cultures() == ("en-US", "en-US")


def test_solver_runs_happen_on_a_worker_thread_inside_a_balanced_apartment(core, bc, face, ready, tmp_path):
    import pythoncom

    _, path = saved_model(core, str(tmp_path / "S"), elements=3)
    for solver in ("Quelbar", "Revav"):
        face.clear_journal()
        assert bc.solve(path, solver, False) is not None
        runs = [c for c in face.calls() if c.target.endswith("Solver")]
        com = face.com_calls()
        assert [c.member for c in com] == ["CoInitialize", "CoUninitialize"]
        worker = com[0].thread
        assert worker != MAIN and com[1].thread == worker
        assert {c.thread for c in runs} == {worker}
        assert pythoncom.open_apartments() == {}
    # The Revav run gave its worker the set-up culture; the caller keeps its own.
    with open(tmp_path / "S" / "Study1.rres") as f:
        results = f.read().splitlines()
    assert "culture=en-US" in results and "uiCulture=en-US" in results
    assert "maxDisplacement=0.375" in results
    assert face.current_cultures() == ("en-US", "en-US")


def test_a_revav_run_without_a_set_up_culture_ends_in_its_worker(core, bc, face, ready, tmp_path):
    """The run gives its worker the culture of _CultureInfo_; None is refused by .NET there."""
    _, path = saved_model(core, str(tmp_path / "S"), elements=3)
    core._CultureInfo_ = None
    with worker_errors() as seen:
        assert bc.solve(path, "Revav", False) is None
    assert [type(e).__name__ for e in seen] == ["ArgumentNullException"]
    assert not os.path.exists(tmp_path / "S" / "Study1.rres")


# ---- values across the bridge ------------------------------------------------------------


def test_fre_options_cross_as_none_ints_and_bools(core, bc, face, ready, tmp_path):
    model = bc.createPipingVokel()
    (tmp_path / "S").mkdir()
    face.clear_journal()
    bc.writeFreFile(model, str(tmp_path / "S" / "S.vokel"))
    (call,) = [c for c in face.calls() if c.name == "Model.WriteFreFile"]
    fre = str(tmp_path / "S" / "conception.fre")
    assert call.args == (fre, None, 80, 1, False, False, True, False, True, False, None, None)
    assert [type(a).__name__ for a in call.args[2:6]] == ["int", "int", "bool", "bool"]


def test_study_placement_is_a_float_point(core, bc, ready, tmp_path):
    project = bc.addPipingProject(str(tmp_path), "P", "S", 1921, 1081)
    study = bc.addStructureStudy(project, "T", 1921, 1081)
    assert (study.X, study.Y) == (810.5, 340.5)
    assert isinstance(study.X, float)


def test_product_enumeration_members_go_back_unchanged(core, bc, face, ready):
    model = bc.createStructureVokel()
    (ctor,) = [c for c in face.calls() if c.name == "Model..ctor"]
    (member,) = ctor.args
    assert type(member).__name__ == "BrivaneModule"
    assert str(model.Module).endswith("Karvona")
    again = bc.createVokel(member)
    assert str(again.Module).endswith("Karvona")
    if face.bridge == "mono":
        # Every attribute access makes a new wrapper: members compare equal, never identical.
        from Brivane.SDK import BrivaneModule

        assert BrivaneModule.Karvona == BrivaneModule.Karvona
        assert BrivaneModule.Karvona is not BrivaneModule.Karvona
        assert int(BrivaneModule.All) == -1 and BrivaneModule.Pelorix != 0


@pytest.mark.parametrize("value", ["module enumeration", 0])
def test_create_vokel_takes_only_the_product_enumeration(core, bc, face, ready, value):
    argument = bc.BrivaneModule.Pelorix if value == "module enumeration" else value
    with pytest.raises(Exception) as caught:
        bc.createVokel(argument)
    # The real bridge finds no constructor for a host value; the stand-in's Model rejects it itself.
    expected = {"mono": "TypeError", "standin": "ArgumentException"}[face.bridge]
    assert type(caught.value).__name__ == expected


def test_inspecting_a_host_value(bc, face, ready):
    described = bc.inspectClass(5, False)
    # The real bridge hands a host int to an `object` parameter as its own wrapper type.
    expected = {
        "mono": '"Type":"PyInt","Namespace":"Python.Runtime"',
        "standin": '"Type":"int","Namespace":"builtins"',
    }[face.bridge]
    assert expected in described


def test_a_class_goes_to_the_inspector_as_a_type(bc, face, ready):
    from Brivane.Pelorix.Core import Solution

    described = bc.inspectClass(Solution, False)
    assert described.startswith('{"Type":"Solution","Namespace":"Brivane.Pelorix.Core"')


# ---- exceptions --------------------------------------------------------------------------


def _solved(core, bc, tmp_path):
    _, path = saved_model(core, str(tmp_path / "S"))
    bc.solve(path, "Quelbar", False)


RAISING = [
    (
        "BrivaneApplication..ctor",
        lambda core, bc, inst, tmp: bc.setup_brivane_computer(inst.root, bc.BrivaneModule.All),
    ),
    ("Model.SaveToFile", lambda core, bc, inst, tmp: saved_model(core, str(tmp / "S"))),
    ("QBLibrary.Initialize", lambda core, bc, inst, tmp: saved_model(core, str(tmp / "S"))),
    ("CustomCommand..ctor", lambda core, bc, inst, tmp: bc.createCommand("ADD_PIPE", bc.createPipingVokel())),
    ("CommandController.AddCommand", lambda core, bc, inst, tmp: saved_model(core, str(tmp / "S"))),
    ("BrivaneClassInspector.ExportObjectToJson", lambda core, bc, inst, tmp: bc.inspectClass(None, True)),
    (
        "BrivaneClassInspector.FindNamespaceAndAssemblyFromClassName",
        lambda core, bc, inst, tmp: bc.findNameSpaceAndAssembly("Model"),
    ),
    ("ProjectViewModel.CreateNewProject", lambda core, bc, inst, tmp: bc.addPipingProject(str(tmp), "P", "S", 9, 9)),
    ("Solution.Dispose", lambda core, bc, inst, tmp: (_solved(core, bc, tmp), bc.disposeSolution())),
]


@pytest.mark.parametrize("name, action", RAISING, ids=[name for name, _ in RAISING])
def test_a_product_exception_surfaces_unchanged(core, bc, face, installation, tmp_path, name, action, request):
    if name != "BrivaneApplication..ctor":
        request.getfixturevalue("ready")
    error = face.exception("InvalidOperationException")(f"{name} failed")
    face.raise_on(name, error)
    with pytest.raises(Exception) as caught:
        action(core, bc, installation, tmp_path)
    assert type(caught.value).__name__ == "InvalidOperationException"
    assert face.same_object(caught.value, error)
    assert caught.value.Message == f"{name} failed"
    if name == "ProjectViewModel.CreateNewProject":
        assert not os.path.exists(tmp_path / "P")
    if name == "Solution.Dispose":
        core._Solution_ = None


def test_an_exception_of_the_worker_ends_the_run_only(core, bc, face, ready, tmp_path, capsys):
    import pythoncom

    _, path = saved_model(core, str(tmp_path / "S"))
    face.raise_on("QuelbarSolver.Run", face.exception("InvalidOperationException")("the solver crashed"))
    with worker_errors() as seen:
        assert bc.solve(path, "Quelbar", False) is None
    assert [type(e).__name__ for e in seen] == ["InvalidOperationException"]
    assert pythoncom.open_apartments() == {}
    assert [c.member for c in face.com_calls()][-1] == "CoUninitialize"


def test_a_model_the_product_cannot_load_is_no_model(core, bc, face, ready, tmp_path):
    _, path = saved_model(core, str(tmp_path / "S"))
    face.raise_on("Model.LoadFromFile", face.exception("InvalidDataException")("bad"))
    assert bc.loadVokel(path) is None


def test_a_file_that_is_no_assembly(core, bc, face, ready, installation):
    with pytest.raises(Exception) as caught:
        bc.load_dll("Brivane.Quelbar.lib")
    assert (
        type(caught.value).__name__
        in {"mono": ("BadImageFormatException", "FileLoadException"), "standin": ("BadImageFormatException",)}[
            face.bridge
        ]
    )
    assert "Brivane.Quelbar.lib" not in core._dlls_


@pytest.mark.skipif(os.environ.get("BRIVANE_BRIDGE") != "mono", reason="needs the real bridge")
def test_the_real_bridge_imports_what_the_standin_imports_for_it():
    # The stand-in's clr imports these standard modules because the real one does.
    import subprocess
    import sys

    from brivane_standin import bridge_imports

    script = "import sys; import clr; print(' '.join(sorted(sys.modules)))"
    environment = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    loaded = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", script], env=environment, check=True, capture_output=True, text=True
    ).stdout.split()
    assert set(bridge_imports.MODULES) <= set(loaded)

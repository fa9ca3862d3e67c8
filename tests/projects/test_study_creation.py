"""addStudy, addPipingStudy and addStructureStudy: a new, empty study in an existing project."""

import os
import shutil

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.dotnet import Point
from brivane_standin.knobs import knobs
from brivane_standin.product import read_project
from brivane_standin.product.pelorix_project import ProjectViewModel, StudyModel
from brivane_testkit.module_table import GUARD_MESSAGE

import brivane_computer

from .support_projects import (
    PIPING,
    PROJECT_DLL,
    SDK_DLL,
    STRUCTURE,
    events,
    make_project,
    names,
    product_names,
    read_bytes,
)

ENTRY_POINTS = [("addPipingStudy", PIPING), ("addStructureStudy", STRUCTURE)]


def add(core, function, directory, study="Study2", width=1920, height=1080, module=PIPING):
    if function == "addStudy":
        return core.addStudy(directory, study, width, height, module)
    return getattr(core, function)(directory, study, width, height)


@pytest.fixture
def project(ready, tmp_path):
    """A project Plant1 with the study Study1 made by the product; its folder."""
    folder = str(tmp_path / "Work" / "Plant1")
    make_project(folder, "Study1")
    return folder


# --- the project file -------------------------------------------------------


@pytest.mark.parametrize(
    "folder_name, file_name",
    [
        ("Plant1", "Plant1.project"),
        ("Plant.old", "Plant.project"),
        ("Plant.v1.2", "Plant.v1.project"),
        ("Plant.", "Plant.project"),
        (".hidden", ".hidden.project"),
        ("Plant 1 (b)", "Plant 1 (b).project"),
    ],
)
def test_the_project_file_is_named_after_the_folder_without_its_extension(
    core, ready, tmp_path, folder_name, file_name
):
    folder = str(tmp_path / "Work" / folder_name)
    written = make_project(folder, "Study1")  # <folder name>.project, as the product does
    if file_name != folder_name + ".project":
        # the product's own file is not the one looked for ...
        assert core.addPipingStudy(folder, "Study2", 1920, 1080) is None
        assert product_names() == []
        shutil.copy(written, os.path.join(folder, file_name))  # ... but a file under the computed name is
        journal.clear()
    study = core.addPipingStudy(folder, "Study2", 1920, 1080)
    assert isinstance(study, StudyModel) and study.Name == "Study2"
    assert journal.calls("ProjectViewModel", "LoadFromFile")[0].args == (os.path.join(folder, file_name),)
    assert read_project(os.path.join(folder, file_name)) == ["Study1", "Study2"]


@pytest.mark.parametrize("function", ["addStudy", "addPipingStudy", "addStructureStudy"])
def test_a_trailing_separator_looks_for_a_bare_dot_project(core, project, loads, function):
    before = read_bytes(os.path.join(project, "Plant1.project"))
    assert add(core, function, project + os.sep) is None
    assert product_names() == [] and PROJECT_DLL in loads
    assert read_bytes(os.path.join(project, "Plant1.project")) == before
    # the file looked for is "<folder>/.project"
    shutil.copy(os.path.join(project, "Plant1.project"), os.path.join(project, ".project"))
    journal.clear()
    assert add(core, function, project + os.sep).Name == "Study2"
    assert journal.calls("ProjectViewModel", "LoadFromFile")[0].args == (os.path.join(project, ".project"),)


@pytest.mark.parametrize("function", ["addStudy", "addPipingStudy", "addStructureStudy"])
@pytest.mark.parametrize("missing", ["folder", "file"])
def test_a_missing_project_gives_none_after_loading(core, ready, tmp_path, loads, imports, function, missing):
    folder = tmp_path / "Work" / "Plant1"
    if missing == "file":
        folder.mkdir(parents=True)
    assert add(core, function, str(folder)) is None
    # the assembly was loaded and the classes imported before the disk was looked at
    assert loads[-1] == PROJECT_DLL
    assert imports[-2:] == [("Brivane.Pelorix.Project", ("ProjectViewModel",)), ("System.Windows", ("Point",))]
    assert names("clr")[-1:] == ["clr.AddReference"]
    assert product_names() == []


def test_only_existence_of_the_project_file_is_tested(core, ready, tmp_path):
    folder = tmp_path / "Work" / "Plant1"
    (folder / "Plant1.project").mkdir(parents=True)
    with pytest.raises(dotnet.UnauthorizedAccessException):
        core.addPipingStudy(str(folder), "Study2", 1920, 1080)
    assert product_names() == ["ProjectViewModel..ctor", "ProjectViewModel.LoadFromFile"]


# --- an existing study ---------------------------------------------------------


@pytest.mark.parametrize("function", ["addStudy", "addPipingStudy", "addStructureStudy"])
@pytest.mark.parametrize("width, height", [(1920, 1080), ("not", "numbers")])
def test_an_existing_study_name_adds_nothing(core, project, function, width, height):
    project_file = os.path.join(project, "Plant1.project")
    before = read_bytes(project_file)
    assert add(core, function, project, study="Study1", width=width, height=height) is None
    assert product_names() == ["ProjectViewModel..ctor", "ProjectViewModel.LoadFromFile", "ProjectViewModel.GetStudy"]
    assert read_bytes(project_file) == before


# --- the calls made -------------------------------------------------------------


@pytest.fixture
def get_study_results(monkeypatch):
    """Every object GetStudy handed out, in order."""
    real = ProjectViewModel.GetStudy
    handed = []

    def GetStudy(self, name):
        handed.append(real(self, name))
        return handed[-1]

    monkeypatch.setattr(ProjectViewModel, "GetStudy", GetStudy)
    return handed


@pytest.mark.parametrize("function, module", ENTRY_POINTS)
def test_the_calls_in_order(core, project, loads, imports, get_study_results, function, module):
    project_file = os.path.join(project, "Plant1.project")
    study = add(core, function, project, study="Study2")
    assert loads == [SDK_DLL, PROJECT_DLL]
    assert imports == [
        ("Brivane.SDK", ("BrivaneModule",)),
        ("Brivane.Pelorix.Project", ("ProjectViewModel",)),
        ("System.Windows", ("Point",)),
    ]
    assert events("ProjectViewModel", "Point")[:4] == [
        ("ProjectViewModel..ctor", (None,), {}),
        ("ProjectViewModel.LoadFromFile", (project_file,), {}),
        ("ProjectViewModel.GetStudy", ("Study2",), {}),
        ("Point..ctor", (810.0, 340.0), {}),
    ]
    (name, args, kwargs), last = events("ProjectViewModel", "Point")[4:]
    assert name == "ProjectViewModel.AddEmptyStudy" and kwargs == {}
    point, passed_module, study_name = args  # point first, name last
    assert isinstance(point, Point) and (point.X, point.Y) == (810.0, 340.0)
    assert passed_module is module and passed_module is not brivane_computer.BrivaneModule[module.name]
    assert study_name == "Study2"
    assert last == ("ProjectViewModel.GetStudy", ("Study2",), {})
    # what comes back is the object of the second GetStudy
    assert get_study_results[0] is None and study is get_study_results[1]
    assert (study.Name, study.Module, study.X, study.Y) == ("Study2", module, 810.0, 340.0)
    assert read_project(project_file) == ["Study1", "Study2"]


def test_the_answer_is_whatever_the_second_get_study_gives(core, project, monkeypatch):
    answers = iter([None, "anything at all"])
    monkeypatch.setattr(ProjectViewModel, "GetStudy", lambda self, name: next(answers))
    assert core.addPipingStudy(project, "Study2", 1920, 1080) == "anything at all"


@pytest.mark.parametrize(
    "first, added",
    [
        (type("Equal", (), {"__eq__": lambda self, other: other is None, "__hash__": None})(), True),
        (type("Unequal", (), {"__eq__": lambda self, other: False, "__hash__": None})(), False),
        (0, False),
        ("", False),
    ],
    ids=["equal-to-None", "unequal-to-None", "zero", "empty-string"],
)
def test_an_existing_study_is_whatever_compares_unequal_to_none(core, project, monkeypatch, first, added):
    answers = iter([first, "second"])
    monkeypatch.setattr(ProjectViewModel, "GetStudy", lambda self, name: next(answers))
    assert core.addPipingStudy(project, "Study2", 1920, 1080) == ("second" if added else None)
    assert ("ProjectViewModel.AddEmptyStudy" in product_names()) is added


@pytest.mark.parametrize("function, module", ENTRY_POINTS)
def test_the_entry_points_delegate_to_add_study(core, ready, monkeypatch, function, module):
    received, answer = [], object()

    def addStudy(*args, **kwargs):
        received.append((args, kwargs))
        return answer

    monkeypatch.setattr(core, "addStudy", addStudy)
    width, height = object(), object()
    assert getattr(core, function)("dir", "study", width, height) is answer
    ((args, kwargs),) = received
    assert kwargs == {} and args[:4] == ("dir", "study", width, height) and args[3] is height
    assert args[4] is module


@pytest.mark.parametrize(
    "width, height, x, y",
    [
        (1920, 1080, 810.0, 340.0),
        (1921, 1081, 810.5, 340.5),
        (200, 100, -50.0, -150.0),
        (300.0, 400, 0.0, 0.0),
        (2560.5, 1440, 1130.25, 520.0),
    ],
)
def test_the_placement_point(core, project, width, height, x, y):
    study = core.addStructureStudy(project, "Study2", width, height)
    assert journal.calls("Point", ".ctor")[0].args == (x, y)
    assert (study.X, study.Y) == (x, y) and type(study.X) is float and type(study.Y) is float


@pytest.mark.parametrize("width, height", [("1920", 1080), (1920, None), ({}, {}), (1920, "1080")])
def test_non_numeric_screen_sizes_after_loading_before_adding(core, project, width, height):
    before = read_bytes(os.path.join(project, "Plant1.project"))
    with pytest.raises(TypeError):
        core.addPipingStudy(project, "Study2", width, height)
    assert product_names() == ["ProjectViewModel..ctor", "ProjectViewModel.LoadFromFile", "ProjectViewModel.GetStudy"]
    assert read_bytes(os.path.join(project, "Plant1.project")) == before


@pytest.mark.parametrize(
    "failing",
    [
        "ProjectViewModel..ctor",
        "ProjectViewModel.LoadFromFile",
        "ProjectViewModel.GetStudy",
        "Point..ctor",
        "ProjectViewModel.AddEmptyStudy",
    ],
)
def test_a_product_failure_propagates(core, project, failing):
    error = dotnet.InvalidOperationException("refused")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.addPipingStudy(project, "Study2", 1920, 1080)
    assert raised.value is error and names()[-1] == failing
    assert read_project(os.path.join(project, "Plant1.project")) == ["Study1"]


def test_add_study_passes_any_module_value_to_the_product(core, project):
    with pytest.raises(dotnet.ArgumentException, match="Invalid Brivane module"):
        core.addStudy(project, "Study2", 1920, 1080, brivane_computer.BrivaneModule.Karvona)
    assert journal.calls("ProjectViewModel", "AddEmptyStudy")[0].args[1] is brivane_computer.BrivaneModule.Karvona


# --- guards ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, cleared",
    [
        ("addPipingStudy", "_validSetup_"),
        ("addPipingStudy", "_validPelorix_"),
        ("addStructureStudy", "_validSetup_"),
        ("addStructureStudy", "_validKarvona_"),
    ],
)
def test_the_guards_come_before_anything(core, project, loads, imports, function, cleared):
    setattr(core, cleared, False)
    with pytest.raises(EnvironmentError) as raised:
        getattr(core, function)(project, "Study2", "x", None)
    assert str(raised.value) == GUARD_MESSAGE
    assert loads == [] and imports == [] and journal.names() == []
    assert read_project(os.path.join(project, "Plant1.project")) == ["Study1"]


@pytest.mark.parametrize(
    "function, cleared", [("addPipingStudy", "_validKarvona_"), ("addStructureStudy", "_validPelorix_")]
)
def test_each_entry_point_asks_only_for_its_own_module(core, project, function, cleared):
    setattr(core, cleared, False)
    assert add(core, function, project).Name == "Study2"


def test_add_study_has_no_guard_of_its_own(core, project, monkeypatch):
    core.addPipingStudy(project, "Study2", 1920, 1080)  # the assemblies are in
    core._validSetup_ = core._validPelorix_ = core._validKarvona_ = False
    monkeypatch.setattr(core, "load_dll", lambda dllname: None)
    assert core.addStudy(project, "Study3", 1920, 1080, STRUCTURE).Module is STRUCTURE
    assert read_project(os.path.join(project, "Plant1.project")) == ["Study1", "Study2", "Study3"]

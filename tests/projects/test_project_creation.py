"""addProject, addPipingProject and addStructureProject: a new project folder filled by the product."""

import os

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.dotnet import Point
from brivane_standin.knobs import knobs
from brivane_standin.product import read_current_study, read_project
from brivane_standin.product.pelorix_project import ProjectViewModel
from brivane_testkit.module_table import GUARD_MESSAGE

import brivane_computer

from .support_projects import PIPING, PROJECT_DLL, SDK_DLL, STRUCTURE, events, make_project, names, product_names, tree

ENTRY_POINTS = [("addPipingProject", PIPING), ("addStructureProject", STRUCTURE)]


def add(core, function, directory, name="Plant1", study="Study1", width=1920, height=1080, module=PIPING):
    if function == "addProject":
        return core.addProject(directory, name, study, width, height, module)
    return getattr(core, function)(directory, name, study, width, height)


@pytest.fixture
def work(tmp_path):
    folder = tmp_path / "Work"
    folder.mkdir()
    return str(folder)


# --- an existing project directory ------------------------------------------


@pytest.mark.parametrize("function", ["addProject", "addPipingProject", "addStructureProject"])
@pytest.mark.parametrize("existing", ["folder", "file", "folder with a project"])
def test_an_existing_project_directory_is_left_alone(core, ready, work, loads, function, existing):
    target = os.path.join(work, "Plant1")
    if existing == "file":
        with open(target, "w") as f:
            f.write("plain file")
    elif existing == "folder":
        os.makedirs(os.path.join(target, "inside"))
    else:
        make_project(target, "Old")
    before = tree(work)
    # even a broken product is not reached
    knobs.raise_on = {
        name: dotnet.Exception("broken")
        for name in ("clr.AddReference", "ProjectViewModel..ctor", "ProjectViewModel.CreateNewProject", "Point..ctor")
    }
    assert add(core, function, work) == ""
    assert tree(work) == before
    assert loads == ([] if function == "addProject" else [SDK_DLL])
    assert names("ProjectViewModel", "Point", "clr") == []


def test_add_project_on_an_existing_directory_needs_no_set_up(core, work, loads):
    os.makedirs(os.path.join(work, "Plant1"))
    assert core.addProject(work, "Plant1", "Study1", 1920, 1080, None) == ""
    assert loads == [] and journal.names() == []


# --- where the project goes ------------------------------------------------


@pytest.mark.parametrize("function", ["addPipingProject", "addStructureProject"])
@pytest.mark.parametrize(
    "parent, name",
    [
        ("", "Plant1"),
        ("new/chain", "Plant1"),
        ("trailing" + os.sep, "Plant1"),
        ("", "Plant 2 (copy)"),
    ],
)
def test_the_project_directory_is_the_joined_path(core, ready, work, function, parent, name):
    directory = os.path.join(work, parent) if parent else work
    result = add(core, function, directory, name=name, study="First")
    assert type(result) is str and result == os.path.join(directory, name)
    # the product names its project file after the folder
    assert sorted(os.listdir(result)) == [name + ".project"]
    project_file = os.path.join(result, name + ".project")
    assert read_project(project_file) == ["First"] and read_current_study(project_file) == "First"


def test_a_relative_parent_is_kept_relative(core, ready, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert core.addPipingProject("Work", "Plant1", "First", 1920, 1080) == os.path.join("Work", "Plant1")
    assert read_project(str(tmp_path / "Work" / "Plant1" / "Plant1.project")) == ["First"]


# --- the calls made -----------------------------------------------------------


@pytest.mark.parametrize("function, module", ENTRY_POINTS)
def test_the_calls_in_order(core, ready, work, loads, imports, function, module):
    result = add(core, function, work, study="First")
    project_dll = os.path.join(ready.extensions, PROJECT_DLL)
    project = os.path.join(work, "Plant1")
    assert events()[:5] == [
        ("brivane_core.load_dll", (SDK_DLL,), {}),
        ("brivane_core.load_dll", (PROJECT_DLL,), {}),
        ("clr.AddReference", (project_dll,), {}),
        ("ProjectViewModel..ctor", (None,), {}),
        ("Point..ctor", (810.0, 340.0), {}),
    ]
    ((name, args, kwargs),) = events()[5:]
    assert name == "ProjectViewModel.CreateNewProject" and kwargs == {}
    assert len(args) == 5
    assert args[0] == project == result
    assert isinstance(args[1], Point) and (args[1].X, args[1].Y) == (810.0, 340.0)
    assert args[2] == "" and args[3] == "First"
    # the product's own enumeration member, not the module's
    assert args[4] is module and args[4] is not brivane_computer.BrivaneModule[module.name]
    assert imports == [
        ("Brivane.SDK", ("BrivaneModule",)),
        ("Brivane.Pelorix.Project", ("ProjectViewModel",)),
        ("System.Windows", ("Point",)),
    ]


@pytest.mark.parametrize("function, module", ENTRY_POINTS)
def test_the_entry_points_delegate_to_add_project(core, ready, monkeypatch, function, module):
    received, answer = [], object()

    def addProject(*args, **kwargs):
        received.append((args, kwargs))
        return answer

    monkeypatch.setattr(core, "addProject", addProject)
    width, height = object(), object()
    assert getattr(core, function)("dir", "name", "study", width, height) is answer
    ((args, kwargs),) = received
    assert kwargs == {} and args[:5] == ("dir", "name", "study", width, height) and args[4] is height
    assert args[5] is module


@pytest.mark.parametrize(
    "width, height, x, y",
    [
        (1920, 1080, 810.0, 340.0),
        (1921, 1081, 810.5, 340.5),
        (200, 300, -50.0, -50.0),
        (300, 400, 0.0, 0.0),
        (0, 0, -150.0, -200.0),
        (-100, -1, -200.0, -200.5),
        (1920.5, 1080.25, 810.25, 340.125),
        (10**6 + 1, 10**6, 499850.5, 499800.0),
    ],
)
def test_the_placement_point(core, ready, work, width, height, x, y):
    add(core, "addPipingProject", work, width=width, height=height)
    point = journal.calls("Point", ".ctor")[0].args
    assert point == (x, y) and all(type(v) is float for v in point)
    assert journal.calls("ProjectViewModel", "CreateNewProject")[0].args[1].X == x


def test_the_products_project_file_holds_the_first_study(core, ready, work):
    project = core.addStructureProject(work, "Frame", "Beams", 1280, 1024)
    view = ProjectViewModel(None)
    view.LoadFromFile(os.path.join(project, "Frame.project"))
    study = view.GetStudy("Beams")
    assert (study.Module, study.X, study.Y) == (STRUCTURE, 490.0, 312.0)


# --- guards ------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, cleared",
    [
        ("addPipingProject", "_validSetup_"),
        ("addPipingProject", "_validPelorix_"),
        ("addStructureProject", "_validSetup_"),
        ("addStructureProject", "_validKarvona_"),
    ],
)
def test_the_guards_come_before_anything(core, ready, tmp_path, loads, function, cleared):
    setattr(core, cleared, False)
    with pytest.raises(EnvironmentError) as raised:
        getattr(core, function)(str(tmp_path / "new" / "Work"), "Plant1", None, "x", "y")
    assert str(raised.value) == GUARD_MESSAGE
    assert not (tmp_path / "new").exists()
    assert loads == [] and journal.names() == []


@pytest.mark.parametrize(
    "function, cleared", [("addPipingProject", "_validKarvona_"), ("addStructureProject", "_validPelorix_")]
)
def test_each_entry_point_asks_only_for_its_own_module(core, ready, work, function, cleared):
    setattr(core, cleared, False)
    assert add(core, function, work) == os.path.join(work, "Plant1")


@pytest.mark.parametrize("function", ["addPipingProject", "addStructureProject"])
def test_the_guards_before_set_up(core, tmp_path, function):
    with pytest.raises(EnvironmentError, match="^Invalid setup!"):
        add(core, function, str(tmp_path / "Work"))
    assert os.listdir(tmp_path) == []


def test_add_project_has_no_guard_of_its_own(core, tmp_path, loads):
    # No set-up: the folder is made, then loading the assembly meets load_dll's guard,
    # and the folder made for nothing is taken away again (its parents stay).
    parent = tmp_path / "new" / "Work"
    with pytest.raises(EnvironmentError) as raised:
        core.addProject(str(parent), "Plant1", "Study1", 1920, 1080, PIPING)
    assert str(raised.value) == GUARD_MESSAGE
    assert loads == [PROJECT_DLL]
    assert parent.is_dir() and os.listdir(parent) == []


# --- failures while filling the folder ----------------------------------------


@pytest.mark.parametrize("width, height", [("1920", 1080), (1920, None), (None, None), ([], 1080), (1920, "1080")])
def test_non_numeric_screen_sizes(core, ready, work, width, height):
    with pytest.raises(TypeError):
        add(core, "addPipingProject", work, width=width, height=height)
    # raised after the folder was made and the view model constructed
    assert product_names() == ["ProjectViewModel..ctor"]
    # the folder is taken away again, so a retry is not answered ""
    assert os.listdir(work) == []
    journal.clear()
    assert add(core, "addPipingProject", work) == os.path.join(work, "Plant1")
    assert product_names() == ["ProjectViewModel..ctor", "Point..ctor", "ProjectViewModel.CreateNewProject"]


@pytest.mark.parametrize(
    "failing", ["clr.AddReference", "ProjectViewModel..ctor", "Point..ctor", "ProjectViewModel.CreateNewProject"]
)
@pytest.mark.parametrize("function", ["addProject", "addPipingProject", "addStructureProject"])
def test_a_product_failure_propagates_and_takes_the_empty_folder_away(core, ready, work, failing, function):
    error = dotnet.IOException("The device is not ready.")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.IOException) as raised:
        add(core, function, work)
    assert raised.value is error
    assert names()[-1] == failing
    assert os.listdir(work) == []
    knobs.reset()
    assert add(core, function, work) == os.path.join(work, "Plant1")
    assert read_project(os.path.join(work, "Plant1", "Plant1.project")) == ["Study1"]


def test_a_failing_product_write_leaves_no_folder(core, ready, work):
    knobs.fail_writes_after = 10
    with pytest.raises(dotnet.IOException):
        core.addPipingProject(work, "Plant1", "Study1", 1920, 1080)
    assert os.listdir(work) == []


def test_the_modules_own_enumeration_is_refused_by_the_product(core, ready, work):
    with pytest.raises(dotnet.ArgumentException, match="Invalid Brivane module"):
        core.addProject(work, "Plant1", "Study1", 1920, 1080, brivane_computer.BrivaneModule.Pelorix)
    assert journal.calls("ProjectViewModel", "CreateNewProject")[0].args[4] is brivane_computer.BrivaneModule.Pelorix
    assert os.listdir(work) == []


@pytest.mark.parametrize("left_behind", ["the project file", "a sub-folder"])
def test_a_folder_the_product_wrote_into_is_kept(core, ready, work, monkeypatch, left_behind):
    real = ProjectViewModel.CreateNewProject
    error = dotnet.InvalidOperationException("late failure")

    def create_then_fail(self, directory, *args):
        if left_behind == "a sub-folder":
            os.makedirs(os.path.join(directory, "Studies"))
        else:
            real(self, directory, *args)
        raise error

    monkeypatch.setattr(ProjectViewModel, "CreateNewProject", create_then_fail)
    with pytest.raises(dotnet.InvalidOperationException) as raised:
        core.addPipingProject(work, "Plant1", "Study1", 1920, 1080)
    assert raised.value is error
    assert os.listdir(os.path.join(work, "Plant1")) == (
        ["Studies"] if left_behind == "a sub-folder" else ["Plant1.project"]
    )


def test_a_failure_to_take_the_folder_away_is_ignored(core, ready, work, monkeypatch):
    error = dotnet.IOException("first")
    knobs.raise_on = {"ProjectViewModel.CreateNewProject": error}

    def rmdir(*args, **kwargs):
        raise PermissionError(13, "Access is denied")

    monkeypatch.setattr(os, "rmdir", rmdir)
    with pytest.raises(dotnet.IOException) as raised:
        core.addPipingProject(work, "Plant1", "Study1", 1920, 1080)
    assert raised.value is error
    assert os.listdir(work) == ["Plant1"]


def test_a_makedirs_failure_propagates_before_any_load(core, ready, work, loads):
    with open(os.path.join(work, "plain"), "w") as f:
        f.write("file")
    with pytest.raises(OSError):
        core.addPipingProject(os.path.join(work, "plain"), "Plant1", "Study1", 1920, 1080)
    assert loads == [SDK_DLL] and product_names() == []
    assert sorted(os.listdir(work)) == ["plain"]

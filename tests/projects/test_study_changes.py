"""removeStudy and duplicateStudy, and a project's life from its folder to its removal."""

import os

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.knobs import knobs
from brivane_standin.product import read_current_study, read_project
from brivane_standin.product.pelorix_project import ProjectViewModel, StudyModel
from brivane_testkit.module_table import GUARD_MESSAGE

from .support_projects import (
    HELPER_DLL,
    PIPING,
    PROJECT_DLL,
    STRUCTURE,
    events,
    make_project,
    names,
    product_names,
    read_bytes,
)

OPENING = ["ProjectViewModel..ctor", "ProjectViewModel.LoadFromFile", "ProjectViewModel.GetStudy"]
CHANGES = {
    "removeStudy": lambda core, project, study="Study1": core.removeStudy(project, study),
    "duplicateStudy": lambda core, project, study="Study1": core.duplicateStudy(project, study, "Copy"),
}
LOADS = {"removeStudy": [PROJECT_DLL], "duplicateStudy": [HELPER_DLL, PROJECT_DLL]}


@pytest.fixture
def project(ready, tmp_path):
    """Project Plant1 with Study1, Study2 and Study3 (Study1 current); its folder."""
    folder = str(tmp_path / "Work" / "Plant1")
    make_project(folder, "Study1", "Study2", "Study3")
    return folder


def project_file(folder):
    return os.path.join(folder, "Plant1.project")


# --- before the product is reached ----------------------------------------------


@pytest.mark.parametrize("function", CHANGES)
@pytest.mark.parametrize("set_up", [False, True])
def test_the_guard_comes_before_any_load(core, installation, tmp_path, loads, function, set_up):
    folder = str(tmp_path / "Work" / "Plant1")
    make_project(folder, "Study1", "Study2")
    if set_up:
        assert core.setup_brivane_computer(installation.root, None) is True
        journal.clear()
        loads.clear()
        core._validSetup_ = False
    core._validPelorix_ = core._validKarvona_ = True  # not what is asked for
    before = read_bytes(project_file(folder))
    with pytest.raises(EnvironmentError) as raised:
        CHANGES[function](core, folder)
    assert str(raised.value) == GUARD_MESSAGE
    assert loads == [] and journal.names() == []
    assert read_bytes(project_file(folder)) == before


@pytest.mark.parametrize("function", CHANGES)
@pytest.mark.parametrize("cleared", ["_validPelorix_", "_validKarvona_"])
def test_no_module_flag_is_asked_for(core, project, function, cleared):
    setattr(core, cleared, False)
    assert CHANGES[function](core, project, "Study2") is None
    assert len(read_project(project_file(project))) == (2 if function == "removeStudy" else 4)


@pytest.mark.parametrize("function", CHANGES)
@pytest.mark.parametrize("where", ["no folder", "no file", "other file name", "trailing separator"])
def test_no_project_file_gives_none_after_the_loads(core, project, tmp_path, loads, function, where):
    folder = project
    if where == "no folder":
        folder = str(tmp_path / "Work" / "Plant2")
    elif where == "no file":
        folder = str(tmp_path / "Work" / "Empty")
        os.makedirs(folder)
    elif where == "other file name":
        folder = project + ".v2"  # looked for as Plant1.v2/Plant1.project
        make_project(folder, "Study1", "Study2")
    elif where == "trailing separator":
        folder = project + os.sep
    before = read_bytes(project_file(project))
    assert CHANGES[function](core, folder) is None
    assert loads == LOADS[function]
    # the loads are real and in that order
    assert [os.path.basename(c.args[0]) for c in journal.calls("clr", "AddReference")] == LOADS[function]
    assert product_names() == []
    assert read_bytes(project_file(project)) == before


@pytest.mark.parametrize("function", CHANGES)
@pytest.mark.parametrize("study", ["Study9", "study1", "Study1 ", ""])
def test_an_unknown_study_gets_no_call_after_get_study(core, project, function, study):
    before = read_bytes(project_file(project))
    assert CHANGES[function](core, project, study) is None
    assert events("ProjectViewModel") == [
        ("ProjectViewModel..ctor", (None,), {}),
        ("ProjectViewModel.LoadFromFile", (project_file(project),), {}),
        ("ProjectViewModel.GetStudy", (study,), {}),
    ]
    assert read_bytes(project_file(project)) == before


@pytest.mark.parametrize("function", CHANGES)
@pytest.mark.parametrize(
    "answer, acts",
    [
        (type("Unequal", (), {"__ne__": lambda self, other: True})(), True),
        (type("NotUnequal", (), {"__ne__": lambda self, other: False})(), False),
        (0, True),
        (None, False),
    ],
    ids=["unequal", "not-unequal", "zero", "none"],
)
def test_the_study_exists_when_get_study_compares_unequal_to_none(core, project, monkeypatch, function, answer, acts):
    monkeypatch.setattr(ProjectViewModel, "GetStudy", lambda self, name: answer)
    CHANGES[function](core, project, "Study2")
    assert ("ProjectViewModel.SetCurrentStudy" in product_names()) is acts


# --- removeStudy ----------------------------------------------------------------


@pytest.mark.parametrize(
    "study, left, current",
    [
        ("Study1", ["Study2", "Study3"], "Study2"),
        ("Study2", ["Study1", "Study3"], "Study3"),
        ("Study3", ["Study1", "Study2"], "Study2"),
    ],
)
def test_remove_study(core, project, loads, study, left, current):
    assert core.removeStudy(project, study) is None
    assert loads == [PROJECT_DLL]
    assert events("ProjectViewModel") == [
        ("ProjectViewModel..ctor", (None,), {}),
        ("ProjectViewModel.LoadFromFile", (project_file(project),), {}),
        ("ProjectViewModel.GetStudy", (study,), {}),
        ("ProjectViewModel.SetCurrentStudy", (study,), {}),
        ("ProjectViewModel.DeleteCurrentStudy", (), {}),
    ]
    assert read_project(project_file(project)) == left
    assert read_current_study(project_file(project)) == current


def test_removing_the_only_study_is_left_to_the_product(core, ready, tmp_path):
    folder = str(tmp_path / "Work" / "Solo")
    make_project(folder, "Only")
    with pytest.raises(dotnet.InvalidOperationException, match="at least one study"):
        core.removeStudy(folder, "Only")
    assert names("ProjectViewModel")[-1] == "ProjectViewModel.DeleteCurrentStudy"
    assert read_project(os.path.join(folder, "Solo.project")) == ["Only"]


@pytest.mark.parametrize(
    "failing", OPENING + ["ProjectViewModel.SetCurrentStudy", "ProjectViewModel.DeleteCurrentStudy"]
)
def test_remove_study_lets_product_failures_through(core, project, failing):
    error = dotnet.IOException("locked")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.IOException) as raised:
        core.removeStudy(project, "Study2")
    assert raised.value is error and names()[-1] == failing
    assert read_project(project_file(project)) == ["Study1", "Study2", "Study3"]


# --- duplicateStudy ---------------------------------------------------------------


@pytest.mark.parametrize(
    "study, copy_name, studies, current",
    [
        ("Study2", "Study2 bis", ["Study1", "Study2", "Study3", "Study2 bis"], "Study2 bis"),
        ("Study1", "Study1 - Copy", ["Study1", "Study2", "Study3", "Study1 - Copy"], "Study1 - Copy"),
        # a name the product refuses: the copy keeps the name the product gave it
        ("Study2", "Study3", ["Study1", "Study2", "Study3", "Study2 - Copy"], "Study2 - Copy"),
        ("Study2", "Study2", ["Study1", "Study2", "Study3", "Study2 - Copy"], "Study2 - Copy"),
        ("Study2", "", ["Study1", "Study2", "Study3", "Study2 - Copy"], "Study2 - Copy"),
        ("Study2", "   ", ["Study1", "Study2", "Study3", "Study2 - Copy"], "Study2 - Copy"),
    ],
)
def test_duplicate_study(core, project, loads, study, copy_name, studies, current):
    assert core.duplicateStudy(project, study, copy_name) is None
    assert loads == [HELPER_DLL, PROJECT_DLL]
    assert events("ProjectViewModel") == [
        ("ProjectViewModel..ctor", (None,), {}),
        ("ProjectViewModel.LoadFromFile", (project_file(project),), {}),
        ("ProjectViewModel.GetStudy", (study,), {}),
        ("ProjectViewModel.SetCurrentStudy", (study,), {}),
        ("ProjectViewModel.DuplicateCurrentStudy", (), {}),
        ("ProjectViewModel.GetCurrentStudyName", (), {}),
        ("ProjectViewModel.SetCurrentStudy", (study + " - Copy",), {}),
        ("ProjectViewModel.RenameCurrentStudy", (copy_name,), {}),
    ]
    assert read_project(project_file(project)) == studies
    assert read_current_study(project_file(project)) == current


def test_the_copy_is_selected_by_the_name_the_product_gave_it(core, project):
    core.duplicateStudy(project, "Study1", "First copy")
    journal.clear()
    core.duplicateStudy(project, "Study1", "First copy")  # taken: the product's name stays
    assert journal.calls("ProjectViewModel", "SetCurrentStudy")[1].args == ("Study1 - Copy",)
    journal.clear()
    core.duplicateStudy(project, "Study1", "Third")
    assert journal.calls("ProjectViewModel", "SetCurrentStudy")[1].args == ("Study1 - Copy (2)",)
    assert read_project(project_file(project)) == ["Study1", "Study2", "Study3", "First copy", "Study1 - Copy", "Third"]


def test_whatever_get_current_study_name_gives_is_selected(core, project, monkeypatch):
    monkeypatch.setattr(ProjectViewModel, "GetCurrentStudyName", lambda self: "Study3")
    core.duplicateStudy(project, "Study1", "Renamed")
    assert [c.args for c in journal.calls("ProjectViewModel", "SetCurrentStudy")] == [("Study1",), ("Study3",)]
    # the study the product named is the one renamed, not the new copy
    assert read_project(project_file(project)) == ["Study1", "Study2", "Renamed", "Study1 - Copy"]


@pytest.mark.parametrize(
    "failing, studies",
    [
        ("ProjectViewModel.LoadFromFile", ["Study1", "Study2", "Study3"]),
        ("ProjectViewModel.GetStudy", ["Study1", "Study2", "Study3"]),
        ("ProjectViewModel.DuplicateCurrentStudy", ["Study1", "Study2", "Study3"]),
        ("ProjectViewModel.GetCurrentStudyName", ["Study1", "Study2", "Study3", "Study2 - Copy"]),
        ("ProjectViewModel.RenameCurrentStudy", ["Study1", "Study2", "Study3", "Study2 - Copy"]),
    ],
)
def test_duplicate_study_lets_product_failures_through(core, project, failing, studies):
    error = dotnet.UnauthorizedAccessException("denied")
    knobs.raise_on = {failing: error}
    with pytest.raises(dotnet.UnauthorizedAccessException) as raised:
        core.duplicateStudy(project, "Study2", "Copy")
    assert raised.value is error and names()[-1] == failing
    assert read_project(project_file(project)) == studies


def test_a_failing_second_selection_stops_before_the_rename(core, project, monkeypatch):
    real = ProjectViewModel.SetCurrentStudy
    error = dotnet.ArgumentException("second selection")

    def SetCurrentStudy(self, name):
        if name.endswith("Copy"):
            raise error
        return real(self, name)

    monkeypatch.setattr(ProjectViewModel, "SetCurrentStudy", SetCurrentStudy)
    with pytest.raises(dotnet.ArgumentException) as raised:
        core.duplicateStudy(project, "Study2", "Copy")
    assert raised.value is error
    assert names("ProjectViewModel")[-1] == "ProjectViewModel.GetCurrentStudyName"
    assert read_project(project_file(project))[-1] == "Study2 - Copy"


# --- a project's life ------------------------------------------------------------


def test_a_project_from_its_folder_to_its_removal(core, ready, tmp_path):
    area = str(tmp_path / "Projects")
    os.makedirs(area)
    group = core.addProjectFolder(area, "Group1")
    assert group == os.path.join(area, "Group1")

    project = core.addPipingProject(group, "Plant1", "Piping", 1920, 1080)
    assert project == os.path.join(group, "Plant1")
    assert core.addPipingProject(group, "Plant1", "Again", 1920, 1080) == ""
    path = os.path.join(project, "Plant1.project")
    assert read_project(path) == ["Piping"]

    frame = core.addStructureStudy(project, "Frame", 1280, 1024)
    assert isinstance(frame, StudyModel)
    assert (frame.Name, frame.Module, frame.X, frame.Y) == ("Frame", STRUCTURE, 490.0, 312.0)
    assert core.addPipingStudy(project, "Frame", 1920, 1080) is None
    assert read_project(path) == ["Piping", "Frame"]

    assert core.duplicateStudy(project, "Frame", "Frame B") is None
    assert read_project(path) == ["Piping", "Frame", "Frame B"]
    copy = core.addStudy(project, "Frame B", 1920, 1080, PIPING)
    assert copy is None  # already there, as a structure study

    assert core.removeStudy(project, "Piping") is None
    assert read_project(path) == ["Frame", "Frame B"]
    assert core.removeStudy(project, "Piping") is None
    assert read_project(path) == ["Frame", "Frame B"]

    view = ProjectViewModel(None)
    view.LoadFromFile(path)
    assert view.GetStudy("Frame B").Module is STRUCTURE

    core.removeProject(project)
    assert not os.path.exists(project) and os.listdir(group) == []
    assert os.getcwd() == group
    core.removeProjectFolder(group)
    assert os.listdir(area) == [] and os.getcwd() == area
    assert core.addStudy(project, "Late", 1920, 1080, PIPING) is None

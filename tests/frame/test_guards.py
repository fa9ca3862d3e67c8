"""The set-up guards G, GP and GK: which functions apply them, that they come
before anything else, and how they read the flags."""

import os
import types

import pytest
from brivane_standin import journal
from brivane_testkit.module_table import BY_NAME, FUNCTIONS, GUARD_MESSAGE

import brivane_computer

from .support_frame import Untouchable, ids, module_globals

GUARDED = [f for f in FUNCTIONS if f.guard]
KIND_GUARDED = [f for f in FUNCTIONS if f.guard in ("GP", "GK")]
SETUP_GUARDED = [f for f in FUNCTIONS if f.guard == "G"]
KIND_FLAG = {"GP": "_validPelorix_", "GK": "_validKarvona_"}


def test_guard_table(core, tmp_path, monkeypatch):
    """The functions of the module that refuse before set-up, and after a set-up of neither kind, are the
    table's: called with arguments that fail when looked at, only a guard refuses them."""
    functions = {
        name: value
        for name, value in vars(core).items()
        if isinstance(value, types.BuiltinFunctionType) and value.__module__ == core.__name__
    }

    def stop(dllname):
        raise LookupError("no assembly loads here")

    # The internal functions meet a guard only in load_dll, which is not theirs.
    monkeypatch.setattr(core, "load_dll", stop)
    monkeypatch.chdir(tmp_path)

    def refusing(set_up):
        found = []
        for name, function in functions.items():
            core._validSetup_ = set_up
            try:
                function(*[Untouchable() for _ in BY_NAME[name].parameters])
            except OSError as error:
                if str(error) == GUARD_MESSAGE:
                    found.append(name)
            except Exception:  # noqa: BLE001 - past the guard: an argument looked at, or a load stopped
                pass
        return found

    assert refusing(False) == [f.name for f in GUARDED]
    assert refusing(True) == [f.name for f in KIND_GUARDED]


@pytest.fixture
def quiet_folder(tmp_path, monkeypatch, capsys, core):
    """The working folder; after the test it must still be empty, and nothing
    may have been called or printed."""
    monkeypatch.chdir(tmp_path)
    yield tmp_path
    assert os.listdir(tmp_path) == []
    assert journal.names() == []
    assert capsys.readouterr().out == ""


def refused(call, *args):
    with pytest.raises(OSError) as caught:
        call(*args)
    assert type(caught.value) is OSError
    assert str(caught.value) == GUARD_MESSAGE
    assert caught.value.args == (GUARD_MESSAGE,)
    return caught.value


@pytest.mark.parametrize("function", GUARDED, ids=ids(GUARDED))
def test_guard_before_set_up(core, quiet_folder, function):
    # Arguments that fail loudly when looked at: the guard comes first.
    before = module_globals(core)
    error = refused(getattr(core, function.name), *[Untouchable() for _ in function.parameters])
    assert isinstance(error, EnvironmentError)
    assert module_globals(core) == before


@pytest.mark.parametrize("function", GUARDED, ids=ids(GUARDED))
def test_guard_before_set_up_with_plausible_arguments(core, quiet_folder, function):
    folder = str(quiet_folder)
    plausible = {
        "directory": folder,
        "folderName": "new",
        "projectName": "p",
        "studyName": "s",
        "copyStudyName": "c",
        "screenWidth": 800,
        "screenheight": 600,
        "projectDirectory": folder,
        "folderDirectory": folder,
        "vokelFilename": os.path.join(folder, "m.vokel"),
        "vokel": None,
        "filename": os.path.join(folder, "m.vokel"),
        "solvername": "Quelbar",
        "sandbox": True,
        "dllname": "Brivane.SDK.dll",
        "instance": object,
        "indent": True,
        "className": "Model",
        "commandName": "c",
        "command": None,
    }
    refused(getattr(core, function.name), *[plausible[name] for name in function.parameters])


@pytest.mark.parametrize("function", KIND_GUARDED, ids=ids(KIND_GUARDED))
@pytest.mark.parametrize("other_flag", [False, True])
def test_kind_guard_needs_its_own_flag(core, quiet_folder, function, other_flag):
    core._validSetup_ = True
    other = "_validKarvona_" if function.guard == "GP" else "_validPelorix_"
    setattr(core, other, other_flag)
    before = module_globals(core)
    refused(getattr(core, function.name), *[Untouchable() for _ in function.parameters])
    assert module_globals(core) == before


@pytest.mark.parametrize("function", KIND_GUARDED, ids=ids(KIND_GUARDED))
def test_kind_guard_needs_set_up_too(core, quiet_folder, function):
    core._validPelorix_ = core._validKarvona_ = True
    before = module_globals(core)
    refused(getattr(core, function.name), *[Untouchable() for _ in function.parameters])
    assert module_globals(core) == before


@pytest.mark.parametrize("function", KIND_GUARDED, ids=ids(KIND_GUARDED))
def test_kind_guard_passes_with_both_flags(core, function, monkeypatch):
    core._validSetup_ = True
    setattr(core, KIND_FLAG[function.guard], True)

    class Passed(Exception):
        pass

    def load_dll(name):
        raise Passed(name)

    # Past the guard, each of these loads an assembly first.
    monkeypatch.setattr(core, "load_dll", load_dll)
    try:
        getattr(core, function.name)(*[None for _ in function.parameters])
    except Passed:
        pass
    except OSError as error:
        assert str(error) != GUARD_MESSAGE


@pytest.mark.parametrize(
    "value, passes",
    [
        (True, True),
        (1, True),
        ("yes", True),
        ([0], True),
        (False, False),
        (0, False),
        ("", False),
        (None, False),
        ([], False),
    ],
)
def test_guard_reads_the_truth_value(core, tmp_path, value, passes):
    core._validSetup_ = value
    if passes:
        assert core.getVokel(str(tmp_path)) == ""
    else:
        refused(core.getVokel, str(tmp_path))


@pytest.mark.parametrize("flag", ["_validPelorix_", "_validKarvona_"])
@pytest.mark.parametrize("value", [0, "", None, []])
def test_kind_guard_reads_the_truth_value(core, flag, value):
    core._validSetup_ = True
    setattr(core, flag, value)
    function = core.addPipingStudy if flag == "_validPelorix_" else core.addStructureStudy
    refused(function, "P", "S", 800, 600)


def test_flag_whose_truth_test_fails(core):
    class Undecided:
        def __bool__(self):
            raise ValueError("undecided")

    core._validSetup_ = Undecided()
    with pytest.raises(ValueError, match="undecided"):
        core.getVokel(".")


def test_deleted_flag_is_a_name_error(core, monkeypatch):
    monkeypatch.delattr(core, "_validSetup_")
    with pytest.raises(NameError, match="_validSetup_"):
        core.getVokel(".")


def test_script_setting_the_flag_passes_the_guard(core, tmp_path):
    (tmp_path / "b.vokel").write_text("")
    refused(core.getVokel, str(tmp_path))
    core._validSetup_ = True
    assert core.getVokel(str(tmp_path)) == str(tmp_path / "b.vokel")
    core._validSetup_ = False
    refused(core.getVokel, str(tmp_path))


def test_flag_set_through_the_package(core, tmp_path):
    brivane_computer._validSetup_ = True
    assert core.getVokel(str(tmp_path)) == ""


def test_guard_after_set_up_and_after_a_script_clears_the_flag(core, ready, tmp_path):
    assert core.getVokel(str(tmp_path)) == ""
    core._validSetup_ = False
    refused(core.load_dll, "Brivane.SDK.dll")
    core._validSetup_ = True
    core._validPelorix_ = False
    refused(core.addPipingStudy, str(tmp_path), "S", 800, 600)


def test_get_vokel_guarded_find_first_file_not(core, tmp_path):
    (tmp_path / "m.vokel").write_text("")
    refused(core.getVokel, str(tmp_path))
    assert core.find_first_file(str(tmp_path), ".vokel") == str(tmp_path / "m.vokel")


# --- functions without a guard ------------------------------------------------


def test_unguarded_lookups_and_copies_run(core, tmp_path):
    (tmp_path / "data.thf").write_text("")
    assert core.find_first_file(str(tmp_path), ".thf") == str(tmp_path / "data.thf")
    assert core.FindSolverPaths({"Families": []}) == (None, None)
    assert core.FindDataProjectPaths({"CurrentDatasDirectory": "", "CurrentProjectsDirectory": ""}) == ("", "")
    assert core.disposeSolution() is None
    copy = core.copyDirectoryToTemp(str(tmp_path))
    try:
        assert os.listdir(copy) == ["data.thf"]
    finally:
        import shutil

        shutil.rmtree(copy)


def test_unguarded_setup_runs(core, tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        core.setup_brivane_computer(missing, brivane_computer.BrivaneModule.Pelorix)
    assert journal.names()[0] == "clr.AddReference"


@pytest.mark.parametrize(
    "name, args, first_load",
    [
        ("createVokel", (0,), "Brivane.Helper.dll"),
        ("addStudy", ("P", "S", 800, 600, 0), "Brivane.Pelorix.Project.dll"),
    ],
)
def test_unguarded_internal_functions_reach_load_dll(core, monkeypatch, name, args, first_load):
    seen = []

    class Stop(Exception):
        pass

    def load_dll(dllname):
        seen.append(dllname)
        raise Stop

    monkeypatch.setattr(core, "load_dll", load_dll)
    with pytest.raises(Stop):
        getattr(core, name)(*args)
    assert seen == [first_load]


@pytest.mark.parametrize("name, args", [("createVokel", (0,)), ("addStudy", ("P", "S", 800, 600, 0))])
def test_unguarded_internal_functions_fail_through_load_dll(core, name, args):
    # The guard error comes from load_dll, not from the function itself.
    refused(getattr(core, name), *args)


def test_add_project_unguarded(core, tmp_path):
    (tmp_path / "Existing").mkdir()
    assert core.addProject(str(tmp_path), "Existing", "S", 800, 600, 0) == ""
    assert journal.names() == []


@pytest.mark.parametrize("name", ["_QuelbarSolve", "_RevavSolve"])
def test_solver_runs_unguarded(core, tmp_path, name):
    (tmp_path / "conception.fre").write_text("")
    try:
        getattr(core, name)(None, str(tmp_path / "m.vokel"), str(tmp_path))
    except OSError as error:
        assert str(error) != GUARD_MESSAGE
    except Exception:  # noqa: BLE001 - the product is not set up; only the guard matters
        pass
    names = journal.names()
    assert names[0] == "pythoncom.CoInitialize" and names[-1] == "pythoncom.CoUninitialize"

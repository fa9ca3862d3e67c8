"""addProjectFolder, removeProjectFolder and removeProject: plain folders of the projects area."""

import os
import threading
import types

import pytest
from brivane_standin import journal
from brivane_testkit.module_table import GUARD_MESSAGE

from ..support import Shifting
from .support_projects import tree

REMOVALS = ["removeProjectFolder", "removeProject"]


def populate(folder):
    """A small tree: files, an empty sub-folder, a nested one, a hidden file."""
    for relative in ("a.txt", "sub/b.vokel", "sub/deeper/c.fre", ".hidden"):
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(relative)
    os.makedirs(os.path.join(folder, "empty"))


# --- the guard ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda core, d: core.addProjectFolder(d, "Group1"),
        lambda core, d: core.addProjectFolder(None, None),
        lambda core, d: core.removeProjectFolder(os.path.join(d, "kept")),
        lambda core, d: core.removeProject(os.path.join(d, "kept")),
        lambda core, d: core.removeProject(42),
    ],
    ids=["add", "add-bad-arguments", "removeProjectFolder", "removeProject", "remove-bad-argument"],
)
@pytest.mark.parametrize("flag", [False, 0, None, ""])
def test_guard_comes_first_and_touches_nothing(core, tmp_path, monkeypatch, call, flag):
    os.makedirs(tmp_path / "kept" / "inner")
    before = tree(tmp_path)
    core._validSetup_ = flag
    monkeypatch.chdir(tmp_path / "kept")
    with pytest.raises(EnvironmentError) as raised:
        call(core, str(tmp_path))
    assert type(raised.value) is OSError and str(raised.value) == GUARD_MESSAGE
    assert tree(tmp_path) == before
    assert os.getcwd() == str(tmp_path / "kept")
    assert journal.names() == []


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_guard_reads_the_flag_by_truth_value(core, tmp_path, flag):
    core._validSetup_ = flag
    assert core.addProjectFolder(str(tmp_path), "Group1") == os.path.join(str(tmp_path), "Group1")
    core.removeProjectFolder(os.path.join(str(tmp_path), "Group1"))
    assert not (tmp_path / "Group1").exists()


# --- addProjectFolder --------------------------------------------------------


@pytest.mark.parametrize(
    "directory, folder_name",
    [
        ("", "Group1"),  # existing parent
        ("", "Group 1.old"),  # extension-like part kept
        ("new/chain/of/parents", "Group1"),  # missing parents
        ("", "nested/Group1"),  # a name with a separator
        ("trailing/", "Group1"),  # parent given with a trailing separator
    ],
)
def test_add_project_folder_creates_the_joined_path(core, ready, tmp_path, directory, folder_name):
    parent = str(tmp_path / "area") + os.sep + directory
    result = core.addProjectFolder(parent, folder_name)
    assert type(result) is str and result == os.path.join(parent, folder_name)
    assert os.path.isdir(result) and os.listdir(result) == []
    assert journal.names() == []


def test_add_project_folder_resolves_a_relative_parent_against_the_cwd(core, ready, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert core.addProjectFolder("area", "Group1") == os.path.join("area", "Group1")
    assert (tmp_path / "area" / "Group1").is_dir()


@pytest.mark.parametrize("existing", ["folder", "populated folder", "file"])
def test_add_project_folder_never_touches_an_existing_entry(core, ready, tmp_path, existing):
    target = tmp_path / "Group1"
    if existing == "file":
        target.write_text("not a folder")
    else:
        target.mkdir()
        if existing == "populated folder":
            populate(str(target))
    before = tree(tmp_path)
    assert core.addProjectFolder(str(tmp_path), "Group1") == ""
    assert core.addProjectFolder(str(tmp_path), "Group1") == ""
    assert tree(tmp_path) == before


def test_add_project_folder_lets_a_makedirs_failure_through(core, ready, tmp_path, monkeypatch):
    error = PermissionError(13, "Access is denied")
    seen = []

    def makedirs(*args, **kwargs):
        seen.append((args, kwargs))
        raise error

    monkeypatch.setattr(os, "makedirs", makedirs)
    with pytest.raises(PermissionError) as raised:
        core.addProjectFolder(str(tmp_path), "Group1")
    assert raised.value is error
    assert seen == [((os.path.join(str(tmp_path), "Group1"),), {})]


def test_add_project_folder_under_a_file_raises(core, ready, tmp_path):
    (tmp_path / "plain").write_text("file")
    with pytest.raises(OSError) as raised:
        core.addProjectFolder(str(tmp_path / "plain"), "Group1")
    assert isinstance(raised.value, (NotADirectoryError, FileExistsError))
    assert (tmp_path / "plain").read_text() == "file"


# --- removal: nothing to remove --------------------------------------------


@pytest.fixture
def isdir_calls(monkeypatch):
    real = os.path.isdir
    seen = []

    def isdir(path):
        seen.append(path)
        return real(path)

    monkeypatch.setattr(os.path, "isdir", isdir)
    return seen


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("kind", ["missing", "missing under a file", "file", "broken link"])
def test_removal_leaves_what_is_not_a_folder(core, ready, tmp_path, monkeypatch, isdir_calls, function, kind):
    area = tmp_path / "area"
    area.mkdir()
    (area / "neighbour.txt").write_text("stay")
    target = area / "Group1"
    if kind == "file":
        target.write_text("a file")
    elif kind == "missing under a file":
        target = area / "neighbour.txt" / "Group1"
    elif kind == "broken link":
        target.symlink_to(area / "nowhere")
    before = tree(tmp_path)
    monkeypatch.chdir(tmp_path)
    isdir_calls.clear()
    assert getattr(core, function)(str(target)) is None
    # isdir is asked only about a path that exists
    assert isdir_calls == ([str(target)] if kind == "file" else [])
    assert tree(tmp_path) == before
    assert os.getcwd() == str(tmp_path)


# --- removal of a folder tree ---------------------------------------------


@pytest.mark.parametrize("function", REMOVALS)
def test_removal_deletes_the_whole_tree_and_nothing_else(core, ready, tmp_path, monkeypatch, isdir_calls, function):
    work = tmp_path / "Work"
    for name in ("Group1", "Group10", "Group1.bak", "other"):
        populate(str(work / name))
    (work / "Group1.txt").write_text("sibling file")
    outside = tmp_path / "outside"
    populate(str(outside))
    # links inside the tree lead outside it: the links go, their targets stay
    os.symlink(str(outside), str(work / "Group1" / "link-to-folder"))
    os.symlink(str(outside / "a.txt"), str(work / "Group1" / "sub" / "link-to-file"))
    before = {
        k: v
        for k, v in tree(tmp_path).items()
        if not k.startswith(os.path.join("Work", "Group1") + os.sep) and k != os.path.join("Work", "Group1")
    }
    monkeypatch.chdir(tmp_path / "outside" / "sub")
    isdir_calls.clear()

    assert getattr(core, function)(str(work / "Group1")) is None
    assert isdir_calls == [str(work / "Group1")]
    assert not os.path.lexists(work / "Group1")
    assert tree(tmp_path) == before
    assert os.getcwd() == str(work)


@pytest.mark.parametrize("function", REMOVALS)
def test_removal_of_a_link_to_a_folder_removes_nothing(core, ready, tmp_path, function):
    populate(str(tmp_path / "real"))
    os.symlink(str(tmp_path / "real"), str(tmp_path / "alias"))
    before = tree(tmp_path)
    assert getattr(core, function)(str(tmp_path / "alias")) is None
    assert tree(tmp_path) == before


@pytest.mark.parametrize("function", REMOVALS)
def test_removal_keeps_the_parent_as_working_directory(core, ready, tmp_path, function):
    for name in ("Group1", "Group2"):
        populate(str(tmp_path / "Work" / name))
    remove = getattr(core, function)
    remove(str(tmp_path / "Work" / "Group1"))
    assert os.getcwd() == str(tmp_path / "Work")
    # a later removal elsewhere moves it again, an ignored one does not
    remove(str(tmp_path / "missing"))
    assert os.getcwd() == str(tmp_path / "Work")
    remove(str(tmp_path / "Work"))
    assert os.getcwd() == str(tmp_path)
    assert not (tmp_path / "Work").exists()


# --- relative paths ---------------------------------------------------------


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("relative", ["Group1", "sub/Group1", "./sub/Group1", "a/b/Group1", "sub/../x/Group1"])
def test_removal_resolves_a_relative_path_against_the_cwd_of_the_call(
    core, ready, tmp_path, monkeypatch, function, relative
):
    base = tmp_path / "base"
    target = os.path.normpath(os.path.join(str(base), relative))
    populate(target)
    # The same relative path seen from the parent folder: a removal that
    # resolved it after changing directory would take this one instead.
    parent = os.path.dirname(target)
    decoy = os.path.normpath(os.path.join(parent, relative))
    if decoy != target:  # a bare name has no such twin
        populate(decoy)
    decoy_content = tree(decoy)
    # and a folder of the same name in the parent's parent
    populate(os.path.join(os.path.dirname(parent), "Group1"))
    os.makedirs(base / "sub", exist_ok=True)  # "sub/.." resolves through the real folder, as the system does
    monkeypatch.chdir(base)

    assert getattr(core, function)(relative) is None
    assert not os.path.exists(target)
    if decoy != target:
        assert tree(decoy) == decoy_content and decoy_content
    assert os.path.isdir(os.path.join(os.path.dirname(parent), "Group1"))
    assert os.getcwd() == parent


def test_relative_removals_follow_the_cwd_left_by_the_last_one(core, ready, tmp_path, monkeypatch):
    for relative in ("x/p1", "x/p2", "p2", "x/x/p1"):
        populate(str(tmp_path / relative))
    monkeypatch.chdir(tmp_path)
    core.removeProject("x/p1")
    assert os.getcwd() == str(tmp_path / "x")
    core.removeProjectFolder("p2")
    assert not (tmp_path / "x" / "p1").exists() and not (tmp_path / "x" / "p2").exists()
    assert (tmp_path / "p2").is_dir() and (tmp_path / "x" / "x" / "p1").is_dir()


@pytest.mark.parametrize(
    "path, removed",
    [
        ("missing", None),
        ("Group1", "Group1"),
        ("sub/../Group1/", "sub/../Group1"),
        (b"./Group1", b"./Group1"),
    ],
)
def test_the_path_is_looked_at_once_made_full_at_entry(
    core, ready, tmp_path, monkeypatch, recorded_rmtree, path, removed
):
    populate(str(tmp_path / "Group1"))
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    seen = []
    for name in ("exists", "isdir"):
        monkeypatch.setattr(
            os.path, name, lambda p, real=getattr(os.path, name), name=name: seen.append((name, p)) or real(p)
        )
    cwd = os.fsencode(tmp_path) if isinstance(path, bytes) else str(tmp_path)
    core.removeProject(path)
    # The current folder joined with the path as given: nothing is normalised away.
    full = os.path.join(cwd, path)
    assert seen == [("exists", full)] + ([("isdir", full)] if removed else [])
    assert recorded_rmtree == ([(os.path.join(cwd, removed),)] if removed else [])


# --- failures inside the removal ------------------------------------------


class Refused(Exception):
    pass


class Stop(BaseException):
    pass


def failing_rmtree(error, calls):
    """An rmtree that deletes the first file it finds, then fails."""

    def rmtree(*args, **kwargs):
        calls.append((args, kwargs))
        for folder, _, files in os.walk(args[0]):
            if files:
                os.remove(os.path.join(folder, sorted(files)[0]))
                break
        raise error

    return rmtree


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize(
    "error",
    [
        PermissionError(13, "Access is denied"),
        FileNotFoundError(2, "vanished"),
        OSError("file in use"),
        RuntimeError("odd"),
        ValueError("odd"),
        Refused("odd"),
    ],
    ids=lambda e: type(e).__name__,
)
def test_an_rmtree_failure_part_way_is_swallowed(core, ready, tmp_path, monkeypatch, capsys, function, error):
    populate(str(tmp_path / "Work" / "Group1"))
    populate(str(tmp_path / "Work" / "Group2"))
    before = tree(tmp_path / "Work" / "Group1")
    calls = []
    monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=failing_rmtree(error, calls)))

    assert getattr(core, function)(str(tmp_path / "Work" / "Group1")) is None
    assert calls == [((str(tmp_path / "Work" / "Group1"),), {})], "by its full path"
    after = tree(tmp_path / "Work" / "Group1")
    assert len(after) == len(before) - 1 and set(after) < set(before)  # part of the tree is gone
    assert (tmp_path / "Work" / "Group2" / "sub" / "deeper" / "c.fre").exists()
    assert os.getcwd() == str(tmp_path / "Work")  # the change of directory stays
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("where", ["rmtree", "chdir"])
@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), Stop()], ids=lambda e: type(e).__name__)
def test_what_is_not_an_exception_passes_through(core, ready, tmp_path, monkeypatch, function, where, error):
    populate(str(tmp_path / "Group1"))
    if where == "rmtree":
        monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=failing_rmtree(error, [])))
    else:

        def chdir(path):
            raise error

        monkeypatch.setattr(os, "chdir", chdir)
    with pytest.raises(BaseException) as raised:
        getattr(core, function)(str(tmp_path / "Group1"))
    assert raised.value is error
    assert (tmp_path / "Group1" / "sub" / "deeper").is_dir()


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("broken", ["chdir", "split"])
def test_a_failure_before_rmtree_is_swallowed_and_removes_nothing(core, ready, tmp_path, monkeypatch, function, broken):
    populate(str(tmp_path / "Work" / "Group1"))
    before = tree(tmp_path)
    rmtree_calls = []
    monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=lambda *a, **k: rmtree_calls.append(a)))

    def refuse(*args):
        raise PermissionError(13, "Access is denied")

    monkeypatch.chdir(tmp_path)
    if broken == "chdir":
        monkeypatch.setattr(os, "chdir", refuse)
    else:
        monkeypatch.setattr(os.path, "split", refuse)
    assert getattr(core, function)(str(tmp_path / "Work" / "Group1")) is None
    assert rmtree_calls == []
    assert tree(tmp_path) == before
    assert os.getcwd() == str(tmp_path)


# --- what a removal never takes ---------------------------------------------


@pytest.fixture
def recorded_rmtree(core, monkeypatch):
    """The module's rmtree replaced by one that only records: a wrong path reaches nothing."""
    calls = []
    monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=lambda *a, **k: calls.append(a)))
    return calls


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize(
    "path", ["", ".", "./", "..", "x/..", "x/./.", "/", "//", "/..", "CWD/..", "CWD/../", b"", b".", b"x/..", b"/"]
)
def test_removal_never_takes_the_current_folder_a_parent_or_a_root(
    core, ready, tmp_path, monkeypatch, recorded_rmtree, function, path
):
    cwd = tmp_path / "keep" / "cwd"
    populate(str(cwd / "x"))
    monkeypatch.chdir(cwd)
    if isinstance(path, str):
        path = path.replace("CWD", str(cwd))  # the current folder's parent, by its absolute path
    before = tree(tmp_path)
    assert getattr(core, function)(path) is None
    assert recorded_rmtree == [] and tree(tmp_path) == before and os.getcwd() == str(cwd)


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize(
    "path, removed",
    [
        ("keep/link/..", None),  # textually "keep"; the system names "other"
        ("keep/link/target-child", "other/target/target-child"),
        ("keep/link/../target/target-child", "other/target/target-child"),  # ".." after a link is not collapsed
        ("keep/link", None),  # a link is never followed into its target
        ("keep/link/", None),
        ("keep/P1/", "keep/P1"),  # a trailing separator names P1
        (b"keep/P1", "keep/P1"),  # bytes stay bytes
    ],
)
def test_removal_takes_the_folder_the_system_names(core, ready, tmp_path, monkeypatch, function, path, removed):
    populate(str(tmp_path / "keep" / "P1"))
    populate(str(tmp_path / "other" / "target" / "target-child"))
    os.symlink(str(tmp_path / "other" / "target"), str(tmp_path / "keep" / "link"))
    monkeypatch.chdir(tmp_path)
    before = tree(tmp_path)
    assert getattr(core, function)(path) is None
    gone = {k for k in before if removed and (k == removed or k.startswith(removed + os.sep))}
    assert tree(tmp_path) == {k: v for k, v in before.items() if k not in gone}
    assert bool(gone) == bool(removed)
    if removed:
        assert os.path.samefile(os.getcwd(), tmp_path / os.path.dirname(removed))


@pytest.mark.parametrize("function", REMOVALS)
def test_the_empty_result_of_add_project_folder_removes_nothing(core, ready, tmp_path, monkeypatch, function):
    populate(str(tmp_path / "Group1"))
    monkeypatch.chdir(tmp_path)
    before = tree(tmp_path)
    result = core.addProjectFolder(str(tmp_path), "Group1")
    assert result == ""
    assert getattr(core, function)(result) is None
    assert tree(tmp_path) == before and os.getcwd() == str(tmp_path)


# --- another thread's current folder, a path object read once ------------------


class RacingOs:
    """The module's os, whose chdir is followed at once by another thread's change of the current folder."""

    def __init__(self, elsewhere):
        self.elsewhere = elsewhere

    def __getattr__(self, name):
        return getattr(os, name)

    def chdir(self, path):
        os.chdir(path)
        os.chdir(self.elsewhere)


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("relative", [False, True], ids=["absolute", "relative"])
def test_a_change_of_the_current_folder_mid_removal_moves_nothing(
    core, ready, tmp_path, monkeypatch, function, relative
):
    for area in ("named", "elsewhere"):
        populate(str(tmp_path / area / "Group1"))
    before = tree(tmp_path / "elsewhere")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(core, "os", RacingOs(str(tmp_path / "elsewhere")))
    getattr(core, function)(os.path.join("named", "Group1") if relative else str(tmp_path / "named" / "Group1"))
    assert not (tmp_path / "named" / "Group1").exists()
    assert tree(tmp_path / "elsewhere") == before


@pytest.mark.parametrize("function", REMOVALS)
def test_removals_while_another_thread_changes_the_current_folder(core, ready, tmp_path, monkeypatch, function):
    count = 400
    named, other = tmp_path / "named", tmp_path / "other"
    for area in (named, other):
        for i in range(count):
            os.makedirs(area / f"F{i}" / "sub")
    monkeypatch.chdir(tmp_path)
    stop = threading.Event()

    def wander():
        while not stop.is_set():
            os.chdir(other)
            os.chdir(named)

    wanderer = threading.Thread(target=wander)
    wanderer.start()
    try:
        for i in range(count):
            getattr(core, function)(str(named / f"F{i}"))
    finally:
        stop.set()
        wanderer.join()
    assert os.listdir(named) == []
    assert len(os.listdir(other)) == count and all((other / f"F{i}" / "sub").is_dir() for i in range(count))


@pytest.mark.parametrize("function", REMOVALS)
@pytest.mark.parametrize("first, removed", [("F1", "F1"), ("file", None), ("link", None)])
def test_a_path_object_is_read_once(core, ready, tmp_path, function, first, removed):
    for name in ("F1", "F2", "F3", "target"):
        populate(str(tmp_path / name))
    (tmp_path / "file").write_text("a file")
    os.symlink(str(tmp_path / "target"), str(tmp_path / "link"))
    before = tree(tmp_path)
    path = Shifting(*(str(tmp_path / name) for name in (first, "F2", "F3")))
    assert getattr(core, function)(path) is None
    assert path.reads == 1
    assert tree(tmp_path) == {
        k: v for k, v in before.items() if not removed or k != removed and not k.startswith(removed + os.sep)
    }

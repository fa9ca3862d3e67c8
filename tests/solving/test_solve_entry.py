"""solve (in place or in a sandbox copy) and copyDirectoryToTemp."""

import os
import shutil
import tempfile
import types
import uuid

import pytest
from brivane_standin import journal
from brivane_standin.product import open_result_files
from brivane_testkit.module_table import DELETE_FAILED, GUARD_MESSAGE, INVALID_SOLVER
from brivane_testkit.trees import tree_contents

from ..support import Shifting
from .support_solving import Disposable, fake_shutil, spy

SOLVERS = ["Quelbar", "Revav"]

pytestmark = pytest.mark.usefixtures("release_solution")


def only_folder(root):
    (name,) = os.listdir(root)
    return os.path.join(str(root), name)


def printed(capsys):
    """Output lines other than the progress lines of newly loaded assemblies."""
    return [line for line in capsys.readouterr().out.splitlines() if not line.endswith(" loaded")]


def test_the_guard_comes_first(core, models, temp_root, monkeypatch, capsys):
    path = models()
    disposal = spy(monkeypatch, core, "disposeSolution")
    core._validSetup_ = False
    for filename in (path, path + ".missing"):
        with pytest.raises(EnvironmentError) as raised:
            core.solve(filename, "Quelbar", True)
        assert str(raised.value) == GUARD_MESSAGE
    assert disposal.calls == [] and os.listdir(temp_root) == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("sandbox", [True, False])
@pytest.mark.parametrize("missing", ["gone.vokel", os.path.join("no folder", "study1.vokel")])
def test_a_missing_file_changes_nothing(core, models, temp_root, capsys, missing, sandbox):
    path = models()
    earlier = core.solve(path, "Quelbar", True)
    folder = core._tempDirectory_
    before = tree_contents(temp_root)
    journal.clear()
    capsys.readouterr()
    assert core.solve(os.path.join(os.path.dirname(path), missing), "Quelbar", sandbox) is None
    assert capsys.readouterr().out == "Invalid filename\n"
    assert core._Solution_ is earlier and not earlier.IsDisposed
    assert core._tempDirectory_ == folder and tree_contents(temp_root) == before
    assert journal.entries() == []


def test_the_previous_solution_is_released_before_anything_else(core, models, temp_root, monkeypatch):
    path = models(thf=("load.thf",))
    core.solve(path, "Quelbar", True)
    earlier, earlier_folder = core._Solution_, core._tempDirectory_
    events = []
    spy(monkeypatch, core, "disposeSolution", lambda: events.append(("dispose", os.listdir(temp_root))))
    spy(monkeypatch, core, "find_first_file", lambda *args: events.append(("find", args)))
    spy(monkeypatch, core, "loadVokel", lambda name: events.append(("load", os.listdir(temp_root))))
    solution = core.solve(path, "Quelbar", True)
    new_folder = core._tempDirectory_
    assert new_folder != earlier_folder and earlier.IsDisposed
    assert [e[0] for e in events][:3] == ["dispose", "find", "load"]
    assert events[0][1] == [os.path.basename(earlier_folder)]
    assert events[1][1] == (os.path.dirname(path), ".thf")
    assert events[2][1] == [os.path.basename(new_folder)]
    assert solution is core._Solution_ and not solution.IsDisposed


@pytest.mark.parametrize(
    "fre, thf, extra, expected",
    [
        ("conception", ("load.thf",), (), ["study1.vokel", "conception.fre", "load.thf"]),
        ("own", (), (), ["study1.vokel", "study1.fre"]),
        ("both", ("case.THF",), (), ["study1.vokel", "study1.fre", "case.THF"]),
        (None, (), (), ["study1.vokel"]),
        ("conception", ("one.thf", "two.thf"), (), ["study1.vokel", "conception.fre", "first thf"]),
        (
            "conception",
            (),
            ("notes.txt", "other.vokel", "dir.thf/", "sub/inner.thf"),
            ["study1.vokel", "conception.fre"],
        ),
    ],
)
def test_the_sandbox_holds_the_model_its_fre_file_and_its_first_thf_file(
    core, models, temp_root, monkeypatch, fre, thf, extra, expected
):
    path = models(fre=fre, thf=thf)
    folder = os.path.dirname(path)
    for relative in extra:
        target = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(target.rstrip("/")), exist_ok=True)
        if relative.endswith("/"):
            os.makedirs(target)
        else:
            with open(target, "w") as f:
                f.write(relative)
    if "first thf" in expected:
        first = next(n for n in os.listdir(folder) if n.endswith(".thf"))
        expected = [first if n == "first thf" else n for n in expected]
    source = tree_contents(folder)
    seen = []
    spy(
        monkeypatch,
        core,
        "loadVokel",
        lambda name: seen.append((name, core._tempDirectory_, tree_contents(os.path.dirname(name)))),
    )
    core.solve(path, "Quelbar", True)
    ((loaded, recorded, contents),) = seen
    sandbox = only_folder(temp_root)
    assert loaded == os.path.join(sandbox, "study1.vokel") and recorded == sandbox
    assert contents == {name: source[name] for name in expected}


@pytest.mark.parametrize("fre", ["conception", None])
@pytest.mark.parametrize("solver", SOLVERS)
def test_a_sandboxed_solve_leaves_the_models_folder_alone(core, models, temp_root, solver, fre):
    path = models(fre=fre, thf=("load.thf",))
    folder = os.path.dirname(path)
    before = tree_contents(folder)
    solution = core.solve(path, solver, True)
    assert tree_contents(folder) == before
    sandbox = only_folder(temp_root)
    assert core._tempDirectory_ == sandbox
    assert os.path.dirname(solution.ResultsFile) == sandbox
    if solver == "Quelbar" and fre is None:
        assert os.path.isfile(os.path.join(sandbox, "conception.fre")), "written in the sandbox"


@pytest.mark.parametrize("recorded", [None, "an earlier sandbox"])
@pytest.mark.parametrize("solver", SOLVERS)
def test_an_in_place_solve(core, models, temp_root, monkeypatch, solver, recorded):
    path = models(fre=None)
    folder = os.path.dirname(path)
    core._tempDirectory_ = recorded
    solving = spy(monkeypatch, core, "solvePipingModel")
    solution = core.solve(path, solver, False)
    ((vokel, filename, name, directory),) = solving.calls
    assert (filename, name, directory) == (path, solver, folder)
    assert core._tempDirectory_ == recorded and os.listdir(temp_root) == []
    assert os.path.dirname(solution.ResultsFile) == folder
    expected = {"study1.vokel", os.path.basename(solution.ResultsFile)}
    if solver == "Quelbar":
        expected.add("conception.fre")  # written in the model's folder by the run
    assert set(os.listdir(folder)) == expected


@pytest.mark.parametrize("first, second", [("Quelbar", "Revav"), ("Revav", "Quelbar")])
def test_an_in_place_solve_deletes_the_earlier_sandbox(core, models, temp_root, first, second):
    path = models()
    earlier = core.solve(path, first, True)
    sandbox = core._tempDirectory_
    assert core.solve(path, second, False) is not None
    assert earlier.IsDisposed and not os.path.exists(sandbox)
    assert core._tempDirectory_ == sandbox and os.listdir(temp_root) == []


@pytest.mark.parametrize("name", ["Quelbar", "Revav", "revav", "", None, "any solver"])
def test_a_structure_model_is_solved_with_revav_whatever_the_name(core, models, temp_root, monkeypatch, capsys, name):
    path = models(kind="structure", elements=2)
    piping = spy(monkeypatch, core, "solvePipingModel")
    structure = spy(monkeypatch, core, "solveStructureModel")
    solution = core.solve(path, name, True)
    sandbox = only_folder(temp_root)
    assert piping.calls == []
    ((vokel, filename, directory),) = structure.calls
    assert (filename, directory) == (os.path.join(sandbox, "study1.vokel"), sandbox)
    assert solution.Summary.startswith("Revav solution of a structure model (2 elements)")
    assert printed(capsys) == []


@pytest.mark.parametrize("sandbox", [True, False])
def test_a_piping_model_with_an_unknown_solver_name(core, models, temp_root, monkeypatch, sandbox):
    path = models()
    events = []
    spy(monkeypatch, core, "loadVokel", lambda name: events.append(("load", name, os.listdir(temp_root))))
    monkeypatch.setattr(core, "print", lambda *args: events.append(("print",) + args), raising=False)
    core._Solution_ = earlier = Disposable()
    assert core.solve(path, "quelbar", sandbox) is None
    assert core._Solution_ is None and earlier.disposed == 1
    if sandbox:
        folder = only_folder(temp_root)
        assert events == [
            ("load", os.path.join(folder, "study1.vokel"), [os.path.basename(folder)]),
            ("print", INVALID_SOLVER),
        ]
        assert core._tempDirectory_ == folder
    else:
        assert events == [("load", path, []), ("print", INVALID_SOLVER)]


@pytest.mark.parametrize("sandbox", [True, False])
@pytest.mark.parametrize("content", ["not a model", '{"standin-model": 2}', ""])
def test_a_file_that_holds_no_model(core, ready, tmp_path, temp_root, capsys, content, sandbox):
    folder = tmp_path / "notes"
    folder.mkdir()
    notes = folder / "notes.txt"
    notes.write_text(content)
    core._Solution_ = earlier = Disposable()
    assert core.solve(str(notes), "Quelbar", sandbox) is None
    assert printed(capsys) == ["Invalid vokel"]
    assert core._Solution_ is None and earlier.disposed == 1
    if sandbox:
        kept = only_folder(temp_root)
        assert core._tempDirectory_ == kept and tree_contents(kept) == {"notes.txt": content.encode()}
        core.disposeSolution()
        assert os.listdir(temp_root) == []
    else:
        assert core._tempDirectory_ is None and os.listdir(temp_root) == []


def test_a_model_of_neither_kind_gives_none_silently(core, models, temp_root, monkeypatch, capsys):
    path = models()
    monkeypatch.setattr(core, "loadVokel", lambda name: types.SimpleNamespace(CalculationCode=object()))
    piping = spy(monkeypatch, core, "solvePipingModel")
    structure = spy(monkeypatch, core, "solveStructureModel")
    assert core.solve(path, "Quelbar", True) is None
    assert piping.calls == structure.calls == [] and printed(capsys) == []


@pytest.mark.parametrize("fixed", [None, uuid.UUID("0f1e2d3c-4b5a-4697-8877-665544332211")])
@pytest.mark.parametrize("function", ["solve", "copyDirectoryToTemp"])
def test_temporary_folders_are_named_by_a_random_uuid(core, models, temp_root, monkeypatch, function, fixed):
    path = models()
    if fixed is not None:
        monkeypatch.setattr(core, "uuid", types.SimpleNamespace(uuid4=lambda: fixed))
    if function == "solve":
        core.solve(path, "Quelbar", True)
        folder = core._tempDirectory_
    else:
        folder = core.copyDirectoryToTemp(os.path.dirname(path))
    assert os.path.dirname(folder) == tempfile.gettempdir() == str(temp_root)
    name = os.path.basename(folder)
    assert len(name) == 36 and str(uuid.UUID(name)) == name and uuid.UUID(name).version == 4
    if fixed is not None:
        assert name == str(fixed)
    assert os.listdir(temp_root) == [name]


@pytest.mark.parametrize("error", [OSError("disk full"), KeyboardInterrupt()])
@pytest.mark.parametrize("removal", ["works", "fails"])
@pytest.mark.parametrize("failing", [1, 2, 3])
def test_a_copy_cut_short_deletes_the_sandbox_before_the_error_goes_on(
    core, models, temp_root, monkeypatch, failing, removal, error
):
    path = models(thf=("load.thf",))
    count = []

    def copy(source, target):
        count.append(source)
        if len(count) == failing:
            raise error
        return shutil.copy(source, target)

    def rmtree(folder, *args, **kwargs):
        if removal == "fails":
            raise PermissionError("file in use")
        return shutil.rmtree(folder, *args, **kwargs)

    monkeypatch.setattr(core, "shutil", fake_shutil(copy=copy, rmtree=rmtree))
    loading = spy(monkeypatch, core, "loadVokel")
    core._Solution_ = earlier = Disposable()
    with pytest.raises(type(error)) as raised:
        core.solve(path, "Quelbar", True)
    assert raised.value is error
    assert loading.calls == [] and core._Solution_ is None and earlier.disposed == 1
    assert core._tempDirectory_ is None, "recorded once its files are in"
    assert len(os.listdir(temp_root)) == (removal == "fails")
    monkeypatch.setattr(core, "shutil", shutil)
    core.disposeSolution()  # a folder that could not be deleted waits as pending
    assert os.listdir(temp_root) == []


@pytest.mark.parametrize("function", ["solve", "copyDirectoryToTemp"])
def test_an_existing_folder_is_never_taken_for_a_new_one(core, models, temp_root, monkeypatch, function):
    path = models()
    names = iter(
        [
            "0f1e2d3c-4b5a-4697-8877-665544332211",
            "0f1e2d3c-4b5a-4697-8877-665544332211",
            "11111111-4b5a-4697-8877-665544332211",
        ]
    )
    monkeypatch.setattr(core, "uuid", types.SimpleNamespace(uuid4=lambda: next(names)))
    existing = temp_root / "0f1e2d3c-4b5a-4697-8877-665544332211"
    existing.mkdir()
    (existing / "precious.txt").write_text("keep")
    if function == "solve":
        core.solve(path, "Quelbar", True)
        assert os.path.basename(core._tempDirectory_) == "11111111-4b5a-4697-8877-665544332211"
    else:
        assert core.copyDirectoryToTemp(os.path.dirname(path)) == ""
    core._tempDirectory_ = str(existing)
    core.disposeSolution()
    assert tree_contents(existing) == {"precious.txt": b"keep"}


@pytest.mark.parametrize("sandbox", [True, False])
def test_a_sandbox_that_could_not_be_deleted_is_not_forgotten(core, models, temp_root, monkeypatch, capsys, sandbox):
    path = models()
    core.solve(path, "Quelbar", True)
    stuck = core._tempDirectory_
    failures = [PermissionError("file in use")]

    def rmtree(folder, *args, **kwargs):
        if failures:
            raise failures.pop()
        return shutil.rmtree(folder, *args, **kwargs)

    monkeypatch.setattr(core, "shutil", fake_shutil(rmtree=rmtree))
    capsys.readouterr()
    assert core.solve(path, "Revav", sandbox) is not None
    assert f"{DELETE_FAILED} file in use" in capsys.readouterr().out
    assert os.path.isdir(stuck)
    # The global moves to the new sandbox; the old one waits in the module's own record.
    assert (core._tempDirectory_ != stuck) if sandbox else (core._tempDirectory_ == stuck)
    assert not hasattr(core, "_pendingTempDirectories_")
    core.disposeSolution()
    assert os.listdir(temp_root) == []


def test_a_pending_sandbox_is_tried_again_until_it_goes(core, models, temp_root, monkeypatch, capsys):
    path = models()
    core.solve(path, "Quelbar", True)
    stuck = core._tempDirectory_
    refusing = {stuck}

    def rmtree(folder, *args, **kwargs):
        if folder in refusing:
            raise PermissionError("file in use")
        return shutil.rmtree(folder, *args, **kwargs)

    monkeypatch.setattr(core, "shutil", fake_shutil(rmtree=rmtree))
    core.solve(path, "Quelbar", True)
    core.solve(path, "Quelbar", True)
    capsys.readouterr()
    core.disposeSolution()
    assert capsys.readouterr().out == f"{DELETE_FAILED} file in use\n", "kept once"
    assert os.listdir(temp_root) == [os.path.basename(stuck)]
    refusing.clear()
    core.disposeSolution()
    assert os.listdir(temp_root) == []


@pytest.mark.parametrize("sandbox", [True, False])
@pytest.mark.parametrize("first, second", [("Quelbar", "Quelbar"), ("Revav", "Revav"), ("Quelbar", "Revav")])
def test_solving_twice_in_a_row(core, models, temp_root, first, second, sandbox):
    path = models(thf=("load.thf",))
    one = core.solve(path, first, sandbox)
    folder_one = core._tempDirectory_
    two = core.solve(path, second, sandbox)
    assert one.IsDisposed and not two.IsDisposed and core._Solution_ is two
    assert open_result_files() == [two.ResultsFile]
    if sandbox:
        assert not os.path.exists(folder_one) and only_folder(temp_root) == core._tempDirectory_
    core.disposeSolution()
    assert two.IsDisposed and open_result_files() == [] and os.listdir(temp_root) == []


def make_tree(root):
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "top.vokel").write_bytes(b"\x00model")
    (root / "sub" / "load.thf").write_text("thf")
    (root / "sub" / "deeper" / "notes.txt").write_text("notes")
    return tree_contents(root)


def test_copy_directory_to_temp_copies_the_whole_tree(core, tmp_path, temp_root, monkeypatch):
    tree = make_tree(tmp_path / "source")
    copytree = []
    monkeypatch.setattr(
        core,
        "shutil",
        fake_shutil(
            copytree=lambda *args, **kwargs: copytree.append((args, kwargs)) or shutil.copytree(*args, **kwargs)
        ),
    )
    folder = core.copyDirectoryToTemp(str(tmp_path / "source"))
    assert only_folder(temp_root) == folder and tree_contents(folder) == tree
    assert copytree == [((str(tmp_path / "source"), folder), {"dirs_exist_ok": True})]
    assert tree_contents(tmp_path / "source") == tree


@pytest.mark.parametrize("source", ["missing", "a file"])
def test_copy_directory_to_temp_of_no_folder_gives_an_empty_string(core, tmp_path, temp_root, capsys, source):
    (tmp_path / "a file").write_text("x")
    assert core.copyDirectoryToTemp(str(tmp_path / source)) == ""
    assert os.listdir(temp_root) == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("removal", ["works", "fails"])
def test_copy_directory_to_temp_removes_a_partial_copy(core, tmp_path, temp_root, monkeypatch, removal):
    make_tree(tmp_path / "source")

    def copytree(source, target, **kwargs):
        shutil.copytree(source, target, **kwargs)
        raise shutil.Error([("top.vokel", "x", "cannot read")])

    def rmtree(path, **kwargs):
        if removal == "fails":
            raise OSError("busy")
        shutil.rmtree(path, **kwargs)

    monkeypatch.setattr(core, "shutil", fake_shutil(copytree=copytree, rmtree=rmtree))
    assert core.copyDirectoryToTemp(str(tmp_path / "source")) == ""
    if removal == "works":
        assert os.listdir(temp_root) == []


def test_copy_directory_to_temp_lets_an_interrupt_through(core, tmp_path, temp_root, monkeypatch):
    interrupt = KeyboardInterrupt()

    def copytree(*args, **kwargs):
        raise interrupt

    monkeypatch.setattr(core, "shutil", fake_shutil(copytree=copytree))
    with pytest.raises(KeyboardInterrupt) as raised:
        core.copyDirectoryToTemp(str(tmp_path))
    assert raised.value is interrupt


@pytest.mark.parametrize(
    "kind, name, solver",
    [
        ("piping", "Quelbar", "Quelbar"),
        ("piping", "Revav", "Revav"),
        ("structure", "Revav", "Revav"),
        ("structure", "Quelbar", "Revav"),
    ],
)
@pytest.mark.parametrize("sandbox", [True, False])
def test_solving_end_to_end(core, models, temp_root, kind, name, solver, sandbox):
    path = models(kind=kind, elements=4, thf=("loads.thf",))
    solution = core.solve(path, name, sandbox)
    folder = only_folder(temp_root) if sandbox else os.path.dirname(path)
    results = os.path.join(folder, "conception.qres" if solver == "Quelbar" else "study1.rres")
    assert solution is core._Solution_
    assert solution.Summary == f"{solver} solution of a {kind} model (4 elements): {results}"
    with open(results) as f:
        lines = f.read().splitlines()
    assert f"thf={os.path.join(folder, 'loads.thf')}" in lines and "ignoreWarnings=True" in lines
    assert open_result_files() == [results]
    core.disposeSolution()
    assert solution.IsDisposed and open_result_files() == [] and core._Solution_ is None
    assert os.listdir(temp_root) == []
    assert os.path.isfile(path)


# --- the model's path, read once and made full at the call ---------------------


@pytest.mark.parametrize("moved", [False, True])
@pytest.mark.parametrize("sandbox", [True, False])
def test_a_bare_model_name_is_solved_from_the_current_folder(
    core, models, tmp_path, temp_root, monkeypatch, sandbox, moved
):
    path = models(fre=None, thf=("load.thf",))
    folder = os.path.dirname(path)
    monkeypatch.chdir(folder)
    if moved:  # another thread changes the current folder once the solve has begun
        spy(monkeypatch, core, "loadVokel", lambda name: os.chdir(tmp_path))
    solving = spy(monkeypatch, core, "solvePipingModel")
    solution = core.solve("study1.vokel", "Quelbar", sandbox)
    working = only_folder(temp_root) if sandbox else folder
    ((vokel, filename, name, directory),) = solving.calls
    assert (filename, directory) == (os.path.join(working, "study1.vokel"), working)
    assert solution is not None and os.path.dirname(solution.ResultsFile) == working
    expected = {"study1.vokel", "conception.fre", "load.thf", os.path.basename(solution.ResultsFile)}
    assert set(os.listdir(working)) == expected
    assert not os.path.exists(tmp_path / "conception.fre")


@pytest.mark.parametrize("sandbox", [True, False])
def test_solve_reads_a_path_object_once(core, models, temp_root, sandbox):
    path, other = models("first"), models("second", kind="structure")
    before = tree_contents(os.path.dirname(other))
    shifting = Shifting(path, other)
    solution = core.solve(shifting, "Quelbar", sandbox)
    assert shifting.reads == 1
    assert solution.Summary.startswith("Quelbar solution of a piping model")
    assert tree_contents(os.path.dirname(other)) == before


def test_copy_directory_to_temp_reads_a_path_object_once(core, tmp_path, temp_root):
    tree = make_tree(tmp_path / "source")
    (tmp_path / "other").mkdir()
    shifting = Shifting(str(tmp_path / "source"), str(tmp_path / "other"))
    folder = core.copyDirectoryToTemp(shifting)
    assert shifting.reads == 1 and tree_contents(folder) == tree


def test_copy_directory_to_temp_of_a_relative_folder_and_of_nothing(core, tmp_path, temp_root, monkeypatch):
    tree = make_tree(tmp_path / "source")
    monkeypatch.chdir(tmp_path)
    assert tree_contents(core.copyDirectoryToTemp("source")) == tree
    # "" names no folder, not the current one.
    assert core.copyDirectoryToTemp("") == ""
    assert len(os.listdir(temp_root)) == 1

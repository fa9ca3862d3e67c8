"""disposeSolution: the last solution first, then the last sandbox folder."""

import os
import shutil
import types

import pytest
from brivane_standin import dotnet, journal
from brivane_standin.product import open_result_files
from brivane_testkit.module_table import DELETE_FAILED
from brivane_testkit.trees import tree_contents

from .support_solving import Disposable, fake_shutil


@pytest.fixture
def rmtree(monkeypatch, core):
    """Records each shutil.rmtree call of the module with what was still open
    at that moment, then runs `rmtree.action` (the real one by default)."""

    class Spy:
        def __init__(self):
            self.calls, self.action = [], shutil.rmtree

        def __call__(self, *args, **kwargs):
            self.calls.append((args, kwargs, open_result_files(), core._Solution_))
            return self.action(*args, **kwargs)

    spy = Spy()
    monkeypatch.setattr(core, "shutil", fake_shutil(rmtree=spy))
    return spy


@pytest.fixture
def sandbox(models, core, capsys):
    """A sandboxed solve: its Solution is in _Solution_, its folder in _tempDirectory_."""

    def make(solver="Quelbar"):
        path = models()
        solution = core.solve(path, solver, True)
        assert solution is not None and os.path.isdir(core._tempDirectory_)
        journal.clear()
        capsys.readouterr()
        return solution

    return make


def test_nothing_to_release(core, rmtree, capsys):
    assert core.disposeSolution() is None
    assert core._Solution_ is None and core._tempDirectory_ is None
    assert rmtree.calls == [] and capsys.readouterr().out == "" and journal.entries() == []


@pytest.mark.parametrize("solver", ["Quelbar", "Revav"])
def test_the_solution_is_disposed_before_its_folder_is_deleted(core, sandbox, rmtree, capsys, solver):
    solution = sandbox(solver)
    folder = core._tempDirectory_
    assert os.path.dirname(solution.ResultsFile) == folder and open_result_files() != []
    assert core.disposeSolution() is None
    assert solution.IsDisposed and core._Solution_ is None
    ((args, kwargs, still_open, held),) = rmtree.calls
    assert args == (folder,) and kwargs == {}
    assert still_open == [] and held is None, "the folder is deleted after the solution is released"
    assert not os.path.exists(folder)
    assert core._tempDirectory_ == folder, "the global keeps naming the deleted folder"
    assert [c.name for c in journal.entries()] == ["Solution.Dispose"]
    assert capsys.readouterr().out == ""


def test_only_the_solution(core, rmtree):
    solution = Disposable()
    core._Solution_ = solution
    assert core.disposeSolution() is None
    assert solution.disposed == 1 and core._Solution_ is None and rmtree.calls == []


def test_a_solution_that_equals_none_is_left_alone(core, rmtree):
    class EqualsEverything(Disposable):
        def __eq__(self, other):
            return True

        def __ne__(self, other):
            return False

    solution = EqualsEverything()
    core._Solution_ = solution
    assert core.disposeSolution() is None
    assert solution.disposed == 0 and core._Solution_ is solution


@pytest.mark.parametrize("error", [dotnet.ObjectDisposedException("gone"), KeyboardInterrupt()])
def test_a_failing_dispose_passes_through_and_keeps_everything(core, tmp_path, rmtree, capsys, error):
    folder = tmp_path / "sandbox"
    folder.mkdir()
    (folder / "model.vokel").write_text("x")
    solution = Disposable(error)
    core._Solution_, core._tempDirectory_ = solution, str(folder)
    with pytest.raises(type(error)) as raised:
        core.disposeSolution()
    assert raised.value is error
    assert core._Solution_ is solution and solution.disposed == 1
    assert rmtree.calls == [] and tree_contents(folder) == {"model.vokel": b"x"}
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("recorded", ["", "missing folder", "a file", None])
def test_a_recorded_value_that_is_no_folder_deletes_nothing(core, tmp_path, rmtree, capsys, recorded):
    a_file = tmp_path / "a file"
    a_file.write_text("keep")
    value = {"missing folder": str(tmp_path / "gone"), "a file": str(a_file)}.get(recorded, recorded)
    core._tempDirectory_ = value
    assert core.disposeSolution() is None
    assert rmtree.calls == [] and capsys.readouterr().out == ""
    assert a_file.read_text() == "keep" and core._tempDirectory_ == value


@pytest.mark.parametrize(
    "error, text",
    [
        (OSError("file in use"), "file in use"),
        (PermissionError(13, "Access is denied"), "[Errno 13] Access is denied"),
        (dotnet.IOException("The process cannot access the file"), "The process cannot access the file"),
        (ValueError(), ""),
    ],
)
def test_a_failing_deletion_is_reported_and_retried_later(core, sandbox, rmtree, capsys, error, text):
    solution = sandbox()
    folder = core._tempDirectory_
    partly = os.path.join(folder, "study1.vokel")

    def remove_one_then_fail(path):
        os.remove(partly)
        raise error

    rmtree.action = remove_one_then_fail
    assert core.disposeSolution() is None
    assert capsys.readouterr().out == f"{DELETE_FAILED} {text}\n"
    assert solution.IsDisposed and core._Solution_ is None
    assert os.path.isdir(folder) and not os.path.exists(partly), "what was deleted stays deleted"
    assert core._tempDirectory_ == folder

    rmtree.action = shutil.rmtree
    assert core.disposeSolution() is None
    assert not os.path.exists(folder) and len(rmtree.calls) == 2
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_an_interrupt_during_the_deletion_passes_through(core, sandbox, rmtree, capsys, error):
    solution = sandbox()
    folder = core._tempDirectory_

    def interrupted(path):
        raise error

    rmtree.action = interrupted
    with pytest.raises(type(error)) as raised:
        core.disposeSolution()
    assert raised.value is error
    assert solution.IsDisposed and core._Solution_ is None
    assert os.path.isdir(folder) and capsys.readouterr().out == ""


def test_two_calls_in_a_row(core, sandbox, rmtree, capsys):
    solution = sandbox()
    folder = core._tempDirectory_
    assert core.disposeSolution() is None
    assert core.disposeSolution() is None
    assert len(rmtree.calls) == 1 and not os.path.exists(folder)
    assert journal.names() == ["Solution.Dispose"] and solution.IsDisposed
    assert capsys.readouterr().out == ""


def test_no_arguments(core):
    with pytest.raises(TypeError) as raised:
        core.disposeSolution(None)
    assert str(raised.value) == "disposeSolution() takes no arguments (1 given)"


# --- only folders the module made are deleted --------------------------------


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "value", ["script folder", "", ".", "..", "/", "current folder", b"script folder", "path-like", "sandbox as bytes"]
)
def test_disposal_deletes_only_a_folder_the_module_made(core, sandbox, rmtree, tmp_path, monkeypatch, value):
    sandbox()
    rmtree.action = lambda *args, **kwargs: None  # roots and the like only ever reach a recorder
    made = core._tempDirectory_
    script_folder = tmp_path / "Temp"
    (script_folder / "inner").mkdir(parents=True)
    monkeypatch.chdir(script_folder)
    monkeypatch.setattr(core, "_pendingTempDirectories_", "./old", raising=False)  # no longer the module's
    core._tempDirectory_ = {
        "script folder": str(script_folder),
        "current folder": os.getcwd(),
        b"script folder": os.fsencode(script_folder),
        "path-like": PathLike(str(script_folder)),
        "sandbox as bytes": os.fsencode(made),
    }.get(value, value)
    assert core.disposeSolution() is None
    assert rmtree.calls == [] and (script_folder / "inner").is_dir()
    # The sandbox that _tempDirectory_ stopped naming is forgotten, not deleted: naming it again keeps it.
    assert os.path.isdir(made)
    core._tempDirectory_ = made
    assert core.disposeSolution() is None
    assert rmtree.calls == [] and os.path.isdir(made)
    shutil.rmtree(made)


def test_a_script_keeps_its_sandbox_by_clearing_the_global(core, sandbox, rmtree):
    solution = sandbox()
    made = core._tempDirectory_
    core._tempDirectory_ = None
    assert core.disposeSolution() is None
    assert solution.IsDisposed and rmtree.calls == [] and os.path.isdir(made)
    shutil.rmtree(made)


def test_a_copy_named_by_the_global_is_deleted_and_one_not_named_is_forgotten(core, tmp_path, temp_root, rmtree):
    source = tmp_path / "source"
    (source / "sub").mkdir(parents=True)
    (source / "sub" / "a.fre").write_text("x")
    core._tempDirectory_ = core.copyDirectoryToTemp(str(source))
    assert core.disposeSolution() is None
    assert os.listdir(temp_root) == []
    kept = core.copyDirectoryToTemp(str(source))
    assert core.disposeSolution() is None
    core._tempDirectory_ = kept
    assert core.disposeSolution() is None
    assert os.listdir(temp_root) == [os.path.basename(kept)] and len(rmtree.calls) == 1


@pytest.mark.parametrize("copy_fails", [False, True])
def test_a_copy_into_an_existing_folder_is_not_the_modules_own(
    core, tmp_path, temp_root, rmtree, monkeypatch, copy_fails
):
    existing = temp_root / "existing"
    (existing / "precious").mkdir(parents=True)
    monkeypatch.setattr(core, "uuid", types.SimpleNamespace(uuid4=lambda: "existing"))
    source = str(tmp_path / ("missing" if copy_fails else "source"))
    if not copy_fails:
        (tmp_path / "source").mkdir()
    assert core.copyDirectoryToTemp(source) == ""
    core._tempDirectory_ = str(existing)
    assert core.disposeSolution() is None
    assert rmtree.calls == [] and (existing / "precious").is_dir()


# --- at exit ----------------------------------------------------------------

AT_EXIT = """
    import io, os, shutil, signal, sys, tempfile, threading, types
    from contextlib import redirect_stdout
    from brivane_standin.installation import create_installation
    from brivane_standin.product.quelbar_core import QuelbarSolver
    from brivane_computer import brivane_core as core
    work = {work!r}
    tempfile.tempdir = os.path.join(work, "temp")
    found = create_installation(os.path.join(work, "installation"))
    core._settingsPath_, core._dataSourcesPath_ = found.settings_path, found.data_sources_path
    with redirect_stdout(io.StringIO()):
        assert core.setup_brivane_computer(found.root, core.BrivaneModule.Pelorix)
        model = core.createPipingVokel()
        os.makedirs(os.path.join(work, "models"))
        path = os.path.join(work, "models", "study1.vokel")
        core.saveVokel(model, path)
    def pending_copy():
        # A copy handed to disposeSolution, whose deletion fails: pending, for a later disposeSolution.
        core._tempDirectory_ = copy = core.copyDirectoryToTemp(os.path.join(work, "models"))
        core.shutil = types.SimpleNamespace(rmtree=lambda folder: 1 / 0)
        with redirect_stdout(io.StringIO()):
            core.disposeSolution()
        core.shutil = shutil
        return copy
    # A child made by fork that ends normally, through atexit, leaves its parent's folders alone.
    failed = pending_copy()
    child = os.fork()
    if child == 0:
        sys.exit(0)
    os.waitpid(child, 0)
    print("after the child:", os.path.isdir(failed))
    # A run that goes on, its solve interrupted: its sandbox is pending too, and the run works in it.
    real_run = QuelbarSolver.Run
    def held_run(self):
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        threading.Event().wait()
        return real_run(self)
    QuelbarSolver.Run = held_run
    try:
        core.solve(path, "Quelbar", True)
    except KeyboardInterrupt:
        pass
    running = core._tempDirectory_
    core.disposeSolution()
    print(pending_copy())
    print(running)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork() is POSIX only")
def test_at_exit_only_this_processs_pending_folders_that_no_run_holds_are_deleted(python, tmp_path):
    (tmp_path / "temp").mkdir()
    result = python(AT_EXIT.format(work=str(tmp_path)))
    after_child, pending, running = [line for line in result.stdout.splitlines() if not line.endswith(" loaded")]
    assert after_child == "after the child: True"
    assert not os.path.exists(pending), "a pending folder outlived the process"
    assert os.path.isdir(running), "deleted under a run still going"
    assert os.listdir(tmp_path / "temp") == [os.path.basename(running)]

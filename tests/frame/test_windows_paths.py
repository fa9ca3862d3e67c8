"""Paths under Windows rules, on any machine: the module takes os, shutil,
tempfile and uuid from its own namespace, so a fake os whose path module is
ntpath and whose files are a small in-memory tree shows what the module would
do on Windows: which folder a removal deletes, the fre, project and sandbox
paths it computes. And the Windows test run's confinement is accepted on that
runner only."""

import ntpath
import os
import subprocess
import sys
import types
import uuid

import pytest
from brivane_testkit.confinement import THROW_AWAY_RUNNER

TEMP = "C:\\Users\\ada\\AppData\\Local\\Temp"
UUID = uuid.UUID("12345678-1234-5678-1234-567812345678")
SANDBOX = f"{TEMP}\\{UUID}"


class WindowsDisk:
    """A Windows file system in memory: folders, files, links and junctions by
    path (case-insensitive), a current folder, and the effects of every call."""

    def __init__(self, folders=(), files=(), links=(), junctions=(), cwd="C:\\Work"):
        self.cwd = cwd
        self.kinds = {}
        self.names = {}  # the names as written, for listings
        for kind, paths in (("folder", folders), ("file", files), ("link", links), ("junction", junctions)):
            for path in paths:
                self.add(path, kind)
        self.asked = []  # paths whose existence the module tested
        self.effects = []  # what it changed, with the current folder at the time

        def kind_of(path):
            return self.kinds.get(self.key(path)) if path else None

        def exists(path):
            self.asked.append(path)
            return kind_of(path) is not None

        self.path = types.SimpleNamespace(
            **{
                name: getattr(ntpath, name)
                for name in ("sep", "altsep", "join", "split", "splitext", "basename", "dirname", "normcase", "isabs")
            },
            exists=exists,
            # Windows' own rule, from this disk's current folder: drive-relative paths completed, "." and ".."
            # collapsed by text.
            abspath=lambda path: ntpath.normpath(ntpath.join(self.cwd, path)),
            isdir=lambda path: kind_of(path) in ("folder", "link", "junction"),
            isfile=lambda path: kind_of(path) == "file",
            islink=lambda path: kind_of(path) == "link",
            isjunction=lambda path: kind_of(path) == "junction",
        )
        self.os = types.SimpleNamespace(
            path=self.path,
            name="nt",
            sep="\\",
            fspath=os.fspath,
            getcwd=lambda: self.cwd,
            chdir=self.chdir,
            makedirs=self.makedirs,
            mkdir=self.mkdir,
            listdir=self.listdir,
        )
        self.shutil = types.SimpleNamespace(
            rmtree=lambda path: self.effects.append(("rmtree", path, self.cwd)),
            copy=lambda source, target: self.effects.append(("copy", source, target)),
        )

    def key(self, path):
        # Drive-relative and relative paths start from the current folder, as on Windows.
        return ntpath.normcase(ntpath.normpath(ntpath.join(self.cwd, path)))

    def chdir(self, path):
        assert self.path.isdir(path), f"chdir to {path!r}, which is no folder"
        self.cwd = ntpath.normpath(ntpath.join(self.cwd, path))
        self.effects.append(("chdir", path))

    def add(self, path, kind):
        self.kinds[self.key(path)] = kind
        self.names[self.key(path)] = ntpath.basename(path)

    def makedirs(self, path, exist_ok=False):
        self.add(path, "folder")
        self.effects.append(("makedirs", path))

    def mkdir(self, path):
        if self.path.exists(path):
            raise FileExistsError(17, "Cannot create a file when that file already exists", path)
        self.add(path, "folder")
        self.effects.append(("mkdir", path))

    def listdir(self, path):
        prefix = self.key(path).rstrip("\\") + "\\"
        return sorted(self.names[k] for k in self.kinds if k.startswith(prefix) and "\\" not in k[len(prefix) :])


@pytest.fixture
def windows(core, ready, monkeypatch, capsys):
    """Binds a WindowsDisk into the module; the assemblies the calls need are loaded first, from the real disk."""
    core.load_dll("Brivane.Pelorix.Project.dll")
    capsys.readouterr()

    def bind(**tree):
        disk = WindowsDisk(**tree)
        monkeypatch.setattr(core, "os", disk.os)
        monkeypatch.setattr(core, "shutil", disk.shutil)
        monkeypatch.setattr(core, "tempfile", types.SimpleNamespace(gettempdir=lambda: TEMP))
        monkeypatch.setattr(core, "uuid", types.SimpleNamespace(uuid4=lambda: UUID))
        return disk

    return bind


TREE = dict(
    folders=[
        "C:\\",
        "C:\\Work",
        "C:\\Work\\Projects",
        "C:\\Work\\Projects\\Plant1",
        "C:\\P1",
        "\\\\srv\\share\\",
        "\\\\srv\\share\\P2",
    ],
    files=["C:\\P1\\a.txt"],
    links=["C:\\Work\\Link"],
    junctions=["C:\\Work\\Junction"],
)


@pytest.mark.parametrize("removal", ["removeProjectFolder", "removeProject"])
@pytest.mark.parametrize(
    "path, cwd, effects, cwd_after",
    [
        # Roots and drives name no folder to remove.
        ("C:", "C:\\Work", [], "C:\\Work"),
        ("C:\\", "C:\\Work", [], "C:\\Work"),
        ("\\\\srv\\share\\", "C:\\Work", [], "C:\\Work"),
        ("", "C:\\Work", [], "C:\\Work"),
        (".", "C:\\Work", [], "C:\\Work"),
        ("..", "C:\\Work\\Projects", [], "C:\\Work\\Projects"),
        # Made full once by Windows' rule; the parent becomes current, and the folder is removed by its full path.
        ("C:\\P1\\", "C:\\Work", [("chdir", "C:\\"), ("rmtree", "C:\\P1", "C:\\")], "C:\\"),
        ("C:/P1//", "C:\\Work", [("chdir", "C:\\"), ("rmtree", "C:\\P1", "C:\\")], "C:\\"),
        (
            "\\\\srv\\share\\P2",
            "C:\\Work",
            [("chdir", "\\\\srv\\share\\"), ("rmtree", "\\\\srv\\share\\P2", "\\\\srv\\share\\")],
            "\\\\srv\\share\\",
        ),
        # A relative project, and a drive-relative one, name the folder under the current one.
        (
            "Projects\\Plant1",
            "C:\\Work",
            [("chdir", "C:\\Work\\Projects"), ("rmtree", "C:\\Work\\Projects\\Plant1", "C:\\Work\\Projects")],
            "C:\\Work\\Projects",
        ),
        (
            "Plant1",
            "C:\\Work\\Projects",
            [("chdir", "C:\\Work\\Projects"), ("rmtree", "C:\\Work\\Projects\\Plant1", "C:\\Work\\Projects")],
            "C:\\Work\\Projects",
        ),
        (
            "C:Plant1",
            "C:\\Work\\Projects",
            [("chdir", "C:\\Work\\Projects"), ("rmtree", "C:\\Work\\Projects\\Plant1", "C:\\Work\\Projects")],
            "C:\\Work\\Projects",
        ),
        # ".." inside the path collapses by text, as Windows resolves it.
        (
            "C:\\Work\\Link\\..\\Projects\\Plant1",
            "C:\\",
            [("chdir", "C:\\Work\\Projects"), ("rmtree", "C:\\Work\\Projects\\Plant1", "C:\\Work\\Projects")],
            "C:\\Work\\Projects",
        ),
        # The current folder itself: Windows cannot delete it, so the parent becomes current first.
        (
            "C:\\Work\\Projects\\Plant1",
            "C:\\Work\\Projects\\Plant1",
            [("chdir", "C:\\Work\\Projects"), ("rmtree", "C:\\Work\\Projects\\Plant1", "C:\\Work\\Projects")],
            "C:\\Work\\Projects",
        ),
        # Never what a link or a junction points to, nor a file.
        ("C:\\Work\\Link", "C:\\Work", [], "C:\\Work"),
        ("C:\\Work\\Junction\\", "C:\\Work", [], "C:\\Work"),
        ("C:\\P1\\a.txt", "C:\\Work", [], "C:\\Work"),
    ],
)
def test_removal(core, windows, removal, path, cwd, effects, cwd_after):
    disk = windows(**TREE, cwd=cwd)
    assert getattr(core, removal)(path) is None
    assert disk.effects == effects
    assert disk.cwd == cwd_after


@pytest.mark.parametrize(
    "files, fre_copy",
    [
        (["Study1.vokel", "Study1.fre", "conception.fre", "Loads.THF"], "Study1.fre"),
        (["Study1.vokel", "conception.fre", "Loads.THF"], "conception.fre"),
    ],
)
def test_sandboxed_solve_and_disposal(core, windows, monkeypatch, capsys, files, fre_copy):
    folder = "C:\\Work\\Projects\\Plant1"
    disk = windows(folders=["C:\\", "C:\\Work", folder], files=[f"{folder}\\{name}" for name in files])
    loaded = []
    monkeypatch.setattr(core, "loadVokel", lambda path: loaded.append(path))
    assert core.solve(f"{folder}\\Study1.vokel", "Quelbar", True) is None
    assert capsys.readouterr().out == "Invalid vokel\n"
    assert disk.effects == [
        ("mkdir", SANDBOX),
        ("copy", f"{folder}\\Study1.vokel", f"{SANDBOX}\\Study1.vokel"),
        ("copy", f"{folder}\\{fre_copy}", f"{SANDBOX}\\{fre_copy}"),
        ("copy", f"{folder}\\Loads.THF", f"{SANDBOX}\\Loads.THF"),
    ]
    assert loaded == [f"{SANDBOX}\\Study1.vokel"] and core._tempDirectory_ == SANDBOX

    core.disposeSolution()
    assert disk.effects[-1] == ("rmtree", SANDBOX, "C:\\Work")


@pytest.mark.parametrize(
    "directory, project_file",
    [
        ("C:\\Work\\Plant1", "C:\\Work\\Plant1\\Plant1.project"),
        ("C:/Work/Plant.v2", "C:/Work/Plant.v2\\Plant.project"),
        ("\\\\srv\\share\\Plant1", "\\\\srv\\share\\Plant1\\Plant1.project"),
    ],
)
def test_project_file(core, windows, directory, project_file):
    disk = windows(folders=["C:\\", "C:\\Work"])
    assert core.removeStudy(directory, "Piping study") is None
    assert disk.asked == [project_file] and disk.effects == []


@pytest.mark.parametrize("runner", ["github-hosted", "self-hosted"])
def test_the_windows_runner_marker_is_accepted_there_only(tmp_path, runner):
    """A throw-away runner is GitHub-hosted and runs Windows; anywhere else the marker stops the run."""
    environment = dict(os.environ, BRIVANE_CONFINED=THROW_AWAY_RUNNER, GITHUB_ACTIONS="true", RUNNER_ENVIRONMENT=runner)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", __file__],
        capture_output=True,
        text=True,
        env=environment,
        cwd=str(tmp_path),
        timeout=120,
    )
    if sys.platform == "win32" and runner == "github-hosted":
        assert result.returncode == 0, result.stdout + result.stderr
    else:
        assert result.returncode == 3
        assert "accepted only on a GitHub-hosted Windows runner" in result.stdout + result.stderr

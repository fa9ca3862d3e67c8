"""The examples run as a user runs them, in order, against a stand-in installation."""
import os
import subprocess
import sys

from pathlib import Path

import pytest

from brivane_standin.installation import create_installation
from brivane_standin.product import read_project

import brivane_computer

ROOT = Path(__file__).resolve().parents[1]
STANDIN = ROOT / "standin"
EXAMPLES = ROOT / "examples"


def run_on_terminal(command, environment, cwd):
    """Runs a command with a pseudo-terminal as its output; returns what it wrote."""
    import pty

    controller, terminal = pty.openpty()
    process = subprocess.Popen(command, stdout=terminal, stderr=subprocess.STDOUT, env=environment, cwd=cwd)
    os.close(terminal)
    output = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    os.close(controller)
    assert process.wait(timeout=120) == 0, output
    return output.decode()


@pytest.fixture
def run_example(tmp_path):
    installation = create_installation(str(tmp_path / "Pelorix 2031.1"))
    environment = dict(os.environ)
    package_home = os.path.dirname(os.path.dirname(os.path.abspath(brivane_computer.__file__)))
    environment["PYTHONPATH"] = os.pathsep.join([str(STANDIN), package_home])
    environment["TMPDIR"] = str(tmp_path)

    def run(name, *arguments, check=True, terminal=False):
        command = [sys.executable, str(EXAMPLES / name), installation.root,
                   "--settings", installation.settings_path,
                   "--data-sources", installation.data_sources_path, *map(str, arguments)]
        if terminal:
            return run_on_terminal(command, environment, str(tmp_path))
        result = subprocess.run(command, capture_output=True, text=True, env=environment, cwd=str(tmp_path),
                                timeout=120)
        if check:
            assert result.returncode == 0, result.stdout + result.stderr
        return result
    run.installation = installation
    return run


def test_the_examples_walk_through_a_batch_session(run_example, tmp_path):
    projects = tmp_path / "Projects"

    inspected = run_example("setup_and_inspect.py").stdout
    assert "Model" in inspected and "Brivane.Pelorix.Core" in inspected
    assert run_example.installation.quelbar_solver in inspected

    run_example("create_project.py", projects, "Plant1")
    assert read_project(str(projects / "Plant1" / "Plant1.project")) == ["Piping", "Structure", "Piping variant"]

    run_example("build_model.py", projects / "Plant1" / "Piping", "--kind", "piping", "--pipes", "3")
    run_example("build_model.py", projects / "Plant1" / "Structure", "--kind", "structure")
    before = {p: p.read_bytes() for p in projects.rglob("*") if p.is_file()}

    solved = run_example("batch_solve.py", projects).stdout
    progress = [line.split() for line in solved.splitlines() if line[:1].isdigit() and "/" in line.split()[0]]
    # Not a terminal: one plain progress line per solve (n/total, model, solver, result, time).
    assert [(p[0], p[2], p[3]) for p in progress] == [
        ("1/4", "Quelbar", "solved"), ("2/4", "Revav", "solved"), ("3/4", "Quelbar", "solved"),
        ("4/4", "Revav", "solved")]
    assert "\r" not in solved
    assert "4 of 4 solves succeeded" in solved
    assert {p: p.read_bytes() for p in projects.rglob("*") if p.is_file()} == before
    assert not [p for p in tmp_path.iterdir() if len(p.name) == 36 and p.name.count("-") == 4]

    # A relative projects folder: each removal moves the current folder, and every project still goes.
    run_example("create_project.py", projects, "Plant2")
    cleaned = run_example("clean_up.py", "Projects").stdout.splitlines()
    assert [line.rsplit(" ", 1)[0] for line in cleaned if "Plant" in line] == ["removed", "removed"]
    assert os.listdir(projects) == []


def test_create_project_refuses_an_existing_project(run_example, tmp_path):
    run_example("create_project.py", tmp_path / "Projects", "Plant1")
    again = run_example("create_project.py", tmp_path / "Projects", "Plant1", check=False)
    assert again.returncode != 0 and "already exists" in again.stderr


def test_an_installation_without_extensions_stops_the_example(run_example, tmp_path):
    os.rename(run_example.installation.extensions, str(tmp_path / "elsewhere"))
    result = run_example("setup_and_inspect.py", check=False)
    assert result.returncode != 0 and "no Extensions folder" in result.stderr


def test_batch_solve_updates_one_line_on_a_terminal(run_example, tmp_path):
    projects = tmp_path / "Projects"
    run_example("build_model.py", projects / "Plant1" / "Study", "--pipes", "1")
    shown = run_example("batch_solve.py", projects, terminal=True)
    assert "\r\x1b[K1/2" in shown and "\r\x1b[K2/2" in shown
    assert "2 of 2 solves succeeded" in shown

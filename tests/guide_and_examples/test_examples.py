"""The examples run as a user runs them, in order, against a stand-in installation."""

import os
import subprocess
import sys

import pytest
from brivane_standin.installation import create_installation
from brivane_standin.product import read_project

from ..support import ROOT

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
    environment = dict(os.environ, TMPDIR=str(tmp_path))

    def run(name, *arguments, check=True, terminal=False):
        command = [
            sys.executable,
            str(EXAMPLES / name),
            installation.root,
            "--settings",
            installation.settings_path,
            "--data-sources",
            installation.data_sources_path,
            *map(str, arguments),
        ]
        if terminal:
            return run_on_terminal(command, environment, str(tmp_path))
        result = subprocess.run(
            command, capture_output=True, text=True, env=environment, cwd=str(tmp_path), timeout=120
        )
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

    solved = run_example("batch_solve.py", projects, "--results", tmp_path / "results")
    # Not a terminal: one plain progress line per model, on standard error.
    assert [line.split()[:2] for line in solved.stderr.splitlines() if line.startswith("[")] == [
        ["[1/2]", "solved"],
        ["[2/2]", "solved"],
    ]
    assert "\r" not in solved.stderr and "2 models: 2 solved" in solved.stdout
    assert {p: p.read_bytes() for p in projects.rglob("*") if p.is_file()} == before
    assert sorted(str(p.relative_to(tmp_path / "results")) for p in (tmp_path / "results").rglob("*.*res")) == [
        "Plant1/Piping/Piping/conception.qres",
        "Plant1/Structure/Structure/Structure.rres",
    ]
    assert not [p for p in tmp_path.iterdir() if len(p.name) == 36 and p.name.count("-") == 4]

    for run in ("first", "resumed"):
        nightly = run_example("nightly_batch.py", projects, tmp_path / "report.jsonl").stdout
        assert "2 of 2 models solved" in nightly and "needs attention" not in nightly
    assert (tmp_path / "report.jsonl").read_text().count('"status": "skipped"') == 2

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


def test_batch_solve_shows_a_live_bar_on_a_terminal(run_example, tmp_path):
    projects = tmp_path / "Projects"
    run_example("build_model.py", projects / "Plant1" / "Study", "--pipes", "1")
    shown = run_example("batch_solve.py", projects, terminal=True)
    assert "\r" in shown and "1/1" in shown and "model/s" in shown
    assert "1 model: 1 solved" in shown

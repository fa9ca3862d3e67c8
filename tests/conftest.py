"""Fixtures shared by the module's tests.

The tests run the installed ``brivane_computer`` against the project's
stand-in for the CLR bridge, COM and the product (``standin/``), which only
the tests and the demo put on ``sys.path``. Every test starts from the state
the module has right after import, with the stand-in forgotten as well.
"""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import support  # noqa: E402
from support import GUARD_MESSAGE  # noqa: F401

ROOT = Path(__file__).resolve().parents[1]
STANDIN = ROOT / "standin"
if str(STANDIN) not in sys.path:
    sys.path.insert(0, str(STANDIN))

import brivane_standin  # noqa: E402
from brivane_standin import journal  # noqa: E402
from brivane_standin.installation import create_installation  # noqa: E402

import brivane_computer  # noqa: E402
from brivane_computer import brivane_core  # noqa: E402


reset_module = support.reset_module


# The refusal to run unconfined and the watch on changes outside the sandbox, shared with the tools.
if str(ROOT / "reliability") not in sys.path:
    sys.path.insert(0, str(ROOT / "reliability"))
from confinement import pytest_runtest_teardown, pytest_sessionstart  # noqa: E402,F401


@pytest.fixture(autouse=True)
def fresh_module():
    cwd = os.getcwd()
    reset_module()
    yield
    os.chdir(cwd)
    reset_module()


@pytest.fixture
def core():
    """The extension module itself."""
    return brivane_core


@pytest.fixture
def installation(tmp_path):
    """A complete stand-in installation, with the module pointed at its settings files."""
    found = create_installation(str(tmp_path / "Pelorix 2031.1"))
    brivane_core._settingsPath_ = found.settings_path
    brivane_core._dataSourcesPath_ = found.data_sources_path
    return found


@pytest.fixture
def ready(installation, capsys):
    """A completed set-up on the stand-in installation; journal and output emptied."""
    assert brivane_core.setup_brivane_computer(installation.root, brivane_computer.BrivaneModule.Pelorix) is True
    capsys.readouterr()
    journal.clear()
    return installation


@pytest.fixture
def calls():
    """The journal's "Target.member" names, optionally only those of some targets."""
    def names(*targets):
        return [c.name for c in journal.entries() if not targets or c.target in targets]
    return names


def run_python(code, *, env=None, check=True):
    """Runs a snippet in a new interpreter with the stand-in on its path.

    The module is one per process, so loading rules are seen in subprocesses.
    """
    environment = dict(os.environ)
    # The same brivane_computer as this process, wherever it was installed.
    paths = [str(STANDIN), str(Path(brivane_computer.__file__).resolve().parents[1])]
    environment["PYTHONPATH"] = os.pathsep.join(paths + [environment.get("PYTHONPATH", "")])
    environment.update(env or {})
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            env=environment, cwd=str(ROOT / "tests"), timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture
def python():
    return run_python

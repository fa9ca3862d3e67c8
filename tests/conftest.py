"""Fixtures shared by the module's tests.

The tests run the built ``brivane_computer`` against the project's stand-in
for the CLR bridge, COM and the product (``standin/``), with the test kit
(``testkit/``): both come from PYTHONPATH, which the scripts set and every
process a test starts inherits. Every test starts from the state the module
has right after import, with the stand-in forgotten as well.
"""

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

try:
    import brivane_standin  # noqa: F401
    from brivane_testkit.confinement import pytest_runtest_teardown, pytest_sessionstart  # noqa: F401
except ModuleNotFoundError as missing:
    raise pytest.UsageError(
        f"{missing}: the tests find the stand-in and the test kit on PYTHONPATH; run them "
        "through scripts/test.sh, or see the README's Building and testing"
    ) from None

from brivane_standin import journal
from brivane_standin.installation import create_installation

import brivane_computer
from brivane_computer import brivane_core

from .batch.support_batch import make_plant
from .support import reset_module


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
    """Runs a snippet in a new interpreter, which inherits this one's PYTHONPATH (the module, when it is not
    installed, the stand-in and the test kit).

    The module is one per process, so loading rules are seen in subprocesses.
    """
    environment = dict(os.environ)
    environment.update(env or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        cwd=tempfile.gettempdir(),
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture
def python():
    return run_python


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The system temporary folder as the module sees it (tempfile.gettempdir())."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@pytest.fixture
def plant(ready, core, tmp_path, monkeypatch, temp_root):
    """The plant of models that the batch and the command-line tests solve (see support_batch.make_plant)."""
    return make_plant(ready, core, tmp_path, monkeypatch)

"""Fixtures of the integration suite, a test root of its own that scripts/integration.sh runs.

The suite drives the built module through a CLR bridge chosen by
BRIVANE_BRIDGE: the real bridge (pythonnet) on Mono with the C# stand-in of
the product ("mono"), or the project's Python stand-in ("standin"). PYTHONPATH
gives the chosen bridge, and the test kit.

Assemblies cannot be unloaded from a process, so one installation serves the
whole session: every test starts from the module's state right after import,
the installation's default settings and a forgotten stand-in.
"""

import os

import pytest
from brivane_standin.installation import create_installation
from brivane_testkit.confinement import pytest_runtest_teardown, pytest_sessionstart  # noqa: F401
from brivane_testkit.module_table import INITIAL_GLOBALS as SPECIFIED_GLOBALS

import brivane_computer
from brivane_computer import brivane_core

from . import product  # (imports the bridge before the module imports clr)

INITIAL_GLOBALS = {name: value for name, value in SPECIFIED_GLOBALS.items() if name != "_dlls_"}
DLLS = brivane_core._dlls_
MODULE_NAMESPACE = dict(vars(brivane_core))


def reset_module():
    del DLLS[:]
    brivane_core._dlls_ = DLLS
    for name, value in INITIAL_GLOBALS.items():
        setattr(brivane_core, name, value)
    # Host modules a test replaced with a spy come back.
    for name in ("clr", "pythoncom", "os", "shutil", "threading"):
        setattr(brivane_core, name, MODULE_NAMESPACE[name])


@pytest.fixture(scope="session")
def face():
    return product.make_face()


@pytest.fixture(scope="session")
def installation(face, tmp_path_factory):
    made = create_installation(str(tmp_path_factory.mktemp("installation") / "Pelorix 2031.1"))
    return face.prepare_installation(made)


@pytest.fixture(autouse=True)
def fresh_state(face, installation):
    cwd = os.getcwd()
    # The default settings, written again without touching the assemblies.
    create_installation(installation.root, extensions=False)
    reset_module()
    face.reset()
    brivane_core._settingsPath_ = installation.settings_path
    brivane_core._dataSourcesPath_ = installation.data_sources_path
    yield
    os.chdir(cwd)
    if brivane_core._Solution_ is not None:
        brivane_core._Solution_.Dispose()
    reset_module()
    face.reset()


@pytest.fixture
def core():
    return brivane_core


@pytest.fixture
def bc():
    return brivane_computer


@pytest.fixture
def ready(face, installation, capsys):
    """A completed set-up; journal and output emptied."""
    assert brivane_core.setup_brivane_computer(installation.root, brivane_computer.BrivaneModule.Pelorix) is True
    capsys.readouterr()
    face.clear_journal()
    return installation

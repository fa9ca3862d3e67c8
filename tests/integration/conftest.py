"""Fixtures of the integration suite, run by scripts/integration.sh only.

The suite drives the built module through a CLR bridge chosen by
BRIVANE_BRIDGE: the real bridge (pythonnet) on Mono with the C# stand-in of
the product ("mono"), or the project's Python stand-in ("standin"). It is left
out of the ordinary test run unless BRIVANE_INTEGRATION=1; it must then run
on its own (``pytest --confcutdir tests/integration tests/integration``), since
the fixtures of tests/conftest.py put the Python stand-in's clr on the path.

Assemblies cannot be unloaded from a process, so one installation serves the
whole session: every test starts from the module's state right after import,
the installation's default settings and a forgotten stand-in.
"""
import os
import sys
from pathlib import Path

import pytest

if os.environ.get("BRIVANE_INTEGRATION") != "1":
    collect_ignore_glob = ["test_*.py"]
else:
    TESTS = Path(__file__).resolve().parents[1]
    if str(TESTS) not in sys.path:
        sys.path.insert(0, str(TESTS))

    from . import product  # noqa: E402  (sets up the bridge before the module imports clr)

    import brivane_computer  # noqa: E402
    import support  # noqa: E402
    from brivane_computer import brivane_core  # noqa: E402
    from brivane_standin.installation import create_installation  # noqa: E402

    INITIAL_GLOBALS = {name: value for name, value in support.INITIAL_GLOBALS.items() if name != "_dlls_"}
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

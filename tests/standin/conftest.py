import os
import sys

import pytest

STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                       os.pardir, os.pardir, "standin")
sys.path.insert(0, os.path.normpath(STANDIN))

import brivane_standin  # noqa: E402
from brivane_standin.installation import create_installation  # noqa: E402


@pytest.fixture(autouse=True)
def fresh_standin():
    brivane_standin.reset()
    yield
    brivane_standin.reset()


@pytest.fixture
def installation(tmp_path):
    return create_installation(str(tmp_path / "Pelorix 2031.1"))


@pytest.fixture
def reference(installation):
    """reference("Brivane.SDK", ...) adds the installation's assemblies."""
    import clr

    def add(*names):
        for name in names:
            clr.AddReference(os.path.join(installation.extensions, name + ".dll"))
    return add


@pytest.fixture
def loaded(installation, reference):
    """Every product assembly referenced; returns the installation."""
    import clr
    clr.AddReference("mscorlib")
    reference("Brivane.SDK", "Brivane.Helper", "Brivane.Pelorix.Core",
              "Brivane.Pelorix.Project", "Brivane.Quelbar.Core",
              "Brivane.Revav.Core")
    return installation

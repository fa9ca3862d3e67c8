"""Fixtures of the stand-in's own tests: the contract it keeps with the module, checked without the module."""

import os

import brivane_standin
import pytest
from brivane_standin.installation import create_installation


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
    reference(
        "Brivane.SDK",
        "Brivane.Helper",
        "Brivane.Pelorix.Core",
        "Brivane.Pelorix.Project",
        "Brivane.Quelbar.Core",
        "Brivane.Revav.Core",
    )
    return installation

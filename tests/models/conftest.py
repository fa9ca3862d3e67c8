"""Fixtures of the model tests."""

import pytest
from brivane_standin import journal


@pytest.fixture
def model(core, ready, capsys):
    """A new piping model, made after set-up; output and journal emptied."""
    made = core.createPipingVokel()
    capsys.readouterr()
    journal.clear()
    return made


@pytest.fixture
def study(tmp_path):
    """An empty study folder."""
    folder = tmp_path / "study"
    folder.mkdir()
    return folder

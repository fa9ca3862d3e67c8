"""Paths given as bytes: every function that takes a path decodes it with os.fsdecode at entry, before it
disposes of or writes anything. The product sees text, and the paths that functions return are text."""

import os
import types

import pytest
from brivane_standin import journal

from ..support import build_model


@pytest.fixture
def place(core, ready, tmp_path, temp_root):
    """A saved piping model with a ".thf" file, a project, and an earlier sandboxed solve whose solution is held;
    every solution is closed afterwards."""
    model = build_model(core, str(tmp_path / "models" / "study1"), thf=("load.thf",))
    project = core.addPipingProject(str(tmp_path / "projects"), "Plant1", "Piping", 1920, 1080)
    core.addPipingStudy(project, "Extra", 1920, 1080)
    earlier = core.solve(model, "Quelbar", True)
    journal.clear()
    yield types.SimpleNamespace(
        installation=ready.root,
        model=model,
        folder=os.path.dirname(model),
        project=project,
        projects=str(tmp_path / "projects"),
        earlier=earlier,
    )
    for solution in (earlier, core._Solution_):
        if solution is not None and not solution.IsDisposed:
            solution.Dispose()


def b(path):
    return os.fsencode(path)


# What each call returns: a text path to something that exists, a product object, or None.
CALLS = {
    "setup_brivane_computer": (
        "object",
        lambda c, p: c.setup_brivane_computer(b(p.installation), c.BrivaneModule.Pelorix) or None,
    ),
    "load_dll": ("none", lambda c, p: c.load_dll(b"Brivane.Helper.dll")),
    "loadVokel": ("object", lambda c, p: c.loadVokel(b(p.model))),
    "saveVokel": ("none", lambda c, p: c.saveVokel(c.loadVokel(p.model), b(p.model))),
    "writeFreFile": ("none", lambda c, p: c.writeFreFile(c.loadVokel(p.model), b(p.model))),
    "getVokel": ("path", lambda c, p: c.getVokel(b(p.folder))),
    "find_first_file": ("path", lambda c, p: c.find_first_file(b(p.folder), b".thf")),
    "solve": ("object", lambda c, p: c.solve(b(p.model), "Quelbar", True)),
    "solvePipingModel": (
        "object",
        lambda c, p: c.solvePipingModel(c.loadVokel(p.model), b(p.model), "Revav", b(p.folder)),
    ),
    "_QuelbarSolve": ("none", lambda c, p: c._QuelbarSolve(c.loadVokel(p.model), b(p.model), b(p.folder))),
    "copyDirectoryToTemp": ("path", lambda c, p: c.copyDirectoryToTemp(b(p.folder))),
    "addProjectFolder": ("path", lambda c, p: c.addProjectFolder(b(p.projects), b"Group")),
    "addPipingProject": ("path", lambda c, p: c.addPipingProject(b(p.projects), b"Plant2", "Piping", 1920, 1080)),
    "addPipingStudy": ("object", lambda c, p: c.addPipingStudy(b(p.project), "Second", 1920, 1080)),
    "duplicateStudy": ("none", lambda c, p: c.duplicateStudy(b(p.project), "Piping", "Copy")),
    "removeStudy": ("none", lambda c, p: c.removeStudy(b(p.project), "Extra")),
}


def holds_bytes(value):
    if isinstance(value, (tuple, list)):
        return any(holds_bytes(v) for v in value)
    return isinstance(value, bytes)


@pytest.mark.parametrize("name", list(CALLS))
def test_a_bytes_path_is_taken_as_text(core, place, name):
    returns, call = CALLS[name]
    result = call(core, place)
    if returns == "path":
        assert type(result) is str and os.path.exists(result)
    else:
        assert (result is None) is (returns == "none")
    seen = [(c.name, c.args) for c in journal.entries() if holds_bytes(c.args) or holds_bytes(c.kwargs)]
    assert seen == [], "the product was given bytes"
    assert isinstance(core._tempDirectory_, str) and os.path.isdir(core._tempDirectory_)
    # Only a solve that goes ahead disposes of the earlier solution.
    assert place.earlier.IsDisposed is (name == "solve")

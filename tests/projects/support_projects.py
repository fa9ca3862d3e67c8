"""Helpers shared by the tests of projects and studies."""

import os

from brivane_standin import journal
from brivane_standin.dotnet import Point
from brivane_standin.product import sdk
from brivane_standin.product.pelorix_project import ProjectViewModel

PROJECT_DLL = "Brivane.Pelorix.Project.dll"
SDK_DLL = "Brivane.SDK.dll"
HELPER_DLL = "Brivane.Helper.dll"
PIPING = sdk.BrivaneModule.Pelorix
STRUCTURE = sdk.BrivaneModule.Karvona


def events(*targets):
    """(name, args, kwargs) of the journal, only the given targets when some are named."""
    return [(c.name, c.args, c.kwargs) for c in journal.entries() if not targets or c.target in targets]


def names(*targets):
    return [e[0] for e in events(*targets)]


def product_names():
    return names("ProjectViewModel", "Point")


def make_project(folder, *studies, module=PIPING):
    """A project written by the product's own view model in ``folder``
    (created): ``<folder>/<folder name>.project`` with the given studies.
    The journal is emptied afterwards."""
    os.makedirs(folder, exist_ok=True)
    project = ProjectViewModel(None)
    project.CreateNewProject(folder, Point(0.0, 0.0), "", studies[0], module)
    for study in studies[1:]:
        project.AddEmptyStudy(Point(1.0, 2.0), module, study)
    journal.clear()
    return os.path.join(folder, os.path.basename(folder) + ".project")


def tree(root):
    """{relative path: file bytes, "<dir>" or "-> link target"} of everything under ``root``."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                found[os.path.relpath(path, root)] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                found[os.path.relpath(path, root)] = "<dir>"
            else:
                found[os.path.relpath(path, root)] = read_bytes(path)
    return found


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()

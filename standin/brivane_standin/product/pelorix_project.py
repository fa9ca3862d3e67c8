"""Brivane.Pelorix.Project: projects and their studies."""

import json
import os

from ..dotnet import (
    ArgumentException,
    ArgumentNullException,
    DirectoryNotFoundException,
    InvalidDataException,
    InvalidOperationException,
    IOException,
    Point,
    netclass,
)
from . import _files
from .pelorix_core import _MODULES, check_module

NS = "Brivane.Pelorix.Project"


@netclass(NS)
class StudyModel:
    """A study of a project (a snapshot: Name, Module, X, Y)."""

    @classmethod
    def _make(cls, study):
        self = object.__new__(cls)
        self._study = dict(study)
        return self

    @property
    def Name(self):
        return self._study["name"]

    @property
    def Module(self):
        return _MODULES[self._study["module"]]

    @property
    def X(self):
        return self._study["x"]

    @property
    def Y(self):
        return self._study["y"]

    def __repr__(self):
        return f"StudyModel({self.Name!r})"


@netclass(NS)
class ProjectViewModel:
    """One open project.  The project file of a folder D is
    ``D/<folder name>.project`` (the whole folder name).  Every change is
    written to the project file at once.  Deleting the last study is
    refused (InvalidOperationException); a duplicate is named
    "<name> - Copy", then "<name> - Copy (2)", ... and becomes current."""

    def __init__(self, parent):
        if parent is not None:
            raise ArgumentException("ProjectViewModel expects a null parent")
        self._file = None
        self._project = None

    def CreateNewProject(self, projectDirectory, point, text, studyName, module):
        _files.check_path(projectDirectory)
        if not os.path.isdir(projectDirectory):
            raise DirectoryNotFoundException(f"Could not find a part of the path '{projectDirectory}'.")
        study = _new_study(point, module, studyName)
        if not isinstance(text, str):
            raise TypeError("text must be a string")
        folder = os.path.basename(os.path.normpath(projectDirectory))
        path = os.path.join(projectDirectory, folder + ".project")
        if os.path.exists(path):
            raise IOException(f"The project '{path}' already exists.")
        self._file = path
        self._project = {"standin-project": 1, "name": folder, "text": text, "current": studyName, "studies": [study]}
        self._save()

    def LoadFromFile(self, path):
        document = _files.read_json(path, "standin-project")
        studies = document.get("studies")
        if not isinstance(studies, list) or not all(
            isinstance(s, dict) and s.get("module") in _MODULES and isinstance(s.get("name"), str) for s in studies
        ):
            raise InvalidDataException(f"'{path}' is not a valid project file.")
        self._file, self._project = path, document

    def GetStudy(self, name):
        study = self._find(name)
        return StudyModel._make(study) if study else None

    def AddEmptyStudy(self, point, module, name):
        study = _new_study(point, module, name)
        if self._find(name):
            raise ArgumentException(f"The study '{name}' already exists.")
        self._project["studies"].append(study)
        self._save()

    def SetCurrentStudy(self, name):
        if not self._find(name):
            raise ArgumentException(f"Unknown study '{name}'.")
        self._project["current"] = name
        self._save()

    def GetCurrentStudyName(self):
        self._studies()
        return self._project.get("current")

    def DeleteCurrentStudy(self):
        studies, index = self._current()
        if len(studies) == 1:
            raise InvalidOperationException("A project keeps at least one study.")
        del studies[index]
        self._project["current"] = studies[min(index, len(studies) - 1)]["name"]
        self._save()

    def DuplicateCurrentStudy(self):
        studies, index = self._current()
        original = studies[index]["name"]
        copy, number = f"{original} - Copy", 2
        while self._find(copy):
            copy, number = f"{original} - Copy ({number})", number + 1
        studies.append(dict(studies[index], name=copy))
        self._project["current"] = copy
        self._save()

    def RenameCurrentStudy(self, name):
        studies, index = self._current()
        if not isinstance(name, str) or not name.strip():
            return False
        if name == studies[index]["name"]:
            return True
        if self._find(name):
            return False
        studies[index]["name"] = name
        self._project["current"] = name
        self._save()
        return True

    # -- inner working --

    def _studies(self):
        if self._project is None:
            raise InvalidOperationException("No project is open.")
        return self._project["studies"]

    def _find(self, name):
        return next((s for s in self._studies() if s["name"] == name), None)

    def _current(self):
        studies = self._studies()
        current = self._project.get("current")
        for index, study in enumerate(studies):
            if study["name"] == current:
                return studies, index
        raise InvalidOperationException("No current study.")

    def _save(self):
        _files.write_atomic(self._file, json.dumps(self._project, indent=1))


def _new_study(point, module, name):
    if not isinstance(point, Point):
        raise TypeError("expected a System.Windows.Point")
    check_module(module)
    if name is None:
        raise ArgumentNullException("studyName")
    if not isinstance(name, str) or not name.strip():
        raise ArgumentException("A study needs a name.")
    return {"name": name, "module": module.name, "x": point.X, "y": point.Y}


def read_project(path):
    """Study names of a project file, in order."""
    return [s["name"] for s in _files.read_json(path, "standin-project")["studies"]]


def read_current_study(path):
    """Name of the current study recorded in a project file."""
    return _files.read_json(path, "standin-project").get("current")

"""Helpers shared by the tests of the model documents (model files, new
models, fre files, custom commands and class inspection)."""

import json
import os

import pytest
from brivane_standin.installation import settings_document

SDK = "Brivane.SDK.dll"
HELPER = "Brivane.Helper.dll"
CORE = "Brivane.Pelorix.Core.dll"


def record_loads(monkeypatch, core, fail_on=None):
    """Replaces the module's load_dll by a spy that records every name asked
    for and then loads it for real (or raises ``fail_on[name]``)."""
    asked = []
    real = core.load_dll

    def load_dll(dllname):
        asked.append(dllname)
        if fail_on and dllname in fail_on:
            raise fail_on[dllname]
        return real(dllname)

    monkeypatch.setattr(core, "load_dll", load_dll)
    return asked


def write_settings(installation, overrides):
    """Rewrites the installation's Pelorix.settings with ``overrides``
    ((family, setting) -> value); the product reads it afresh at every call."""
    document = settings_document(installation.revav_solver, installation.quelbar_solver, overrides)
    with open(installation.settings_path, "w", encoding="utf-8") as f:
        json.dump(document, f)


def write_text(path, text="old content\n"):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


class HostPath:
    """Stands for ``os.path`` in the module namespace: the real functions,
    except those given as keywords."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(os.path, name)


class HostOs:
    """Stands for ``os`` in the module namespace: the real module, except the
    functions given as keywords (``path`` may be a :class:`HostPath`)."""

    def __init__(self, **replaced):
        self.path = os.path
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(os, name)


@pytest.fixture
def study(tmp_path):
    """An empty study folder."""
    folder = tmp_path / "study"
    folder.mkdir()
    return folder

"""Fixtures of the project and study tests."""

import builtins

import pytest
from brivane_standin import journal


@pytest.fixture
def loads(core, monkeypatch):
    """Every load_dll call the module makes, also for files already loaded.

    Each call is written to the journal as "brivane_core.load_dll" so that it
    takes its place among the product calls; the real load_dll then runs.
    """
    real = core.load_dll
    seen = []

    def load_dll(dllname):
        seen.append(dllname)
        journal.record("brivane_core", "load_dll", (dllname,))
        return real(dllname)

    monkeypatch.setattr(core, "load_dll", load_dll)
    return seen


@pytest.fixture
def imports(core, monkeypatch):
    """(name, fromlist) of the imports the module makes in its own namespace."""
    real = builtins.__import__
    seen = []

    def spy(name, globals=None, locals=None, fromlist=(), level=0):
        if globals is vars(core):
            seen.append((name, tuple(fromlist or ())))
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", spy)
    return seen

"""Spies, stand-in host modules and solutions shared by the solving tests (their models come from
tests/support.py's build_model, their sandboxes from the temp_root fixture)."""

import shutil
import threading
import types

from brivane_standin import journal

RUN_ASSEMBLIES = (
    "Brivane.SDK.dll",
    "Brivane.Helper.dll",
    "Brivane.Pelorix.Core.dll",
    "Brivane.Quelbar.Core.dll",
    "Brivane.Revav.Core.dll",
)
RUN_FUNCTION = {"Quelbar": "_QuelbarSolve", "Revav": "_RevavSolve"}


def worker_entries():
    """Journal entries made on threads other than the calling one."""
    caller = threading.get_ident()
    return [c for c in journal.entries() if c.thread != caller]


def names_of(entries, *targets):
    return [c.name for c in entries if not targets or c.target in targets]


class Recorder:
    """Stands in for a module function: records each call, then delegates."""

    def __init__(self, function, on_call=None):
        self.function, self.on_call, self.calls = function, on_call, []

    def __call__(self, *args, **kwargs):
        self.calls.append(args)
        if self.on_call is not None:
            self.on_call(*args)
        return self.function(*args, **kwargs)


def spy(monkeypatch, core, name, on_call=None):
    recorder = Recorder(getattr(core, name), on_call)
    monkeypatch.setattr(core, name, recorder)
    return recorder


def fake_shutil(**replacements):
    """A stand-in for the module's `shutil` with some functions replaced."""
    functions = {name: getattr(shutil, name) for name in ("copy", "copytree", "rmtree")}
    functions.update(replacements)
    return types.SimpleNamespace(**functions)


class Disposable:
    """A solution stand-in that counts its Dispose calls."""

    def __init__(self, error=None):
        self.disposed, self.error = 0, error

    def Dispose(self):
        self.disposed += 1
        if self.error is not None:
            raise self.error


class ThreadSpy:
    """Replaces the module's `threading` with one whose Thread records what
    it was made with; setDaemon is refused (it is deprecated)."""

    def __init__(self, monkeypatch, core, start_error=None):
        self.made = []
        spy_ = self

        class SpyThread(threading.Thread):
            def __init__(self, *args, **kwargs):
                spy_.made.append(types.SimpleNamespace(thread=self, args=args, kwargs=kwargs))
                super().__init__(*args, **kwargs)

            def setDaemon(self, daemonic):  # noqa: N802 - the threading name
                raise AssertionError("setDaemon called")

            def start(self):
                if start_error is not None:
                    raise start_error
                super().start()

        monkeypatch.setattr(core, "threading", types.SimpleNamespace(Thread=SpyThread))

"""Models, folders and spies shared by the solving tests.

Models are made by the module itself (createPipingVokel / createStructureVokel,
ADD_PIPE / ADD_BEAM commands, saveVokel), so their fre files are the ones the
module writes. Sandboxes go to a temporary root under the test's tmp_path.
"""
import os
import shutil
import tempfile
import threading
import types

import pytest
from brivane_standin import journal

RUN_ASSEMBLIES = ("Brivane.SDK.dll", "Brivane.Helper.dll", "Brivane.Pelorix.Core.dll",
                  "Brivane.Quelbar.Core.dll", "Brivane.Revav.Core.dll")
RUN_FUNCTION = {"Quelbar": "_QuelbarSolve", "Revav": "_RevavSolve"}


def build_model(core, folder, name="study1", kind="piping", elements=1, fre="conception", thf=()):
    """Saves a model of `kind` with `elements` elements as folder/name.vokel.

    fre: "conception" (what saveVokel writes when no fre file carries the
    model's name), "own" (name.fre only), "both", or None (no fre file).
    thf: names of ".thf" files to add, each holding its own name.
    """
    os.makedirs(folder, exist_ok=True)
    model = core.createPipingVokel() if kind == "piping" else core.createStructureVokel()
    command = "ADD_PIPE" if kind == "piping" else "ADD_BEAM"
    for _ in range(elements):
        core.executeCommand(core.createCommand(command, model))
    path = os.path.join(folder, name + ".vokel")
    own = os.path.join(folder, name + ".fre")
    if fre == "both":
        core.saveVokel(model, path)          # conception.fre
    if fre in ("own", "both"):
        open(own, "w").close()               # saveVokel rewrites a fre file of the model's name
    core.saveVokel(model, path)
    if fre is None:
        os.remove(os.path.join(folder, "conception.fre"))
    for thf_name in thf:
        with open(os.path.join(folder, thf_name), "w") as f:
            f.write(thf_name)
    return path


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


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The system temporary folder as the module sees it (tempfile.gettempdir())."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@pytest.fixture
def models(ready, core, tmp_path, temp_root, capsys):
    """make(folder="study", **build_model options) -> path of a saved model;
    the journal and the output are emptied afterwards."""
    def make(folder="study", **options):
        path = build_model(core, str(tmp_path / "models" / folder), **options)
        journal.clear()
        capsys.readouterr()
        return path
    return make


@pytest.fixture
def release_solution(core):
    """Disposes the solution a test left in _Solution_, so its files are closed."""
    yield
    solution = core._Solution_
    if solution is not None and not getattr(solution, "IsDisposed", True):
        solution.Dispose()

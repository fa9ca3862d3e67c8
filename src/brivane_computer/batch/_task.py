"""One model solved in the calling process: the task that each worker runs.

Nothing here knows about worker processes. ``set_up`` once, then
``solve_model`` for each task, on the same thread, is all that a process
needs, wherever it runs.
"""
from __future__ import annotations

import contextlib
import importlib
import io
import os
import shutil
import stat
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .. import brivane_core
from ._report import PIPING, STRUCTURE
from ._outputs import record_results

# The module's functions are typed, but the batch swaps one and assigns globals.
_core: Any = brivane_core

SOLVERS = ("Revav", "Quelbar")
# A structure model is solved with Revav whichever solver was asked for.
REVAV = "Revav"


@dataclass(frozen=True)
class Task:
    """A model to solve: its file, the solver, the mode and where its results go."""

    model: str
    solver: str
    sandbox: bool = True
    # The folder that receives the collected files; None keeps them where the solve left them
    # (in place) or only lists them (sandbox).
    results: str | None = None


@dataclass(frozen=True)
class Outcome:
    """What one solve of a task gave."""

    solved: bool
    seconds: float
    # The files that the solve added or changed, relative to its working folder.
    results: tuple[str, ...] = ()
    # Where those files are now: the results folder, the model's folder in place, or None when
    # they went with the sandbox.
    results_folder: str | None = None
    error_type: str | None = None
    error_message: str | None = None
    # The solver that ran (see ``ModelResult.solver``) and the model's kind, once it was loaded.
    solver: str | None = None
    kind: str | None = None
    # Every file that the results folder's manifest lists: what the batch wrote there for the model.
    manifest: tuple[str, ...] = ()


class SetupError(Exception):
    """Set-up did not complete: the worker cannot solve."""


def set_up(installation: str, module: brivane_core.BrivaneModule | str = "Pelorix", settings: str | None = None,
           data_sources: str | None = None) -> None:
    """Sets the module up on the installation, in this process and on this thread.

    ``module`` is set-up's second argument, a ``BrivaneModule`` member or
    its name (every member enables both kinds of model). ``settings`` and
    ``data_sources`` replace the module's two settings paths when given. Raises ``SetupError`` when the installation has no Extensions
    folder; set-up's own exceptions pass unchanged.
    """
    core = _core
    if settings is not None:
        core._settingsPath_ = settings
    if data_sources is not None:
        core._dataSourcesPath_ = data_sources
    # The lines that report loaded assemblies are of no use to a batch.
    with contextlib.redirect_stdout(io.StringIO()):
        member = module if isinstance(module, core.BrivaneModule) else core.BrivaneModule[module]
        valid = core.setup_brivane_computer(installation, member)
    if not valid:
        raise SetupError(f"{installation} has no Extensions folder: is it a Pelorix installation?")


# A file's signature: what tells that a solve wrote it. The inode shows a file replaced within one
# tick of the file system's clock by one of the same size.
Signature = tuple[int, int, int]


def listing(folder: str) -> dict[str, Signature]:
    """{path relative to folder: (size, modification time in ns, inode)} of every file below."""
    found: dict[str, Signature] = {}
    stack = [""]
    while stack:
        relative = stack.pop()
        try:
            entries = list(os.scandir(os.path.join(folder, relative)))
        except OSError:
            continue
        for entry in entries:
            name = os.path.join(relative, entry.name)
            if entry.is_dir(follow_symlinks=False):
                stack.append(name)
            elif entry.is_file():
                try:
                    info = entry.stat()
                except OSError:  # gone since the folder was read
                    continue
                found[name] = (info.st_size, info.st_mtime_ns, info.st_ino)
    return found


def solve_model(task: Task) -> Outcome:
    """Solves one model with the module set up in this process (``set_up``).

    The solution is released at once, its sandbox kept until the files that
    the solve added or changed are collected, then deleted. The outcome names
    the solver that ran, told from the kind of the model that the solve
    loaded. Failures become an ``Outcome``; only interrupts propagate. While
    it runs, the module's
    ``loadVokel`` and ``threading.excepthook`` are wrapped, standard output is
    captured, and ``_tempDirectory_`` is taken over: use the module from no
    other thread meanwhile.
    """
    core = _core
    started = time.perf_counter()
    load_model: Callable[[str], Any] = core.loadVokel
    working: list[str] = []
    before: dict[str, Signature] = {}
    kinds: list[str | None] = []

    # solve loads the model through the module's loadVokel once the working folder holds what the
    # solver reads (in a sandbox, the copies): the moment that decides what the solve adds.
    def list_then_load(filename: str) -> Any:
        folder = os.path.dirname(os.path.abspath(filename))
        working.append(folder)
        before.clear()
        before.update(listing(folder))
        model = load_model(filename)
        kinds.append(_kind(model))
        return model

    run_errors: list[BaseException] = []
    thread_hook = threading.excepthook

    def keep_run_error(arguments: threading.ExceptHookArgs) -> None:
        if arguments.exc_value is not None:
            run_errors.append(arguments.exc_value)

    printed = io.StringIO()
    solution: Any = None
    error: BaseException | None = None
    core._tempDirectory_ = None
    core.loadVokel = list_then_load
    threading.excepthook = keep_run_error
    try:
        with contextlib.redirect_stdout(printed):
            solution = core.solve(task.model, task.solver, task.sandbox)
    except Exception as raised:
        error = raised
    finally:
        core.loadVokel = load_model
        threading.excepthook = thread_hook
        sandbox = core._tempDirectory_ if task.sandbox else None
        # Forgotten by the module, the sandbox outlives disposeSolution, which still closes the
        # files that the solution holds open.
        core._tempDirectory_ = None
        try:
            core.disposeSolution()
        except Exception as raised:
            error = error or raised

    results: tuple[str, ...] = ()
    results_folder = None
    manifest: tuple[str, ...] = ()
    try:
        if working:
            after = listing(working[-1])
            results = tuple(sorted(name for name, signature in after.items() if before.get(name) != signature))
        results_folder, manifest = _collect(task, working[-1] if working else None, results)
    except OSError as raised:
        # A solve whose results cannot be kept has failed all the same.
        error = error or raised
    finally:
        if sandbox:
            _remove_sandbox(sandbox)

    seconds = time.perf_counter() - started
    kind = kinds[-1] if kinds else None
    ran = REVAV if kind == STRUCTURE else task.solver
    if error is None and solution is not None:
        return Outcome(True, seconds, results, results_folder, solver=ran, kind=kind, manifest=manifest)
    if error is None and run_errors:
        error = run_errors[-1]
    if error is not None:
        return Outcome(False, seconds, results, results_folder, type(error).__name__, str(error), ran, kind,
                       manifest)
    said = _said(printed.getvalue())
    return Outcome(False, seconds, results, results_folder, "NoSolution", said or "the solver gave no solution",
                   ran, kind, manifest)


def _said(printed: str) -> str:
    """What the module printed about the solve, on one line: without the lines that report a library loaded
    on the way, which are about the process, not the model."""
    loaded = {f"{name} loaded" for name in _core._dlls_}
    return " ".join(" ".join(line.split()) for line in printed.splitlines()
                    if line.strip() and line.strip() not in loaded)


def _kind(model: Any) -> str | None:
    """A loaded model's kind, told apart as solve does: by the class of its calculation code."""
    if model is None:
        return None
    try:
        # Set-up has loaded the assembly, so the bridge imports its namespace.
        codes: Any = importlib.import_module("Brivane.Pelorix.Core")
        code = model.CalculationCode
        if isinstance(code, codes.PipingCode):
            return PIPING
        if isinstance(code, codes.StructureCode):
            return STRUCTURE
    except Exception:  # the solve itself reports a model it cannot use
        return None
    return None


def _collect(task: Task, working: str | None, results: tuple[str, ...]) -> tuple[str | None, tuple[str, ...]]:
    """Copies the results to the task's results folder, which the batch gave to its model, overwriting only
    what the folder's manifest lists; (where the results are now, what the manifest lists)."""
    if task.results is None or working is None:
        return (None if task.sandbox else working), ()
    manifest = record_results(task.results, task.model, results)
    for name in results:
        target = os.path.join(task.results, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(working, name), target)
    return task.results, manifest


def _remove_sandbox(sandbox: str) -> None:
    # Only a folder made in the temporary folder: never a model's own folder.
    folder = os.path.normcase(os.path.dirname(os.path.abspath(sandbox)))
    if folder != os.path.normcase(os.path.abspath(tempfile.gettempdir())):
        return
    remove_tree(sandbox)


def remove_tree(folder: str) -> None:
    """Deletes a folder tree, read-only files too; what cannot go now stays."""
    def make_writable_and_retry(function: Callable[[str], Any], path: str, _: Any) -> None:
        # Windows deletes a read-only file (a copy of a read-only model, say) only once it is writable.
        try:
            os.chmod(path, stat.S_IWRITE)
            function(path)
        except OSError:
            pass

    if sys.version_info >= (3, 12):
        shutil.rmtree(folder, onexc=make_writable_and_retry)
    else:
        shutil.rmtree(folder, onerror=make_writable_and_retry)

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
import tempfile
import threading
import time
import uuid
from collections.abc import Iterator
from dataclasses import replace
from typing import Any, TextIO

from .. import brivane_core
from ._errors import SetupError
from ._files import remove_tree
from ._messages import REVAV, Outcome, Task
from ._outputs import drop_solve_log, keep_solve_log, record_results
from ._results import Before, Signature, before_solve, changed_files, make_copies
from ._writing import Folder
from .report import PIPING, STRUCTURE


def set_up(
    installation: str,
    module: brivane_core.BrivaneModule | str = "Pelorix",
    settings: str | None = None,
    data_sources: str | None = None,
) -> None:
    """Sets the module up on the installation, in this process and on this thread.

    ``module`` is set-up's second argument, a ``BrivaneModule`` member or
    its name (every member enables both kinds of model). ``settings`` and
    ``data_sources`` replace the module's two settings paths when given.
    Raises ``SetupError`` when the installation has no Extensions folder;
    set-up's own exceptions pass unchanged.
    """
    core = brivane_core
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


def keep_run_errors() -> None:
    """Keeps the exception that ends a solver run on its thread, for the next ``solve_model`` to report.
    Called once, at start-up, by each worker process that the batch owns: it sets ``threading.excepthook``
    for that process's whole life; no public function replaces it."""
    threading.excepthook = _keep_run_error


# The exceptions that ended solver runs since the last solve began (only with keep_run_errors).
_run_errors: list[BaseException] = []


def _keep_run_error(arguments: threading.ExceptHookArgs) -> None:
    if arguments.exc_value is not None:
        _run_errors.append(arguments.exc_value)


def solve_model(task: Task, log: str | None = None) -> Outcome:
    """Solves one model with the module set up in this process (``set_up``).

    The model is solved as the module's ``solve`` does it, through the
    module's documented functions: in a sandbox that holds copies of its
    model, fre and ``.thf`` files (made in ``tempfile.gettempdir()``), or in
    its own folder; loaded once with ``loadVokel``, which also tells its kind
    and so the solver that runs; then handed to ``solvePipingModel`` or
    ``solveStructureModel``. A model that does not load is left to ``solve``,
    whose words the outcome keeps. The solution is released at once, the
    files that the solve added or changed collected, and the sandbox deleted.
    Failures become an ``Outcome``; only interrupts propagate. No function of
    the module and no process-wide hook is replaced; standard output is
    captured while it solves; use the module from no other thread meanwhile.
    The exception that ends a solver run on its thread is reported only in a
    process that called ``keep_run_errors`` once at start-up, as the batch's
    workers do; elsewhere the outcome says what the module printed.

    ``log`` names a file that receives what the module prints, as it prints
    it (so that it stays when the process is killed). A solve that gives no
    solution keeps its end in the task's results folder as
    ``brivane-solve.log``, listed in the manifest; one that solves removes an
    earlier attempt's.
    """
    started = time.perf_counter()
    before = before_solve(task.model, task.sandbox)
    solve = _Solve(task, before)
    with _log_file(log) as logging:
        solve.run(logging)
    try:
        working = solve.sandbox if task.sandbox else before.folder
        results = changed_files(before, working, solve.copies) if working is not None else ()
        results_folder, manifest = _collect(task, working, results)
    except OSError as raised:
        # A solve whose results cannot be kept has failed all the same.
        results, results_folder, manifest = (), None, ()
        solve.error = solve.error or raised
    finally:
        if solve.sandbox:
            _remove_sandbox(solve.sandbox)
    ran = REVAV if solve.kind == STRUCTURE else task.solver
    solved = solve.solution_made and solve.error is None
    if task.results is not None and log is not None:
        with contextlib.suppress(OSError):
            kept = drop_solve_log(task.results, task.model) if solved else keep_solve_log(task.results, task.model, log)
            results_folder, manifest = (task.results, kept) if kept else (results_folder, manifest)
    found = Outcome(
        solved, time.perf_counter() - started, results, results_folder, solver=ran, kind=solve.kind, manifest=manifest
    )
    return found if found.solved else _failed(found, solve.error, solve.printed.getvalue())


@contextlib.contextmanager
def _log_file(log: str | None) -> Iterator[TextIO | None]:
    """The solve's log, emptied for this solve; None without one."""
    if log is None:
        yield None
        return
    with open(log, "w", encoding="utf-8", errors="backslashreplace") as f:
        yield f


class _Tee(io.TextIOBase):
    """What the module prints: kept in memory for the outcome, and written to the log at once."""

    def __init__(self, memory: io.StringIO, log: TextIO | None) -> None:
        self.memory, self.log = memory, log

    def write(self, text: str) -> int:
        self.memory.write(text)
        if self.log is not None:
            with contextlib.suppress(OSError, ValueError):
                self.log.write(text)
                self.log.flush()
        return len(text)


class _Solve:
    """One solve as it goes: the sandbox that it made and the signatures of its copies, what the module
    printed, the model's kind once loaded, and the exception that ended it."""

    def __init__(self, task: Task, before: Before) -> None:
        self.task, self.before = task, before
        self.printed = io.StringIO()
        self.sandbox: str | None = None
        self.copies: dict[str, Signature] = {}
        self.kind: str | None = None
        self.error: BaseException | None = None
        self.solution_made = False

    def run(self, log: TextIO | None = None) -> None:
        """The model loaded once and solved by its kind, in the sandbox made here or in its folder; the
        solution released at once. What the module prints goes to ``log`` too."""
        core = brivane_core
        task = self.task
        interrupted = False
        del _run_errors[:]
        try:
            with contextlib.redirect_stdout(_Tee(self.printed, log)):
                if task.sandbox:
                    self.sandbox = _new_sandbox()
                    self.copies = make_copies(self.before, self.sandbox)
                folder = self.sandbox or self.before.folder
                path = os.path.join(folder, os.path.basename(task.model))
                model = core.loadVokel(path)
                self.kind = _kind(model)
                self.solution_made = _by_kind(task, model, self.kind, path, folder) is not None
        except Exception as raised:
            self.error = raised
        except BaseException:
            interrupted = True
            raise
        finally:
            try:
                core.disposeSolution()
            except Exception as raised:
                self.error = self.error or raised
            if interrupted and self.sandbox is not None:
                _remove_sandbox(self.sandbox)  # nobody collects from it
        if self.error is None and not self.solution_made and _run_errors:
            self.error = _run_errors[-1]


def _by_kind(task: Task, model: Any, kind: str | None, path: str, folder: str) -> Any:
    """The loaded model handed to the module's function for its kind; the solution, or None."""
    core = brivane_core
    if model is None:
        # Its words for a model that does not load ("Invalid vokel", "Invalid filename"); its sandbox, if any,
        # goes with the next disposeSolution.
        core.solve(task.model, task.solver, task.sandbox)
        return None
    if kind == STRUCTURE:
        return core.solveStructureModel(model, path, folder)
    if kind == PIPING:
        return core.solvePipingModel(model, path, task.solver, folder)
    return None  # neither kind: solve returns None for it, saying nothing


def _new_sandbox() -> str:
    """A new folder in the temporary folder, named as solve names its sandboxes."""
    sandbox = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
    os.mkdir(sandbox)
    return sandbox


def _failed(found: Outcome, error: BaseException | None, printed: str) -> Outcome:
    """The outcome of a solve without a solution: its exception, else what the module printed."""
    if error is not None:
        return replace(found, solved=False, error_type=type(error).__name__, error_message=str(error))
    return replace(found, error_type="NoSolution", error_message=_said(printed) or "the solver gave no solution")


def _said(printed: str) -> str:
    """What the module printed about the solve, on one line: without the lines that report a library loaded
    on the way, which are about the process, not the model."""
    loaded = {f"{name} loaded" for name in brivane_core._dlls_}
    return " ".join(
        " ".join(line.split()) for line in printed.splitlines() if line.strip() and line.strip() not in loaded
    )


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
    what the folder's manifest lists and never through a link; (where the results are now, what the manifest
    lists)."""
    if task.results is None or working is None:
        return (None if task.sandbox else working), ()
    manifest = record_results(task.results, task.model, results)
    with Folder(task.results) as folder:
        for name in results:
            source = os.path.join(working, name)
            folder.write(name, source=source, mode=os.stat(source).st_mode)
    return task.results, manifest


def _remove_sandbox(sandbox: str) -> None:
    # Only a folder made in the temporary folder: never a model's own folder.
    folder = os.path.normcase(os.path.dirname(os.path.abspath(sandbox)))
    if folder != os.path.normcase(os.path.abspath(tempfile.gettempdir())):
        return
    remove_tree(sandbox)

"""What the two solver classes share."""

import os
import signal
import time

from ..dotnet import ArgumentException, ArgumentNullException, FileNotFoundException, ObjectDisposedException
from ..knobs import knobs
from . import _files
from .pelorix_core import Model


class SolverBase:
    """Checks of the constructor, IgnoreWarnings, Dispose."""

    _solver_name = "?"

    def _setup(self, path, model, input_file, thffile):
        if not isinstance(path, str) or not os.path.isfile(path):
            raise FileNotFoundException(f"Solver not found: '{path}'.")
        if not isinstance(model, Model):
            raise ArgumentException("the solver expects a Model")
        for value, name in ((input_file, "input file"), (thffile, "thffile")):
            if value is None:
                raise ArgumentNullException(name)
            if not isinstance(value, str):
                raise TypeError(f"{name} must be a string")
        self._path, self._model = path, model
        self._input, self._thf = input_file, thffile
        self._ignore_warnings = False
        self._disposed = False
        self._results_file = None
        self._kind = "piping" if model._module.name == "Pelorix" else "structure"
        self._element_count = 0

    @property
    def IgnoreWarnings(self):
        return self._ignore_warnings

    @IgnoreWarnings.setter
    def IgnoreWarnings(self, value):
        if not isinstance(value, bool):
            raise TypeError("IgnoreWarnings expects a bool")
        self._ignore_warnings = value

    @property
    def IsDisposed(self):
        return self._disposed

    def Dispose(self):
        self._release()

    def _release(self):
        self._disposed = True

    def _check_alive(self):
        if self._disposed:
            raise ObjectDisposedException(f"{type(self).__name__} is disposed.")

    def _work(self):
        """What a run costs before it writes anything, and the failures of
        the knobs that name this model."""
        stem = os.path.splitext(os.path.basename(self._model._file or ""))[0]
        if stem in knobs.crash_on or (stem in knobs.crash_first_on and _claim(f"crashed-{stem}")):
            os.kill(os.getpid(), signal.SIGKILL)
        while stem in knobs.hang_on:
            time.sleep(60)
        while knobs.solve_waits_for and not os.path.exists(knobs.solve_waits_for):
            time.sleep(0.01)
        if knobs.solve_seconds:
            time.sleep(knobs.solve_seconds)
        total = 0
        for i in range(knobs.solve_iterations):
            total += i * i % 7
        return total

    def _thf_readable(self):
        return self._thf == "" or os.path.isfile(self._thf)

    def _write_results(self, path, fields):
        lines = [
            f"STANDIN-{self._solver_name.upper()}-RESULTS 1",
            f"solver={self._path}",
            f"model={self._kind}",
            f"elements={self._element_count}",
            f"input={self._input}",
            f"thf={self._thf}",
            f"ignoreWarnings={self._ignore_warnings}",
        ]
        lines += [f"{k}={v}" for k, v in fields.items()]
        _files.write_atomic(path, "\n".join(lines) + "\n")
        self._results_file = path
        for name in knobs.extra_results:
            extra = os.path.join(os.path.dirname(path), name)
            os.makedirs(os.path.dirname(extra), exist_ok=True)
            _files.write_atomic(extra, f"{self._solver_name} {name} of {os.path.basename(path)}\n")


def _claim(name):
    """True for the first process of all that claims ``name``."""
    try:
        os.close(os.open(os.path.join(knobs.state_folder, name), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return False
    return True

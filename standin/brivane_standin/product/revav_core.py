"""Brivane.Revav.Core: the Revav solver of piping and structure models."""

import os

from .. import dotnet
from ..dotnet import netclass
from ..knobs import knobs
from . import _files, _solving

NS = "Brivane.Revav.Core"


@netclass(NS)
class RevavSolver(_solving.SolverBase):
    """``RevavSolver(solverPath, model, modelFile, thffile, flag)``.

    ``BuildAnalysisModel(keepDistantModels)`` reads the model file: -3 thf
    file missing, -2 model file missing or not a model, -1 nothing to
    analyse (no elements), else 0.  ``Run()`` returns 5 when no analysis
    model was built, else 0 and writes ``<model stem>.rres`` in the model
    file's folder.  Numbers in that file follow the calling thread's .NET
    CurrentCulture, which the file also names.
    """

    _solver_name = "Revav"

    def __init__(self, path, model, modelFile, thffile, flag):
        self._setup(path, model, modelFile, thffile)
        if not isinstance(flag, bool):
            raise TypeError("flag must be a bool")
        self._built = False

    def BuildAnalysisModel(self, keepDistantModels):
        self._check_alive()
        if not isinstance(keepDistantModels, bool):
            raise TypeError("keepDistantModels must be a bool")
        try:
            document = _files.read_json(self._input, "standin-model")
            elements = document.get("elements") or []
            code = 0 if elements else -1
            self._element_count = len(elements)
        except dotnet.Exception:
            code = -2
        if code == 0 and not self._thf_readable():
            code = -3
        if knobs.revav_build_result is not None:
            code = knobs.revav_build_result
        self._built = code >= 0
        return code

    def Run(self):
        self._check_alive()
        self._work()
        code = 0 if self._built else 5
        if knobs.revav_run_result is not None:
            code = knobs.revav_run_result
        if code == 0:
            thread = dotnet._current_thread()
            culture = thread._culture
            displacement = f"{0.125 * self._element_count:.3f}"
            self._write_results(
                os.path.splitext(self._input)[0] + ".rres",
                {
                    "culture": culture.Name,
                    "uiCulture": thread._ui_culture.Name,
                    "maxDisplacement": displacement.replace(".", culture._decimal_separator),
                },
            )
        return code

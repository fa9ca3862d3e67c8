"""Brivane.Quelbar.Core: the Quelbar solver of piping models."""

import os

from .. import dotnet
from ..dotnet import netclass
from ..knobs import knobs
from . import _solving
from .pelorix_core import read_fre

NS = "Brivane.Quelbar.Core"


@netclass(NS)
class QuelbarSolver(_solving.SolverBase):
    """``QuelbarSolver(solverPath, model, frefile, thffile)``; thffile "" means
    none.  ``Run()`` codes: 0 success (writes ``<fre stem>.qres`` next to
    the fre file), 1 fre file missing or not a fre file, 2 thf file missing,
    3 fre file of a structure model."""

    _solver_name = "Quelbar"

    def __init__(self, path, model, frefile, thffile):
        self._setup(path, model, frefile, thffile)
        self._analysis = None

    def Run(self):
        self._check_alive()
        self._work()
        try:
            fre = read_fre(self._input)
        except dotnet.Exception:
            fre = None
        if fre is None:
            code = 1
        elif not self._thf_readable():
            code = 2
        elif fre.get("module") != "Pelorix":
            code = 3
        else:
            code = 0
            self._element_count = int(fre.get("elements", "0"))
        if knobs.quelbar_run_result is not None:
            code = knobs.quelbar_run_result
        if code == 0:
            stem = os.path.splitext(self._input)[0]
            self._write_results(
                stem + ".qres", {"maxLength": (fre or {}).get("maxLength"), "rotation": (fre or {}).get("rotation")}
            )
            self._analysis = AnalysisModel._make(self._element_count)
        return code

    def GetAnalysisModel(self):
        self._check_alive()
        if knobs.quelbar_analysis_model_missing:
            return None
        return self._analysis


@netclass(NS)
class AnalysisModel:
    """What a successful Quelbar run has analysed."""

    @classmethod
    def _make(cls, element_count):
        self = object.__new__(cls)
        self._count = element_count
        return self

    @property
    def ElementCount(self):
        return self._count

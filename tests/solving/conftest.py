"""Fixtures of the solving tests."""

import pytest
from brivane_standin import journal

from ..support import build_model


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

"""What a batch would do, found without doing any of it: no worker started, nothing written, no native module.

Each model is listed with the results folder that the batch would give it
and whether it would be solved or, with ``resume``, skipped, by the same
rules as ``solve_many``: the input checked alike (less the probes that write
a file), the digests of its inputs compared alike.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Iterable
from typing import Any, NamedTuple

from ._inputs import check_input, options_given
from ._models import ModelSource
from ._outputs import read_manifest, same_model
from ._schedule import make_job, solved_from_the_same_inputs
from ._solve_inputs import input_digests
from ._writing import is_temporary
from .report import IN_PLACE, SANDBOX


class PlannedModel(NamedTuple):
    """A model as a batch would take it: ``solve`` or ``skip`` (solved before from the same inputs), and its
    results folder (None without ``results``)."""

    path: str
    action: str
    results_folder: str | None


SOLVE, SKIP = "solve", "skip"


def dry_run(models: Iterable[ModelSource], installation: str, **options: Any) -> list[PlannedModel]:
    """What ``solve_many`` with the same arguments would do with each model, found without starting a worker
    or writing anything. Raises as ``solve_many`` does for bad input."""
    checked = check_input(models, installation, options_given("dry_run", options), probe=False)
    given = checked.options
    taken: set[str] = set()
    planned = []
    for index, model in enumerate(checked.models):
        job = make_job(index, model, given.solver, given.sandbox, None, input_digests(model.path))
        earlier = checked.earlier.get(os.path.normcase(model.path))
        skipped = earlier is not None and solved_from_the_same_inputs(
            earlier, job, given.solver, SANDBOX if given.sandbox else IN_PLACE
        )
        folder = None
        if given.results is not None:
            folder = (
                earlier.results_folder
                if skipped and earlier is not None and earlier.results_folder
                else _folder_it_would_get(given.results, model.name, model.path, taken)
            )
            taken.add(os.path.normcase(folder))
        planned.append(PlannedModel(model.path, SKIP if skipped else SOLVE, folder))
    return planned


def _folder_it_would_get(root: str, name: str, model: str, taken: set[str]) -> str:
    """The results folder that claiming would give ``model``: its folder of earlier runs, else the first free
    name that no model before it in this plan would take."""
    free = None
    for number in itertools.count(1):
        folder = os.path.join(root, name if number == 1 else f"{name}-{number}")
        if not os.path.lexists(folder):
            return free or (folder if os.path.normcase(folder) not in taken else _next_untaken(root, name, taken))
        if os.path.islink(folder) or not os.path.isdir(folder):
            continue
        manifest = read_manifest(folder)
        if manifest is not None and same_model(manifest["model"], model):
            return folder
        if (
            free is None
            and manifest is None
            and os.path.normcase(folder) not in taken
            and all(is_temporary(entry) for entry in os.listdir(folder))
        ):
            free = folder
    raise AssertionError("unreachable")


def _next_untaken(root: str, name: str, taken: set[str]) -> str:
    for number in itertools.count(2):
        folder = os.path.join(root, f"{name}-{number}")
        if not os.path.lexists(folder) and os.path.normcase(folder) not in taken:
            return folder
    raise AssertionError("unreachable")

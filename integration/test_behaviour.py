"""Both stand-ins of the product against the one table of behaviour.py."""

import json
import os

import pytest

from .behaviour import EXPECTED, SCENARIOS, Run


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_scenario(name, request, bc, core, face, installation, tmp_path):
    scenario, from_set_up = SCENARIOS[name]
    if from_set_up:
        request.getfixturevalue("ready")
    work = tmp_path / "work"
    work.mkdir()
    run = Run(bc, core, face, installation, work)
    scenario(run)
    observed = run.observation()
    dump = os.environ.get("BRIVANE_BEHAVIOUR_DUMP")
    if dump:
        with open(dump, "a") as f:
            f.write(json.dumps({name: observed}) + "\n")
    # Compared as JSON: tuples and lists alike.
    assert json.loads(json.dumps(observed)) == EXPECTED[name]


def test_every_scenario_has_its_expectation():
    assert sorted(EXPECTED) == sorted(SCENARIOS)

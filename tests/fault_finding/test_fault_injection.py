"""Fault injection: every host call of the file-handling functions made to fail in turn.

For each scenario a clean run first lists the host calls (os, os.path, shutil,
tempfile, uuid, json, open, print) that the call under test makes; then one
case per call makes exactly that call fail. Each case checks where the error
ends up (passed through unchanged, caught where the function catches it, or
ending the solver's worker thread) and that no data is lost: see
support_faults for the invariants. Product write failures part-way (the
stand-in's fail_writes_after) and product errors are checked the same way.

With BRIVANE_FAULT_REPORT naming a file, every case appends one line to it:
the case and its number of violated invariants.
"""

import json
import os
import shutil

import pytest
from brivane_standin import dotnet

from . import support_faults
from .support_faults import SCENARIOS, run_case

_CASES = []


def pytest_generate_tests(metafunc):
    if "host_fault" in metafunc.fixturenames:
        if not _CASES:
            _CASES.extend(support_faults.host_fault_cases())
        metafunc.parametrize("host_fault", _CASES, ids=[f"{c.scenario}-{c.k:02d}-{c.call}-{c.fault}" for c in _CASES])


def record(case, result):
    path = os.environ.get("BRIVANE_FAULT_REPORT")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(json.dumps({"case": case, "violations": result.violations, "mismatches": result.mismatches}) + "\n")


def check(case, result):
    record(case, result)
    assert not result.violations, f"data lost in {case}: {result.violations}"
    assert not result.mismatches, f"wrong outcome in {case}: {result.mismatches}"


def test_host_fault(host_fault, tmp_path, capsys):
    error = support_faults.make_error(host_fault.fault, host_fault.k)
    result = run_case(
        SCENARIOS[host_fault.scenario], tmp_path, fail_at=host_fault.k, error=error, clean_signature=host_fault.clean
    )
    case = f"{host_fault.scenario}-{host_fault.k}-{host_fault.fault}"
    if result.failed is not None:
        assert result.failed.name == host_fault.call, "the host calls differ from the clean run's"
    check(case, result)


# --- copyDirectoryToTemp: a copy that fails part-way ------------------------------


def _partial_copy(error):
    def copytree(real, source, target, **options):
        copied = []

        def copy_function(src, dst):
            if len(copied) == 2:
                raise error
            copied.append(src)
            return shutil.copy2(src, dst)

        return real(source, target, copy_function=copy_function, **options)

    return copytree


def test_partly_copied_folder_is_removed(tmp_path):
    error = OSError(28, "No space left on device")
    result = run_case(SCENARIOS["copyDirectoryToTemp"], tmp_path, partial_copy=_partial_copy(error))
    assert result.outcome == ("returned", "")
    # The copy was partly made before the error: the folder existed, and is gone again.
    assert result.calls.count("shutil.rmtree") == 1
    check("copyDirectoryToTemp-partial-oserror", result)


def test_interrupted_partial_copy_passes_the_interrupt(tmp_path):
    error = KeyboardInterrupt()
    result = run_case(SCENARIOS["copyDirectoryToTemp"], tmp_path, partial_copy=_partial_copy(error))
    assert result.outcome.kind == "raised" and result.outcome.value is error
    check("copyDirectoryToTemp-partial-interrupt", result)


# --- the product's writes failing part-way -----------------------------------------


def _writes_fail(knobs):
    knobs.fail_writes_after = 10


def _raise_on(name, error):
    def apply(knobs):
        knobs.raise_on = {name: error}

    return apply


def test_save_failing_part_way_keeps_the_model_file(tmp_path):
    result = run_case(SCENARIOS["saveVokel"], tmp_path, product_fault=_writes_fail)
    assert result.outcome.kind == "raised" and isinstance(result.outcome.value, dotnet.IOException)
    # writeFreFile was not reached: the fre file was neither deleted nor written.
    assert "os.remove" not in result.calls
    check("saveVokel-fail_writes_after", result)


def test_fre_file_writing_failing_part_way_leaves_no_partial_file(tmp_path):
    result = run_case(SCENARIOS["writeFreFile"], tmp_path, product_fault=_writes_fail)
    assert result.outcome.kind == "raised" and isinstance(result.outcome.value, dotnet.IOException)
    check("writeFreFile-fail_writes_after", result)


@pytest.mark.parametrize("scenario", ["addPipingProject", "addProject"])
def test_project_writing_failing_part_way_leaves_no_project_folder(scenario, tmp_path):
    result = run_case(SCENARIOS[scenario], tmp_path, product_fault=_writes_fail)
    assert result.outcome.kind == "raised" and isinstance(result.outcome.value, dotnet.IOException)
    assert not os.path.exists(tmp_path / "work" / "projects" / "Plant1")
    check(f"{scenario}-fail_writes_after", result)


@pytest.mark.parametrize("failing", ["ProjectViewModel..ctor", "ProjectViewModel.CreateNewProject", "Point..ctor"])
def test_project_refused_by_the_product_leaves_no_project_folder(failing, tmp_path):
    error = dotnet.InvalidOperationException("refused")
    result = run_case(SCENARIOS["addPipingProject"], tmp_path, product_fault=_raise_on(failing, error))
    assert result.outcome == ("raised", error)
    assert not os.path.exists(tmp_path / "work" / "projects" / "Plant1")
    check(f"addPipingProject-{failing}", result)


@pytest.mark.parametrize(
    "scenario", ["solve-sandbox-quelbar", "solve-sandbox-revav", "solve-inplace-quelbar", "solve-inplace-revav"]
)
def test_solve_whose_results_fail_part_way(scenario, tmp_path):
    result = run_case(SCENARIOS[scenario], tmp_path, product_fault=_writes_fail)
    # The solver's error ends its worker thread; the solve has no solution.
    assert result.outcome == ("returned", None)
    check(f"{scenario}-fail_writes_after", result)


@pytest.mark.parametrize("scenario", ["solve-sandbox-quelbar", "solve-inplace-revav"])
def test_solve_of_a_model_the_product_cannot_load(scenario, tmp_path):
    result = run_case(
        SCENARIOS[scenario], tmp_path, product_fault=_raise_on("Model.LoadFromFile", dotnet.InvalidDataException("bad"))
    )
    # loadVokel's catch: no model, "Invalid vokel", and a sandbox that disposeSolution removes.
    assert result.outcome == ("returned", None)
    assert ("Invalid vokel",) in result.printed
    check(f"{scenario}-LoadFromFile", result)

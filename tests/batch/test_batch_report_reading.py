"""What a batch report says and how it reads back: the solver that ran, the model file as found, the summary,
and read_report over the last run or every run of a file."""

import json
import os

import pytest

from brivane_computer.batch import ModelResult, Report, read_report, solve_many

from ..support import build_model
from .support_batch import run_main


def test_the_report_names_the_solver_that_ran_and_the_file_as_found(plant, core, tmp_path):
    # Each in a folder of its own: models of one folder share its fre file.
    folder = plant("p/p1")
    build_model(core, str(folder / "s"), "s1", kind="structure")
    (folder / "b").mkdir()
    (folder / "b" / "bad.vokel").write_text("not a model")
    report_file = str(tmp_path / "report.jsonl")
    solved = solve_many([folder], plant.installation, solver="Quelbar", report=report_file, progress=False)

    read = read_report(report_file)
    assert isinstance(read, Report) and read.models == solved.models
    assert [(m.status, m.solver, m.kind) for m in read.models] == [
        ("failed", "Quelbar", None),
        ("solved", "Quelbar", "piping"),
        ("solved", "Revav", "structure"),
    ]
    bad = read.models[0]
    # Only what the module printed for this solve: not the line of a library loaded on the way.
    assert (bad.error_type, bad.error_message) == ("NoSolution", "Invalid vokel")
    for model in read.models:
        info = os.stat(model.path)
        assert (model.size, model.mtime_ns) == (info.st_size, info.st_mtime_ns)
    assert (read.count("solved"), read.count("failed"), read.ok) == (2, 1, False)

    # Resumed, a structure model solved by Revav is skipped whichever solver is asked for; a piping model
    # solved by Quelbar is solved again with Revav.
    (folder / "b" / "bad.vokel").unlink()
    for solver, statuses in (("Quelbar", ["skipped", "skipped"]), ("Revav", ["solved", "skipped"])):
        again = solve_many([folder], plant.installation, solver=solver, report=report_file, resume=True, progress=False)
        assert [m.status for m in again.models] == statuses
        # All solved or skipped: the line of counts, then the report's name.
        assert again.ok and len(again.summary().splitlines()) == 2
    latest = read_report(report_file, runs="all")
    assert [(os.path.basename(m.path), m.status, m.solver) for m in latest.models] == [
        ("bad.vokel", "failed", "Quelbar"),
        ("p1.vokel", "solved", "Revav"),
        ("s1.vokel", "solved", "Revav"),
    ]
    assert [m.status for m in read_report(report_file).models] == ["solved", "skipped"]


def _write(path, *runs):
    """A report file of runs, each a list of (index, path, status) and whether it ended."""
    with open(path, "w") as f:
        for models, ended in runs:
            f.write(json.dumps({"record": "batch", "solver": "Quelbar"}) + "\n")
            for index, model, status in models:
                record = ModelResult(model, status, "Quelbar", "sandbox", 1.0, 1).record()
                f.write(json.dumps({**record, **({} if index is None else {"index": index})}) + "\n")
            f.write(json.dumps({"record": "worker", "worker": 1, "message": "no seat"}) + "\n")
            if ended:
                f.write(json.dumps({"record": "end", "interrupted": False, "seconds": 2.0}) + "\n")


@pytest.mark.parametrize(
    "runs, last, every, interrupted",
    [
        # Records are written as models finish; the index gives the order the models were given.
        ([([(1, "a", "failed"), (0, "b", "solved")], True)], ["b:solved", "a:failed"], ["b:solved", "a:failed"], False),
        (
            [
                ([(1, "a", "failed"), (0, "b", "solved")], True),
                ([(0, "b", "skipped"), (1, "a", "timed out")], True),
                ([(0, "c", "solved")], False),
            ],
            ["c:solved"],
            ["b:solved", "a:timed out", "c:solved"],
            True,
        ),
        # A report written before records held their index keeps the order written.
        (
            [([(None, "a", "solved"), (None, "b", "solved")], True)],
            ["a:solved", "b:solved"],
            ["a:solved", "b:solved"],
            False,
        ),
    ],
    ids=["one run", "resumed runs", "no index"],
)
def test_read_report_gives_the_last_run_or_each_models_latest_outcome(tmp_path, runs, last, every, interrupted):
    path = str(tmp_path / "report.jsonl")
    _write(path, *runs)
    for which, expected in (("last", last), ("all", every)):
        report = read_report(path, runs=which)
        assert [f"{m.path}:{m.status}" for m in report.models] == expected
        assert report.interrupted is interrupted and report.setup_failures == ["no seat"]
        assert report.ok is (not interrupted and all(e.endswith(("solved", "skipped")) for e in expected))
    assert read_report(path, runs="all").seconds == 2.0 * sum(ended for _, ended in runs)
    with pytest.raises(ValueError, match="runs must be"):
        read_report(path, runs="first")


def test_the_summary_is_one_line_unless_some_model_failed(capsys, tmp_path):
    solved = Report([ModelResult("a", "solved", "Revav", "sandbox", 1.0, 1)], seconds=1.0)
    failed = Report(
        solved.models
        + [
            ModelResult(
                "b", "failed", "Revav", "sandbox", 2.0, 2, error_type="NoSolution", error_message="Invalid vokel"
            )
        ],
        seconds=3.0,
    )
    assert solved.summary() == "1 model: 1 solved in 1.0 s"
    assert failed.summary().splitlines() == [
        "2 models: 1 solved, 1 failed in 3.0 s",
        "",
        "status  attempts  seconds  model  error",
        "failed         2      2.0  b      NoSolution: Invalid vokel",
    ]
    status, out, _ = run_main(capsys, "solve", "--help")
    assert status == 0 and "then a table of the models that failed or timed out, if any" in " ".join(out.split())

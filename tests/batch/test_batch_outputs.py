"""What a batch writes: its report and its results folders, and never a file that is not its own (the user's
files beside the plant are checked after every batch by the plant fixture)."""

import json

import pytest

from brivane_computer.batch import MANIFEST

from .support_batch import solve_intervals


@pytest.mark.parametrize(
    "report, status, message",
    [
        ("plant/notes.txt", 2, "plant/notes.txt is not a batch report (its first line is not a batch record)"),
        ("plant/s1.vokel", 2, "plant/s1.vokel is the model {plant}/s1.vokel of the batch"),
        ("earlier.jsonl", 0, None),
        ("empty.jsonl", 0, None),
    ],
)
def test_a_report_is_only_ever_added_to(plant, tmp_path, capsys, report, status, message):
    folder = plant("s1")
    (tmp_path / "empty.jsonl").write_text("")
    before = (tmp_path / report).read_text()
    code, out, err = plant.command(
        capsys, "solve", plant.installation, folder, "--solver", "Quelbar", "--report", tmp_path / report
    )
    assert code == status, err
    if status == 2:
        assert out == "" and len(err.splitlines()) == 1 and message.format(plant=folder) in err
        assert (tmp_path / report).read_text() == before
    else:
        text = (tmp_path / report).read_text()
        assert text.startswith(before)
        assert [
            r
            for r in (json.loads(line)["record"] for line in text[len(before) :].splitlines())
            if r not in ("setup", "attempt")
        ] == ["batch", "model", "end"]


def test_each_model_keeps_a_results_folder_of_its_own(plant, tmp_path):
    folder = plant("s1", "b/s2")
    results, report = tmp_path / "results", str(tmp_path / "report.jsonl")
    # Someone's files where b/s2's results would go: the batch takes the next free name.
    (results / "b" / "s2").mkdir(parents=True)
    (results / "b" / "s2" / "conception.qres").write_text("the user's\n")
    first = plant.solve([folder], solver="Quelbar", results=str(results), report=report)
    assert {n: m.results_folder for n, m in plant.by_name(first).items()} == {
        "s1": str(results / "s1"),
        "b/s2": str(results / "b" / "s2-2"),
    }
    kept = (results / "s1" / "conception.qres").read_bytes()

    # Resumed with a new model of the same name listed first: it gets a folder of its own, and the earlier
    # model's skip record still points at its own files.
    plant("new/s1")
    resumed = plant.solve(
        [folder / "new" / "s1.vokel", folder], solver="Quelbar", results=str(results), report=report, resume=True
    )
    assert {n: (m.status, m.results_folder) for n, m in plant.by_name(resumed).items()} == {
        "new/s1": ("solved", str(results / "s1-2")),
        "s1": ("skipped", str(results / "s1")),
        "b/s2": ("skipped", str(results / "b" / "s2-2")),
    }
    assert (results / "s1" / "conception.qres").read_bytes() == kept
    manifest = json.loads((results / "s1-2" / MANIFEST).read_text())
    assert manifest == {"model": str(folder / "new" / "s1.vokel"), "files": ["conception.qres"]}
    assert plant.by_name(resumed)["new/s1"].manifest == ("conception.qres",)

    # Without the report, the same folders again: the manifests decide.
    again = plant.solve([folder / "s1.vokel", folder / "new" / "s1.vokel"], solver="Revav", results=str(results))
    assert [m.results_folder for m in again.models] == [str(results / "s1"), str(results / "s1-2")]


@pytest.mark.parametrize("results", ["plant", "plant/b/results", "link/results"])
def test_results_inside_the_models_are_bad_input(plant, tmp_path, capsys, results):
    folder = plant("s1", "b/s2")
    (tmp_path / "link").symlink_to(folder / "b")
    status, out, err = plant.command(
        capsys, "solve", plant.installation, folder, "--solver", "Quelbar", "--results", tmp_path / results
    )
    assert (status, out) == (2, "") and len(err.splitlines()) == 1
    assert f"the results folder {tmp_path / results} " in err and "name a folder outside the models" in err
    assert not (tmp_path / "journal.jsonl").exists()  # no worker started


def test_in_place_solves_of_one_folder_never_overlap_whatever_path_reaches_it(plant, tmp_path):
    folder = plant("s0", "a/s1", "a/s2", solve_seconds=0.5)
    (tmp_path / "link").symlink_to(folder / "a")
    report = plant.solve(
        [folder / "s0.vokel", folder / "a" / "s1.vokel", tmp_path / "link" / "s2.vokel"],
        solver="Quelbar",
        sandbox=False,
        jobs=2,
    )
    assert [m.status for m in report.models] == ["solved"] * 3
    # plant holds plant/a, which the link reaches: no two of them ran at once.
    intervals = sorted(solve_intervals(plant.entries()), key=lambda i: i[2])
    assert len(intervals) == 3
    assert all(earlier[3] <= later[2] for earlier, later in zip(intervals, intervals[1:]))

"""brivane_computer.batch: models solved in worker processes, with the stand-in's journal of every process."""

import json
import os
import shutil
import threading
from collections import Counter

import pytest
from brivane_standin.product.quelbar_core import QuelbarSolver
from brivane_testkit.trees import tree_contents

from brivane_computer.batch import Task, find_models, read_report, solve_model
from brivane_computer.batch._leftovers import LOCK, LockedFolder
from brivane_computer.batch._solve_inputs import first_file
from brivane_computer.batch.local import FOLDER_PREFIX

from ..support import build_model
from .support_batch import EXTRA, solve_intervals


@pytest.mark.parametrize("sandbox", [True, False], ids=["sandbox", "in place"])
def test_models_solved_in_parallel_give_what_each_solve_wrote(plant, tmp_path, temp_root, sandbox):
    folder = plant("a/s1", "a/s2", "b/s3", "s4", solve_seconds=0.2, extra_results=[EXTRA])
    before = tree_contents(folder)
    report = plant.solve(
        [folder],
        solver="Quelbar",
        sandbox=sandbox,
        jobs=2,
        timeout=60,
        results=str(tmp_path / "results"),
        report=str(tmp_path / "report.jsonl"),
    )

    models = plant.by_name(report)
    assert [(m.status, m.attempts) for m in models.values()] == [("solved", 1)] * 4
    assert len(read_report(str(tmp_path / "report.jsonl")).models) == 4
    assert sorted(models) == ["a/s1", "a/s2", "b/s3", "s4"]
    written = {"conception.qres", EXTRA}
    for name, model in models.items():
        assert set(model.results) == written
        assert model.results_folder == str(tmp_path / "results" / name)
        for result in written:
            copied = (tmp_path / "results" / name / result).read_text()
            assert copied.startswith("STANDIN-QUELBAR-RESULTS 1" if result.endswith(".qres") else "Quelbar ")
    after = tree_contents(folder)
    if sandbox:
        assert after == before
    else:
        # In place, the results of each model are the files its folder gained or changed.
        changed = {path for path, content in after.items() if before.get(path) != content and content is not None}
        assert changed == {os.path.join(os.path.dirname(name), result) for name in models for result in written}
        assert all((tmp_path / "results" / "a/s2" / r).read_bytes() == after[os.path.join("a", r)] for r in written)

    entries = plant.entries()
    setups = [e["pid"] for e in entries if e["name"] == "BrivaneApplication..ctor"]
    assert len(setups) == len(set(setups)) == 2  # one set-up in each worker
    intervals = solve_intervals(entries)
    assert len(intervals) == 4
    if not sandbox:
        # Models of one folder never ran at once, whichever worker solved them.
        for folder_, pid, start, end in intervals:
            assert not [i for i in intervals if i[0] == folder_ and i[1] != pid and i[2] < end and start < i[3]]
    assert os.listdir(temp_root) == []


def test_a_worker_that_hangs_or_dies_loses_only_its_model(plant, tmp_path, temp_root):
    folder = plant(
        "ok", "hangs", "dies", "dies_once", hang_on=["hangs"], crash_on=["dies"], crash_first_on=["dies_once"]
    )
    report_file = str(tmp_path / "report.jsonl")
    report = plant.solve([folder], solver="Quelbar", jobs=2, timeout=3, retries=1, report=report_file)

    outcome = {name: (m.status, m.attempts, m.error_type) for name, m in plant.by_name(report).items()}
    assert outcome == {
        "ok": ("solved", 1, None),
        "hangs": ("timed out", 2, None),
        "dies": ("failed", 2, "WorkerDied"),
        "dies_once": ("solved", 2, None),
    }
    assert "SIGKILL" in plant.by_name(report)["dies"].error_message
    assert os.listdir(temp_root) == []
    # Less the "setup" records, one for each worker, and each attempt's start and retry.
    records = [
        r for r in (json.loads(line)["record"] for line in open(report_file)) if r not in ("setup", "attempt", "retry")
    ]
    assert records == ["batch"] + ["model"] * 4 + ["end"]

    # Resumed: what was solved, from unchanged inputs and with the same solver and mode, is skipped. A fre
    # file of its own is a changed input.
    plant()
    shutil.copy(folder / "conception.fre", folder / "dies_once.fre")
    resumed = plant.solve([folder], solver="Quelbar", report=report_file, resume=True)
    assert {n: (m.status, m.attempts) for n, m in plant.by_name(resumed).items()} == {
        "ok": ("skipped", 0),
        "hangs": ("solved", 1),
        "dies": ("solved", 1),
        "dies_once": ("solved", 1),
    }
    assert plant.by_name(resumed)["ok"].results == ("conception.qres",)
    again = plant.solve([folder], solver="Revav", report=report_file, resume=True)
    assert [m.status for m in again.models] == ["solved"] * 4
    assert open(report_file).read().count('"status": "skipped"') == 1


@pytest.mark.parametrize("seats", [1, 0])
def test_a_worker_that_cannot_set_up_is_retired(plant, tmp_path, seats):
    # The worker with the seat solves only once the refused one has ended: the batch cannot end before it hears.
    folder = plant("s1", "s2", "s3", licence_seats=seats, solve_waits_for=str(tmp_path / "state" / "refusals"))
    report = plant.solve([folder], solver="Quelbar", jobs=2, timeout=60)
    message = "InvalidOperationException: No Pelorix licence seat is free."
    if seats:
        assert report.setup_failures == [message]
        assert [m.status for m in report.models] == ["solved"] * 3
    else:
        assert report.setup_failures == [message] * 2
        assert [(m.status, m.error_type, m.attempts) for m in report.models] == [("failed", "SetupFailed", 0)] * 3
        assert all(message in m.error_message for m in report.models)


def test_a_worker_is_replaced_after_its_models(plant):
    folder = plant("s1", "s2", "s3", "s4", "s5")
    report = plant.solve([folder], solver="Quelbar", jobs=2, max_models_per_worker=2)
    # The stand-in's journal counts the models that each process solved.
    solved_by = Counter(entry["pid"] for entry in plant.entries() if entry["name"] == "Solution..ctor")
    assert sum(solved_by.values()) == 5 and max(solved_by.values()) == 2 and len(solved_by) >= 3
    # Each attempt's worker slot, process and times are in the report.
    runs = [run for model in report.models for run in model.runs]
    assert Counter(run["pid"] for run in runs) == solved_by
    assert {run["worker"] for run in runs} == {1, 2} and all(run["started"] <= run["ended"] for run in runs)


def test_a_batch_removes_only_what_a_killed_batch_left(plant, temp_root):
    folder = plant("s1")
    killed, running = LockedFolder(FOLDER_PREFIX), LockedFolder(FOLDER_PREFIX)
    killed.file.close()  # its lock went with its process
    (temp_root / "brivane-batch-notes").mkdir()
    (temp_root / "brivane-batch-notes" / "notes.txt").write_text("no marker\n")
    (temp_root / "elsewhere").mkdir()
    (temp_root / "elsewhere" / LOCK).write_text("")
    (temp_root / "brivane-batch-link").symlink_to(temp_root / "elsewhere")
    assert plant.solve([folder], solver="Quelbar").ok
    assert sorted(os.listdir(temp_root)) == sorted(
        [os.path.basename(running.path), "brivane-batch-notes", "brivane-batch-link", "elsewhere"]
    )
    running.remove()


def test_find_models_names_each_results_folder(tmp_path):
    for name in ("plant/b/s1.vokel", "plant/a/S2.VOKEL", "plant/a/notes.txt", "other/s1.vokel"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    found = find_models([tmp_path / "plant", tmp_path / "other" / "s1.vokel", tmp_path / "plant" / "b" / "s1.vokel"])
    assert [(os.path.relpath(m.path, tmp_path), m.name) for m in found] == [
        ("plant/a/S2.VOKEL", "a/S2"),
        ("plant/b/s1.vokel", "b/s1"),
        ("other/s1.vokel", "s1"),
    ]
    with pytest.raises(FileNotFoundError):
        find_models([tmp_path / "missing"])


@pytest.mark.parametrize(
    "links, given, found",
    [
        ({"plant/z": "outside"}, ["plant"], [("plant/a/s1.vokel", "a/s1"), ("plant/z/s2.vokel", "z/s2")]),
        ({"plant/a/up": "plant"}, ["plant"], [("plant/a/s1.vokel", "a/s1")]),
        (
            {"plant/y": "outside", "plant/x": "outside", "plant/z": "plant/a"},
            ["plant"],
            [("plant/a/s1.vokel", "a/s1"), ("plant/x/s2.vokel", "x/s2")],
        ),
        ({"plant/b/copy.vokel": "hard:plant/a/s1.vokel"}, ["plant"], [("plant/a/s1.vokel", "a/s1")]),
        ({"view": "outside"}, ["view/s2.vokel", "outside/s2.vokel"], [("outside/s2.vokel", "s2")]),
        (
            {"view": "plant"},
            ["view", "plant/a/s1.vokel", "outside"],
            [("plant/a/s1.vokel", "s1"), ("outside/s2.vokel", "s2")],
        ),
    ],
    ids=[
        "a linked folder",
        "a link to a folder that holds it",
        "links to folders searched already",
        "a hard link",
        "one file in two spellings",
        "a folder and its link",
    ],
)
def test_find_models_takes_each_file_once_under_its_first_path_in_name_order(tmp_path, links, given, found):
    for name in ("plant/a/s1.vokel", "outside/s2.vokel"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    for link, target in links.items():
        (tmp_path / link).parent.mkdir(parents=True, exist_ok=True)
        if target.startswith("hard:"):
            os.link(tmp_path / target[5:], tmp_path / link)
        else:
            (tmp_path / link).symlink_to(tmp_path / target)
    for order in (given, given[::-1]):
        models = find_models([tmp_path / path for path in order])
        assert sorted((os.path.relpath(m.path, tmp_path), m.name) for m in models) == sorted(found)


@pytest.mark.parametrize("sandbox", [True, False], ids=["sandbox", "in place"])
def test_a_solve_leaves_the_module_and_the_thread_hook_alone(ready, core, tmp_path, temp_root, monkeypatch, sandbox):
    path = build_model(core, str(tmp_path / "m"), "s1", fre="own", thf=("a.thf",))
    names, hook, seen = dict(vars(core)), threading.excepthook, []
    run = QuelbarSolver.Run

    def watched(solver):
        seen.append((threading.excepthook, dict(vars(core))))
        # The solver rewrites the .thf file with new bytes and the model file with the same bytes, and a crash
        # of an earlier write left the fre file's aside copy.
        folder = os.path.dirname(solver._input)
        with open(os.path.join(folder, "a.thf"), "a") as f:
            f.write("changed")
        model = os.path.join(folder, "s1.vokel")
        model_bytes = open(model, "rb").read()
        os.remove(model)
        open(model, "wb").write(model_bytes)
        open(os.path.join(folder, "s1.fre.old1"), "w").write("the previous fre file")
        return run(solver)

    monkeypatch.setattr(QuelbarSolver, "Run", watched)
    outcome = solve_model(Task(path, "Quelbar", sandbox))
    assert (outcome.solved, outcome.kind) == (True, "piping")
    # In a sandbox the copies were compared with their originals; in place, the model file was replaced.
    assert outcome.results == (("a.thf", "s1.qres") if sandbox else ("a.thf", "s1.qres", "s1.vokel"))
    ((during_hook, during),) = seen
    # The solve itself writes its solution into the module: nothing else changes.
    assert during_hook is hook and during.keys() == names.keys()
    assert [n for n in names if during[n] is not names[n] and n != "_Solution_"] == []
    assert threading.excepthook is hook and os.listdir(temp_root) == []


def test_a_workers_solver_run_that_raises_is_reported(plant, tmp_path):
    folder = plant("s1", fail_writes_after=10)
    (folder / "conception.fre").unlink()  # the run writes it, and the product's writer fails
    report = plant.solve([folder], solver="Quelbar")
    assert [(m.status, m.error_type) for m in report.models] == [("failed", "IOException")]


@pytest.mark.parametrize(
    "entries",
    [["b.THF", "a.thf"], ["x.thf/", "y.Thf"], ["link.thf@", "z.thf"], ["notes.txt", "thf"], ["gone.thf@"]],
    ids=["listing order", "a folder", "a link to a file", "none", "a dangling link"],
)
def test_the_batch_finds_a_solves_thf_file_as_the_module_does(core, tmp_path, entries):
    (tmp_path / "target").write_text("")
    for entry in entries:
        if entry.endswith("/"):
            (tmp_path / entry[:-1]).mkdir()
        elif entry.endswith("@"):
            (tmp_path / entry[:-1]).symlink_to(tmp_path / ("target" if entry != "gone.thf@" else "missing"))
        else:
            (tmp_path / entry).write_text(entry)
    assert first_file(str(tmp_path), ".thf") == core.find_first_file(str(tmp_path), ".thf")

"""The batch at its edges: links where results go, two batches started together, full disks, files that are
not regular files, names that are not UTF-8, and reports that come from elsewhere."""

import json
import os
import stat
import subprocess
import sys
import threading
from decimal import Decimal

import pytest

from brivane_computer.batch import OutputError, read_report, solve_many
from brivane_computer.batch._writing import Folder, LinkRefused
from brivane_computer.batch.report._records import read_runs

from .support_batch import run_main


def test_a_result_replaced_by_a_link_is_never_written_through(plant, tmp_path):
    folder = plant("m00")
    results, report = tmp_path / "res", str(tmp_path / "report.jsonl")
    first = plant.solve([folder], solver="Quelbar", results=str(results), report=report, timeout=Decimal("60"))
    # The product's modes, within the user's umask.
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE((results / "m00" / "conception.qres").stat().st_mode) == 0o666 & ~umask and first.ok
    archive = tmp_path / "archive.txt"
    archive.write_text("the user's archive\n")
    target = results / "m00" / "conception.qres"
    target.unlink()
    target.symlink_to(archive)
    (model,) = plant.solve([folder], solver="Quelbar", results=str(results), report=report).models
    assert (model.status, model.error_type, model.error_message) == (
        "failed",
        "LinkRefused",
        f"{target} is a link: the batch does not write through links, and left it and what it names as they are",
    )
    assert target.is_symlink() and archive.read_text() == "the user's archive\n"


@pytest.mark.parametrize("link", ["the file", "a folder on its path"])
def test_the_writer_refuses_a_link_wherever_it_lies(tmp_path, link):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "r.qres").write_text("kept")
    folder = tmp_path / "res"
    folder.mkdir()
    if link == "the file":
        (folder / "r.qres").symlink_to(outside / "r.qres")
    else:
        (folder / "Reports").symlink_to(outside)
    relative = "r.qres" if link == "the file" else "Reports/r.qres"
    named = folder / ("r.qres" if link == "the file" else "Reports")
    with Folder(str(folder)) as writing, pytest.raises(LinkRefused, match=f"{named} is a link"):
        writing.write(relative, b"new results")
    with Folder(str(folder)) as writing:
        writing.write("Reports2/s.txt", b"stress")
    assert (outside / "r.qres").read_text() == "kept" and os.listdir(outside) == ["r.qres"]
    # Nothing else: no temporary file left beside the targets.
    assert sorted(os.listdir(folder)) == sorted(["Reports2", "r.qres" if link == "the file" else "Reports"])
    assert os.listdir(folder / "Reports2") == ["s.txt"]


def test_two_batches_started_together_never_share_a_results_folder_or_a_report(plant, tmp_path):
    one, other = plant("a/study00", "b/study00") / "a", tmp_path / "plant" / "b"
    results, report = str(tmp_path / "res"), str(tmp_path / "report.jsonl")
    refusals, reports = [], []

    def start(model, barrier):
        barrier.wait()
        try:
            reports.append(
                solve_many(
                    [model],
                    plant.installation,
                    solver="Quelbar",
                    results=results,
                    report=report,
                    settings=plant.settings[1],
                    data_sources=plant.settings[3],
                    progress=False,
                )
            )
        except OutputError as refused:
            refusals.append(str(refused))

    plant.user.take()
    for _ in range(20):
        barrier = threading.Barrier(2)
        pair = [threading.Thread(target=start, args=(folder, barrier)) for folder in (one, other)]
        for thread in pair:
            thread.start()
        for thread in pair:
            thread.join()
    plant.user.check(reports, [report])
    # Each start solved its model or was refused at once, naming the batch that held the folder.
    assert len(reports) + len(refusals) == 40 and len(reports) >= 20
    assert all(m.status == "solved" for r in reports for m in r.models)
    assert all("is in use by another batch (process " in refusal for refusal in refusals)
    # Each run of the report is one batch's own, from start to end; each model has its results folder.
    runs = read_runs(report)
    assert len(runs) == len(reports) and all(run.end and len(run.models) == 1 for run in runs)
    for name, model in (("study00", one), ("study00-2", other)):
        manifest = json.loads((tmp_path / "res" / name / "brivane-results.json").read_text())
        assert manifest["model"] in (str(one / "study00.vokel"), str(other / "study00.vokel"))
    assert sorted(os.listdir(tmp_path / "res")) == ["study00", "study00-2"]


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 16 KiB, mounted inside the confinement."""
    disk = tmp_path / "disk"
    disk.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", str(disk)], check=True)
    yield disk
    subprocess.run(["umount", str(disk)], check=True)


@pytest.mark.parametrize("full", ["results", "report"])
def test_a_full_disk_is_one_line(plant, capsys, tmp_path, small_disk, full):
    folder = plant(*(f"m{number:02}" for number in range(20)))
    results = small_disk / "res" if full == "results" else tmp_path / "res"
    report = small_disk / "night.jsonl" if full == "report" else tmp_path / "night.jsonl"
    status, out, err = plant.solve_command(capsys, folder, "--results", results, "--report", report)
    assert status == 1 and "Traceback" not in err
    (line,) = [line for line in err.splitlines() if "disk is full" in line]
    assert line.startswith(f"brivane solve: the disk is full: {small_disk}") and "No space left on device" in line
    assert "20 models: " in out
    # Every line of the report reads; none is cut, and no temporary file is left on the full disk.
    assert all(json.loads(text) for text in report.read_text().splitlines())
    assert [name for _, _, names in os.walk(small_disk) for name in names if name.endswith(".partial")] == []
    if full == "results":
        assert read_report(str(report)).ended == "crashed"


def test_a_fifo_is_never_read(plant, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for command, expected in ((["report", fifo], 2), (["doctor", plant.installation, "--settings", fifo], 1)):
        done = subprocess.run(
            [sys.executable, "-m", "brivane_cli", *map(str, command)], capture_output=True, text=True, timeout=60
        )
        assert done.returncode == expected and "not a regular file" in done.stdout + done.stderr


def test_names_that_are_not_utf8_show_with_replacement_characters(plant, capsys, tmp_path):
    folder = plant("good")
    bad = os.path.join(os.fsencode(folder), b"bad\xffname.vokel")
    os.rename(os.fsencode(folder / "good.vokel"), bad)
    page, report = tmp_path / "night.html", tmp_path / "night.jsonl"
    status, _, err = plant.solve_command(capsys, folder, "--report", report, "--html", page)
    assert status == 0, err
    assert "bad\ufffdname.vokel" in page.read_text(encoding="utf-8")
    # The report keeps the exact name.
    assert [os.fsencode(m.path) for m in read_report(str(report)).models] == [bad]
    status, out, _ = run_main(capsys, "report", report, "--html", tmp_path / "again.html")
    assert status == 0 and "bad\ufffdname.vokel" in out


@pytest.mark.parametrize(
    "member, value",
    [
        ("attempts", "<img src=x onerror=alert(1)>"),
        ("seconds", "12 s"),
        ("runs", [{"worker": {"<b>": 1}}]),
        ("results", [1, 2]),
    ],
)
def test_a_report_member_of_the_wrong_kind_is_refused_before_any_page(capsys, tmp_path, member, value):
    record = {
        "record": "model",
        "index": 0,
        "path": "/p/s1.vokel",
        "status": "solved",
        "solver": "Quelbar",
        "mode": "sandbox",
        "seconds": 1.0,
        "attempts": 1,
        member: value,
    }
    report = tmp_path / "crafted.jsonl"
    report.write_text("\n".join(json.dumps(r) for r in ({"record": "batch"}, record, {"record": "end"})) + "\n")
    status, out, err = run_main(capsys, "report", report, "--html", tmp_path / "page.html")
    assert (status, out) == (2, "") and f"model record's {member!r} is not what it should be" in err
    assert not (tmp_path / "page.html").exists()

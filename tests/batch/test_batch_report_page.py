"""What a batch did, read the morning after: brivane report's text, the page of brivane report --html,
brivane solve --html and solve_many(html=), the page's output rules, and the page as Chromium shows it."""
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from brivane_computer.batch import BatchInputError, read_report

from .support_batch import assert_no_batch_process_left, run_and_stop, run_main

OURS = '<meta name="generator" content="brivane report page">'


def model_record(index, path, status, seconds, error=None, runs=()):
    error_type, message = error or (None, None)
    return {"record": "model", "index": index, "path": path, "status": status, "solver": "Quelbar",
            "mode": "sandbox", "seconds": seconds, "attempts": max(1, len(runs)), "error_type": error_type,
            "error_message": message, "runs": list(runs)}


def attempt(slot, start, end):
    return {"worker": slot, "pid": 100 + slot, "started": f"2031-03-04T02:00:{start:06.3f}+00:00",
            "ended": f"2031-03-04T02:00:{end:06.3f}+00:00"}


def write_report(path, *records):
    path.write_text("".join(json.dumps(r) + "\n" for r in records))
    return path


@pytest.mark.parametrize("timed", [True, False])
def test_the_report_groups_failures_by_masked_cause_and_tells_where_the_time_went(capsys, tmp_path, timed):
    # Two causes that differ only by path group together, wherever the paths are; a report written before
    # attempts and set-ups were timed still reads, and says what it leaves out.
    setups = [{"record": "setup", **attempt(slot, 0, 2 * slot), "failed": None} for slot in (1, 2)] if timed else []
    runs = (lambda *a: [attempt(*a)]) if timed else (lambda *a: [])
    report = write_report(
        tmp_path / "night.jsonl", {"record": "batch", "solver": "Quelbar", "jobs": 2}, *setups,
        model_record(0, r"C:\plant\a\s1.vokel", "failed", 1.0, ("IOException", r"cannot open C:\plant\a\s1.fre"),
                     runs(1, 2, 3)),
        model_record(1, "/srv/plant/b/s2.vokel", "failed", 2.0, ("IOException", "cannot open /srv/plant/b/s2.fre"),
                     runs(2, 4, 6)),
        model_record(2, "/srv/plant/c/s3.vokel", "timed out", 30.0, (None, "the solve took longer than 30 s"),
                     runs(1, 3, 33)),
        model_record(3, "/srv/plant/c/s4.vokel", "solved", 0.5, runs=runs(2, 6, 6.5)),
        {"record": "end", "interrupted": False, "seconds": 34.0})
    status, out, err = run_main(capsys, "report", report)
    assert (status, err) == (1, "")
    assert "4 models: 1 solved, 2 failed, 1 timed out in 34.0 s" in out
    assert re.search(r"2 x IOException: cannot open <path>\n +.*s1\.vokel\n +/srv/plant/b/s2\.vokel\n", out)
    assert "1 x timed out: the solve took longer than 30 s" in out
    slowest = out.split("slowest models:\n")[1].splitlines()
    assert [line.split()[-1] for line in slowest[:4]] == [
        "/srv/plant/c/s3.vokel", "/srv/plant/b/s2.vokel", r"C:\plant\a\s1.vokel", "/srv/plant/c/s4.vokel"]
    if timed:
        # Over the 33 s from the first set-up's start: slot 1 set up 2 s and solved 31 s; slot 2, 4 s and 2.5 s.
        assert re.search(r"slot 1 +busy +31\.0 s +set-up +2\.0 s +idle +0\.0 s", out)
        assert re.search(r"slot 2 +busy +2\.5 s +set-up +4\.0 s +idle +26\.5 s", out)
        assert re.search(r"slot 2 +process 102: 4\.0 s", out)
    else:
        assert "worker slots: left out, this report does not record each attempt's worker and times" in out
        assert "set-up times: left out, this report does not record when its workers set up" in out
    page = tmp_path / "night.html"
    assert run_main(capsys, "report", report, "--html", page)[0] == 1
    text = page.read_text()
    assert OURS in text and 'id="count-failed">2<' in text
    assert ('<div id="timeline"><style>' in text) == timed and '<div id="histogram"><svg' in text
    # Nothing loads from elsewhere.
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//|@import|url\(""", text)


@pytest.mark.parametrize("where", ["not ours", "folder", "missing folder", "extra missing"])
def test_a_page_path_the_batch_may_not_write_stops_it_before_any_worker(plant, capsys, tmp_path, monkeypatch,
                                                                        where):
    folder = plant("s1")
    page = {"not ours": tmp_path / "notes.html", "folder": tmp_path,
            "missing folder": tmp_path / "gone" / "page.html", "extra missing": tmp_path / "page.html"}[where]
    (tmp_path / "notes.html").write_text("<p>the plant's notes</p>\n")
    if where == "extra missing":
        monkeypatch.setitem(sys.modules, "pygal", None)
    report = tmp_path / "report.jsonl"
    status, out, err = plant.command(capsys, "solve", plant.installation, folder, "--solver", "Quelbar",
                                     "--report", report, "--html", page)
    assert (status, out, len(err.splitlines())) == (2, "", 1), err
    assert {"not ours": "is not a page of brivane report", "folder": "is a folder",
            "missing folder": "does not exist",
            "extra missing": "needs the extra report: pip install brivane_computer[report]"}[where] in err
    # Checked first: no worker ran, no report was begun.
    assert not os.path.exists(plant.journal) and not report.exists()
    assert (tmp_path / "notes.html").read_text() == "<p>the plant's notes</p>\n"
    with pytest.raises(BatchInputError):
        plant.solve([folder], solver="Quelbar", html=page)
    if where == "extra missing":
        # Printing needs no extra; the page says which one it needs.
        write_report(report, {"record": "batch"}, model_record(0, "/p/s1.vokel", "solved", 1.0),
                     {"record": "end", "ended": "finished", "seconds": 1.0})
        status, out, err = run_main(capsys, "report", report)
        assert (status, err) == (0, "") and "1 model: 1 solved" in out
        status, out, err = run_main(capsys, "report", report, "--html", page)
        assert status == 2 and "pip install brivane_computer[report]" in err and not page.exists()


def test_a_batch_writes_its_page_over_its_own_and_times_each_set_up(plant, capsys, tmp_path):
    folder = plant("a/s1", "a/s2", "b/s3", "c/crash", crash_on=["crash"])
    (folder / "d").mkdir()
    (folder / "d" / "bad.vokel").write_text("not a model")
    page, report = tmp_path / "page.html", str(tmp_path / "report.jsonl")
    page.write_text(f"<!DOCTYPE html>\n{OURS}\nan earlier page\n")
    solved = plant.solve([folder], solver="Quelbar", jobs=2, report=report, html=page)
    by_name = plant.by_name(solved)
    assert (by_name["c/crash"].error_type, by_name["d/bad"].error_type) == ("WorkerDied", "NoSolution")
    # Each worker's set-up (a replacement of the crashed one's too, when one started), on this machine's clock,
    # by its process: every process in the stand-in's journal.
    setups = read_report(report).setups
    assert sorted(s["pid"] for s in setups) == sorted({entry["pid"] for entry in plant.entries()})
    assert all(s["started"] < s["ended"] and s["failed"] is None for s in setups)
    text = page.read_text()
    assert "an earlier page" not in text and 'id="count-solved">3<' in text and 'id="count-failed">2<' in text
    status, out, _ = run_main(capsys, "report", report)
    assert status == 1 and "5 models: 3 solved, 2 failed" in out
    assert re.search(r"slot 1 +busy .*\n +slot 2 +busy", out)
    assert len(re.findall(r"^ +slot \d +process \d+: ", out, re.M)) == len(setups)

    dom = dump_dom(page, tmp_path)
    # The counts, a failed model's row, and the table's script run: it shows how many rows are shown.
    assert re.search(r'id="count-failed">2<', dom) and re.search(r'id="shown">5<', dom)
    failed = [r for r in re.findall(r'<tr class="failed"[^>]*>.*?</tr>', dom) if "bad.vokel" in r]
    assert len(failed) == 1 and "<td>failed</td>" in failed[0] and "NoSolution: Invalid vokel" in failed[0]


def browser_environment():
    """This process's environment less what a sanitizer run preloads into it: Chromium is not the module, and
    hangs with that runtime in it."""
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")}


def dump_dom(page, tmp_path):
    """The page's document once Chromium, headless, has loaded it and run its script."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("Chromium is missing (Debian's chromium, which scripts/test.sh installs when run as root)")
    profile = tmp_path / "chromium-profile"
    # Root in the confinement: Chromium's own sandbox needs what the confinement takes away.
    root = ["--no-sandbox"] if hasattr(os, "geteuid") and os.geteuid() == 0 else []
    result = subprocess.run([chromium, "--headless", *root, "--disable-gpu", "--no-first-run",
                             "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--dump-dom",
                             Path(page).as_uri()], capture_output=True, text=True, timeout=120,
                            env={**browser_environment(), "HOME": str(profile)})
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def test_a_batch_stopped_by_sigterm_still_writes_its_page(plant, tmp_path, temp_root):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report, page = tmp_path / "report.jsonl", tmp_path / "page.html"
    environment = {**os.environ, "TMPDIR": str(temp_root)}
    command = [sys.executable, "-m", "brivane_cli", "solve", plant.installation, str(folder), "--solver", "Quelbar",
               "--jobs", "2", "--report", str(report), "--html", str(page), *plant.settings]
    run_and_stop(plant, command, environment, tmp_path, "SIGTERM", 143)
    assert_no_batch_process_left(plant.mark)
    text = page.read_text()
    assert 'id="stopped">This batch was stopped by SIGTERM' in text and 'id="count-solved">1<' in text

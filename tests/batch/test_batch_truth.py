"""What the report says the morning after a night that was not simple: inputs edited between nights, a model
that crashed once, models that cannot be solved, output piped into a command that stops reading, a terminal
closed under the batch, a report read while its batch still runs, a batch that crashed."""

import os
import pty
import signal
import subprocess
import sys
import time

import pytest

from brivane_computer.batch import _run, read_report

from .support_batch import EXTRA, assert_no_batch_process_left, run_main


@pytest.mark.parametrize(
    "edit, solved_again",
    [
        (None, []),
        ("a/conception.fre", ["a/s1", "a/s2"]),
        ("b/s3.fre", ["b/s3"]),
        ("b/first.thf", ["b/s3"]),
    ],
    ids=["unchanged", "fre file edited", "own fre file made", "thf file added"],
)
def test_resume_solves_again_each_model_whose_inputs_changed(plant, tmp_path, edit, solved_again):
    folder = plant("a/s1", "a/s2", "b/s3")
    report = str(tmp_path / "report.jsonl")
    assert plant.solve([folder], solver="Quelbar", report=report).ok
    if edit is not None:
        # The engineer's own edit: a field the solver reads, or a file it copies.
        source = folder / os.path.dirname(edit) / "conception.fre"
        (folder / edit).write_text(source.read_text() + "maxLength=12.5\n")
    again = plant.solve([folder], solver="Quelbar", report=report, resume=True)
    assert {name: m.status for name, m in plant.by_name(again).items()} == {
        name: "solved" if name in solved_again else "skipped" for name in ("a/s1", "a/s2", "b/s3")
    }
    assert all(m.digests["model"]["sha256"] for m in again.models)


def test_a_model_that_failed_before_it_solved_shows_each_attempt(plant, tmp_path, capsys):
    folder = plant("flaky", "bad", crash_first_on=["flaky"])
    (folder / "bad.vokel").write_text("not a model")
    report = str(tmp_path / "report.jsonl")
    solved = plant.solve([folder], solver="Quelbar", retries=2, report=report)
    flaky, bad = plant.by_name(solved)["flaky"], plant.by_name(solved)["bad"]
    assert [(run["status"], run["error_type"]) for run in flaky.runs] == [("failed", "WorkerDied"), ("solved", None)]
    # A model that does not load would fail again: it is not retried.
    assert (bad.status, bad.error_type, bad.attempts) == ("failed", "NoSolution", 1)
    status, out, _ = run_main(capsys, "report", report)
    assert status == 1
    assert "models with an earlier attempt that gave no solution:" in out
    assert "attempt 1: failed, WorkerDied: the worker process was killed by SIGKILL" in out
    assert "earlier: attempt 1: failed, WorkerDied" in solved.summary()


def brivane(*arguments):
    return [sys.executable, "-m", "brivane_cli", *map(str, arguments)]


def test_progress_into_a_closed_pipe_changes_nothing_else(plant, tmp_path):
    folder = plant(*(f"s{n:02}" for n in range(12)), solve_seconds=0.05)
    report = tmp_path / "report.jsonl"
    command = " ".join(
        f"'{part}'"
        for part in brivane(
            "solve", plant.installation, folder, "--solver", "Quelbar", "--report", report, *plant.settings
        )
    )
    plant.user.take()
    # The progress and the summary go to head, which stops reading after two lines.
    piped = subprocess.run(
        ["bash", "-c", f"{command} 2>&1 >/dev/null | head -2; exit ${{PIPESTATUS[0]}}"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    plant.user.check(report_files=[report])
    assert_no_batch_process_left(plant.mark)
    assert piped.returncode == 0 and len(piped.stdout.splitlines()) == 2, piped.stderr
    read = read_report(str(report))
    assert (read.ended, read.ok, read.count("solved")) == ("finished", True, 12)


def test_a_closed_terminal_stops_the_batch_with_its_own_status(plant, tmp_path):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report = tmp_path / "report.jsonl"
    controller, terminal = pty.openpty()
    plant.user.take()
    batch = subprocess.Popen(
        brivane(
            "solve",
            plant.installation,
            folder,
            "--solver",
            "Quelbar",
            "--jobs",
            "2",
            "--report",
            report,
            *plant.settings,
        ),
        stdin=terminal,
        stdout=terminal,
        stderr=terminal,
        start_new_session=True,
    )
    os.close(terminal)
    try:
        deadline = time.monotonic() + 60
        while not (report.exists() and '"solved"' in report.read_text()):
            assert time.monotonic() < deadline and batch.poll() is None
            time.sleep(0.05)
        # What a terminal that closes does: its session gets SIGHUP, and writes to it fail from then on.
        os.close(controller)
        os.killpg(batch.pid, signal.SIGHUP)
        assert batch.wait(timeout=60) == 128 + signal.SIGHUP
    finally:
        if batch.poll() is None:
            batch.kill()
    plant.user.check(report_files=[report])
    assert_no_batch_process_left(plant.mark)
    read = read_report(str(report))
    assert (read.ended, read.stopped, [m.status for m in read.models]) == ("stopped", "SIGHUP", ["stopped", "solved"])


def test_brivane_report_gates_on_what_the_run_did(plant, tmp_path, capsys):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report = tmp_path / "report.jsonl"
    batch = subprocess.Popen(
        brivane(
            "solve",
            plant.installation,
            folder,
            "--solver",
            "Quelbar",
            "--report",
            report,
            *plant.settings,
            "--jobs",
            "2",
        ),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 60
        while not (report.exists() and '"solved"' in report.read_text()):
            assert time.monotonic() < deadline and batch.poll() is None
            time.sleep(0.05)
        status, out, _ = run_main(capsys, "report", report)
        assert status == 1 and "2 models: 1 solved so far (running" in out
        # Into a pipe whose reader has gone: no traceback, the same status.
        reading, writing = os.pipe()
        os.close(reading)
        try:
            piped = subprocess.run(
                brivane("report", report), stdout=writing, stderr=subprocess.PIPE, text=True, timeout=60
            )
        finally:
            os.close(writing)
        assert (piped.returncode, piped.stderr) == (1, "")
    finally:
        batch.kill()
        batch.wait()
    assert_no_batch_process_left(plant.mark)
    status, out, _ = run_main(capsys, "report", report)
    assert status == 1 and "2 models: 1 solved, 1 stopped in " in out and "(died:" in out
    empty = tmp_path / "empty.jsonl"
    empty.write_text("")
    status, _, err = run_main(capsys, "report", empty)
    assert status == 2 and "is empty" in err


def test_a_batch_that_crashes_says_so_and_names_every_model(plant, tmp_path, monkeypatch):
    folder = plant("s1", "s2", "s3", extra_results=[EXTRA])
    report = str(tmp_path / "report.jsonl")
    claimed = []

    def claim_fails_on_the_second(root, name, model):
        if claimed:
            raise OSError(28, "No space left on device", os.path.join(root, name))
        claimed.append(name)
        return os.path.join(root, name)

    monkeypatch.setattr(_run, "claim_results_folder", claim_fails_on_the_second)
    with pytest.raises(OSError, match="No space left") as crashed:
        plant.solve([folder], solver="Quelbar", report=report, results=str(tmp_path / "results"))
    line = f"the disk is full: {tmp_path / 'results' / 's2'} cannot be written (No space left on device)"
    assert str(crashed.value) == line and crashed.value.errno == 28
    read = read_report(report)
    assert (read.ended, read.error, read.ok) == ("crashed", f"DiskFull: {line}", False)
    assert read.models == crashed.value.report.models
    assert [m.status for m in read.models] == ["not started"] * 3

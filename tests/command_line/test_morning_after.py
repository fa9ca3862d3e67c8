"""brivane the morning after: what a night did, for an engineer and for a CI job, and the next night's command."""

import json
import os
import shlex
import subprocess
import sys

import junitparser
import pytest

from brivane_computer.batch import MANIFEST, read_report
from brivane_computer.batch.report import package_version

from ..batch.support_batch import run_main


@pytest.fixture
def night(plant, capsys, tmp_path):
    """A night of four models, solved with their logs kept: s1 solves, bad does not load, hangs times out,
    dies crashes its worker once and solves on the retry. (status, out, err, report, results)."""
    folder = plant("s1", "bad", "hangs", "dies", hang_on=["hangs"], crash_first_on=["dies"])
    (folder / "bad.vokel").write_text("not a model")
    report, results = tmp_path / "night.jsonl", tmp_path / "res"
    status, out, err = plant.solve_command(
        capsys, folder, "--jobs", "2", "--timeout", "3", "--retries", "1", "--report", report, "--results", results
    )
    return status, out, err, report, results


def test_a_failed_night_says_what_to_rerun_and_keeps_what_each_failed_solve_printed(plant, night):
    status, out, _, report, results = night
    assert status == 1
    # The summary fits 80 columns, wrapping the errors by words (a model's path alone may be longer).
    assert all(
        len(line) <= 80
        for line in out.splitlines()
        if str(plant.installation)[:20] not in line and "/plant/" not in line
    )
    rerun = out.split("to solve again only the models that did not solve:\n")[1].strip()
    assert shlex.split(rerun)[-1] == "--resume" and "--report" in rerun
    # What the module printed for each solve without a solution, kept with its results and in its manifest.
    for name, printed in (("bad", "Invalid vokel"), ("hangs", "")):
        manifest = json.loads((results / name / MANIFEST).read_text())
        assert "brivane-solve.log" in manifest["files"]
        assert printed in (results / name / "brivane-solve.log").read_text()
    assert "brivane-solve.log" in read_report(str(report)).models[2].manifest
    # A model that solved at last keeps no log of its failed attempt.
    assert not (results / "dies" / "brivane-solve.log").exists()


def test_brivane_report_for_ci_jobs(capsys, night, tmp_path):
    *_, report, _ = night
    junit = tmp_path / "night.xml"
    status, out, _ = run_main(capsys, "report", report, "--json", "--junit", junit)
    summary = json.loads(out)
    assert status == 1 and summary["counts"]["solved"] == 2 and summary["ok"] is False
    assert {m["status"] for m in summary["models"]} == {"solved", "failed", "timed out"}
    suite = next(iter(junitparser.JUnitXml.fromfile(str(junit))))
    assert (suite.tests, suite.failures, suite.errors, suite.skipped) == (4, 1, 1, 0)
    outcomes = {os.path.basename(case.name): [type(result).__name__ for result in case.result] for case in suite}
    assert outcomes == {"bad.vokel": ["Failure"], "dies.vokel": [], "hangs.vokel": ["Error"], "s1.vokel": []}
    # Written again over its own file, never over another.
    assert run_main(capsys, "report", report, "--junit", junit)[0] == 1
    notes = tmp_path / "notes.xml"
    notes.write_text("<notes/>")
    status, _, err = run_main(capsys, "report", report, "--junit", notes)
    assert status == 2 and "is not a JUnit file of brivane report" in err and notes.read_text() == "<notes/>"


def test_a_dry_run_starts_and_writes_nothing(plant, capsys, tmp_path):
    folder = plant("a/s1", "a/s2")
    report, results = tmp_path / "night.jsonl", tmp_path / "res"
    plant.solve([folder / "a" / "s1.vokel"], solver="Quelbar", report=str(report), results=str(results))
    before, solves = report.read_text(), len(plant.entries())
    (results / "a" / "s2").mkdir(parents=True)
    (results / "a" / "s2" / "mine.txt").write_text("someone's file")
    status, out, _ = plant.solve_command(
        capsys, folder, "--report", report, "--results", results, "--resume", "--dry-run"
    )
    assert status == 0 and out.splitlines() == [
        f"would skip   {folder / 'a' / 's1.vokel'}  -> {results / 's1'}",
        f"would solve  {folder / 'a' / 's2.vokel'}  -> {results / 'a' / 's2-2'}",
        "2 models: 1 to solve, 1 to skip (nothing was started or written)",
    ]
    assert report.read_text() == before and len(plant.entries()) == solves
    assert sorted(os.listdir(results)) == ["a", "s1"] and os.listdir(results / "a") == ["s2"]


def test_a_night_stops_at_its_limit_of_failures(plant, capsys, tmp_path):
    folder = plant("b1", "b2", "b3", "ok")
    for name in ("b1", "b2", "b3"):
        (folder / f"{name}.vokel").write_text("not a model")
    page = tmp_path / "night.html"
    status, out, err = plant.solve_command(capsys, folder, "--quiet", "--max-failures", "2", "--html", page)
    assert status == 1 and err == ""
    assert out.splitlines()[0].startswith("4 models: 2 failed, 2 not started in ")
    assert "(stopped by its limit of 2 failed models)" in out and f"page: {page}" in out


def test_the_version_and_the_default_settings_as_written(capsys, installation, tmp_path):
    status, out, _ = run_main(capsys, "--version")
    # The installed package's version, or where the tests run a build that is not installed, that it is not.
    assert (status, out.strip()) == (0, f"brivane {package_version() or '(not installed)'}")
    (tmp_path / "s1.vokel").write_text("{}")
    # In a process of its own, where no script has changed the module's settings paths.
    done = subprocess.run(
        [sys.executable, "-m", "brivane_cli", "solve", installation.root, str(tmp_path), "--solver", "Quelbar"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    # The product's default place, a Windows path, as Windows writes it: not joined to the current folder.
    assert (
        done.returncode == 2
        and "the settings file C:\\ProgramData\\Brivane\\Pelorix\\Settings\\"
        "Pelorix.settings does not exist: give its place with --settings"
        in done.stderr
    )

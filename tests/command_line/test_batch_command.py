"""The command line brivane: bad input, the installation check, and a batch stopped by a signal."""

import contextlib
import json
import logging
import os
import signal
import subprocess
import sys
from pathlib import Path

import brivane_standin
import pytest
from brivane_testkit.confinement import python_path
from distributed import LocalCluster

from brivane_cli import _doctor
from brivane_computer.batch import read_report
from brivane_computer.batch._module_facts import (
    DEFAULT_DATA_SOURCES,
    DEFAULT_SETTINGS,
    MODULES,
    module_name,
    settings_paths,
)

from ..batch.support_batch import assert_no_batch_process_left, run_and_stop, run_main
from ..support import build_model

# The folder of the stand-in's clr and pythoncom, left off the path of a command run without the bridge.
STANDIN = str(Path(brivane_standin.__file__).parents[1])


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["solve", "{missing}", "{plant}", "--solver", "Quelbar"], "the installation folder {missing} does not exist"),
        (["solve", "{root}", "{empty}", "--solver", "Quelbar"], "no model files (.vokel) found in {empty}"),
        (["solve", "{root}", "{missing}", "--solver", "Quelbar"], "{missing} does not exist"),
        (["solve", "{root}", "{plant}", "--solver", "quelbar"], "unknown solver 'quelbar': use 'Revav' or 'Quelbar'"),
        (["solve", "{root}", "{plant}"], "the following arguments are required: --solver"),
        (
            ["solve", "{root}", "{plant}", "--solver", "Revav", "--resume", "--report", "{notes}"],
            "{notes} is not a batch report",
        ),
        (["solve", "{root}", "{plant}", "--solver", "Revav", "--resume"], "--resume needs --report FILE"),
        (
            ["solve", "{root}", "{plant}", "--solver", "Revav", "--jobs", "0"],
            "--jobs must be a whole number from 1 to 31, not 0",
        ),
        (["solve", "{root}", "{plant}", "--solver", "Revav", "--timeout", "soon"], "expected a number of seconds"),
        (
            ["solve", "{root}", "{plant}", "--solver", "Revav", "--max-models-per-worker", "0"],
            "--max-models-per-worker must be a whole number from 1",
        ),
        (
            ["solve", "{root}", "{plant}", "--solver", "Revav", "--max-failures", "0"],
            "--max-failures must be a whole number from 1",
        ),
        (["solve", "{root}", "{plant}/s1.fre", "--solver", "Revav"], "{plant}/s1.fre is not a model file (.vokel)"),
        (
            ["solve", "{root}", "{plant}", "--solver", "Revav", "--settings", "{missing}"],
            "give its place with --settings",
        ),
        (["--frobnicate"], "unrecognized arguments: --frobnicate"),
        ([], "choose a command: solve, doctor or report"),
        (["solve", "{root}", "{plant}", "--solver", "Revav", "--report", "{missing}/report.jsonl"], "cannot be made"),
        (["doctor"], "the following arguments are required: INSTALLATION"),
    ],
)
def test_bad_input_gets_one_line(capsys, installation, tmp_path, arguments, message):
    places = {
        "root": installation.root,
        "plant": tmp_path / "plant",
        "empty": tmp_path / "empty",
        "missing": tmp_path / "missing",
        "notes": tmp_path / "notes.txt",
    }
    for folder in ("plant", "empty"):
        places[folder].mkdir()
    (tmp_path / "plant" / "s1.vokel").write_text("{}")
    (tmp_path / "plant" / "s1.fre").write_text("")
    places["notes"].write_text("solve the plant on Friday\n")
    status, out, err = run_main(capsys, *[a.format(**places) for a in arguments])
    assert status == 2 and out == ""
    assert len(err.splitlines()) == 1 and message.format(**places) in err


DAMAGE = {
    "none": lambda i: None,
    "no Extensions": lambda i: os.rename(i.extensions, i.root + "/Extensions.old"),
    "settings with a BOM": lambda i: Path(i.settings_path).write_text("\ufeff" + Path(i.settings_path).read_text()),
    "no SDK assembly": lambda i: os.remove(i.extensions + "/Brivane.SDK.dll"),
    "no Quelbar solver": lambda i: os.remove(i.quelbar_solver),
    "no native library": lambda i: os.remove(i.native_library),
    "no helper assembly": lambda i: os.remove(i.extensions + "/Brivane.Helper.dll"),
    # A folder where a file belongs is no file.
    "Quelbar solver a folder": lambda i: (os.remove(i.quelbar_solver), os.mkdir(i.quelbar_solver)),
    "SDK assembly a folder": lambda i: (
        os.remove(i.extensions + "/Brivane.SDK.dll"),
        os.mkdir(i.extensions + "/Brivane.SDK.dll"),
    ),
}


@pytest.mark.parametrize(
    "damage, status, failures",
    [
        ("none", 0, {}),
        (
            "no Extensions",
            1,
            {
                "Extensions folder": "FAIL",
                "set-up": "FAIL",
                "Brivane.SDK.dll": "FAIL",
                "Brivane.Pelorix.Core.dll": "FAIL",
                "Brivane.Helper.dll": "warn",
                "Brivane.Revav.Core.dll": "warn",
                "Brivane.Quelbar.Core.dll": "warn",
                "Brivane.Pelorix.Project.dll": "warn",
                "native solver library": "warn",
            },
        ),
        (
            "settings with a BOM",
            1,
            {"settings file": "FAIL", "Revav solver": "warn", "Quelbar solver": "warn", "set-up": "FAIL"},
        ),
        ("no SDK assembly", 1, {"Brivane.SDK.dll": "FAIL", "set-up": "FAIL"}),
        ("no Quelbar solver", 0, {"Quelbar solver": "warn"}),
        ("no native library", 0, {"native solver library": "warn"}),
        ("no helper assembly", 0, {"Brivane.Helper.dll": "warn"}),
        ("Quelbar solver a folder", 0, {"Quelbar solver": "warn"}),
        ("SDK assembly a folder", 1, {"Brivane.SDK.dll": "FAIL", "set-up": "FAIL"}),
    ],
)
def test_doctor_checks_what_set_up_needs(capsys, installation, damage, status, failures):
    DAMAGE[damage](installation)
    code, out, err = run_main(
        capsys,
        "doctor",
        installation.root,
        "--settings",
        installation.settings_path,
        "--data-sources",
        installation.data_sources_path,
    )
    lines = out.splitlines()
    checks = {line[6:33].strip(): line[:4].strip() for line in lines[:-1]}
    assert code == status and err == ""
    assert {what: state for what, state in checks.items() if state != "ok"} == failures
    assert len(checks) == 15 and lines[-1] == (
        "set-up succeeds" if status == 0 else "set-up would fail: see the lines marked FAIL"
    )
    assert all(":" in line[35:] for line in lines[:-1] if not line.startswith("ok"))
    if "folder" in damage:
        assert "is a folder, not" in out
    if damage == "no helper assembly":
        assert "loading and creating models (so every solve), solving with Revav, duplicating studies fails" in out


def test_the_doctors_and_the_batchs_facts_are_the_modules(ready, core, python, tmp_path):
    facts = python(
        "from brivane_computer import brivane_core as c\n"
        "print(c._settingsPath_, c._dataSourcesPath_, *c.BrivaneModule.__members__)"
    )
    assert facts.stdout.split() == [DEFAULT_SETTINGS, DEFAULT_DATA_SOURCES, *MODULES]
    # Once a script has loaded the module, its current paths count, and its members name themselves.
    assert settings_paths() == (ready.settings_path, ready.data_sources_path)
    assert [module_name(value) for value in (core.BrivaneModule.Karvona, "All", "karvona", 1, None)] == [
        "Karvona",
        "All",
        None,
        None,
        None,
    ]
    assert core._dlls_ == list(_doctor.SETUP_ASSEMBLIES)
    piping, structure = (build_model(core, str(tmp_path / kind), kind, kind=kind) for kind in ("piping", "structure"))
    project = core.addPipingProject(str(tmp_path), "Plant", "Study", 1, 1)
    models = {path: core.loadVokel(path) for path in (piping, structure)}
    calls = {
        "loadVokel": lambda: core.loadVokel(piping),
        "createPipingVokel": core.createPipingVokel,
        "createStructureVokel": core.createStructureVokel,
        "solvePipingModel": lambda: core.solvePipingModel(models[piping], piping, "Quelbar", str(tmp_path / "piping")),
        "solveStructureModel": lambda: core.solveStructureModel(
            models[structure], structure, str(tmp_path / "structure")
        ),
        "addPipingProject": lambda: core.addPipingProject(str(tmp_path), "Plant2", "Study", 1, 1),
        "addPipingStudy": lambda: core.addPipingStudy(project, "Other", 1, 1),
        "removeStudy": lambda: core.removeStudy(project, "Other"),
        "duplicateStudy": lambda: core.duplicateStudy(project, "Study", "Copy"),
    }
    loaded = set(core._dlls_)
    for name, (_, functions) in _doctor.OTHER_ASSEMBLIES.items():
        for function in functions:
            del core._dlls_[:]
            calls[function]()
            assert name in core._dlls_, function
            loaded.update(core._dlls_)
            os.chdir(str(tmp_path))
    # Every assembly that the module loads is one the doctor checks.
    assert loaded == {*_doctor.SETUP_ASSEMBLIES, *_doctor.OTHER_ASSEMBLIES}
    # The native library is the file of Extensions that writing a fre file needs.
    os.remove(os.path.join(core._dllPath_, _doctor.NATIVE_LIBRARY))
    with pytest.raises(OSError, match=_doctor.NATIVE_LIBRARY):
        core.writeFreFile(models[piping], piping)


@pytest.mark.parametrize(
    "command, module", [("doctor", "brivane_cli"), ("solve", "brivane_cli"), ("solve", "brivane_computer")]
)
def test_without_the_bridge_the_command_says_what_is_missing(installation, tmp_path, command, module):
    (tmp_path / "s1.vokel").write_text("{}")
    arguments = [
        installation.root,
        "--settings",
        installation.settings_path,
        "--data-sources",
        installation.data_sources_path,
    ]
    if command == "solve":
        arguments += [str(tmp_path), "--solver", "Quelbar"]
    result = subprocess.run(
        [sys.executable, "-m", module, command, *arguments],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": python_path(leave_out=[STANDIN])},
        timeout=120,
    )
    assert "Traceback" not in result.stderr
    if command == "doctor":
        assert result.returncode == 1
        assert "FAIL  CLR bridge" in result.stdout and "pip install pythonnet" in result.stdout
        assert "ok    settings file" in result.stdout
    else:
        assert result.returncode == 2 and "brivane doctor" in result.stderr and len(result.stderr.splitlines()) == 1


def test_without_the_bridge_reports_are_read_and_a_cluster_solves(plant, python, tmp_path, temp_root, monkeypatch):
    folder = plant("a/s1", "a/s2", "s3")
    monkeypatch.setenv("TMPDIR", str(temp_root))  # the cluster's workers'
    first, second, page = (str(tmp_path / name) for name in ("first.jsonl", "second.jsonl", "night.html"))
    plant.user.take()
    # The workers have the stand-in; the submitting process has neither it nor the bridge.
    with LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        scheduler_port=0,
        dashboard_address="127.0.0.1:0",
        local_directory=str(tmp_path / "dask"),
        silence_logs=logging.ERROR,
    ) as cluster:
        solve = ["solve", "--solver", "Quelbar", "--scheduler", cluster.scheduler_address, "--report"]
        commands = [
            # The workers check the installation, which is theirs; the settings are the module's defaults.
            [*solve, first, str(tmp_path / "no-installation"), str(folder)],
            [*solve, second, *plant.settings, plant.installation, str(folder)],
            ["report", second, "--html", page],
            # What a resumed night would do, found without the bridge too: nothing, as all solved.
            [
                "solve",
                "--solver",
                "Quelbar",
                *plant.settings,
                "--report",
                second,
                "--resume",
                "--dry-run",
                plant.installation,
                str(folder),
            ],
        ]
        result = python(
            f"""
            import importlib.util, json, sys
            from brivane_cli import main
            from brivane_computer.batch import read_report, solve_many
            absent = [importlib.util.find_spec(name) is None for name in ("clr", "pythoncom", "brivane_standin")]
            statuses = [main(command) for command in {commands!r}]
            solved = [m.status for m in read_report({second!r}).models]
            # Here, the workers lack the bridge that this process lacks.
            local = solve_many([{str(folder)!r}], {plant.installation!r}, solver="Quelbar", progress=False,
                               settings={plant.settings[1]!r}, data_sources={plant.settings[3]!r})
            print(json.dumps([absent, statuses, solved, local.setup_failures, [m.error_type for m in local.models],
                              sorted({{"clr", "pythoncom", "brivane_computer.brivane_core"}} & set(sys.modules))]))
        """,
            env={"PYTHONPATH": python_path(leave_out=[STANDIN])},
        )
    absent, statuses, solved, not_set_up, local, loaded = json.loads(result.stdout.splitlines()[-1])
    assert absent == [True] * 3 and loaded == []
    assert statuses == [1, 0, 0, 0] and solved == ["solved"] * 3
    assert not_set_up == ["ModuleNotFoundError: No module named 'clr'"] and local == ["SetupFailed"] * 3
    header = json.loads(open(first).readline())
    assert (header["settings"], header["data_sources"]) == (DEFAULT_SETTINGS, DEFAULT_DATA_SOURCES)
    failed = read_report(first)
    message = f"BatchInputNotFound: the installation folder {tmp_path / 'no-installation'} does not exist"
    assert failed.setup_failures and all(m.startswith(message) for m in failed.setup_failures)
    assert [(m.status, m.error_type) for m in failed.models] == [("failed", "SetupFailed")] * 3
    assert "s3.vokel" in open(page).read()
    plant.user.check(report_files=[first, second], pages=[page])
    assert_no_batch_process_left(plant.mark)


@pytest.mark.parametrize(
    "stop, status, where",
    [
        ("SIGINT", 130, "here"),
        ("SIGTERM", 143, "here"),
        ("SIGKILL", -signal.SIGKILL, "here"),
        # On a cluster (a killed submitting process is in test_batch_cluster.py).
        ("SIGINT", 130, "cluster"),
        ("SIGTERM", 143, "cluster"),
    ],
)
def test_a_stopped_batch_leaves_no_process_and_keeps_the_report(
    plant, tmp_path, temp_root, monkeypatch, stop, status, where
):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report = tmp_path / "report.jsonl"
    monkeypatch.setenv("TMPDIR", str(temp_root))  # the cluster's workers' too
    environment = dict(os.environ)
    # Through the interpreter, as the sanitizer run has the module on its path, not installed (the console
    # script itself is checked against the installed wheel by the package check).
    command = [
        sys.executable,
        "-m",
        "brivane_cli",
        "solve",
        plant.installation,
        str(folder),
        "--solver",
        "Quelbar",
        "--report",
        str(report),
        *plant.settings,
    ]
    with contextlib.ExitStack() as stack:
        if where == "cluster":
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=2,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    scheduler_port=0,
                    dashboard_address="127.0.0.1:0",
                    local_directory=str(tmp_path / "dask"),
                    silence_logs=logging.ERROR,
                )
            )
            command += ["--scheduler", cluster.scheduler_address]
        else:
            command += ["--jobs", "2"]
        run_and_stop(plant, command, environment, tmp_path, stop, status)
        # The workers (on a cluster, the solver children) are gone, however the command ended: with SIGKILL,
        # through their lifelines.
        workers = {entry["pid"] for entry in plant.entries()}
        assert len(workers) == 2
        assert_no_batch_process_left(plant.mark, workers)
    plant.user.check(report_files=[report])
    records = [r for r in map(json.loads, report.read_text().splitlines()) if r["record"] not in ("setup", "attempt")]
    # The model in its solver when the batch stopped is stopped; killed outright, the batch wrote no more, and
    # its report reads so all the same.
    ended = [("model", "stopped", None, None), ("end", None, True, stop)] if stop != "SIGKILL" else []
    assert [(r["record"], r.get("status"), r.get("interrupted"), r.get("stopped")) for r in records] == [
        ("batch", None, None, None),
        ("model", "solved", None, None),
        *ended,
    ]
    read = read_report(str(report))
    assert [(os.path.basename(m.path), m.status) for m in read.models] == [
        ("hangs.vokel", "stopped"),
        ("ok.vokel", "solved"),
    ]
    assert (read.ended, read.ok) == ("died" if stop == "SIGKILL" else "stopped", False)
    if stop == "SIGKILL":
        # Its temporary folder stays, unlocked: the next batch removes it.
        assert [name[:14] for name in os.listdir(temp_root)] == ["brivane-batch-"]
        plant()
        assert plant.solve([folder / "ok.vokel"], solver="Quelbar").ok
    else:
        assert f"(stopped by {stop})" in (tmp_path / "out").read_text()
        assert "Traceback" not in (tmp_path / "err").read_text()
    # The batch's folders are gone (Dask keeps a scratch folder of its own there).
    assert [name for name in os.listdir(temp_root) if name != "dask-scratch-space"] == []

"""Bad input to the batch: one typed error with one line, before anything starts, through solve_many and through
brivane solve (which prints that line and exits with status 2)."""

import os
import sys

import pytest

from brivane_computer.batch import BatchInputError, BatchInputNotFound, find_models, solve_many

from .support_batch import run_main

# A file system that the confinement keeps read-only, and that the watch on the sandbox leaves alone.
READ_ONLY = "/dev"
NOT_FOUND, BAD, TYPE = BatchInputNotFound, BatchInputError, TypeError
NAN, INF = float("nan"), float("inf")

# id: (solve_many's arguments that differ, whether brivane solve can give them too, the error, its message, or
# (its message, the command's), where the command names an option instead of an argument).
CASES = {
    "one str as models": ({"models": "{plant}"}, False, TYPE, "not one str: give ['{plant}']"),
    "one path object as models": ({"models": "{plant_path}"}, False, TYPE, "not one {path_type}"),
    "one FoundModel as models": ({"models": "{found}"}, False, TYPE, "not one FoundModel"),
    "no models": ({"models": ["{folder}"]}, True, BAD, "no model files (.vokel) found in {folder}"),
    "model missing": ({"models": ["{missing}"]}, True, NOT_FOUND, "the model file or folder {missing} does not exist"),
    "infinite timeout": (
        {"timeout": INF},
        True,
        BAD,
        ("timeout must be None or a number of seconds above 0", "--timeout must be a number of seconds above 0"),
    ),
    "huge timeout": ({"timeout": 1e7}, True, BAD, "at most 604800 (a week), not 10000000.0"),
    "nan timeout": ({"timeout": NAN}, True, BAD, "(a week), not nan"),
    "jobs as text": ({"jobs": "2"}, False, BAD, "jobs must be a whole number from 1 to 31, not '2'"),
    "too many jobs": (
        {"jobs": 32},
        True,
        BAD,
        ("jobs must be a whole number from 1 to 31, not 32", "--jobs must be a whole number from 1 to 31, not 32"),
    ),
    "negative retries": (
        {"retries": -1},
        True,
        BAD,
        (
            "retries must be a whole number from 0 to 100, not -1",
            "--retries must be a whole number from 0 to 100, not -1",
        ),
    ),
    "unknown module": ({"module": "Nope"}, False, BAD, "module must be a BrivaneModule member or its name"),
    "not an executor": ({"executor": "{object}"}, False, BAD, "executor must be a distributed.Client, not object"),
    "report below a file": (
        {"report": "{file}{sep}r.jsonl"},
        True,
        BAD,
        "the report {file}{sep}r.jsonl lies below {file}, which is a file, not a folder",
    ),
    "report is a folder": ({"report": "{folder}"}, True, BAD, "the report {folder} is a folder, not a file"),
    "report read-only": (
        {"report": READ_ONLY + "/r.jsonl"},
        True,
        BAD,
        f"the report {READ_ONLY}/r.jsonl cannot be written in {READ_ONLY} (Read-only file system)",
    ),
    "results is a file": ({"results": "{file}"}, True, BAD, "the results folder {file} is a file, not a folder"),
    "results below a file": (
        {"results": "{file}{sep}out"},
        True,
        BAD,
        "the results folder {file}{sep}out lies below {file}",
    ),
    "results read-only": (
        {"results": READ_ONLY + "/out"},
        True,
        BAD,
        f"the results folder {READ_ONLY}/out cannot be written in {READ_ONLY} (Read-only",
    ),
    "settings not JSON": ({"settings": "{bad_json}"}, True, BAD, "the settings file {bad_json} is not valid JSON"),
    "data sources not JSON": (
        {"data_sources": "{bad_json}"},
        True,
        BAD,
        "the data-sources file {bad_json} is not valid JSON",
    ),
    "settings not UTF-8": (
        {"settings": "{latin1}"},
        True,
        BAD,
        "the settings file {latin1} is not UTF-8 text (byte 0xe9 at position 10)",
    ),
    "settings missing": (
        {"settings": "{missing}"},
        True,
        NOT_FOUND,
        (
            "the settings file {missing} does not exist: give its place with settings=",
            "the settings file {missing} does not exist: give its place with --settings",
        ),
    ),
    "settings is a folder": ({"settings": "{folder}"}, True, BAD, "the settings file {folder} is a folder, not a file"),
    "installation empty": (
        {"installation": "{folder}"},
        True,
        BAD,
        "the installation folder {folder} has no Extensions folder",
    ),
    "installation is a file": (
        {"installation": "{file}"},
        True,
        BAD,
        "the installation folder {file} is a file, not a folder",
    ),
    "installation missing": (
        {"installation": "{missing}"},
        True,
        NOT_FOUND,
        "the installation folder {missing} does not exist",
    ),
    # Files that are not regular files would hang a reader (a FIFO) or never end (a device).
    "settings a FIFO": ({"settings": "{fifo}"}, True, BAD, "the settings file {fifo} is not a regular file"),
    "settings a device": ({"settings": "/dev/zero"}, True, BAD, "the settings file /dev/zero is not a regular file"),
    "settings too large": ({"settings": "{huge}"}, True, BAD, "the settings file {huge} is larger than 16 MiB"),
    "report a FIFO": ({"report": "{fifo}"}, True, BAD, "the report {fifo} is not a regular file"),
    "page a FIFO": ({"html": "{fifo}"}, True, BAD, "the page {fifo} is not a regular file"),
    "page is the report": (
        {"html": "{file}.jsonl", "report": "{file}.jsonl"},
        True,
        BAD,
        "the page {file}.jsonl is the report",
    ),
    "page read-only": (
        {"html": READ_ONLY + "/night.html"},
        True,
        BAD,
        f"the page {READ_ONLY}/night.html cannot be written in {READ_ONLY} (Read-only",
    ),
    "NUL in the report": ({"report": "{folder}{sep}r\0.jsonl"}, False, BAD, "holds a NUL character"),
    "NUL in a model": ({"models": ["{plant}\0"]}, False, BAD, "holds a NUL character"),
    "FoundModel named absolutely": (
        {"models": ["{found_absolute}"]},
        False,
        BAD,
        "a relative path without '.' or '..' parts, not '/srv/s1'",
    ),
    "FoundModel named with ..": ({"models": ["{found_up}"]}, False, BAD, "not '../s1'"),
    "FoundModel named .": ({"models": ["{found_here}"]}, False, BAD, "not '.'"),
}
# The options of brivane solve that give solve_many's arguments.
OPTIONS = {
    "settings": "--settings",
    "data_sources": "--data-sources",
    "timeout": "--timeout",
    "jobs": "--jobs",
    "retries": "--retries",
    "report": "--report",
    "results": "--results",
    "html": "--html",
}


@pytest.fixture
def places(plant, installation, tmp_path):
    folder = plant("s1")
    (tmp_path / "empty").mkdir()
    (tmp_path / "notes.txt").write_text("solve the plant on Friday\n")
    (tmp_path / "bad.settings").write_text('{"Families": [')
    (tmp_path / "latin1.settings").write_bytes('{"Name": "\u00e9"}'.encode("latin-1"))
    os.mkfifo(tmp_path / "fifo")
    with open(tmp_path / "huge.settings", "wb") as huge:
        huge.truncate(17 << 20)  # sparse: nothing is written
    found = find_models([folder])[0]
    return {
        "plant": str(folder),
        "plant_path": folder,
        "path_type": type(folder).__name__,
        "sep": os.sep,
        "found": find_models([folder])[0],
        "object": object(),
        "folder": str(tmp_path / "empty"),
        "file": str(tmp_path / "notes.txt"),
        "missing": str(tmp_path / "no"),
        "bad_json": str(tmp_path / "bad.settings"),
        "latin1": str(tmp_path / "latin1.settings"),
        "installation": installation.root,
        "settings": installation.settings_path,
        "data_sources": installation.data_sources_path,
        "fifo": str(tmp_path / "fifo"),
        "huge": str(tmp_path / "huge.settings"),
        "found_absolute": found._replace(name="/srv/s1"),
        "found_up": found._replace(name="../s1"),
        "found_here": found._replace(name="."),
    }


def _filled(value, places):
    """A value of the table with its {place} filled in: the place itself when it is the whole value."""
    if isinstance(value, list):
        return [_filled(v, places) for v in value]
    if not isinstance(value, str):
        return value
    whole = value[1:-1] if value.startswith("{") and value.endswith("}") else None
    return places[whole] if whole in places else value.format(**places)


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("through", ["solve_many", "brivane solve"])
def test_bad_input_is_one_line_before_anything_starts(plant, places, capsys, tmp_path, temp_root, case, through):
    changed, by_command, error, message = CASES[case]
    if through == "brivane solve" and not by_command:
        pytest.skip("not a value that the command line can give")
    if READ_ONLY in str(changed) and sys.platform == "win32":
        pytest.skip("the Windows runner has no read-only file system")
    arguments = {
        "models": [places["plant"]],
        "installation": places["installation"],
        "solver": "Quelbar",
        "settings": places["settings"],
        "data_sources": places["data_sources"],
        **{name: _filled(value, places) for name, value in changed.items()},
    }
    if isinstance(message, tuple):
        message = message[0 if through == "solve_many" else 1]
    message = message.format(**places)
    capsys.readouterr()
    if through == "solve_many":
        with pytest.raises(error) as raised:
            solve_many(arguments.pop("models"), arguments.pop("installation"), progress=False, **arguments)
        assert message in str(raised.value) and "\n" not in str(raised.value)
    else:
        options = [
            text for name, option in OPTIONS.items() if name in arguments for text in (option, str(arguments[name]))
        ]
        status, out, err = run_main(
            capsys, "solve", arguments["installation"], *arguments["models"], "--solver", "Quelbar", *options
        )
        assert (status, out, len(err.splitlines())) == (2, "", 1) and message in err
    # Nothing started: no worker set up, no temporary folder, nothing written.
    assert not (tmp_path / "journal.jsonl").exists() and os.listdir(temp_root) == []
    assert os.listdir(places["folder"]) == [] and not os.path.exists(places["missing"])


def test_find_models_takes_a_collection(tmp_path):
    (tmp_path / "s1.vokel").write_text("")
    for alone in (str(tmp_path), tmp_path, os.fsencode(str(tmp_path)), find_models([tmp_path])[0]):
        with pytest.raises(TypeError, match="expected a collection of models"):
            find_models(alone)

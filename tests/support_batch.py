"""The plant of models that the batch tests solve, with the journal of every process that solved them."""
import json
import os

import pytest
from brivane_standin import journal
from support_solving import build_model, temp_root  # noqa: F401

from brivane_cli import main

EXTRA = os.path.join("Reports", "stress.txt")


@pytest.fixture
def plant(ready, core, tmp_path, monkeypatch, temp_root):
    """make(*names, **knobs): saves the models plant/<name>.vokel ("a/s1" is plant/a/s1.vokel) and sets the
    knobs of the workers to come; returns the plant folder. entries() reads the journal of all workers."""
    state, folder, journal_file = tmp_path / "state", tmp_path / "plant", str(tmp_path / "journal.jsonl")
    state.mkdir()

    def make(*names, **knobs):
        for name in names:
            build_model(core, str(folder / os.path.dirname(name)), os.path.basename(name))
        monkeypatch.setenv("BRIVANE_STANDIN_KNOBS",
                           json.dumps({"state_folder": str(state), "journal_file": journal_file, **knobs}))
        return folder
    make.installation = ready.root
    make.entries = lambda: journal.read_file(journal_file)
    make.by_name = lambda report: {os.path.splitext(os.path.relpath(m.path, folder))[0]: m for m in report.models}
    return make


def solve_intervals(entries):
    """[(folder of the fre file, pid, start, end)] of each Quelbar solve, from its solver to its solution."""
    started, intervals = {}, []
    for entry in entries:
        if entry["name"] == "QuelbarSolver..ctor":
            started[entry["pid"]] = (os.path.dirname(entry["args"][2]), entry["time"])
        elif entry["name"] == "Solution..ctor":
            folder, start = started.pop(entry["pid"])
            intervals.append((folder, entry["pid"], start, entry["time"]))
    return intervals


def run_main(capsys, *arguments):
    """The command line brivane in this process: (exit status, standard output, standard error)."""
    try:
        status = main([str(a) for a in arguments])
    except SystemExit as stopped:  # argparse's own errors
        status = stopped.code
    out, err = capsys.readouterr()
    return status, out, err

"""The schedule and a Dask worker's state on their own: made-up slots, events and children, no process. What
they hand out next, and what the report file then holds."""

import json
import os
import time
from dataclasses import replace
from types import SimpleNamespace

import pytest
from distributed.core import Status

from brivane_computer.batch import (
    FAILED,
    IN_PLACE,
    NOT_STARTED,
    SANDBOX,
    SKIPPED,
    SOLVED,
    STOPPED,
    TIMED_OUT,
    FoundModel,
    Outcome,
    Task,
)
from brivane_computer.batch._progress import Progress
from brivane_computer.batch._schedule import Schedule, make_job
from brivane_computer.batch.cluster import _on_worker
from brivane_computer.batch.cluster._on_worker import Done, Refused, Setup, Terms, WorkerState
from brivane_computer.batch.cluster._plugin import EndChildrenAtClose
from brivane_computer.batch.report import ModelResult, Report, ReportWriter, read_report


def make_schedule(tmp_path, names, mode=SANDBOX, retries=0):
    """A schedule of the models tmp_path/<name>.vokel, queued in that order, writing tmp_path/report.jsonl."""
    report = str(tmp_path / "report.jsonl")
    models = [FoundModel(str(tmp_path / f"{name}.vokel"), name) for name in names]
    schedule = Schedule(
        "Quelbar",
        mode,
        retries,
        ReportWriter(report, {"solver": "Quelbar"}),
        Progress(len(names), False),
        Report(path=report),
        models,
    )
    for index, model in enumerate(models):
        os.makedirs(os.path.dirname(model.path), exist_ok=True)
        with open(model.path, "w") as f:
            f.write(model.name)
        schedule.queued(make_job(index, model, "Quelbar", mode == SANDBOX, None))
    return schedule, report


def name_of(job):
    return None if job is None else job.model.name


def records(report):
    with open(report) as f:
        return [json.loads(line) for line in f]


SOLVED_OUTCOME = Outcome(True, 0.5, results=("m.qres",), solver="Quelbar", kind="piping")


def test_a_failed_attempt_is_tried_again_first_and_keeps_its_own_outcome(tmp_path):
    schedule, report = make_schedule(tmp_path, ["m0", "m1", "m2"], retries=1)
    assert name_of(schedule.dispatch("slot 1", 1, 101)) == "m0"
    schedule.lost("slot 1", 1, 101, "WorkerDied", "the worker process was killed by SIGKILL")
    assert schedule.outstanding == 3 and [r["record"] for r in records(report)] == ["batch", "attempt", "retry"]
    assert [name_of(schedule.dispatch(slot)) for slot in ("slot 1", "slot 2")] == ["m0", "m1"]
    schedule.finished("slot 1", SOLVED_OUTCOME, 1, 102)
    # The model itself gives no solution: another attempt would only repeat it.
    schedule.finished("slot 2", Outcome(False, 1.0, error_type="NoSolution", error_message="Invalid vokel"), 2, 103)
    assert name_of(schedule.dispatch("slot 2")) == "m2"
    schedule.timed_out("slot 2", 2, 104, "the solve took longer than 3 s")
    assert name_of(schedule.dispatch("slot 2")) == "m2"
    schedule.timed_out("slot 2", 2, 105, "the solve took longer than 3 s")
    assert schedule.outstanding == 0 and schedule.dispatch("slot 1") is None
    result = {os.path.basename(m.path)[:-6]: m for m in schedule.close(1.0).models}
    assert [(r["status"], r["error_type"], r["pid"]) for r in result["m0"].runs] == [
        (FAILED, "WorkerDied", 101),
        (SOLVED, None, 102),
    ]
    assert (result["m1"].status, result["m1"].attempts, result["m2"].status, result["m2"].attempts) == (
        FAILED,
        1,
        TIMED_OUT,
        2,
    )
    assert read_report(report).models == schedule.report.models


@pytest.mark.parametrize(
    "event, status, error_type",
    [("lost for good", FAILED, "KilledWorker"), ("timed out", TIMED_OUT, None), ("failed", FAILED, "NoSolution")],
)
def test_an_attempt_without_a_solution_is_the_models_record_once_retries_are_spent(tmp_path, event, status, error_type):
    schedule, report = make_schedule(tmp_path, ["m0"], retries=0 if event != "lost for good" else 5)
    schedule.dispatch("key")
    if event == "lost for good":
        schedule.lost("key", None, None, "KilledWorker", "lost on 3 workers", retry=False, seconds=0.0)
    elif event == "timed out":
        schedule.timed_out("key", "tcp://w:1", 7, "the solve took longer than 3 s; its worker was ended", 3.2)
    else:
        schedule.finished("key", Outcome(False, 1.0, error_type="NoSolution", error_message="no"), "tcp://w:1", 7)
    (model,) = [r for r in records(report) if r["record"] == "model"]
    assert (model["status"], model["error_type"], model["attempts"], model["index"]) == (status, error_type, 1, 0)
    # An attempt that the runner cannot place keeps its outcome and times without a worker.
    assert [(run["status"], run["worker"] is None) for run in model["runs"]] == [(status, event == "lost for good")]
    if event == "timed out":
        assert model["seconds"] == 3.2 and model["runs"][0]["worker"] == "tcp://w:1"


def test_a_refused_task_is_no_attempt_and_waits_again(tmp_path):
    schedule, report = make_schedule(tmp_path, ["m0", "m1"])
    schedule.dispatch("k1")
    schedule.refused("k1")
    assert [name_of(schedule.dispatch(k)) for k in ("k2", "k3")] == ["m1", "m0"]
    schedule.finished("k3", SOLVED_OUTCOME, "tcp://w:2", 9)
    assert [(r["status"], r["attempts"]) for r in records(report) if r["record"] == "model"] == [(SOLVED, 1)]


def test_in_place_no_two_models_of_one_folder_tree_run_at_once(tmp_path):
    schedule, _ = make_schedule(tmp_path, ["a/s1", "a/s2", "a/b/s3", "c/s4"], mode=IN_PLACE)
    assert [name_of(schedule.dispatch(slot)) for slot in (1, 2, 3)] == ["a/s1", "c/s4", None]
    schedule.finished(1, SOLVED_OUTCOME, 1, 11)
    assert [name_of(schedule.dispatch(slot)) for slot in (1, 3)] == ["a/s2", None]
    schedule.finished(1, SOLVED_OUTCOME, 1, 11)
    assert name_of(schedule.dispatch(1)) == "a/b/s3"


@pytest.mark.parametrize("how", ["stopped", "crashed"])
def test_every_model_given_has_an_outcome_however_the_batch_ends(tmp_path, how):
    schedule, report = make_schedule(tmp_path, ["m0", "m1", "m2"])
    # A model given that the batch never got to queue (it crashed while planning, say).
    schedule._given.append(FoundModel(str(tmp_path / "m3.vokel"), "m3"))
    schedule.dispatch(1, 1, 11)
    schedule.finished(1, SOLVED_OUTCOME, 1, 11)
    schedule.dispatch(1, 1, 11)
    if how == "stopped":
        schedule.stopped("SIGTERM")
    else:
        schedule.crashed(BrokenPipeError(32, "Broken pipe"))
    closed = schedule.close(2.0)
    assert [m.status for m in closed.models] == [SOLVED, STOPPED, NOT_STARTED, NOT_STARTED]
    assert [(r["status"], r["worker"], r["pid"]) for r in closed.models[1].runs] == [(STOPPED, 1, 11)]
    end = records(report)[-1]
    assert (end["ended"], end["stopped"], end["error"], closed.ok) == (
        (how, "SIGTERM", None, False)
        if how == "stopped"
        else (how, None, "BrokenPipeError: [Errno 32] Broken pipe", False)
    )
    assert end["counts"] == {SOLVED: 1, FAILED: 0, TIMED_OUT: 0, STOPPED: 1, NOT_STARTED: 2, SKIPPED: 0}
    read = read_report(report)
    assert (read.models, read.ended, read.ok) == (closed.models, how, False)
    assert "4 models: 1 solved, 1 stopped, 2 not started in 2.0 s (" in read.summary()


def test_models_that_nothing_can_solve_fail_with_the_cause(tmp_path):
    schedule, report = make_schedule(tmp_path, ["m0", "m1"])
    schedule.gave_up("SetupFailed", "no worker could set up: no licence seat")
    assert schedule.outstanding == 0
    assert [(m.status, m.error_type, m.attempts) for m in schedule.close(0.1).models] == [
        (FAILED, "SetupFailed", 0)
    ] * 2


DIGESTS = {"model": {"file": "m.vokel", "sha256": "aa"}, "fre": {"file": "conception.fre", "sha256": "bb"}, "thf": None}


@pytest.mark.parametrize(
    "changes, skipped",
    [
        ({}, True),
        ({"status": FAILED}, False),
        ({"solver": "Revav"}, False),
        ({"mode": IN_PLACE}, False),
        ({"digests": {**DIGESTS, "fre": {"file": "conception.fre", "sha256": "cc"}}}, False),
        ({"digests": {**DIGESTS, "fre": {"file": "m.fre", "sha256": "bb"}}}, False),
        ({"digests": {**DIGESTS, "thf": {"file": "a.thf", "sha256": "dd"}}}, False),
        # A report written before digests were recorded.
        ({"digests": None}, False),
        # A structure model is solved with Revav whichever solver is asked for.
        ({"solver": "Revav", "kind": "structure"}, True),
    ],
    ids=[
        "unchanged",
        "failed before",
        "other solver",
        "other mode",
        "fre file edited",
        "own fre file now",
        "thf file added",
        "no digests",
        "structure model",
    ],
)
def test_a_resumed_model_is_skipped_only_when_its_earlier_solve_still_holds(tmp_path, changes, skipped):
    schedule, report = make_schedule(tmp_path, [])
    job = make_job(0, FoundModel(str(tmp_path / "m.vokel"), "m"), "Quelbar", True, None, DIGESTS)
    earlier = ModelResult(
        job.model.path,
        SOLVED,
        "Quelbar",
        SANDBOX,
        4.0,
        1,
        results=("m.qres",),
        results_folder="/r/m",
        kind="piping",
        digests=DIGESTS,
    )
    assert schedule.skipped_if_unchanged(job, replace(earlier, **changes)) is skipped
    written = [r for r in records(report) if r["record"] == "model"]
    if skipped:
        assert [(r["status"], r["results"], r["results_folder"], r["attempts"]) for r in written] == [
            (SKIPPED, ["m.qres"], "/r/m", 0)
        ]
    else:
        assert written == []


class FakeChild:
    """A solver child that solves at once, counting what it was asked."""

    started = []

    def __init__(self, batch, setup):
        self.batch, self.setup_failure, self.alive, self.models, self.stopped = batch, None, True, 0, False
        self.process = SimpleNamespace(pid=4242)
        FakeChild.started.append(self)

    def solve(self, task, timeout, leased):
        self.models += 1
        return Outcome(True, 0.25, solver=task.solver)

    def stop(self, wait=0.0):
        self.stopped, self.alive = True, False


@pytest.fixture
def worker_state():
    """A worker's state with fake children, on a clock that the test can move forward."""
    FakeChild.started = []
    offset = [0.0]
    state = WorkerState(FakeChild, clock=lambda: time.monotonic() + offset[0], watch=False)
    state.forward = lambda seconds: offset.__setitem__(0, offset[0] + seconds)
    return state


TERMS = Terms(timeout=None, max_models=None, lease_expiry=0.2)
SETUP = Setup("/opt/pelorix", "Pelorix", None, None)
TASK = Task("/plant/m.vokel", "Quelbar")


def solve(state, batch, terms=TERMS):
    return state.solve(batch, SETUP, TASK, terms, "tcp://w:1")


def test_a_worker_starts_a_child_only_for_a_batch_whose_lease_it_has_seen(worker_state):
    assert solve(worker_state, "gone") == Refused("tcp://w:1", "the batch has gone: its lease was never renewed here")
    worker_state.renew("b1", 0.2)
    done = solve(worker_state, "b1")
    assert isinstance(done, Done) and done.outcome.solved and done.pid == 4242
    assert [child.batch for child in FakeChild.started] == ["b1"]
    # Its lease lapses: its child is ended, and its late task starts nothing.
    worker_state.forward(0.2)
    worker_state.look()
    assert FakeChild.started[0].stopped
    assert solve(worker_state, "b1") == Refused("tcp://w:1", "the batch has ended")
    assert len(FakeChild.started) == 1


def test_a_worker_forgets_ended_batches_and_still_turns_their_late_tasks_down(worker_state):
    for number in range(500):
        worker_state.renew(f"b{number}", 60.0)
        worker_state.end(f"b{number}", 0.0)
    worker_state.forward(_on_worker.FORGET_AFTER - 1)
    worker_state.look()
    assert worker_state.remembered() == 500
    worker_state.forward(1)
    worker_state.look()
    assert worker_state.remembered() == 0
    # A renewal cannot come from an ended batch: its task waits for one, in vain, and starts no child.
    assert solve(worker_state, "b7") == Refused("tcp://w:1", "the batch has gone: its lease was never renewed here")
    assert FakeChild.started == []


def test_a_child_is_recycled_after_its_models(worker_state):
    worker_state.renew("b1", 60.0)
    terms = Terms(timeout=None, max_models=2, lease_expiry=0.2)
    assert {solve(worker_state, "b1", terms).pid for _ in range(3)} == {4242}
    assert [(child.models, child.stopped) for child in FakeChild.started] == [(2, True), (1, False)]


def test_a_child_that_starts_as_its_worker_closes_is_ended():
    FakeChild.started = []
    state = WorkerState(lambda batch, setup: (state.close(), FakeChild(batch, setup))[1], watch=False)
    state.renew("b1", 60.0)
    assert solve(state, "b1") == Refused("tcp://w:1", "its Dask worker is closing")
    assert [child.stopped for child in FakeChild.started] == [True]


@pytest.mark.parametrize(
    "status, ended", [(Status.closing, True), (Status.running, False)], ids=["its worker closes", "it is only replaced"]
)
def test_the_plugin_ends_the_children_only_when_its_worker_closes(worker_state, monkeypatch, status, ended):
    monkeypatch.setattr(_on_worker, "_state", worker_state)
    worker_state.renew("b1", 60.0)
    solve(worker_state, "b1")
    EndChildrenAtClose().teardown(SimpleNamespace(status=status))
    assert [child.stopped for child in FakeChild.started] == [ended]
    assert isinstance(solve(worker_state, "b1"), Refused if ended else Done)

"""solve_many on a Dask cluster: two worker processes on 127.0.0.1, started and stopped by each test."""
import logging
import os
from collections import defaultdict

import distributed
import pytest
from support_batch import EXTRA, plant, solve_intervals  # noqa: F401
from support_solving import snapshot, temp_root  # noqa: F401

from brivane_computer.batch import read_report


@pytest.fixture
def cluster(tmp_path, monkeypatch):
    """start(workers=2, threads=1) -> a Client of a LocalCluster of worker processes that share the test's
    environment (the knobs) and whose temporary folder is tmp_path/worker-temp, checked empty at the end."""
    temp = tmp_path / "worker-temp"
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))
    started = []

    def start(workers=2, threads=1):
        local = distributed.LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                                         host="127.0.0.1", scheduler_port=0, dashboard_address="127.0.0.1:0",
                                         local_directory=str(tmp_path / "dask"), silence_logs=logging.ERROR)
        started.append(local)
        client = distributed.Client(local)
        started.append(client)
        return client

    yield start
    for each in reversed(started):
        each.close()
    assert os.listdir(temp) == []  # the children's folders went with them


def culture_and_loads(entries):
    """{pid: [thread of each culture set by set-up]} and {pid: {threads that loaded a model}} of the journal."""
    cultures, loads = defaultdict(list), defaultdict(set)
    for entry in entries:
        if entry["name"] == "Thread.set_CurrentCulture":
            cultures[entry["pid"]].append(entry["thread"])
        elif entry["name"] == "Model.LoadFromFile":
            loads[entry["pid"]].add(entry["thread"])
    return cultures, loads


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("sandbox", [True, False], ids=["sandbox", "in place"])
def test_every_model_is_solved_on_the_cluster(plant, cluster, tmp_path, sandbox):
    folder = plant("a/s1", "a/s2", "b/s3", "s4", "s5", "s6", solve_seconds=0.2, extra_results=[EXTRA])
    before = snapshot(folder)
    report = plant.solve([folder], solver="Quelbar", sandbox=sandbox, executor=cluster(), timeout=60,
                         results=str(tmp_path / "results"), report=str(tmp_path / "report.jsonl"))

    assert [(m.status, m.attempts) for m in report.models] == [("solved", 1)] * 6
    assert sorted(m.path for m in read_report(str(tmp_path / "report.jsonl"))) == sorted(m.path for m in report.models)
    for name, model in plant.by_name(report).items():
        assert set(model.results) == {"conception.qres", EXTRA}
        assert (tmp_path / "results" / name / "conception.qres").read_text().startswith("STANDIN-QUELBAR-RESULTS")
    if sandbox:
        assert snapshot(folder) == before
    # One child for each worker's thread, set up once, on the thread that then loads every model it solves.
    cultures, loads = culture_and_loads(plant.entries())
    assert len(cultures) == 2
    assert all(len(threads) == 1 and loads[pid] == set(threads) for pid, threads in cultures.items())
    if not sandbox:
        intervals = solve_intervals(plant.entries())
        for folder_, pid, start, end in intervals:
            assert not [i for i in intervals if i[0] == folder_ and i[1] != pid and i[2] < end and start < i[3]]


def test_a_solve_that_hangs_or_dies_is_ended_and_retried(plant, cluster, tmp_path):
    folder = plant("ok", "hangs", "dies", "dies_once", hang_on=["hangs"], crash_on=["dies"],
                   crash_first_on=["dies_once"])
    report = plant.solve([folder], solver="Quelbar", executor=cluster(), timeout=3, retries=1)

    outcome = {name: (m.status, m.attempts, m.error_type) for name, m in plant.by_name(report).items()}
    assert outcome == {"ok": ("solved", 1, None), "hangs": ("timed out", 2, None),
                       "dies": ("failed", 2, "WorkerDied"), "dies_once": ("solved", 2, None)}
    assert "took longer than 3 s" in plant.by_name(report)["hangs"].error_message
    assert "SIGKILL" in plant.by_name(report)["dies"].error_message
    # The children are gone with the batch, the one ended in its hung solve too.
    children = {entry["pid"] for entry in plant.entries()} - {os.getpid()}
    assert len(children) >= 4 and not [pid for pid in children if running(pid)]


@pytest.mark.parametrize("seats", [1, 0])
def test_a_worker_that_cannot_set_up_turns_its_tasks_down(plant, cluster, tmp_path, seats):
    # The worker with the seat solves only once the other has been refused, so that both get tasks.
    folder = plant("s1", "s2", "s3", "s4", licence_seats=seats, solve_waits_for=str(tmp_path / "state" / "refusals"))
    report = plant.solve([folder], solver="Quelbar", executor=cluster(), timeout=60,
                         report=str(tmp_path / "report.jsonl"))
    message = "InvalidOperationException: No Pelorix licence seat is free."
    workers = [line for line in open(tmp_path / "report.jsonl") if '"record": "worker"' in line]
    if seats:
        assert report.setup_failures == [message] and len(workers) == 1
        assert [(m.status, m.attempts) for m in report.models] == [("solved", 1)] * 4
    else:
        assert report.setup_failures == [message] * 2
        assert [(m.status, m.error_type, m.attempts) for m in report.models] == [("failed", "SetupFailed", 0)] * 4


@pytest.mark.parametrize("workers, threads, message", [
    (0, 1, "has no workers: start them with dask worker ADDRESS --nthreads 1"),
    (1, 2, "the batch needs Dask workers of one thread each (dask worker --nthreads 1): tcp://127.0.0.1:"),
])
def test_a_cluster_that_cannot_take_the_batch_is_refused_before_it_starts(plant, cluster, tmp_path, workers,
                                                                           threads, message):
    folder = plant("s1")
    client = cluster(workers, threads)
    with pytest.raises(ValueError, match="jobs counts worker processes"):
        plant.solve([folder], solver="Quelbar", executor=client, jobs=2)
    with pytest.raises(ValueError) as refused:
        plant.solve([folder], solver="Quelbar", executor=client, report=str(tmp_path / "report.jsonl"))
    assert message in str(refused.value)
    assert not (tmp_path / "report.jsonl").exists()

"""solve_many on a Dask cluster: two worker processes on 127.0.0.1, started and stopped by each test."""

import logging
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter, defaultdict

import distributed
import psutil
import pytest
from brivane_testkit.trees import tree_contents
from distributed.core import Status

from brivane_computer.batch import read_report
from brivane_computer.batch._leftovers import remove_leftovers
from brivane_computer.batch.cluster import _on_worker
from brivane_computer.batch.cluster import _runner as _cluster
from brivane_computer.batch.cluster._child import FOLDER_PREFIX

from .support_batch import (
    EXTRA,
    assert_no_batch_process_left,
    batch_processes,
    dask_processes,
    running,
    solve_intervals,
)


@pytest.fixture
def cluster(tmp_path, monkeypatch):
    """start(workers=2, threads=1) -> a Client of a LocalCluster of worker processes that share the test's
    environment (the knobs) and whose temporary folder is tmp_path/worker-temp, checked empty at the end."""
    temp = tmp_path / "worker-temp"
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))
    started = []

    def start(workers=2, threads=1):
        local = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=threads,
            processes=True,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address="127.0.0.1:0",
            local_directory=str(tmp_path / "dask"),
            silence_logs=logging.ERROR,
        )
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


@pytest.mark.parametrize("sandbox", [True, False], ids=["sandbox", "in place"])
def test_every_model_is_solved_on_the_cluster(plant, cluster, tmp_path, sandbox):
    folder = plant("a/s1", "a/s2", "b/s3", "s4", "s5", "s6", solve_seconds=0.2, extra_results=[EXTRA])
    before = tree_contents(folder)
    report = plant.solve(
        [folder],
        solver="Quelbar",
        sandbox=sandbox,
        executor=cluster(),
        timeout=60,
        results=str(tmp_path / "results"),
        report=str(tmp_path / "report.jsonl"),
    )

    assert [(m.status, m.attempts) for m in report.models] == [("solved", 1)] * 6
    assert read_report(str(tmp_path / "report.jsonl")).models == report.models
    for name, model in plant.by_name(report).items():
        assert set(model.results) == {"conception.qres", EXTRA}
        assert (tmp_path / "results" / name / "conception.qres").read_text().startswith("STANDIN-QUELBAR-RESULTS")
    if sandbox:
        assert tree_contents(folder) == before
    # One child for each worker's thread, set up once, on the thread that then loads every model it solves.
    cultures, loads = culture_and_loads(plant.entries())
    assert len(cultures) == 2
    assert all(len(threads) == 1 and loads[pid] == set(threads) for pid, threads in cultures.items())
    # Each child's set-up is timed, on this machine's clock, before its first solve.
    assert sorted(setup["pid"] for setup in report.setups) == sorted(cultures)
    if not sandbox:
        intervals = solve_intervals(plant.entries())
        for folder_, pid, start, end in intervals:
            assert not [i for i in intervals if i[0] == folder_ and i[1] != pid and i[2] < end and start < i[3]]


def test_a_solve_that_hangs_or_dies_is_ended_and_retried(plant, cluster, tmp_path):
    folder = plant(
        "ok", "hangs", "dies", "dies_once", hang_on=["hangs"], crash_on=["dies"], crash_first_on=["dies_once"]
    )
    report = plant.solve(
        [folder], solver="Quelbar", executor=cluster(), timeout=3, retries=1, results=str(tmp_path / "res")
    )

    outcome = {name: (m.status, m.attempts, m.error_type) for name, m in plant.by_name(report).items()}
    assert outcome == {
        "ok": ("solved", 1, None),
        "hangs": ("timed out", 2, None),
        "dies": ("failed", 2, "WorkerDied"),
        "dies_once": ("solved", 2, None),
    }
    # The worker kept what each lost solve printed with its results, before its child's folder went.
    kept = {name: "brivane-solve.log" in m.manifest for name, m in plant.by_name(report).items()}
    assert kept == {"ok": False, "hangs": True, "dies": True, "dies_once": False}
    assert (tmp_path / "res" / "hangs" / "brivane-solve.log").exists()
    assert "took longer than 3 s" in plant.by_name(report)["hangs"].error_message
    assert "SIGKILL" in plant.by_name(report)["dies"].error_message
    # The children are gone with the batch, the one ended in its hung solve too.
    children = {entry["pid"] for entry in plant.entries()} - {os.getpid()}
    assert len(children) >= 4
    assert_no_batch_process_left(plant.mark, children)


@pytest.mark.parametrize("seats", [1, 0])
def test_a_worker_that_cannot_set_up_turns_its_tasks_down(plant, cluster, tmp_path, seats):
    # The worker with the seat solves only once the other has been refused, so that both get tasks.
    folder = plant("s1", "s2", "s3", "s4", licence_seats=seats, solve_waits_for=str(tmp_path / "state" / "refusals"))
    report = plant.solve(
        [folder], solver="Quelbar", executor=cluster(), timeout=60, report=str(tmp_path / "report.jsonl")
    )
    message = "InvalidOperationException: No Pelorix licence seat is free."
    workers = [line for line in open(tmp_path / "report.jsonl") if '"record": "worker"' in line]
    if seats:
        assert report.setup_failures == [message] and len(workers) == 1
        assert [(m.status, m.attempts) for m in report.models] == [("solved", 1)] * 4
    else:
        assert report.setup_failures == [message] * 2
        assert [(m.status, m.error_type, m.attempts) for m in report.models] == [("failed", "SetupFailed", 0)] * 4


@pytest.mark.parametrize(
    "workers, threads, message",
    [
        (0, 1, "has no workers: start them with dask worker ADDRESS --nthreads 1"),
        (1, 2, "the batch needs Dask workers of one thread each (dask worker --nthreads 1): tcp://127.0.0.1:"),
    ],
)
def test_a_cluster_that_cannot_take_the_batch_is_refused_before_it_starts(
    plant, cluster, tmp_path, workers, threads, message
):
    folder = plant("s1")
    client = cluster(workers, threads)
    with pytest.raises(ValueError, match="jobs counts worker processes"):
        plant.solve([folder], solver="Quelbar", executor=client, jobs=2)
    with pytest.raises(ValueError) as refused:
        plant.solve([folder], solver="Quelbar", executor=client, report=str(tmp_path / "report.jsonl"))
    assert message in str(refused.value)
    assert not (tmp_path / "report.jsonl").exists()


def test_a_solver_child_is_replaced_after_its_models(plant, cluster):
    folder = plant("s1", "s2", "s3", "s4")
    report = plant.solve([folder], solver="Quelbar", executor=cluster(), max_models_per_worker=1)
    solved_by = Counter(entry["pid"] for entry in plant.entries() if entry["name"] == "Solution..ctor")
    assert list(solved_by.values()) == [1] * 4
    runs = [run for model in report.models for run in model.runs]
    assert Counter(run["pid"] for run in runs) == solved_by
    assert all(run["worker"].startswith("tcp://127.0.0.1:") and run["started"] <= run["ended"] for run in runs)


def test_a_batch_that_renews_its_lease_outlives_its_expiry(plant, cluster, monkeypatch):
    folder = plant("s1", "s2", solve_seconds=4)
    monkeypatch.setattr(_on_worker, "LEASE_EVERY", 0.25)
    monkeypatch.setattr(_on_worker, "LEASE_EXPIRY", 2.0)
    report = plant.solve([folder], solver="Quelbar", executor=cluster())
    assert [(m.status, m.error_type) for m in report.models] == [("solved", None)] * 2


def wait_for_solves(plant, count):
    """Until ``count`` solves are inside their solver."""
    deadline = time.monotonic() + 60
    while not (
        os.path.exists(plant.journal) and [e["name"] for e in plant.entries()].count("QuelbarSolver.Run") >= count
    ):
        assert time.monotonic() < deadline
        time.sleep(0.05)


def test_a_killed_submitter_leaves_no_solve_on_the_workers(plant, cluster, tmp_path):
    folder = plant("hangs1", "hangs2", "ok", hang_on=["hangs1", "hangs2"])
    client = cluster()
    # Its lease lapses sooner than in use, so that the test need not wait 15 s.
    code = (
        f"from distributed import Client\n"
        f"from brivane_computer.batch import solve_many\n"
        f"from brivane_computer.batch.cluster import _on_worker\n"
        f"_on_worker.LEASE_EVERY, _on_worker.LEASE_EXPIRY = 0.5, 2.0\n"
        f"with Client({client.scheduler.address!r}) as client:\n"
        f"    solve_many([{str(folder)!r}], {plant.installation!r}, solver='Quelbar', executor=client,\n"
        f"               settings={plant.settings[1]!r}, data_sources={plant.settings[3]!r}, progress=False)\n"
    )
    submitter = subprocess.Popen([sys.executable, "-c", code])
    try:
        wait_for_solves(plant, 2)
    finally:
        submitter.kill()
        submitter.wait()
    assert_no_batch_process_left(plant.mark)
    # The workers are free for the next batch at once.
    plant()
    assert plant.solve([folder / "ok.vokel"], solver="Quelbar", executor=client).ok


def test_a_batch_whose_workers_all_die_fails_what_is_left(plant, cluster, monkeypatch, tmp_path):
    folder = plant("hangs1", "hangs2", "s3", hang_on=["hangs1", "hangs2"])
    monkeypatch.setattr(_cluster, "NO_WORKER_LIMIT", 1.0)
    client = cluster()

    def kill_every_worker():
        wait_for_solves(plant, 2)
        for nanny in list(client.cluster.workers.values()):
            nanny.status = Status.closing_gracefully  # not restarted
            os.kill(nanny.process.pid, signal.SIGKILL)

    threading.Thread(target=kill_every_worker, daemon=True).start()
    report = plant.solve([folder], solver="Quelbar", executor=client)
    assert [(m.status, m.error_type) for m in report.models] == [("failed", "NoWorkers")] * 3
    assert "has had no workers for 1 s while models waited" in report.models[0].error_message
    # The children's folders stay, unlocked: the next child started on the machine removes them.
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "worker-temp"))
    assert len(os.listdir(tempfile.tempdir)) == 2
    remove_leftovers(FOLDER_PREFIX)


def test_a_worker_stopped_mid_solve_ends_its_children_and_removes_their_folders(plant, monkeypatch, tmp_path):
    folder = plant("hangs1", "hangs2", hang_on=["hangs1", "hangs2"])
    monkeypatch.setattr(_cluster, "NO_WORKER_LIMIT", 1.0)
    seen = []
    with dask_processes(tmp_path) as (address, _, workers), distributed.Client(address) as client:

        def stop_each_worker():
            wait_for_solves(plant, 2)
            for number, worker in enumerate(workers):
                tree = {process.pid for process in psutil.Process(worker.pid).children(recursive=True)}
                children = tree & set(batch_processes(plant.mark))
                worker.send_signal(signal.SIGTERM)  # as its service manager stops it
                worker.wait(timeout=60)
                seen.append(
                    (
                        len(children),
                        [pid for pid in children if running(pid)],
                        os.listdir(tmp_path / "worker-temp" / str(number)),
                    )
                )

        stopping = threading.Thread(target=stop_each_worker, daemon=True)
        stopping.start()
        # The time limit only ends a batch whose workers the thread failed to stop.
        report = plant.solve([folder], solver="Quelbar", executor=client, timeout=120)
        # The batch may end as soon as its last worker is gone, before the thread has looked at that worker.
        stopping.join(timeout=120)
    # Each worker's child ended with it, and its folder went, not waiting for the next child on the machine.
    assert seen == [(1, [], [])] * 2
    assert [(m.status, m.error_type) for m in report.models] == [("failed", "NoWorkers")] * 2

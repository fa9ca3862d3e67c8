"""Batch solving against a bare loop: python bench/batch.py [--rounds N] [--models N] [--memory-models N]

Run it with scripts/bench-batch.sh: it solves and deletes, so it refuses to run
unless confined (BRIVANE_CONFINED names the sandbox, where everything is made).

1. 200 stand-in models whose solve waits 50 ms: the loop of solve and
   disposeSolution in this process, then solve_many with jobs=1 and jobs=2
   (worker start-up included), in a sandbox each, with a report file. Targets:
   at jobs=1 the batch costs at most 5 ms more per model than the loop; at
   jobs=2 it takes at most 0.6 times as long as the loop.
2. The same with a solve that computes instead, its loop calibrated here to
   about 50 ms: reported only, since two shared cores set the limit.
3. 2,000 models solved with jobs=2: the resident memory that this process
   gains over the batch, less the report file's size, must stay under 30 MB.
4. The 200 models of 1. on a Dask cluster already running here: a
   LocalCluster of two worker processes of one thread each, on 127.0.0.1
   (the children that solve are started by each batch, and counted). Target:
   at most 0.65 times as long as the loop.
5. 20 models of realistic size (a model file of about 3 MB and a fre file
   of about 2 MB, each in its own folder), solved in a sandbox in this
   process: solve_model against the loop of solve and disposeSolution, both
   copying the files into the sandbox and loading the model once. Target:
   solve_model costs at most 5 ms more per model (its own work: the
   originals found, the copies' signatures, the listing that tells the
   results, the sandbox removed). A load of the model alone is shown beside
   it, for scale. Digesting the inputs of a solve, which a resumed batch
   compares (the model, fre and .thf files, SHA-256), has a budget of its
   own: at most 10 ms a model, warm cache.
6. The page of 3.'s report (brivane report --html): its size, libraries
   included, must stay under 3 MB, and headless Chromium must load it (start,
   load, run its script, print the document) in under 3 s, the median of three
   loads; a blank page's load is shown beside it for the browser's own start.

Each round times the three runs one after the other; the figures are the
medians of the rounds. The table is printed and written as JSON to
$BRIVANE_CONFINED/batch.json (the script copies it to bench/results/).
"""

import argparse
import contextlib
import io
import json
import logging
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOLVE_SECONDS = 0.05
OVERHEAD_TARGET = 0.005
DIGEST_TARGET = 0.010
RATIO_TARGET = 0.6
CLUSTER_RATIO_TARGET = 0.65
MEMORY_TARGET = 30 * 1024 * 1024
PAGE_SIZE_TARGET = 3 * 1000 * 1000
PAGE_LOAD_TARGET = 3.0


def resident_bytes():
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_models(core, folder, count):
    """count piping models of one pipe, ten to a folder."""
    model = core.createPipingVokel()
    core.executeCommand(core.createCommand("ADD_PIPE", model))
    paths = []
    for index in range(count):
        study = os.path.join(folder, f"area{index // 10:03d}", f"study{index:04d}")
        os.makedirs(study)
        paths.append(os.path.join(study, f"study{index:04d}.vokel"))
        core.saveVokel(model, paths[-1])
    return paths


def make_realistic_models(core, folder, count, model_bytes=3 << 20, fre_bytes=2 << 20):
    """count piping models of about model_bytes, each with a fre file of about fre_bytes, one to a folder."""
    model = core.createPipingVokel()
    first = os.path.join(folder, "study00", "study00.vokel")
    os.makedirs(os.path.dirname(first))
    while not os.path.exists(first) or os.path.getsize(first) < model_bytes:
        for _ in range(20_000):
            core.executeCommand(core.createCommand("ADD_PIPE", model))
        core.saveVokel(model, first)
    fre = os.path.join(os.path.dirname(first), "conception.fre")
    with open(fre, "a", encoding="ascii") as f:  # lines without "=" are not fields: the solver reads past them
        while f.tell() < fre_bytes:
            f.write("; " + "node " * 20 + "\n")
    paths = [first]
    for index in range(1, count):
        paths.append(os.path.join(folder, f"study{index:02d}", f"study{index:02d}.vokel"))
        os.makedirs(os.path.dirname(paths[-1]))
        shutil.copy(first, paths[-1])
        shutil.copy(fre, os.path.dirname(paths[-1]))
    return paths


def realistic_case(bc, paths, rounds):
    """Seconds per model, medians: the loop's solve and disposeSolution, solve_model, loadVokel alone, and the
    digests of the solve's inputs, taken one after the other for each model, so that the machine's other work
    weighs on all four alike."""
    from brivane_computer.batch import Task, solve_model
    from brivane_computer.batch._solve_inputs import input_digests

    def timed(step, path):
        started = time.perf_counter()
        step(path)
        return time.perf_counter() - started

    def bare(path):
        assert bc.solve(path, "Quelbar", True) is not None
        bc.disposeSolution()

    def batch_task(path):
        assert solve_model(Task(path, "Quelbar", True)).solved

    steps = (bare, batch_task, bc.loadVokel, input_digests)
    times = [[timed(step, path) for step in steps] for _ in range(rounds) for path in paths]
    return [statistics.median(t[i] for t in times) for i in range(len(steps))]


def chromium_load(page, profile):
    """Seconds that headless Chromium takes to load the page and print its document."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("the page's load is measured with Chromium: apt-get install chromium")
    root = ["--no-sandbox"] if os.geteuid() == 0 else []
    started = time.perf_counter()
    subprocess.run(
        [
            chromium,
            "--headless",
            *root,
            "--disable-gpu",
            "--no-first-run",
            "--disable-dev-shm-usage",
            f"--user-data-dir={profile}",
            "--dump-dom",
            pathlib.Path(page).as_uri(),
        ],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env={**os.environ, "HOME": profile},
    )
    return time.perf_counter() - started


def calibrated_iterations(seconds):
    """Loop iterations of the stand-in's computing solve that take about `seconds` here."""
    from brivane_standin.knobs import knobs
    from brivane_standin.product._solving import SolverBase

    solver = object.__new__(SolverBase)
    solver._model = type("Model", (), {"_file": None})()
    knobs.solve_iterations = 1_000_000
    started = time.perf_counter()
    solver._work()
    knobs.solve_iterations = 0
    return int(1_000_000 * seconds / (time.perf_counter() - started))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--models", type=int, default=200)
    parser.add_argument("--memory-models", type=int, default=2000)
    arguments = parser.parse_args()
    sandbox = os.environ.get("BRIVANE_CONFINED")
    if not sandbox:
        sys.exit("bench/batch.py solves and deletes: run it confined, with scripts/bench-batch.sh")

    import distributed
    from brivane_standin import knobs as knobs_module
    from brivane_standin.installation import create_installation

    import brivane_computer as bc
    from brivane_computer.batch import solve_many

    work = os.path.join(sandbox, "bench-batch")
    installation = create_installation(os.path.join(work, "Pelorix 2031.1"))
    bc._settingsPath_ = installation.settings_path
    bc._dataSourcesPath_ = installation.data_sources_path
    with contextlib.redirect_stdout(io.StringIO()):
        assert bc.setup_brivane_computer(installation.root, bc.BrivaneModule.Pelorix)
    with contextlib.redirect_stdout(io.StringIO()):  # the lines of assemblies loaded on first use
        models = make_models(bc, os.path.join(work, "models"), arguments.models)
    knobs = knobs_module.knobs

    def set_knobs(**values):
        # This process's solves read the knobs; the workers read them from the environment.
        os.environ[knobs_module.ENVIRONMENT] = json.dumps(values)
        knobs.reset()

    def loop():
        started = time.perf_counter()
        for model in models:
            assert bc.solve(model, "Quelbar", True) is not None
            bc.disposeSolution()
        return time.perf_counter() - started

    def batch(jobs, paths=models, executor=None):
        report = os.path.join(work, f"report-{jobs if executor is None else 'cluster'}.jsonl")
        started = time.perf_counter()
        outcome = solve_many(
            paths, installation.root, solver="Quelbar", jobs=jobs, report=report, progress=False, executor=executor
        )
        seconds = time.perf_counter() - started
        assert [m.status for m in outcome.models] == ["solved"] * len(paths), outcome.summary()
        return seconds, outcome

    with contextlib.redirect_stdout(io.StringIO()):  # the first solve loads the solver's assemblies
        bc.solve(models[0], "Quelbar", True)
        bc.disposeSolution()
    results = {
        "machine": f"{os.cpu_count()} cores, Python {sys.version.split()[0]}",
        "models": len(models),
        "cases": {},
    }
    iterations = calibrated_iterations(SOLVE_SECONDS)
    for case, values in (("sleep", {"solve_seconds": SOLVE_SECONDS}), ("cpu", {"solve_iterations": iterations})):
        set_knobs(**values)
        rounds = [(loop(), batch(1)[0], batch(2)[0]) for _ in range(arguments.rounds)]
        looped, one, two = (statistics.median(r[i] for r in rounds) for i in range(3))
        results["cases"][case] = {
            "loop": looped,
            "jobs=1": one,
            "jobs=2": two,
            "overhead per model at jobs=1": (one - looped) / len(models),
            "jobs=2 / loop": two / looped,
        }

    # The cluster's workers take their knobs from the environment when they start.
    set_knobs(solve_seconds=SOLVE_SECONDS)
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address="127.0.0.1:0",
            local_directory=os.path.join(work, "dask"),
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        rounds = [(loop(), batch(1, executor=client)[0]) for _ in range(arguments.rounds)]
    looped, clustered = (statistics.median(r[i] for r in rounds) for i in range(2))
    results["cases"]["cluster"] = {"loop": looped, "cluster": clustered, "cluster / loop": clustered / looped}

    set_knobs()
    with contextlib.redirect_stdout(io.StringIO()):
        realistic = make_realistic_models(bc, os.path.join(work, "realistic"), 20)
        loop_each, task_each, load_each, digest_each = realistic_case(bc, realistic, arguments.rounds)
    sizes = (
        os.path.getsize(realistic[0]),
        os.path.getsize(os.path.join(os.path.dirname(realistic[0]), "conception.fre")),
    )
    results["cases"]["realistic"] = {
        "models": len(realistic),
        "model bytes": sizes[0],
        "fre bytes": sizes[1],
        "loop per model": loop_each,
        "solve_model per model": task_each,
        "overhead per model": task_each - loop_each,
        "loadVokel per model": load_each,
        "digests per model": digest_each,
    }

    memory_models = make_models(bc, os.path.join(work, "many"), arguments.memory_models)
    batch(2, memory_models[:20])  # what the first batch loads (the workers' machinery, the report's writer)
    before = resident_bytes()
    kept = batch(2, memory_models)  # noqa: F841 - its report stays in memory while measured
    growth = resident_bytes() - before
    report_size = os.path.getsize(os.path.join(work, "report-2.jsonl"))
    results["memory"] = {"models": len(memory_models), "resident growth": growth, "report size": report_size}

    page, blank = os.path.join(work, "report-2.html"), os.path.join(work, "blank.html")
    started = time.perf_counter()
    subprocess.run(
        [
            sys.executable,
            "-W",
            "ignore::RuntimeWarning",
            "-m",
            "brivane_cli",
            "report",
            os.path.join(work, "report-2.jsonl"),
            "--html",
            page,
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    written = time.perf_counter() - started
    with open(blank, "w", encoding="utf-8") as f:
        f.write("<!DOCTYPE html><title>blank</title>")
    profile = os.path.join(work, "chromium-profile")
    chromium_load(blank, profile)  # the profile made
    loads = [(chromium_load(page, profile), chromium_load(blank, profile)) for _ in range(3)]
    results["page"] = {
        "models": len(memory_models),
        "size": os.path.getsize(page),
        "written": written,
        "load": statistics.median(p for p, _ in loads),
        "blank load": statistics.median(b for _, b in loads),
    }

    sleep, cpu = results["cases"]["sleep"], results["cases"]["cpu"]
    rows = [
        (
            "sleep 50 ms: overhead per model, jobs=1",
            f"{sleep['overhead per model at jobs=1'] * 1000:.2f} ms",
            "<= 5 ms",
            sleep["overhead per model at jobs=1"] <= OVERHEAD_TARGET,
        ),
        (
            "sleep 50 ms: jobs=2 / loop",
            f"{sleep['jobs=2 / loop']:.2f}",
            "<= 0.60",
            sleep["jobs=2 / loop"] <= RATIO_TARGET,
        ),
        (
            "sleep 50 ms: two-worker Dask cluster / loop",
            f"{results['cases']['cluster']['cluster / loop']:.2f}",
            "<= 0.65",
            results["cases"]["cluster"]["cluster / loop"] <= CLUSTER_RATIO_TARGET,
        ),
        ("compute: overhead per model, jobs=1", f"{cpu['overhead per model at jobs=1'] * 1000:.2f} ms", "", None),
        ("compute: jobs=2 / loop", f"{cpu['jobs=2 / loop']:.2f}", "", None),
        (
            f"{len(realistic)} models of {sizes[0] / 2**20:.1f} + {sizes[1] / 2**20:.1f} MiB: solve_model over solve",
            f"{(task_each - loop_each) * 1000:.2f} ms a model (one load {load_each * 1000:.2f} ms)",
            "<= 5 ms",
            task_each - loop_each <= OVERHEAD_TARGET,
        ),
        (
            f"{len(realistic)} models of {sizes[0] / 2**20:.1f} + {sizes[1] / 2**20:.1f} MiB: digests of the inputs",
            f"{digest_each * 1000:.2f} ms a model",
            "<= 10 ms",
            digest_each <= DIGEST_TARGET,
        ),
        (
            f"{len(memory_models):,} models: resident growth less the report",
            f"{(growth - report_size) / 2**20:.1f} MiB (report {report_size / 2**20:.1f} MiB)",
            "<= 30 MB",
            growth - report_size <= MEMORY_TARGET,
        ),
        (
            f"{len(memory_models):,} models: the page's size",
            f"{results['page']['size'] / 1e6:.2f} MB",
            "< 3 MB",
            results["page"]["size"] < PAGE_SIZE_TARGET,
        ),
        (
            f"{len(memory_models):,} models: the page in headless Chromium",
            f"{results['page']['load']:.2f} s (blank page {results['page']['blank load']:.2f} s)",
            "< 3 s",
            results["page"]["load"] < PAGE_LOAD_TARGET,
        ),
        (f"{len(memory_models):,} models: brivane report --html", f"{results['page']['written']:.2f} s", "", None),
    ]
    print(f"{len(models)} models, {arguments.rounds} rounds, medians; {results['machine']}")
    for case in ("sleep", "cpu"):
        c = results["cases"][case]
        print(
            f"  {case:5}  loop {c['loop']:.2f} s ({c['loop'] / len(models) * 1000:.0f} ms a model)   "
            f"jobs=1 {c['jobs=1']:.2f} s   jobs=2 {c['jobs=2']:.2f} s"
        )
    c = results["cases"]["cluster"]
    print(f"  sleep  loop {c['loop']:.2f} s   two-worker Dask cluster {c['cluster']:.2f} s")
    width = max(len(r[0]) for r in rows)
    for name, value, target, ok in rows:
        verdict = "" if ok is None else ("ok" if ok else "miss")
        print(f"  {name:{width}}  {value:32} {target:9} {verdict}")
    results["verdicts"] = {r[0]: r[3] for r in rows if r[3] is not None}
    with open(os.path.join(sandbox, "batch.json"), "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1)
    return 0 if all(results["verdicts"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())

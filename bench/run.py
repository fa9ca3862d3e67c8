"""Runs the benchmark suite and reports it:
python bench/run.py [--fast] [--rounds N] [--case TEXT] [--compare FILE] [--check]

scripts/bench.sh is the one command: it builds the module (Release) and runs
this with the package on PYTHONPATH. Steps:

1. make the fixtures in a new folder (bench/fixtures.py), on a tmpfs where
   there is one, and point TMPDIR inside it, so that sandboxes and copies land
   there too and no case waits for the disk;
2. build the probe (bench/probe.c) and the compiled-Python peer
   (bench/peer.py, by bench/peer_build.py), check that each floor, peer and
   bound does what the module does (one call of each, compared), then time
   every case, its floor, its peer and its bound with pyperf (bench/cases.py):
   the small cases with calibrated loops, the large ones one call per value, in worker
   processes, over several rounds that each measure module then floor;
3. measure resident memory over 1,000 solve/dispose cycles (bench/memory.py);
4. time the import of the package in fresh interpreters (bench/import_time.py);
5. print the table (medians, with the standard deviation as a percentage; the
   ratio is the median of the ratios of the rounds, each round's module
   median over its floor median; the
   "bound" column is the ratio that a function doing nothing but the
   unavoidable raise, or the unavoidable reads of globals, gets through the
   same loop; "vs peer" is the median of the rounds' ratios of the module to
   the peer, with their lower and upper quartiles) and
   write it as JSON to bench/results/latest.json; with --compare FILE (or when
   latest.json exists already) show the ratios of that earlier run beside it.

With --check it stops after the check of step 2 and times nothing (CI runs
scripts/bench.sh --check: the peer builds from the pinned files and agrees).
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
# A confined run writes its results into its sandbox; scripts/bench.sh copies them to RESULTS.
WRITTEN = os.environ.get("BRIVANE_BENCH_RESULTS", RESULTS)
from brivane_testkit import confinement  # noqa: E402

import fixtures  # noqa: E402
import peer_build  # noqa: E402
import probe  # noqa: E402

# case name -> (how it is run, kind, target): "ratio" is module time / floor time; the others are absolute.
TARGETS = {
    "guard failure": ("micro", "ratio", 0.45),
    "load_dll already loaded": ("micro", "ratio", 0.45),
    "argument error: count": ("micro", "ratio", 0.30),
    "argument error: keyword": ("micro", "ratio", 0.30),
    "disposeSolution, nothing to dispose": ("micro", "ratio", 0.40),
    "FindSolverPaths, 10,000 families": ("micro", "ratio", 0.30),
    "find_first_file, 10,000 entries, match last": ("micro", "ratio", 0.70),
    "find_first_file, 10,000 entries, no match": ("micro", "ratio", 0.70),
    "solve, sandbox of a 200 MB model": ("large", "ratio", 1.10),
    "copyDirectoryToTemp, 5,000 small files": ("large", "ratio", 1.05),
    "solve/dispose x1000, resident growth": ("memory", "bytes", 1024 * 1024),
    "import with the platform loaded": ("import", "seconds", 0.005),
}

# pyperf settings per group and mode: rounds, and per round (processes, values, warmups, loops or None for
# calibrated loops, min_time). Every round measures each case's module, floor and bound one after the other,
# and the groups take turns round by round, so that a change of load on this shared machine weighs on both
# sides; a case's ratio is the median of its rounds' ratios.
GROUPS = {
    "micro": {"normal": (5, (2, 3, 1, None, 0.05)), "fast": (2, (2, 2, 1, None, 0.02))},
    "large": {"normal": (3, (1, 2, 1, 1, None)), "fast": (1, (2, 1, 1, 1, None))},
}
MEMORY_CYCLES = 1000
IMPORT_RUNS = {"normal": 20, "fast": 8}


def selected(name, parts):
    return not parts or any(part in name for part in parts)


def memory_backed_folder():
    """A tmpfs where there is one: the files that the cases copy and delete then
    never wait for the disk, whose write-back would swamp what is measured."""
    shared = "/dev/shm"
    if os.path.isdir(shared) and os.access(shared, os.W_OK):
        return shared
    return None


def rounds_of(group, mode, rounds):
    """The rounds of a group: its own count, or `rounds` for the micro cases when given."""
    return rounds if rounds and group == "micro" else GROUPS[group][mode][0]


def run_round(group, mode, directory, parts, output):
    """One round of a group: every selected case, module then floor, peer and bound, appended to `output`."""
    _, (processes, values, warmups, loops, min_time) = GROUPS[group][mode]
    command = [
        sys.executable,
        os.path.join(HERE, "cases.py"),
        "--fixtures",
        directory,
        "--group",
        group,
        "--quiet",
        "--append",
        output,
        "--processes",
        str(processes),
        "--values",
        str(values),
        "--warmups",
        str(warmups),
        "--inherit-environ",
        "TMPDIR",
    ]
    if loops is not None:
        command += ["--loops", str(loops)]
    if min_time is not None:
        command += ["--min-time", str(min_time)]
    for part in parts:
        command += ["--case", part]
    subprocess.run(command, check=True, cwd=ROOT)


def run_pyperf(groups, mode, rounds, directory, parts):
    output = os.path.join(directory, "pyperf.json")
    for round_number in range(max(rounds_of(group, mode, rounds) for group in groups)):
        for group in groups:
            if round_number < rounds_of(group, mode, rounds):
                run_round(group, mode, directory, parts, output)
    found = {}
    for benchmark in pyperf.BenchmarkSuite.load(output).get_benchmarks():
        case, side = benchmark.get_name().rsplit("/", 1)
        processes = GROUPS[TARGETS[case][0]][mode][1][0]
        # The worker runs that hold values, in the order they ran: each round added `processes` of them.
        runs = [run.values for run in benchmark.get_runs() if run.values]
        rounds = [
            statistics.median(value for values in runs[start : start + processes] for value in values)
            for start in range(0, len(runs), processes)
        ]
        found.setdefault(case, {})[side] = {
            "median": benchmark.median(),
            "stdev": benchmark.stdev() if benchmark.get_nvalue() > 1 else 0.0,
            "values": benchmark.get_nvalue(),
            "unit": "s",
            "rounds": rounds,
        }
    return found


def round_ratios(measured, side, below="floor"):
    """Each round's ratio of `side` to `below`, or None when either was not measured.

    The module, its floor, its peer and its bound are measured one after the
    other in every round, so a change of load on this shared machine that lasts
    longer than a round weighs on both sides of that round's ratio alike."""
    top, bottom = measured.get(side, {}).get("rounds"), measured.get(below, {}).get("rounds")
    if not top or not bottom or len(top) != len(bottom) or not all(bottom):
        return None
    return [value / under for value, under in zip(top, bottom)]


def paired_ratio(measured, side):
    """The median over rounds of each round's ratio of `side` to the floor."""
    ratios = round_ratios(measured, side)
    return None if ratios is None else statistics.median(ratios)


def peer_spread(measured):
    """The module's ratio to the peer over the rounds: median, lower and upper quartiles.

    The module is behind the peer on a case when even the lower quartile is above 1."""
    ratios = round_ratios(measured, "module", "peer")
    if ratios is None:
        return None
    if len(ratios) == 1:
        return {"median": ratios[0], "low": ratios[0], "high": ratios[0], "rounds": ratios}
    low, median, high = statistics.quantiles(ratios, n=4, method="inclusive")
    return {"median": median, "low": low, "high": high, "rounds": ratios}


def run_memory(directory):
    result = subprocess.run(
        [sys.executable, os.path.join(HERE, "memory.py"), directory, str(MEMORY_CYCLES)],
        check=True,
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    measured = json.loads(result.stdout.strip().splitlines()[-1])
    return {
        "module": {
            "median": measured["growth"],
            "stdev": 0.0,
            "values": 1,
            "unit": "B",
            "before": measured["before"],
            "after": measured["after"],
            "cycles": measured["cycles"],
        }
    }


def run_imports(mode):
    times = {"module": [], "floor": []}
    for _ in range(IMPORT_RUNS[mode]):
        for side in ("module", "floor"):
            result = subprocess.run(
                [sys.executable, os.path.join(HERE, "import_time.py"), side],
                check=True,
                capture_output=True,
                text=True,
                cwd=HERE,
            )
            times[side].append(float(result.stdout.strip().splitlines()[-1]))
    return {
        side: {
            "median": statistics.median(values),
            "stdev": statistics.stdev(values),
            "values": len(values),
            "unit": "s",
        }
        for side, values in times.items()
    }


def verdict(case, measured):
    _, kind, target = TARGETS[case]
    module = measured.get("module", {}).get("median")
    floor = measured.get("floor", {}).get("median")
    ratio = paired_ratio(measured, "module")
    if ratio is None:
        ratio = module / floor if module is not None and floor else None
    value = ratio if kind == "ratio" else module
    if value is None:
        return ratio, "n/a"
    return ratio, "ok" if value <= target else "MISS"


def show(value, unit):
    if value is None:
        return "-"
    if unit == "B":
        return f"{value / 1024:.0f} KiB"
    for scale, suffix in ((1e-6, "ns"), (1e-3, "us"), (1.0, "ms")):
        if abs(value) < scale:
            return f"{value / scale * 1e3:.3g} {suffix}"
    return f"{value:.3g} s"


def show_measure(measure):
    if not measure:
        return "-"
    text = show(measure["median"], measure["unit"])
    if measure["values"] > 1 and measure["median"]:
        text += f" ±{measure['stdev'] / measure['median'] * 100:.0f}%"
    return text


def show_target(case):
    _, kind, target = TARGETS[case]
    if kind == "ratio":
        return f"<= {target:.2f}"
    return "< " + show(target, "B" if kind == "bytes" else "s")


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "system": platform.platform(),
        "python": platform.python_version(),
        "load_average": os.getloadavg(),
    }


def commit():
    result = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True)
    changed = subprocess.run(
        ["git", "status", "--porcelain", "--untracked-files=no", "src"], cwd=ROOT, capture_output=True, text=True
    )
    name = result.stdout.strip() or "unknown"
    return name + ("+changes" if changed.stdout.strip() else "")


def show_spread(spread):
    if spread is None:
        return "-"
    return f"{spread['median']:.2f} [{spread['low']:.2f}-{spread['high']:.2f}]"


def print_table(rows, earlier):
    headers = ["case", "module", "floor", "peer", "ratio", "bound", "vs peer [quartiles]", "target", "verdict"]
    if earlier:
        headers.append("earlier ratio")
    lines = [headers]
    for row in rows:
        line = [
            row["case"],
            show_measure(row["module"]),
            show_measure(row["floor"]),
            show_measure(row.get("peer")),
            "-" if row["ratio"] is None else f"{row['ratio']:.2f}",
            "-" if row.get("bound") is None else f"{row['bound']:.2f}",
            show_spread(row.get("vs_peer")),
            show_target(row["case"]),
            row["verdict"],
        ]
        if earlier:
            before = earlier.get(row["case"], {}).get("ratio")
            line.append("-" if before is None else f"{before:.2f}")
        lines.append(line)
    widths = [max(len(line[i]) for line in lines) for i in range(len(headers))]
    for index, line in enumerate(lines):
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fast", action="store_true", help="fewer processes and values: rough figures quickly")
    parser.add_argument("--rounds", type=int, metavar="N", help="rounds of the short cases (default 5, --fast 2)")
    parser.add_argument(
        "--check",
        action="store_true",
        help="only build and check that every floor, peer and bound gives the module's result",
    )
    parser.add_argument("--case", action="append", default=[], help="only the cases whose name contains TEXT")
    parser.add_argument("--compare", metavar="FILE", help="an earlier results file to show beside this run")
    parser.add_argument(
        "--no-save", action="store_true", help="do not write bench/results/latest.json (a run with --case never does)"
    )
    args = parser.parse_args()
    confinement.require("the benchmark")
    mode = "fast" if args.fast else "normal"
    latest = os.path.join(RESULTS, "latest.json")
    earlier_file = args.compare or (latest if os.path.exists(latest) else None)
    earlier = {}
    if earlier_file:
        with open(earlier_file, encoding="utf-8") as f:
            earlier = {row["case"]: row for row in json.load(f)["cases"]}

    directory = tempfile.mkdtemp(prefix="brivane-bench-", dir=memory_backed_folder())
    try:
        # Sandboxes and copies land beside the fixtures: every process started from here inherits it.
        temporary = os.path.join(directory, "tmp")
        os.makedirs(temporary)
        os.environ["TMPDIR"] = temporary
        print(f"fixtures in {directory}", flush=True)
        fixtures.build(directory)
        os.sync()
        probe.build()
        peer_build.build()
        measured = {}
        chosen = [name for name in TARGETS if selected(name, args.case)]
        # A floor that no longer does what the module does would make its ratio meaningless.
        command = [sys.executable, os.path.join(HERE, "cases.py"), "--check", "--fixtures", directory]
        for part in args.case:
            command += ["--case", part]
        if subprocess.run(command, cwd=ROOT).returncode != 0:
            raise SystemExit("a floor, peer or bound does not do what the module does (see above)")
        if args.check:
            print("every floor, peer and bound gives the module's result")
            return
        groups = [group for group in GROUPS if any(TARGETS[name][0] == group for name in chosen)]
        if groups:
            measured.update(run_pyperf(groups, mode, args.rounds, directory, args.case))
        for name in chosen:
            if TARGETS[name][0] == "memory":
                measured[name] = run_memory(directory)
            elif TARGETS[name][0] == "import":
                measured[name] = run_imports(mode)
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    rows = []
    for case in TARGETS:
        if case not in measured:
            continue
        ratio, outcome = verdict(case, measured[case])
        _, kind, target = TARGETS[case]
        floor, bound = measured[case].get("floor"), measured[case].get("bound")
        rows.append(
            {
                "case": case,
                "module": measured[case].get("module"),
                "floor": floor,
                "peer": measured[case].get("peer"),
                "vs_peer": peer_spread(measured[case]),
                "bound_time": bound,
                "bound": paired_ratio(measured[case], "bound") if bound else None,
                "ratio": ratio,
                "target": {"kind": kind, "value": target},
                "verdict": outcome,
            }
        )
    report = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "commit": commit(),
        "mode": mode,
        "machine": machine(),
        "fixtures_in": os.path.dirname(directory),
        "cases": rows,
    }
    host = report["machine"]
    print(
        f"\n{report['commit']} on {host['cpu']}, {host['cores']} cores, {host['system']}, Python {host['python']}, "
        f"load {' '.join(f'{load:.2f}' for load in host['load_average'])}\n"
    )
    print_table(rows, earlier)
    if earlier_file:
        print(f"\nearlier ratios from {os.path.relpath(earlier_file, ROOT)}")
    # Only a run of every case replaces the results of record.
    if not args.no_save and not args.case:
        os.makedirs(WRITTEN, exist_ok=True)
        with open(os.path.join(WRITTEN, "latest.json"), "w", encoding="utf-8") as f:
            json.dump(report, f, indent=1)
            f.write("\n")
        print(f"written to {os.path.relpath(os.path.join(WRITTEN, 'latest.json'), ROOT)}")


if __name__ == "__main__":
    main()

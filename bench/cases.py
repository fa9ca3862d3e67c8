"""The timed cases, run by pyperf: python bench/cases.py --fixtures DIR --group GROUP [--case TEXT] [pyperf options]

Every case is measured at least twice in the same pyperf run: "<case>/module"
calls the module, "<case>/floor" calls its floor from bench/floors.py through
the same timing loop. The short cases are measured again as "<case>/peer",
with the same function compiled from plain Python by Cython (bench/peer.py).
The cases whose cost is mostly the host's own (a call that
raises, reads two globals and returns, walks a large document or lists a
large folder) are also measured as "<case>/bound", with a function of bench/probe.c that
does only what cannot be avoided. pyperf calibrates the loop counts, spreads the values over worker
processes and keeps every value; bench/run.py runs the rounds and turns the
values into the table.

Each worker runs one benchmark: it puts in place the module state that its
case needs (outside the timed part) and then times the calls. The "large"
group times one call per value and removes what the call made after the
clock has stopped.
"""

import contextlib
import io
import os
import shutil
import sys
from itertools import repeat
from time import perf_counter

import pyperf

import fixtures
import floors
import peer_build
import probe

bench_probe = probe.load()
bench_peer = peer_build.load()

if not bench_peer.__file__.endswith(".abi3.so"):
    raise SystemExit(f"the peer must be the compiled module, not {bench_peer.__file__}")

import clr  # noqa: E402,F401  (the platform is there before the module)
import pythoncom  # noqa: E402,F401

from brivane_computer import brivane_core as core  # noqa: E402

FLOORS = floors.bind(core)
bench_probe.bind_namespace(vars(core))
bench_peer.bind(vars(core))


# --- timing loops: the module and its floor go through the same one --------------------
# The short calls are written out CALLS times per turn of the loop (pyperf's
# inner loops), so that the loop itself weighs little beside what is measured.

CALLS = 5


def time_raising_1(loops, function, argument, error):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        try:
            function(argument)
        except error:
            pass
        try:
            function(argument)
        except error:
            pass
        try:
            function(argument)
        except error:
            pass
        try:
            function(argument)
        except error:
            pass
        try:
            function(argument)
        except error:
            pass
    return perf_counter() - t0


def time_raising_2(loops, function, first, second, error):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        try:
            function(first, second)
        except error:
            pass
        try:
            function(first, second)
        except error:
            pass
        try:
            function(first, second)
        except error:
            pass
        try:
            function(first, second)
        except error:
            pass
        try:
            function(first, second)
        except error:
            pass
    return perf_counter() - t0


def time_raising_keyword(loops, function, value, error):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        try:
            function(name=value)
        except error:
            pass
        try:
            function(name=value)
        except error:
            pass
        try:
            function(name=value)
        except error:
            pass
        try:
            function(name=value)
        except error:
            pass
        try:
            function(name=value)
        except error:
            pass
    return perf_counter() - t0


def time_calling_0(loops, function):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        function()
        function()
        function()
        function()
        function()
    return perf_counter() - t0


def time_calling_1(loops, function, argument):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        function(argument)
        function(argument)
        function(argument)
        function(argument)
        function(argument)
    return perf_counter() - t0


def time_once_1(loops, function, argument):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        function(argument)
    return perf_counter() - t0


def time_once_2(loops, function, first, second):
    turns = repeat(None, loops)
    t0 = perf_counter()
    for _ in turns:
        function(first, second)
    return perf_counter() - t0


# Calls made per turn of each loop.
INNER_LOOPS = {
    time_raising_1: CALLS,
    time_raising_2: CALLS,
    time_raising_keyword: CALLS,
    time_calling_0: CALLS,
    time_calling_1: CALLS,
}


def time_each(loops, action, clean_up):
    """Only `action` is timed; `clean_up` removes what it made before the next call."""
    total = 0.0
    for _ in range(loops):
        t0 = perf_counter()
        made = action()
        total += perf_counter() - t0
        clean_up(made)
    return total


# --- module state, prepared outside the timed part --------------------------------------

_state = {}


def layout():
    if "layout" not in _state:
        _state["layout"] = fixtures.load(_state["fixtures"])
    return _state["layout"]


def set_up():
    """A real set-up on the stand-in installation, once per worker (its progress lines are dropped)."""
    if not _state.get("set_up"):
        installation = layout()["installation"]
        core._settingsPath_ = installation["settings_path"]
        core._dataSourcesPath_ = installation["data_sources_path"]
        with contextlib.redirect_stdout(io.StringIO()):
            if core.setup_brivane_computer(installation["root"], core.BrivaneModule.Pelorix) is not True:
                raise RuntimeError("set-up on the stand-in installation failed")
        _state["set_up"] = True


def before_set_up():
    core._validSetup_ = False
    core._validPelorix_ = False
    core._validKarvona_ = False


def nothing_to_dispose():
    core._Solution_ = None
    core._tempDirectory_ = None


def solver_does_nothing():
    """The stand-in model loads nothing from the 200 MB file and its solver writes nothing."""
    if not _state.get("solver_does_nothing"):
        from brivane_standin.knobs import knobs
        from brivane_standin.product import pelorix_core

        def load_nothing(model, path):
            model._file = path

        pelorix_core.Model._load = load_nothing
        knobs.quelbar_run_result = 1
        set_up()
        # The first solve loads the solver's assemblies and says so: not part of what is measured.
        with contextlib.redirect_stdout(io.StringIO()):
            core.solve(layout()["big_model"]["model"], "Quelbar", True)
            core.disposeSolution()
        _state["solver_does_nothing"] = True
    nothing_to_dispose()


def remove_tree(folder):
    shutil.rmtree(folder, ignore_errors=True)


# --- the cases ----------------------------------------------------------------------------
# Each entry: case name, group, prepare(), and by side ("module", "floor", and where there is one
# "peer" and "bound") the timing loop with its arguments.


def cases():
    listing = layout()["listing"]
    big = layout()["big_model"]
    small = layout()["small_files"]
    document = fixtures.settings_document()
    not_loaded = "Brivane.Pelorix.Core.dll"

    def solve_sandboxed():
        core.solve(big["model"], "Quelbar", True)
        return core._tempDirectory_

    def dispose_sandbox(folder):
        with contextlib.redirect_stdout(io.StringIO()):
            core.disposeSolution()
        remove_tree(folder)

    def sandbox_floor():
        return FLOORS["sandbox_copy"](big["model"], big["fre"], big["thf"])

    def copy_module():
        return core.copyDirectoryToTemp(small["folder"])

    def copy_floor():
        # The floor is the copy alone: its target name is made before the clock starts.
        target = core.os.path.join(core.tempfile.gettempdir(), str(core.uuid.uuid4()))
        t0 = perf_counter()
        FLOORS["copytree_alone"](small["folder"], target)
        _state["copy_floor_time"] = perf_counter() - t0
        return target

    def sides(module, floor, peer=None, bound=None):
        measured = {"module": module, "floor": floor, "peer": peer, "bound": bound}
        return {side: loop for side, loop in measured.items() if loop is not None}

    return [
        (
            "guard failure",
            "micro",
            before_set_up,
            sides(
                (time_raising_1, core.getVokel, listing["folder"], OSError),
                (time_raising_1, FLOORS["getVokel"], listing["folder"], OSError),
                (time_raising_1, bench_peer.getVokel, listing["folder"], OSError),
                (time_raising_1, bench_probe.raise_setup_error, listing["folder"], OSError),
            ),
        ),
        (
            "load_dll already loaded",
            "micro",
            set_up,
            sides(
                (time_calling_1, core.load_dll, not_loaded),
                (time_calling_1, FLOORS["load_dll"], not_loaded),
                (time_calling_1, bench_peer.load_dll, not_loaded),
                (time_calling_1, bench_probe.load_dll_lookups, not_loaded),
            ),
        ),
        (
            "argument error: count",
            "micro",
            None,
            sides(
                (time_raising_2, core.load_dll, not_loaded, not_loaded, TypeError),
                (time_raising_2, FLOORS["load_dll"], not_loaded, not_loaded, TypeError),
                (time_raising_2, bench_peer.load_dll, not_loaded, not_loaded, TypeError),
                (time_raising_2, bench_probe.raise_count_error, not_loaded, not_loaded, TypeError),
            ),
        ),
        (
            "argument error: keyword",
            "micro",
            None,
            sides(
                (time_raising_keyword, core.load_dll, not_loaded, TypeError),
                (time_raising_keyword, FLOORS["load_dll"], not_loaded, TypeError),
                (time_raising_keyword, bench_peer.load_dll, not_loaded, TypeError),
                (time_raising_keyword, bench_probe.raise_keyword_error, not_loaded, TypeError),
            ),
        ),
        (
            "disposeSolution, nothing to dispose",
            "micro",
            nothing_to_dispose,
            sides(
                (time_calling_0, core.disposeSolution),
                (time_calling_0, FLOORS["disposeSolution"]),
                (time_calling_0, bench_peer.disposeSolution),
            ),
        ),
        (
            "FindSolverPaths, 10,000 families",
            "micro",
            None,
            sides(
                (time_once_1, core.FindSolverPaths, document),
                (time_once_1, FLOORS["FindSolverPaths"], document),
                (time_once_1, bench_peer.FindSolverPaths, document),
                (time_once_1, bench_probe.find_solver_paths_walk, document),
            ),
        ),
        (
            "find_first_file, 10,000 entries, match last",
            "micro",
            None,
            sides(
                (time_once_2, core.find_first_file, listing["folder"], listing["ending_last"]),
                (time_once_2, FLOORS["find_first_file"], listing["folder"], listing["ending_last"]),
                (time_once_2, bench_peer.find_first_file, listing["folder"], listing["ending_last"]),
                (time_once_2, bench_probe.find_first_file_walk, listing["folder"], listing["ending_last"]),
            ),
        ),
        (
            "find_first_file, 10,000 entries, no match",
            "micro",
            None,
            sides(
                (time_once_2, core.find_first_file, listing["folder"], listing["ending_none"]),
                (time_once_2, FLOORS["find_first_file"], listing["folder"], listing["ending_none"]),
                (time_once_2, bench_peer.find_first_file, listing["folder"], listing["ending_none"]),
                (time_once_2, bench_probe.find_first_file_walk, listing["folder"], listing["ending_none"]),
            ),
        ),
        (
            "solve, sandbox of a 200 MB model",
            "large",
            solver_does_nothing,
            sides((time_each, solve_sandboxed, dispose_sandbox), (time_each, sandbox_floor, remove_tree)),
        ),
        (
            "copyDirectoryToTemp, 5,000 small files",
            "large",
            None,
            sides((time_each, copy_module, remove_tree), (time_copy_floor, copy_floor, remove_tree)),
        ),
    ]


def time_copy_floor(loops, action, clean_up):
    total = 0.0
    for _ in range(loops):
        made = action()
        total += _state.pop("copy_floor_time")
        clean_up(made)
    return total


def prepared(prepare, loop):
    """The timing loop, with the case's module state put in place before each value."""

    def time_function(loops, *arguments):
        if prepare is not None:
            prepare()
        return loop(loops, *arguments)

    time_function.__name__ = loop.__name__
    return time_function


def outcome(loop, arguments):
    """What one call of a timed function gives: its result, its exception's type and message, or the files it made."""
    if loop in (time_each, time_copy_floor):
        action, clean_up = arguments
        made = action()
        try:
            return (
                "files",
                sorted(
                    os.path.relpath(os.path.join(top, name), made) for top, _, names in os.walk(made) for name in names
                ),
            )
        finally:
            clean_up(made)
    function, *values = arguments
    if loop in (time_raising_1, time_raising_2, time_raising_keyword):
        *values, error = values
        try:
            if loop is time_raising_keyword:
                function(name=values[0])
            else:
                function(*values)
        except error as raised:
            return ("raises", type(raised), str(raised))
        return ("returns without raising", None)
    return ("returns", function(*values))


def check(parts):
    """Every floor, peer and bound must do what the module does: one call of each side, compared.

    The peer and the bound must also raise the module's message; the floor, run by the
    interpreter itself, words its argument errors its own way."""
    disagreements = 0
    for name, _, prepare, sides in cases():
        if parts and not any(part in name for part in parts):
            continue
        seen = {}
        for side, (loop, *arguments) in sides.items():
            if prepare is not None:
                prepare()
            seen[side] = outcome(loop, arguments)
        for side, outcome_seen in seen.items():
            compared = slice(0, 2) if side == "floor" else slice(None)
            if outcome_seen[compared] != seen["module"][compared]:
                disagreements += 1
                print(
                    f"{name}: the module gives {seen['module']!r:.300}, its {side} {outcome_seen!r:.300}",
                    file=sys.stderr,
                )
    return disagreements


def add_worker_arguments(command, args):
    command.extend(("--fixtures", args.fixtures, "--group", args.group))
    for part in args.case:
        command.extend(("--case", part))


def main():
    if "--check" in sys.argv:
        import argparse

        parser = argparse.ArgumentParser()
        parser.add_argument("--check", action="store_true")
        parser.add_argument("--fixtures", required=True)
        parser.add_argument("--case", action="append", default=[])
        args = parser.parse_args()
        _state["fixtures"] = args.fixtures
        sys.exit(1 if check(args.case) else 0)
    runner = pyperf.Runner(add_cmdline_args=add_worker_arguments)
    runner.argparser.add_argument("--fixtures", required=True, help="folder made by bench/fixtures.py")
    runner.argparser.add_argument("--group", choices=("micro", "large"), required=True)
    runner.argparser.add_argument(
        "--case", action="append", default=[], help="only the cases whose name contains this text (repeatable)"
    )
    args = runner.parse_args()
    _state["fixtures"] = args.fixtures
    for name, group, prepare, sides in cases():
        if group != args.group or (args.case and not any(part in name for part in args.case)):
            continue
        for side, (loop, *arguments) in sides.items():
            runner.bench_time_func(
                f"{name}/{side}",
                prepared(prepare, loop),
                *arguments,
                inner_loops=INNER_LOOPS.get(loop),
                metadata={"case": name, "side": side},
            )


if __name__ == "__main__":
    main()

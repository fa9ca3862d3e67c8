"""Interrupt fuzzing: real SIGINTs at random moments of solve, disposeSolution and copyDirectoryToTemp, and
forks at random moments of them.

    python reliability/interrupt_fuzz.py [--iterations N] [--seed S]

Run confined (scripts/interrupt-fuzz.sh does, on Python 3.10 and 3.13), with the package and the stand-in
on the path; POSIX only, since the timer signals the main thread with pthread_kill. It refuses to run
unconfined.

Each iteration calls one of the three functions while a timer thread sends SIGINT to the main thread after
a random delay of up to a little more than such a call takes, as a user's Ctrl-C would land. A random share
of the solves also has a second thread call disposeSolution while the solve runs, as a misbehaving
program would. In a random share of the iterations the timer sends SIGUSR1 instead, whose handler forks the
process at that moment: the child calls the module (disposeSolution, then a sandboxed solve and its
disposeSolution) and ends, while the parent's call goes on. After each iteration:

- nothing was removed that the call did not name or the module did not make: the script's own folder is
  unchanged, the model's files are intact, and every removal that the process made (its audit events) lay
  in a folder the module made under the temporary folder, or was a temporary file of the product's;
- no false message: "Impossible to delete temp directory :" is never printed, since nothing here holds a
  file open;
- the iteration ended within the stand-in's solve time plus a margin: faulthandler's watchdog ends the run
  otherwise, so a Ctrl-C that left a later solve waiting forever fails it. The bound is the test's, not the
  module's;
- a forked child ended within the same bound (it never waits for its parent's run), its calls succeeded, it
  removed nothing that was there when it was made, and every folder of the temporary folder that was there
  is still there unless the parent itself removed it.

At the end, once every solver run has ended, a final disposeSolution must leave nothing the module made in
the temporary folder. A complete copy that copyDirectoryToTemp returned, whose path an interrupt kept from
this script, is the caller's and is allowed. The figures are printed; the exit status is non-zero on any
problem.
"""

import argparse
import collections
import faulthandler
import io
import json
import os
import random
import select
import shutil
import signal
import sys
import tempfile
import threading
import time
import warnings
from contextlib import redirect_stdout

from brivane_testkit import confinement
from brivane_testkit.module_table import DELETE_FAILED
from brivane_testkit.trees import tree_contents

# Seconds that every stand-in solver Run() takes.
SOLVE_SECONDS = 0.02
# Seconds an iteration may take at most: two runs (an abandoned one and the next) and generous slack.
BOUND = 30
# The share of the iterations that fork instead of interrupting.
FORK_SHARE = 0.2


class Removals:
    """Every removal the process makes, from its audit events."""

    def __init__(self):
        self.paths = []
        sys.addaudithook(self.hook)

    def hook(self, event, args):
        # What rmtree removes inside a tree comes relative to a folder descriptor; the tree is its own event.
        inside_a_tree = event != "shutil.rmtree" and len(args) > 1 and args[1] not in (None, -1)
        if (
            event in ("shutil.rmtree", "os.remove", "os.rmdir")
            and args
            and isinstance(args[0], (str, bytes))
            and not inside_a_tree
        ):
            path = os.fsdecode(args[0])
            self.paths.append(path if os.path.isabs(path) else os.path.join(os.getcwd(), path))

    def take(self):
        taken, self.paths = self.paths, []
        return taken


class Fuzz:
    def __init__(self, args):
        from brivane_standin.installation import create_installation
        from brivane_standin.knobs import knobs

        import brivane_computer
        from brivane_computer import brivane_core

        self.core = brivane_core
        self.random = random.Random(args.seed)
        self.root = tempfile.mkdtemp(prefix="interrupt-fuzz-", dir=os.environ["BRIVANE_CONFINED"])
        self.temp = os.path.join(self.root, "temp")
        os.mkdir(self.temp)
        tempfile.tempdir = self.temp
        installation = create_installation(os.path.join(self.root, "Pelorix 2031.1"))
        brivane_core._settingsPath_ = installation.settings_path
        brivane_core._dataSourcesPath_ = installation.data_sources_path
        with redirect_stdout(io.StringIO()):
            assert brivane_core.setup_brivane_computer(installation.root, brivane_computer.BrivaneModule.Pelorix)
        self.models = os.path.join(self.root, "models")
        self.model = self.make_model("study1", "piping")
        self.structure = self.make_model("frame", "structure")
        # In a folder of its own: the two above share one conception.fre, a structure model's.
        self.child_model = self.make_model("child", "piping", "child")
        self.source = os.path.join(self.root, "source")
        os.makedirs(os.path.join(self.source, "sub"))
        for name in ("a.txt", os.path.join("sub", "b.txt")):
            with open(os.path.join(self.source, name), "w") as f:
                f.write(name)
        self.script = os.path.join(self.root, "script")
        os.makedirs(os.path.join(self.script, "keep"))
        with open(os.path.join(self.script, "keep", "notes.txt"), "w") as f:
            f.write("the script's own")
        self.model_files = tree_contents(self.models)
        self.script_files = tree_contents(self.script)
        self.source_files = tree_contents(self.source)
        knobs.solve_seconds = SOLVE_SECONDS
        self.removals = Removals()
        self.counts = collections.Counter()
        self.problems = []
        self.armed = False
        self.fork_wanted = False
        self.child = None
        signal.signal(signal.SIGINT, self.on_interrupt)
        signal.signal(signal.SIGUSR1, self.on_fork_signal)
        # 3.12 on warns about forking a process that has threads: that is what is fuzzed here.
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)

    def make_model(self, name, kind, folder=""):
        core = self.core
        with redirect_stdout(io.StringIO()):
            model = core.createPipingVokel() if kind == "piping" else core.createStructureVokel()
            core.executeCommand(core.createCommand("ADD_PIPE" if kind == "piping" else "ADD_BEAM", model))
            path = os.path.join(self.models, folder, name + ".vokel")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            core.saveVokel(model, path)
        return path

    def on_interrupt(self, signum, frame):
        # Only during the call under test: a late signal is not the module's to see.
        if self.armed:
            raise KeyboardInterrupt
        self.counts["late signals"] += 1

    # -- forks -----------------------------------------------------------------------------------
    def on_fork_signal(self, signum, frame):
        if not (self.armed and self.fork_wanted) or self.child is not None:
            self.counts["late fork signals"] += 1
            return
        there = sorted(os.listdir(self.temp))
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            self.in_child(write, there)
        os.close(write)
        self.child = (pid, read, there)

    def in_child(self, write, there):
        """The child's part: it calls the module, reports, and ends; it never returns."""
        report = {"problems": []}
        try:
            # Not faulthandler's watchdog: its thread stayed in the parent, and the child would wait for it.
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(BOUND)
            self.armed = False
            self.removals.take()  # its parent's
            printed = io.StringIO()
            with redirect_stdout(printed):
                self.core.disposeSolution()
                solved = self.core.solve(self.child_model, "Quelbar", True)
                self.core.disposeSolution()
            if solved is None:
                report["problems"].append(f"its sandboxed solve gave None, printing {printed.getvalue()!r}")
            report["removals"] = self.removals.take()
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            report["problems"].append(f"it raised {error!r}")
        finally:
            os.write(write, json.dumps(report).encode())
            os._exit(0)

    def finish_child(self, where):
        """Waits for the child of this iteration (killed past the bound) and checks what it did."""
        pid, read, there = self.child
        self.child = None
        data, deadline = b"", time.monotonic() + BOUND
        while select.select([read], [], [], max(0.0, deadline - time.monotonic()))[0]:
            chunk = os.read(read, 1 << 16)
            if not chunk:
                break
            data += chunk
        os.close(read)
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        if not data:
            self.problems.append(f"{where}: the forked child still waited after {BOUND} s, or died")
            return
        report = json.loads(data)
        self.counts["forked children"] += 1
        self.problems += [f"{where}: the forked child: {problem}" for problem in report["problems"]]
        theirs = [os.path.join(self.temp, name) for name in there]
        for path in report.get("removals", []):
            if any(path == folder or path.startswith(folder + os.sep) for folder in theirs):
                self.problems.append(f"{where}: the forked child removed {path}, its parent's")
        removed_by_parent = set(self.removals.paths)
        for folder in theirs:
            if not os.path.exists(folder) and folder not in removed_by_parent:
                self.problems.append(f"{where}: the parent's {folder} went, and the parent did not remove it")

    # -- the calls -------------------------------------------------------------------------------
    def operations(self):
        core = self.core
        # (name, weight, seconds over which its SIGINTs land: a little more than the call takes, call)
        return [
            ("solve in a sandbox", 4, 0.08, lambda: core.solve(self.model, "Quelbar", True)),
            ("solve a structure in a sandbox", 1, 0.08, lambda: core.solve(self.structure, "Revav", True)),
            ("solve in place", 2, 0.08, lambda: core.solve(self.model, "Revav", False)),
            ("disposeSolution", 2, 0.003, core.disposeSolution),
            ("copyDirectoryToTemp", 2, 0.003, lambda: core.copyDirectoryToTemp(self.source)),
        ]

    def keep_copy(self, folder):
        if folder:
            if tree_contents(folder) != self.source_files:
                self.problems.append(f"copyDirectoryToTemp returned an incomplete copy {folder}")
            shutil.rmtree(folder)

    def misuse(self, stop):
        # Another thread of the program, disposing while the solve runs.
        while not stop.wait(self.random.uniform(0.001, 0.02)):
            try:
                self.core.disposeSolution()
            except Exception as error:  # noqa: BLE001 - counted, as a program would log it
                self.counts[f"misuse raised {type(error).__name__}"] += 1

    def iteration(self, index):
        operations = self.operations()
        name, _, window, call = self.random.choices(operations, [o[1] for o in operations])[0]
        delay = self.random.uniform(0, window)
        cancelled = threading.Event()
        main = threading.main_thread().ident
        self.fork_wanted = self.random.random() < FORK_SHARE
        sent = signal.SIGUSR1 if self.fork_wanted else signal.SIGINT

        def timer():
            if not cancelled.wait(delay):
                signal.pthread_kill(main, sent)

        timers = threading.Thread(target=timer, daemon=True)
        stop = threading.Event()
        misuse = None
        if name.startswith("solve") and not self.fork_wanted and self.random.random() < 0.25:
            misuse = threading.Thread(target=self.misuse, args=(stop,), daemon=True)
        printed = io.StringIO()
        faulthandler.dump_traceback_later(BOUND, exit=True)
        timers.start()
        if misuse:
            misuse.start()
        outcome, result = "returned", None
        try:
            with redirect_stdout(printed):
                self.armed = True
                result = call()
                self.armed = False
        except KeyboardInterrupt:
            self.armed = False
            outcome = "interrupted"
        except Exception as error:  # noqa: BLE001 - a misuse can make a call fail, and that is allowed
            self.armed = False
            outcome = f"raised {type(error).__name__}"
        cancelled.set()
        stop.set()
        timers.join()
        if misuse:
            misuse.join()
        faulthandler.cancel_dump_traceback_later()
        self.counts[f"{name}{' (forked)' if self.child else ''}: {outcome}"] += 1
        if name == "copyDirectoryToTemp":
            self.keep_copy(result)
        if self.child:
            self.finish_child(f"iteration {index} ({name})")
        self.check(index, name, printed.getvalue())

    def check(self, index, name, printed):
        where = f"iteration {index} ({name})"
        if DELETE_FAILED in printed:
            self.problems.append(f"{where}: false message {printed.strip()!r}")
        if tree_contents(self.script) != self.script_files:
            self.problems.append(f"{where}: the script's own folder changed")
        now = tree_contents(self.models)
        for path, data in self.model_files.items():
            if now.get(path) != data:
                self.problems.append(f"{where}: the model file {path} changed or went")
        for path in self.removals.take():
            made = os.path.dirname(path) == self.temp or path.startswith(self.temp + os.sep)
            product_temporary = os.path.basename(path).startswith(".") and path.endswith(".tmp")
            if not made and not product_temporary:
                self.problems.append(f"{where}: removed {path}, which the module did not make")

    # -- the end ---------------------------------------------------------------------------------
    def finish(self):
        faulthandler.dump_traceback_later(BOUND, exit=True)
        # Every solver run that began has ended; a thread that never started (a Ctrl-C inside
        # Thread.start) has no ident and never will run.
        while any(
            t.ident is not None and "Solve" in t.name
            for t in threading.enumerate()
            if t is not threading.current_thread()
        ):
            time.sleep(0.01)
        printed = io.StringIO()
        with redirect_stdout(printed):
            self.core.disposeSolution()
        faulthandler.cancel_dump_traceback_later()
        self.check("final", "disposeSolution", printed.getvalue())
        for name in os.listdir(self.temp):
            folder = os.path.join(self.temp, name)
            if os.path.isdir(folder) and tree_contents(folder) == self.source_files:
                self.counts["copies kept from the script by an interrupt"] += 1
                shutil.rmtree(folder)
            else:
                self.problems.append(
                    f"left after the final disposeSolution: {folder} holding {sorted(tree_contents(folder))}"
                )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=400)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    confinement.require("interrupt_fuzz")
    if not hasattr(signal, "pthread_kill"):
        print("interrupt_fuzz: needs POSIX thread signals", file=sys.stderr)
        return 2
    if args.seed is None:
        args.seed = random.randrange(2**32)
    fuzz = Fuzz(args)
    started = time.monotonic()
    for index in range(args.iterations):
        fuzz.iteration(index)
    fuzz.finish()
    print(
        f"interrupt fuzzing, Python {sys.version_info.major}.{sys.version_info.minor}, seed {args.seed}: "
        f"{args.iterations} iterations in {time.monotonic() - started:.1f} s"
    )
    for key, count in sorted(fuzz.counts.items()):
        print(f"  {key}: {count}")
    for problem in fuzz.problems[:20]:
        print(f"PROBLEM {problem}")
    print(f"problems: {len(fuzz.problems)}")
    return 1 if fuzz.problems else 0


if __name__ == "__main__":
    sys.exit(main())

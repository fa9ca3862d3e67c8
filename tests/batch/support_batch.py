"""The plant of models that the batch and the command-line tests solve, with the journal of every process that
solved them, and the user's files beside it, which no batch may change; and a Dask cluster of processes."""

import contextlib
import hashlib
import json
import os
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

from brivane_standin import journal

from brivane_cli import main
from brivane_computer.batch import IN_PLACE, MANIFEST, MARKER, ReportError, read_report, solve_many

from ..support import build_model

EXTRA = os.path.join("Reports", "stress.txt")
# The test's own bookkeeping beside the plant, which the oracle leaves out.
BOOKKEEPING = {"state", "temp", "worker-temp", "dask", "journal.jsonl", "out", "err"}
EARLIER_REPORT = '{"record": "batch", "solver": "Revav"}\n{"record": "end", "interrupted": false}\n'


class UserFiles:
    """The files under a test's folder, each with its checksum, taken before a batch. After it, a file that
    changed or went although the batch was not asked to write it fails the test, named. The batch may append
    to its report and write the files that a results folder's manifest listed before it, and, in place, the
    results that it reports beside their model."""

    def __init__(self, root):
        self.root = str(root)
        self.sums, self.manifests = {}, {}

    def plant(self, *folders):
        """The user's notes in each folder, an earlier results tree that no batch wrote, and an earlier report."""
        for folder in folders:
            _write(os.path.join(folder, "notes.txt"), "to check on Monday\n")
        for name in ("conception.qres", "notes.txt"):
            _write(os.path.join(self.root, "results", "earlier", name), "kept from 2029\n")
        _write(os.path.join(self.root, "earlier.jsonl"), EARLIER_REPORT)

    def take(self):
        self.sums = _checksums(self.root)
        self.manifests = {}
        for path in self.sums:
            if os.path.basename(path) == MANIFEST:
                with open(path) as f:
                    self.manifests[os.path.dirname(path)] = json.load(f)["files"]

    def check(self, reports=(), report_files=(), pages=()):
        """Fails naming each changed file that the batch was not asked to write (its pages it may write)."""
        appended = {os.path.abspath(str(f)) for f in report_files if f is not None}
        allowed = {
            os.path.join(folder, name) for folder, names in self.manifests.items() for name in names + [MANIFEST]
        } | {os.path.abspath(str(page)) for page in pages if page}
        results = [m for report in reports for m in report.models]
        for report_file in appended:
            try:
                results += read_report(report_file, runs="all").models
            except ReportError:  # not a report (the batch refused it) or not there
                pass
        allowed |= {
            os.path.join(os.path.dirname(m.path), name) for m in results if m.mode == IN_PLACE for name in m.results
        }
        after, changed = _checksums(self.root), []
        for path, (size, digest) in self.sums.items():
            if after.get(path) == (size, digest) or path in allowed:
                continue
            if path in appended and path in after and _digest(path, size) == digest:
                continue  # only appended to
            changed.append(os.path.relpath(path, self.root) + (" (removed)" if path not in after else ""))
        assert not changed, f"the batch changed files it was not asked to write: {changed}"


# Every process that a test starts inherits this test's mark (the plant fixture sets it): with the batch's
# marker, it tells the processes of this test's batches from those of other runs on the machine.
TEST_MARK = "BRIVANE_TEST_MARK"


def batch_processes(mark):
    """The live processes whose environment holds the batch marker and the test's mark. Read from /proc: where
    there is none (Windows, which shows no other process's environment without a helper library), none."""
    wanted, found = f"{TEST_MARK}={mark}".encode(), []
    for entry in os.listdir("/proc") if os.path.isdir("/proc") else []:
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:  # gone, or a zombie's
            continue
        if wanted in environment and any(e.startswith(MARKER.encode() + b"=") for e in environment):
            found.append(int(entry))
    return found


def running(pid):
    """Whether the process runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def assert_no_batch_process_left(mark, pids=()):
    """None of the batch's processes, nor any of ``pids``, may be alive 5 s after it. (A process being killed
    can still run while its environment no longer reads: ``pids`` names such a one all the same.)"""
    deadline = time.monotonic() + 5
    while True:
        left = set(batch_processes(mark)) | {pid for pid in pids if running(pid)}
        if not left:
            return
        assert time.monotonic() < deadline, f"processes of the batch alive 5 s after it: {_described(left)}"
        time.sleep(0.1)


def _described(pids):
    described = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                described.append(f"{pid} " + f.read().replace(b"\0", b" ").decode(errors="replace")[:200])
        except OSError:
            described.append(str(pid))
    return described


def _write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.write(text)


def _digest(path, size=None):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read(size)).hexdigest()


def _checksums(root):
    sums = {}
    for folder, folders, files in os.walk(root):
        if folder == root:
            folders[:] = [f for f in folders if f not in BOOKKEEPING]
            files = [f for f in files if f not in BOOKKEEPING]
        for name in files:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                sums[path] = (os.path.getsize(path), _digest(path))
    return sums


def make_plant(ready, core, tmp_path, monkeypatch):
    """The plant fixture's value, for the batch and the command-line tests.

    make(*names, **knobs): saves the models plant/<name>.vokel ("a/s1" is plant/a/s1.vokel) and sets the
    knobs of the workers to come; returns the plant folder. entries() reads the journal of all workers."""
    state, folder, journal_file = tmp_path / "state", tmp_path / "plant", str(tmp_path / "journal.jsonl")
    state.mkdir()
    user = UserFiles(tmp_path)
    mark = uuid.uuid4().hex
    monkeypatch.setenv(TEST_MARK, mark)

    def make(*names, **knobs):
        for name in names:
            build_model(core, str(folder / os.path.dirname(name)), os.path.basename(name))
        user.plant(*{str(folder / os.path.dirname(name)) for name in names})
        monkeypatch.setenv(
            "BRIVANE_STANDIN_KNOBS", json.dumps({"state_folder": str(state), "journal_file": journal_file, **knobs})
        )
        return folder

    def solve(models, **options):
        """solve_many, with the user's files checked after it, however it ended."""
        user.take()
        report = None
        try:
            report = solve_many(models, ready.root, **{"progress": False, **options})
            return report
        finally:
            user.check([report] if report else [], [options.get("report")], [options.get("html")])
            assert_no_batch_process_left(mark)

    def command(capsys, *arguments):
        """The command line in this process (run_main), with the user's files checked after it."""
        user.take()
        capsys.readouterr()  # what building the models printed
        try:
            return run_main(capsys, *arguments)
        finally:
            given = [str(a) for a in arguments]
            user.check(
                (),
                [given[given.index("--report") + 1]] if "--report" in given else [],
                [given[given.index("--html") + 1]] if "--html" in given else [],
            )
            assert_no_batch_process_left(mark)

    def solve_command(capsys, *arguments):
        """brivane solve on the plant's installation and settings with Quelbar: ``arguments`` are the models and
        the other options."""
        return command(capsys, "solve", ready.root, *arguments, "--solver", "Quelbar", *make.settings)

    make.installation = ready.root
    make.settings = ["--settings", ready.settings_path, "--data-sources", ready.data_sources_path]
    make.solve, make.command, make.solve_command, make.user, make.mark = solve, command, solve_command, user, mark
    make.entries = lambda: journal.read_file(journal_file)
    make.journal = journal_file
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


def run_and_stop(plant, command, environment, tmp_path, stop, status):
    """Starts the command, stops it once one model is solved and the other hangs in its solver: with the signal
    that ``stop`` names, or by calling it."""
    plant.user.take()
    with open(tmp_path / "out", "w") as out, open(tmp_path / "err", "w") as err:
        # A session of its own: Ctrl-C and a service manager's SIGTERM go to the whole group, as they do.
        report = Path(command[command.index("--report") + 1])
        batch = subprocess.Popen(command, stdout=out, stderr=err, env=environment, start_new_session=True)
        try:
            # Until "ok" is reported and "hangs" is inside its solver: the batch cannot finish by itself.
            deadline = time.monotonic() + 60
            while not (
                report.exists()
                and '"solved"' in report.read_text()
                and [e["name"] for e in plant.entries()].count("QuelbarSolver.Run") == 2
            ):
                assert time.monotonic() < deadline and batch.poll() is None
                time.sleep(0.05)
            if callable(stop):
                stop()
            elif stop == "SIGKILL":
                batch.kill()
            else:
                os.killpg(batch.pid, getattr(signal, stop))
            assert batch.wait(timeout=60) == status, (tmp_path / "err").read_text()
        finally:
            if batch.poll() is None:
                batch.kill()


@contextlib.contextmanager
def dask_processes(tmp_path, workers=2):
    """A Dask scheduler and ``workers`` workers of one thread on 127.0.0.1, started as the guide starts them,
    each in a session of its own that the test may stop (a worker with its nanny); worker N's temporary folder
    is tmp_path/worker-temp/N. Yields (the scheduler's address, its process, the workers' processes); at the
    end whatever still runs is killed."""
    import distributed

    folder, temps = tmp_path / "dask", tmp_path / "worker-temp"
    folder.mkdir()
    temps.mkdir()
    started = []

    def start(name, command, **environment):
        with open(folder / f"{name}.log", "w") as log:
            started.append(
                subprocess.Popen(
                    [sys.executable, "-m", *command],
                    stdout=log,
                    stderr=log,
                    env={**os.environ, **environment},
                    start_new_session=True,
                )
            )
        return started[-1]

    try:
        file = folder / "scheduler.json"
        scheduler = start(
            "scheduler",
            [
                "distributed.cli.dask_scheduler",
                "--host",
                "127.0.0.1",
                "--port",
                "0",
                "--no-dashboard",
                "--scheduler-file",
                str(file),
            ],
        )
        deadline = time.monotonic() + 60
        while not file.exists() or not file.read_text().endswith("}"):
            assert time.monotonic() < deadline and scheduler.poll() is None
            time.sleep(0.05)
        address = json.loads(file.read_text())["address"]
        for number in range(workers):
            (temps / str(number)).mkdir()
            start(
                f"worker{number}",
                [
                    "distributed.cli.dask_worker",
                    address,
                    "--nthreads",
                    "1",
                    "--host",
                    "127.0.0.1",
                    "--no-dashboard",
                    "--local-directory",
                    str(folder / str(number)),
                ],
                TMPDIR=str(temps / str(number)),
            )
        with distributed.Client(address, timeout=30) as client:
            client.wait_for_workers(workers, timeout=60)
        yield address, scheduler, started[1:]
    finally:
        for process in started:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)  # with the worker process of its nanny
                process.wait()

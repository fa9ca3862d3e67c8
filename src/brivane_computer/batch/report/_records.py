"""The batch report's records: JSON Lines written as the batch goes, read back to resume and to summarise.

Each line is one record, told by its "record" member:

- "batch" opens a run: its options, the models given ("given", in order),
  and the process that runs it ("pid", "host");
- "attempt" when an attempt at a model starts (its "index", "model",
  "attempt" number, "worker" slot or address, "pid", "started");
- "retry" when an attempt ended without a solution and the model will be
  tried again ("run": that attempt's outcome);
- "model" gives one model's outcome, with every attempt's in "runs";
- "worker" a worker whose set-up failed; "setup" when a worker set up (its
  slot or address, process, start and end on the submitting side's clock,
  and "failed", the message of a set-up that failed, else null);
- "end" closes a run: when ("time"), how it "ended" (finished, stopped,
  crashed), what "stopped" it, a crash's "error", its seconds and counts.

A run that has no end record is *running* while its batch's process lives on
this machine, else it *died*: its models with an attempt under way count as
stopped, and the rest of those given as not started. Readers pass over
records they do not know, so older reports read as before. A model record
also holds "index", the model's place in the order the models were given,
since records are written as models finish. A resumed run appends to the same
file; for a model, its last record that is not "skipped" or "not started" is
what it last gave.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import importlib.metadata
import json
import math
import os
import re
import socket
import textwrap
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

from .._files import NotRegularFile, open_regular, process_alive
from .._locks import held, report_lock

SOLVED, FAILED, TIMED_OUT, SKIPPED = "solved", "failed", "timed out", "skipped"
# A model that was being solved when its batch stopped, and one that its batch never started.
STOPPED, NOT_STARTED = "stopped", "not started"
STATUSES = (SOLVED, FAILED, TIMED_OUT, STOPPED, NOT_STARTED, SKIPPED)
# How a run ended: as it should, stopped (a signal, or a rule of the batch), crashed (an exception); and,
# for a run without an end record, still running or died.
FINISHED, CRASHED, RUNNING, DIED = "finished", "crashed", "running", "died"
SANDBOX, IN_PLACE = "sandbox", "in place"
PIPING, STRUCTURE = "piping", "structure"
# What read_report reads of a file: its last run, or every run.
LAST_RUN, ALL_RUNS = "last", "all"


@dataclass(frozen=True)
class ModelResult:
    """One model's outcome in a batch."""

    path: str
    status: str
    # The solver that ran: Revav for a structure model, whichever was asked for. When the solve
    # ended before the model was loaded (it timed out, or its worker died), the one asked for.
    solver: str
    mode: str
    seconds: float
    attempts: int
    # Files that the solve added or changed, relative to results_folder (or, when that is None,
    # to the sandbox that is gone).
    results: tuple[str, ...] = ()
    results_folder: str | None = None
    error_type: str | None = None
    error_message: str | None = None
    # The model file as the batch found it before solving it, which a resumed batch compares.
    size: int = 0
    mtime_ns: int = 0
    # "piping" or "structure" once the solve has loaded the model, else None.
    kind: str | None = None
    # What the manifest of results_folder lists: every file that the batch wrote there for the model.
    manifest: tuple[str, ...] = ()
    # Each attempt: {"worker": slot or address, "pid": process, "started": time, "ended": time, "status",
    # "error_type", "error_message", "seconds"}; times on the submitting side's clock.
    runs: tuple[dict[str, Any], ...] = ()
    # The inputs of the solve as the batch found them before it: {"model" | "fre" | "thf": {"file": name,
    # "sha256": digest} or None}; None when not recorded (an older report).
    digests: dict[str, Any] | None = None

    def record(self) -> dict[str, Any]:
        return {
            "record": "model",
            **dataclasses.asdict(self),
            "results": list(self.results),
            "manifest": list(self.manifest),
            "runs": list(self.runs),
        }

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> ModelResult:
        """The model of a "model" record; raises ``ValueError`` naming the member that is missing or not of its
        kind (a report can come from anyone: nothing in it is taken on trust)."""
        values = {f.name: record[f.name] for f in dataclasses.fields(cls) if f.name in record}
        values["results"] = tuple(values.get("results") or ())
        values["manifest"] = tuple(values.get("manifest") or ())
        values["runs"] = tuple(values.get("runs") or ())
        for name, valid in _MODEL_MEMBERS.items():
            if name not in values:
                if name in _REQUIRED:
                    raise ValueError(f"a model record lacks its {name!r}")
            elif not valid(values[name]):
                raise ValueError(f"a model record's {name!r} is not what it should be: {values[name]!r:.80}")
        return cls(**values)


@dataclass
class Report:
    """What a batch did: every model given and its outcome, in the order the models were given."""

    models: list[ModelResult] = field(default_factory=list)
    # One message for each worker whose set-up failed.
    setup_failures: list[str] = field(default_factory=list)
    seconds: float = 0.0
    # How the run ended: FINISHED, STOPPED, CRASHED, or, read from a file without an end record, RUNNING or
    # DIED.
    ended: str = FINISHED
    path: str | None = None
    # What stopped the batch: a signal's name ("SIGINT" for Ctrl-C, "SIGTERM"...) or a rule of the batch.
    stopped: str | None = None
    # Each worker's set-up: {"worker", "pid", "started", "ended", "failed"}, as the "setup" records hold it.
    setups: list[dict[str, Any]] = field(default_factory=list)
    # A crashed run's exception, "Type: message".
    error: str | None = None
    # How many models the run was given, where that is known: a running run has records of some of them.
    given: int | None = None

    @property
    def interrupted(self) -> bool:
        """Whether the run did not finish as it should: stopped, crashed, died or still running."""
        return self.ended != FINISHED

    def count(self, status: str) -> int:
        return sum(1 for m in self.models if m.status == status)

    @property
    def ok(self) -> bool:
        """Whether the run finished with every model solved, now or in the run that a resumed batch skipped
        it for."""
        return self.ended == FINISHED and all(m.status in (SOLVED, SKIPPED) for m in self.models)

    def counts_line(self) -> str:
        """One line: the models, how many ended how, the time and how the run ended."""
        counts = ", ".join(f"{self.count(s)} {s}" for s in STATUSES if self.count(s)) or "none"
        total = self.given if self.ended == RUNNING and self.given is not None else len(self.models)
        head = f"{total} model{'' if total == 1 else 's'}: {counts}"
        if self.ended == RUNNING:
            return f"{head} so far (running: the batch that writes this report is still going)"
        how = {
            STOPPED: f" (stopped by {self.stopped})" if self.stopped else " (stopped)",
            CRASHED: f" (crashed: {self.error})",
            DIED: " (died: the run has no end record and its process is gone)",
        }.get(self.ended, "")
        return f"{head} in {self.seconds:.1f} s{how}"

    def summary(self, width: int = 80) -> str:
        """The counts, then a table of the models that were not solved, and of those solved only after a
        failed attempt, each line at most ``width`` columns (but for a path longer than that)."""
        lines = [self.counts_line()]
        lines += [f"worker set-up failed: {message}" for message in self.setup_failures]
        problems = [m for m in self.models if m.status in (FAILED, TIMED_OUT, STOPPED)]
        flaky = [m for m in self.models if m.status == SOLVED and earlier_failures(m)]
        for title, models in (("", problems), ("solved after a failed attempt:", flaky)):
            if models:
                lines += ["", title] if title else [""]
                lines += _table(models, width)
        if self.path:
            lines.append(f"report: {self.path}")
        return "\n".join(line.rstrip() for line in lines if line is not None)


def _table(models: list[ModelResult], width: int) -> list[str]:
    """The models' rows, the error wrapped by words so that each line fits ``width`` columns; a model too long
    for the error to fit beside it has its error on the lines below."""
    rows = [("status", "attempts", "seconds", "model", "error")]
    rows += [(m.status, str(m.attempts), f"{m.seconds:.1f}", shown_path(m.path), _error_of(m)) for m in models]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    indent = sum(widths) + 2 * 4
    beside = width - indent
    lines = []
    for row in rows:
        head = (
            "  ".join(cell.rjust(w) if i in (1, 2) else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths)))
            + "  "
        )
        if beside >= 24:
            wrapped = textwrap.wrap(row[4], beside, break_on_hyphens=False) or [""]
            lines.append(head + wrapped[0])
            lines += [" " * indent + more for more in wrapped[1:]]
        else:
            lines.append(head.rstrip())
            lines += textwrap.wrap(
                row[4], width, initial_indent="    ", subsequent_indent="    ", break_on_hyphens=False
            )
    return lines


def _text(value: Any) -> bool:
    return isinstance(value, str)


def _text_or_none(value: Any) -> bool:
    return value is None or isinstance(value, str)


def _whole(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _seconds(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value >= 0


def _names(value: Any) -> bool:
    return isinstance(value, tuple) and all(isinstance(name, str) for name in value)


def valid_run(run: Any) -> bool:
    """Whether an attempt's entry holds members of their kinds (each may be missing, in older reports)."""
    return isinstance(run, dict) and all(check(run[name]) for name, check in _RUN_MEMBERS.items() if name in run)


_RUN_MEMBERS: dict[str, Callable[[Any], bool]] = {
    "worker": lambda value: value is None or _whole(value) or isinstance(value, str),
    "pid": lambda value: value is None or _whole(value),
    "started": _text_or_none,
    "ended": _text_or_none,
    "status": lambda value: value is None or value in STATUSES,
    "error_type": _text_or_none,
    "error_message": _text_or_none,
    "seconds": lambda value: value is None or _seconds(value),
}
_MODEL_MEMBERS: dict[str, Callable[[Any], bool]] = {
    "path": _text,
    "status": lambda value: value in STATUSES,
    "solver": _text,
    "mode": _text,
    "seconds": _seconds,
    "attempts": lambda value: _whole(value) and value >= 0,
    "results": _names,
    "results_folder": _text_or_none,
    "error_type": _text_or_none,
    "error_message": _text_or_none,
    "size": _whole,
    "mtime_ns": _whole,
    "kind": _text_or_none,
    "manifest": _names,
    "runs": lambda value: isinstance(value, tuple) and all(valid_run(run) for run in value),
    "digests": lambda value: value is None or isinstance(value, dict),
}
_REQUIRED = ("path", "status", "solver", "mode", "seconds", "attempts")


def _error_of(model: ModelResult) -> str:
    error = f"{model.error_type}: {model.error_message}" if model.error_type else (model.error_message or "")
    earlier = earlier_failures(model)
    if earlier:
        error = (error + "; " if error else "") + "earlier: " + "; ".join(earlier)
    return error


def earlier_failures(model: ModelResult) -> list[str]:
    """What each attempt before the last gave, when it gave no solution: "attempt 1: failed, WorkerDied:
    ..."."""
    described = []
    for number, run in enumerate(model.runs[:-1], 1):
        status = run.get("status")
        if not isinstance(status, str) or status == SOLVED:
            continue
        error = run.get("error_type")
        message = run.get("error_message")
        cause = f"{error}: {message}" if error else (message or "")
        described.append(f"attempt {number}: {status}" + (f", {cause}" if cause else ""))
    return described


def shown_path(path: str) -> str:
    """The path relative to the current folder when it lies below it, as it can be shown (``printable``)."""
    try:
        relative = os.path.relpath(path)
    except ValueError:  # another drive
        return printable(path)
    return printable(path if relative.startswith(os.pardir) else relative)


_SURROGATES = re.compile("[\ud800-\udfff]")


def printable(text: str) -> str:
    """``text`` as it can be shown: a file name that is not valid UTF-8 (which POSIX allows, and Python keeps
    as surrogates) with a replacement character for each byte that is not. The report keeps the exact name."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    except UnicodeEncodeError:  # a surrogate that no file name gave, as "\ud800" in a report
        return _SURROGATES.sub("\ufffd", text)


class ReportError(ValueError):
    """A report file that cannot be read."""


def read_records(path: str) -> Iterator[dict[str, Any]]:
    """The records of a report file. A line cut short (a batch killed while
    writing it), last in the file or last of its run, is left out; anything
    else unreadable raises ``ReportError``."""
    try:
        with open_regular(path) as f:
            # A byte-order mark (as Notepad saves a file) is not part of the first record.
            text = f.read().decode("utf-8-sig")
    except NotRegularFile:
        raise ReportError(f"{path} is not a batch report: it is not a regular file (a FIFO or a device, say)") from None
    except (OSError, UnicodeDecodeError) as error:
        raise ReportError(f"cannot read the report {path}: {error}") from None
    lines = [(number, line) for number, line in enumerate(text.split("\n"), 1) if line.strip()]
    records = [_parse(line) for _, line in lines]
    if records and (records[0] is None or records[0]["record"] != "batch"):
        raise ReportError(f"{path} is not a batch report: it does not start with a batch record")
    for index, record in enumerate(records):
        if record is not None:
            yield record
            continue
        following = records[index + 1] if index + 1 < len(records) else {"record": "batch"}
        if following is None or following["record"] != "batch":
            raise ReportError(f"{path} is not a batch report: line {lines[index][0]} is not a report record")


def _parse(line: str) -> dict[str, Any] | None:
    try:
        record = json.loads(line)
    except ValueError:
        return None
    return record if isinstance(record, dict) and isinstance(record.get("record"), str) else None


@dataclass
class Run:
    """What one run of a report file holds: its batch record, its model records with their index, the
    attempts started and the retries, its set-up failures and set-ups, its end."""

    header: dict[str, Any] = field(default_factory=dict)
    models: list[tuple[int, ModelResult]] = field(default_factory=list)
    # Index -> the last "attempt" record of the model, and the outcomes of its attempts that were retried.
    attempts: dict[int, dict[str, Any]] = field(default_factory=dict)
    retried: dict[int, list[dict[str, Any]]] = field(default_factory=dict)
    setup_failures: list[str] = field(default_factory=list)
    setups: list[dict[str, Any]] = field(default_factory=list)
    end: dict[str, Any] | None = None
    # The latest moment that a record of the run names.
    last_seen: str | None = None

    def in_given_order(self) -> list[ModelResult]:
        return [model for _, model in sorted(self.models, key=lambda entry: entry[0])]

    def ending(self, path: str) -> str:
        """How the run ended; without an end record, whether its batch still runs, on this machine."""
        if self.end is not None:
            ended = self.end.get("ended")
            if ended in (FINISHED, STOPPED, CRASHED):
                return str(ended)
            return STOPPED if self.end.get("interrupted") else FINISHED
        return RUNNING if batch_alive(self.header, path) else DIED

    def account(self, ending: str) -> list[ModelResult]:
        """Every model of the run in the order given. A run that died has its models with an attempt under
        way as stopped, and the rest of those given as not started."""
        recorded = dict(self.models)
        if ending != DIED:
            return self.in_given_order()
        given = self.header.get("given")
        paths = {index: str(path) for index, path in enumerate(given)} if isinstance(given, list) else {}
        paths.update({index: str(attempt.get("model")) for index, attempt in self.attempts.items()})
        solver, mode = str(self.header.get("solver")), str(self.header.get("mode"))
        for index, path in paths.items():
            if index in recorded:
                continue
            runs = list(self.retried.get(index, ()))
            attempt = self.attempts.get(index)
            if attempt is None:
                recorded[index] = ModelResult(path, NOT_STARTED, solver, mode, 0.0, 0, runs=tuple(runs))
                continue
            # It ran at least until the run's last record.
            ended = max(str(attempt.get("started")), self.last_seen or "")
            seconds = _seconds_between(attempt.get("started"), ended)
            runs.append(
                {
                    "worker": attempt.get("worker"),
                    "pid": attempt.get("pid"),
                    "started": attempt.get("started"),
                    "ended": ended,
                    "status": STOPPED,
                    "error_type": None,
                    "error_message": None,
                    "seconds": seconds,
                }
            )
            recorded[index] = ModelResult(
                path,
                STOPPED,
                solver,
                mode,
                round(seconds + sum(float(r.get("seconds") or 0) for r in runs[:-1]), 3),
                int(attempt.get("attempt") or len(runs)),
                error_message="its batch died while it was being solved",
                runs=tuple(runs),
            )
        return [recorded[index] for index in sorted(recorded)]


def _seconds_between(started: Any, ended: Any) -> float:
    try:
        return max(
            0.0,
            (
                datetime.datetime.fromisoformat(str(ended)) - datetime.datetime.fromisoformat(str(started))
            ).total_seconds(),
        )
    except ValueError:
        return 0.0


def batch_alive(header: dict[str, Any], path: str) -> bool:
    """Whether the batch of a run's "batch" record still runs: it holds the report's lock, or its process lives
    on this machine."""
    if held(report_lock(path)):
        return True
    pid, host = header.get("pid"), header.get("host")
    return isinstance(pid, int) and host == socket.gethostname() and process_alive(pid)


def _times(record: dict[str, Any]) -> list[str]:
    # An end record's "ended" says how the run ended, not when: its "time" says when.
    times = [record.get("time")] if record["record"] == "end" else [record.get(name) for name in ("started", "ended")]
    run = record.get("run")
    if isinstance(run, dict):
        times += [run.get("started"), run.get("ended")]
    for each in record.get("runs") or () if isinstance(record.get("runs"), list) else ():
        if isinstance(each, dict):
            times += [each.get("started"), each.get("ended")]
    return [time for time in times if isinstance(time, str)]


def _valid_record(kind: str, record: dict[str, Any]) -> bool:
    """Whether the members of a record that the readers use are of their kinds."""
    if kind == "setup":
        return (
            valid_run({name: record.get(name) for name in ("worker", "pid", "started", "ended")})
            and record.get("worker") is not None
            and _text_or_none(record.get("failed"))
        )
    if kind == "attempt":
        return (
            _whole(record.get("index"))
            and _text(record.get("model"))
            and _whole(record.get("attempt"))
            and valid_run({name: record.get(name) for name in ("worker", "pid", "started")})
        )
    if kind == "retry":
        return _whole(record.get("index")) and valid_run(record.get("run"))
    if kind == "end":
        return (
            _seconds(record.get("seconds", 0.0))
            and _text_or_none(record.get("stopped"))
            and _text_or_none(record.get("error"))
            and _text_or_none(record.get("time"))
        )
    if kind == "batch":
        given = record.get("given")
        return given is None or isinstance(given, list) and all(isinstance(path, str) for path in given)
    return True


def read_runs(path: str) -> list[Run]:
    """Each run of a report file, in the order written; raises ``ReportError`` for a file that is not a batch
    report."""
    runs: list[Run] = []
    for record in read_records(path):
        kind = record["record"]
        if kind == "batch" or not runs:
            runs.append(Run(header=record if kind == "batch" else {}))
        run = runs[-1]
        seen = _times(record)
        if seen:
            run.last_seen = max([run.last_seen or "", *seen])
        index = record.get("index")
        if not _valid_record(kind, record):
            raise ReportError(
                f"{path} is not a batch report: a {kind!r} record holds a member that is not what it should be"
            )
        if kind == "model":
            try:
                result = ModelResult.from_record(record)
            except (TypeError, ValueError) as error:
                raise ReportError(f"{path} is not a batch report: {error}") from None
            # Reports written before records held their index keep the order written.
            run.models.append((index if isinstance(index, int) else len(run.models), result))
        elif kind == "attempt" and isinstance(index, int):
            run.attempts[index] = record
        elif kind == "retry" and isinstance(index, int) and isinstance(record.get("run"), dict):
            run.retried.setdefault(index, []).append(record["run"])
        elif kind == "worker":
            run.setup_failures.append(str(record.get("message")))
        elif kind == "setup":
            run.setups.append({name: value for name, value in record.items() if name != "record"})
        elif kind == "end":
            run.end = record
    return runs


def read_report(path: str, runs: str = LAST_RUN) -> Report:
    """The report of a file's last run, every model given in the order given.

    With ``runs="all"``: for each model of any run, its last outcome that was
    not a skip or a model not started (a model that only ever was keeps the
    last), in the order the models were first given; ``seconds`` adds up the
    runs. How the run ended (``ended``, ``stopped``, ``error``) and the set-up
    failures are the last run's; a run that has no end record is running
    while its batch's process lives on this machine, else it died. Raises
    ``ReportError`` for a file that is not a batch report.
    """
    if runs not in (LAST_RUN, ALL_RUNS):
        raise ValueError(f"runs must be {LAST_RUN!r} or {ALL_RUNS!r}, not {runs!r}")
    return report_of_runs(read_runs(path), runs, path)


def report_of_runs(found: list[Run], runs: str, path: str) -> Report:
    """``read_report`` of the runs read from ``path``."""
    return report_and_runs(found, runs, path)[0]


def report_and_runs(found: list[Run], runs: str, path: str) -> tuple[Report, list[int]]:
    """``read_report`` of the runs read from ``path``, and for each of its models the number of the run (among
    those chosen) that gave its outcome."""
    if not found:
        raise ReportError(f"{path} is empty: it holds no batch report")
    last = found[-1]
    chosen = found if runs == ALL_RUNS else [last]
    latest: dict[str, tuple[int, ModelResult]] = {}
    for number, run in enumerate(chosen):
        for model in run.account(run.ending(path)):
            key = os.path.normcase(model.path)
            earlier = latest.get(key)
            if (
                model.status not in (SKIPPED, NOT_STARTED)
                or earlier is None
                or earlier[1].status in (SKIPPED, NOT_STARTED)
            ):
                latest[key] = (number, model)
    seconds = sum(float(run.end.get("seconds") or 0.0) for run in chosen if run.end is not None)
    end = last.end or {}
    stopped, error = end.get("stopped"), end.get("error")
    given = last.header.get("given")
    report = Report(
        [model for _, model in latest.values()],
        list(last.setup_failures),
        seconds,
        last.ending(path),
        path,
        stopped if isinstance(stopped, str) else None,
        [s for run in chosen for s in run.setups],
        error if isinstance(error, str) else None,
        len(given) if isinstance(given, list) and runs == LAST_RUN else None,
    )
    return report, [number for number, _ in latest.values()]


def last_outcomes(path: str) -> dict[str, ModelResult]:
    """{normalised model path: its last record that is not "skipped" or "not started"} of a report file."""
    return {
        os.path.normcase(r.path): r
        for r in read_report(path, ALL_RUNS).models
        if r.status not in (SKIPPED, NOT_STARTED)
    }


class ReportWriter:
    """Appends records to the report file, each written whole as it comes: the
    report holds every finished model whenever the batch stops. A run is
    always added after the file's earlier runs, never written over them. A
    record that cannot be written whole (the disk is full) is cut off again,
    so that the file still reads; the first such error is raised (``error``
    keeps it) and nothing more is written."""

    def __init__(self, path: str | None, header: dict[str, Any]) -> None:
        self.path = path
        # The batch record, less its "record" member: the page of a batch without a report file shows it too.
        self.header = header
        self.descriptor: int | None = None
        self.error: OSError | None = None
        if path is not None:
            self.descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o666)
            try:
                size = os.fstat(self.descriptor).st_size
                if size and not _ends_a_line(path):
                    self._append(b"\n")
                self.write({"record": "batch", **header})
            except BaseException:
                self._shut()
                raise

    def write(self, record: dict[str, Any]) -> None:
        if self.descriptor is not None and self.error is None:
            self._append((json.dumps(record) + "\n").encode("utf-8"))

    def _append(self, data: bytes) -> None:
        assert self.descriptor is not None
        start = os.lseek(self.descriptor, 0, os.SEEK_END)
        try:
            written = 0
            while written < len(data):
                written += os.write(self.descriptor, data[written:])
        except OSError as error:
            with contextlib.suppress(OSError):
                os.ftruncate(self.descriptor, start)
            self.error = error if error.filename else OSError(error.errno, error.strerror, self.path)
            raise self.error from None

    def close(self, report: Report) -> None:
        """Writes the end record and closes the file; never raises (``error`` says what went wrong)."""
        with contextlib.suppress(OSError):
            self.write(
                {
                    "record": "end",
                    "time": now(),
                    "ended": report.ended,
                    "interrupted": report.interrupted,
                    "stopped": report.stopped,
                    "error": report.error,
                    "seconds": round(report.seconds, 3),
                    "counts": {status: report.count(status) for status in STATUSES},
                }
            )
        self._shut()

    def _shut(self) -> None:
        if self.descriptor is not None:
            with contextlib.suppress(OSError):
                os.close(self.descriptor)
            self.descriptor = None


def package_version() -> str | None:
    """The version of the installed package, which the batch record keeps and the page shows; None for a
    build that is not installed."""
    try:
        return importlib.metadata.version("brivane_computer")
    except importlib.metadata.PackageNotFoundError:
        return None


def now() -> str:
    """This moment, as the report records times: ISO 8601 with the local time zone."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def _ends_a_line(path: str) -> bool:
    with open(path, "rb") as f:
        f.seek(-1, os.SEEK_END)
        return f.read(1) == b"\n"

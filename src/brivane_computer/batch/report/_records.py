"""The batch report's records: JSON Lines written as the batch goes, read back to resume and to summarise.

Each line is one record, told by its "record" member: "batch" opens a run,
"model" gives one model's outcome, "worker" a worker whose set-up failed, "setup"
when a worker set up (its slot or address, process, start and end on the
submitting side's clock, and "failed", the message of a set-up that failed,
else null), "end" closes a run (its "stopped" names the signal that stopped it,
if one did). Readers pass over records they do not know, so reports written
before set-up was timed read as before. A model record also holds "index", the
model's place in the order the models were given, since records are written as
models finish. A resumed run appends to the same file; for a model, its last
record that is not "skipped" is what it last gave.
"""
from __future__ import annotations

import dataclasses
import json
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO, Any

SOLVED, FAILED, TIMED_OUT, SKIPPED = "solved", "failed", "timed out", "skipped"
STATUSES = (SOLVED, FAILED, TIMED_OUT, SKIPPED)
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
    # Each attempt: {"worker": slot or address, "pid": process, "started": time, "ended": time}.
    runs: tuple[dict[str, Any], ...] = ()

    def record(self) -> dict[str, Any]:
        return {"record": "model", **dataclasses.asdict(self), "results": list(self.results),
                "manifest": list(self.manifest), "runs": list(self.runs)}

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> ModelResult:
        values = {f.name: record[f.name] for f in dataclasses.fields(cls) if f.name in record}
        values["results"] = tuple(values.get("results") or ())
        values["manifest"] = tuple(values.get("manifest") or ())
        values["runs"] = tuple(values.get("runs") or ())
        result = cls(**values)
        if result.status not in STATUSES or not isinstance(result.path, str):
            raise ValueError("not a model record")
        return result


@dataclass
class Report:
    """What a batch did: every model's result, in the order the models were given."""

    models: list[ModelResult] = field(default_factory=list)
    # One message for each worker whose set-up failed.
    setup_failures: list[str] = field(default_factory=list)
    seconds: float = 0.0
    interrupted: bool = False
    path: str | None = None
    # The signal that stopped the batch ("SIGINT" for Ctrl-C, "SIGTERM"...), when one did.
    stopped: str | None = None
    # Each worker's set-up: {"worker", "pid", "started", "ended", "failed"}, as the "setup" records hold it.
    setups: list[dict[str, Any]] = field(default_factory=list)

    def count(self, status: str) -> int:
        return sum(1 for m in self.models if m.status == status)

    @property
    def ok(self) -> bool:
        """Whether every model is solved, now or in the run that a resumed batch skipped it for."""
        return not self.interrupted and all(m.status in (SOLVED, SKIPPED) for m in self.models)

    def summary(self) -> str:
        """The counts, then a table of the models that were not solved."""
        counts = ", ".join(f"{self.count(s)} {s}" for s in STATUSES if self.count(s))
        total = len(self.models)
        lines = [f"{total} model{'' if total == 1 else 's'}: {counts or 'none'} in {self.seconds:.1f} s"
                 + (" (interrupted)" if self.interrupted else "")]
        lines += [f"worker set-up failed: {message}" for message in self.setup_failures]
        problems = [m for m in self.models if m.status in (FAILED, TIMED_OUT)]
        if problems:
            rows = [("status", "attempts", "seconds", "model", "error")]
            rows += [(m.status, str(m.attempts), f"{m.seconds:.1f}", shown_path(m.path),
                      f"{m.error_type}: {m.error_message}" if m.error_type else (m.error_message or ""))
                     for m in problems]
            widths = [max(len(row[i]) for row in rows) for i in range(4)]
            lines.append("")
            for row in rows:
                lines.append("  ".join(cell.rjust(w) if i in (1, 2) else cell.ljust(w)
                                       for i, (cell, w) in enumerate(zip(row, widths))) + "  " + row[4])
        if self.path:
            lines.append(f"report: {self.path}")
        return "\n".join(line.rstrip() for line in lines)


def shown_path(path: str) -> str:
    """The path relative to the current folder when it lies below it."""
    try:
        relative = os.path.relpath(path)
    except ValueError:  # another drive
        return path
    return path if relative.startswith(os.pardir) else relative


class ReportError(ValueError):
    """A report file that cannot be read."""


def read_records(path: str) -> Iterator[dict[str, Any]]:
    """The records of a report file. A line cut short (a batch killed while
    writing it), last in the file or last of its run, is left out; anything
    else unreadable raises ``ReportError``."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = [(number, line) for number, line in enumerate(f.read().split("\n"), 1) if line.strip()]
    except (OSError, UnicodeDecodeError) as error:
        raise ReportError(f"cannot read the report {path}: {error}") from None
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
    """What one run of a report file holds: its model records with their index, its set-up failures and
    set-ups, its end."""

    models: list[tuple[int, ModelResult]] = field(default_factory=list)
    setup_failures: list[str] = field(default_factory=list)
    setups: list[dict[str, Any]] = field(default_factory=list)
    end: dict[str, Any] | None = None

    def in_given_order(self) -> list[ModelResult]:
        return [model for _, model in sorted(self.models, key=lambda entry: entry[0])]


def read_runs(path: str) -> list[Run]:
    """Each run of a report file, in the order written; raises ``ReportError`` for a file that is not a batch
    report."""
    runs: list[Run] = []
    for record in read_records(path):
        kind = record["record"]
        if kind == "batch" or not runs:
            runs.append(Run())
        run = runs[-1]
        if kind == "model":
            try:
                result = ModelResult.from_record(record)
            except (TypeError, ValueError, KeyError):
                raise ReportError(f"{path} is not a batch report: a model record lacks a member") from None
            # Reports written before records held their index keep the order written.
            index = record.get("index")
            run.models.append((index if isinstance(index, int) else len(run.models), result))
        elif kind == "worker":
            run.setup_failures.append(str(record.get("message")))
        elif kind == "setup":
            run.setups.append({name: value for name, value in record.items() if name != "record"})
        elif kind == "end":
            run.end = record
    return runs


def read_report(path: str, runs: str = LAST_RUN) -> Report:
    """The report of a file's last run, in the order its models were given.

    With ``runs="all"``: for each model of any run, its last outcome that was
    not a skip (a model that was only ever skipped keeps its last skip), in the
    order the models were first given; ``seconds`` adds up the runs. The
    set-up failures and ``interrupted`` are the last run's; a run that has no
    end record (killed, or still going) counts as interrupted. Raises
    ``ReportError`` for a file that is not a batch report.
    """
    if runs not in (LAST_RUN, ALL_RUNS):
        raise ValueError(f"runs must be {LAST_RUN!r} or {ALL_RUNS!r}, not {runs!r}")
    return report_of_runs(read_runs(path), runs, path)


def report_of_runs(found: list[Run], runs: str, path: str) -> Report:
    """``read_report`` of the runs read from ``path``."""
    if not found:
        return Report(path=path)
    last = found[-1]
    chosen = found if runs == ALL_RUNS else [last]
    latest: dict[str, ModelResult] = {}
    for run in chosen:
        for model in run.in_given_order():
            key = os.path.normcase(model.path)
            earlier = latest.get(key)
            if model.status != SKIPPED or earlier is None or earlier.status == SKIPPED:
                latest[key] = model
    seconds = sum(float(run.end.get("seconds") or 0.0) for run in chosen if run.end is not None)
    interrupted = last.end is None or bool(last.end.get("interrupted"))
    stopped = last.end.get("stopped") if last.end is not None else None
    return Report(list(latest.values()), list(last.setup_failures), seconds, interrupted, path,
                  stopped if isinstance(stopped, str) else None, [s for run in chosen for s in run.setups])


def last_outcomes(path: str) -> dict[str, ModelResult]:
    """{normalised model path: its last record that is not "skipped"} of a report file."""
    return {os.path.normcase(r.path): r for r in read_report(path, ALL_RUNS).models if r.status != SKIPPED}


def _ends_a_line(path: str) -> bool:
    with open(path, "rb") as f:
        f.seek(-1, os.SEEK_END)
        return f.read(1) == b"\n"


class ReportWriter:
    """Appends records to the report file, each flushed as it is written: the
    report holds every finished model whenever the batch stops. A run is
    always added after the file's earlier runs, never written over them."""

    def __init__(self, path: str | None, header: dict[str, Any]) -> None:
        self.file: IO[str] | None = None
        if path is not None:
            self.file = open(path, "a", encoding="utf-8")
            if self.file.tell() and not _ends_a_line(path):
                self.file.write("\n")
            self.write({"record": "batch", **header})

    def write(self, record: dict[str, Any]) -> None:
        if self.file is not None:
            self.file.write(json.dumps(record) + "\n")
            self.file.flush()

    def close(self, report: Report) -> None:
        if self.file is None:
            return
        self.write({"record": "end", "interrupted": report.interrupted, "stopped": report.stopped,
                    "seconds": round(report.seconds, 3),
                    **{status: report.count(status) for status in STATUSES}})
        self.file.close()
        self.file = None

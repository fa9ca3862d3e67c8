"""The figures of a batch report that an engineer reads the morning after: what failed and why, and where the
time went, for the text of ``brivane report`` and for the page.

Times are the submitting side's, as the report records each attempt and each
set-up. A report written before those were recorded gives what it can: the
figures it cannot give are None, and the text says that they are left out.
"""

from __future__ import annotations

import dataclasses
import datetime
import re
import statistics
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from ._records import (
    ALL_RUNS,
    FAILED,
    LAST_RUN,
    NOT_STARTED,
    SKIPPED,
    STOPPED,
    TIMED_OUT,
    ModelResult,
    Report,
    earlier_failures,
    read_runs,
    report_and_runs,
    shown_path,
)

# The slowest models listed.
SLOWEST = 10
# An attempt is a straggler when it takes this many times the median attempt, and at least a second more.
STRAGGLER_FACTOR = 3.0
# Paths in an error message, masked so that equal causes group together: a drive or UNC path, a path that
# starts at the root, or a relative one with a folder; what ends a sentence after it is not part of it.
_PATHS = re.compile(r"""(?:(?:[A-Za-z]:[\\/]|\\\\)|(?<![\w.:/])/|\b[\w.-]+[\\/])(?:[^\s'"<>|]*[^\s'"<>|:;,.)])?""")
PATH_MASK = "<path>"


def masked(message: str) -> str:
    """The message with each path in it replaced by ``<path>``."""
    return _PATHS.sub(PATH_MASK, message)


@dataclass(frozen=True)
class Span:
    """Something that took a slot's time: a set-up or one attempt at a model, in seconds from the start."""

    slot: str
    start: float
    end: float
    # "set-up", "set-up failed", or the attempt's outcome (in older reports, its model's).
    kind: str
    model: str = ""
    straggler: bool = False
    # Which attempt at the model, from 1; 0 for a set-up.
    attempt: int = 0

    @property
    def seconds(self) -> float:
        return self.end - self.start


@dataclass(frozen=True)
class Slot:
    """A worker slot's time: busy solving, setting up, idle in between and after, over the batch."""

    name: str
    busy: float
    setup: float
    idle: float


@dataclass(frozen=True)
class FailureGroup:
    error_type: str
    message: str
    models: tuple[str, ...]


@dataclass
class Summary:
    report: Report
    # None when the report does not record each attempt's worker and times, or each worker's set-up.
    spans: list[Span] | None
    slots: list[Slot] | None
    setups: list[dict[str, Any]] | None
    failures: list[FailureGroup] = field(default_factory=list)
    slowest: list[ModelResult] = field(default_factory=list)
    # The seconds that the timeline covers (with several runs, laid end to end).
    span_seconds: float = 0.0
    # The batch record of the run shown (of the last, with every run), less its "record" member; when the
    # first run shown started and the last ended (its end record's time, else its last record's), as written.
    batch: dict[str, Any] = field(default_factory=dict)
    started: str | None = None
    ended_at: str | None = None

    @property
    def solve_seconds(self) -> list[float]:
        return [m.seconds for m in self.report.models if m.status not in (SKIPPED, NOT_STARTED)]


def read_summary(path: str, runs: str = LAST_RUN) -> Summary:
    """The summary of a report file's last run, or with ``runs="all"`` of each model's last outcome that was
    not a skip; raises ``ReportError`` for a file that is not a batch report."""
    if runs not in (LAST_RUN, ALL_RUNS):
        raise ValueError(f"runs must be {LAST_RUN!r} or {ALL_RUNS!r}, not {runs!r}")
    found = read_runs(path)
    report, run_of = report_and_runs(found, runs, path)
    chosen = found if runs == ALL_RUNS else found[-1:]
    parts = [
        ([m for m, of in zip(report.models, run_of) if of == number], run.setups) for number, run in enumerate(chosen)
    ]
    summary = summarize(report, parts)
    last = found[-1]
    summary.batch = {name: value for name, value in last.header.items() if name != "record"}
    started, ended = chosen[0].header.get("started"), (last.end or {}).get("time") or last.last_seen
    summary.started = started if isinstance(started, str) else None
    summary.ended_at = ended if isinstance(ended, str) else None
    return summary


def summarize(
    report: Report, parts: Sequence[tuple[Sequence[ModelResult], Sequence[dict[str, Any]]]] | None = None
) -> Summary:
    """The summary of a report; ``parts`` gives the models and set-ups of each run (default: one run, the
    report's)."""
    if parts is None:
        parts = [(report.models, report.setups)]
    attempted = [m for m in report.models if m.status not in (SKIPPED, NOT_STARTED)]
    timed = any(m.runs for m in attempted)
    has_setups = any(setups for _, setups in parts)
    spans: list[Span] | None = [] if timed else None
    offset = 0.0
    for models, setups in parts:
        found = _spans(models, setups if has_setups else (), offset) if timed else []
        if spans is not None and found:
            spans += found
            offset = max(span.end for span in found)
    if spans is not None:
        _mark_stragglers(spans)
    summary = Summary(
        report,
        spans,
        _slots(spans, offset) if spans else None,
        [s for _, setups in parts for s in setups] if has_setups else None,
        span_seconds=offset,
    )
    summary.failures = _failures(report.models)
    summary.slowest = sorted(attempted, key=lambda m: -m.seconds)[:SLOWEST]
    return summary


def _moment(text: Any) -> float | None:
    try:
        return datetime.datetime.fromisoformat(str(text)).timestamp()
    except ValueError:
        return None


def _spans(models: Sequence[ModelResult], setups: Sequence[dict[str, Any]], offset: float) -> list[Span]:
    """The run's set-ups and attempts, from ``offset`` on: its first event starts there."""
    raw: list[tuple[str, float, float, str, str, int]] = []
    for setup in setups:
        started, ended = _moment(setup.get("started")), _moment(setup.get("ended"))
        if started is not None and ended is not None:
            raw.append(
                (str(setup.get("worker")), started, ended, "set-up failed" if setup.get("failed") else "set-up", "", 0)
            )
    for model in models:
        for number, each in enumerate(model.runs, 1):
            started, ended = _moment(each.get("started")), _moment(each.get("ended"))
            # An attempt that a cluster lost with its worker cannot be placed on any worker's row.
            if started is not None and ended is not None and each.get("worker") is not None:
                # Each attempt by its own outcome; a report that did not record it, by the model's.
                status = each.get("status")
                raw.append(
                    (
                        str(each.get("worker")),
                        started,
                        ended,
                        status if isinstance(status, str) else model.status,
                        model.path,
                        number,
                    )
                )
    if not raw:
        return []
    first = min(entry[1] for entry in raw)
    return [
        Span(slot, offset + started - first, offset + max(started, ended) - first, kind, model, attempt=number)
        for slot, started, ended, kind, model, number in raw
    ]


def _mark_stragglers(spans: list[Span]) -> None:
    attempts = [span.seconds for span in spans if not span.kind.startswith("set-up")]
    if len(attempts) < 3:
        return
    limit = max(STRAGGLER_FACTOR * statistics.median(attempts), statistics.median(attempts) + 1.0)
    for index, span in enumerate(spans):
        if not span.kind.startswith("set-up") and span.seconds > limit:
            spans[index] = dataclasses.replace(span, straggler=True)


def slot_order(name: str) -> tuple[int, str]:
    """Slots by number on this machine, cluster workers by address."""
    return (int(name), "") if name.isdigit() else (1 << 30, name)


def _slots(spans: list[Span], total: float) -> list[Slot]:
    slots = []
    for name in sorted({span.slot for span in spans}, key=slot_order):
        mine = [span for span in spans if span.slot == name]
        busy = sum(span.seconds for span in mine if not span.kind.startswith("set-up"))
        setup = sum(span.seconds for span in mine if span.kind.startswith("set-up"))
        slots.append(Slot(name, busy, setup, max(0.0, total - busy - setup)))
    return slots


def _failures(models: Sequence[ModelResult]) -> list[FailureGroup]:
    """The failed and timed-out models grouped by error type and masked message, the largest group first."""
    groups: dict[tuple[str, str], list[str]] = {}
    for model in models:
        if model.status in (FAILED, TIMED_OUT):
            key = (model.error_type or model.status, masked(model.error_message or ""))
            groups.setdefault(key, []).append(model.path)
    return [
        FailureGroup(kind, message, tuple(paths))
        for (kind, message), paths in sorted(groups.items(), key=lambda item: -len(item[1]))
    ]


def counts_line(report: Report) -> str:
    return report.counts_line()


def summary_text(summary: Summary, runs: str = LAST_RUN) -> str:
    """What ``brivane report`` prints."""
    report = summary.report
    which = "every run (each model's last outcome)" if runs == ALL_RUNS else "last run"
    lines = [f"{report.path}, {which}", counts_line(report)]
    lines += [f"worker set-up failed: {message}" for message in report.setup_failures]
    if summary.failures:
        lines += ["", "failures by cause:"]
        for group in summary.failures:
            lines.append(f"  {len(group.models)} x {group.error_type}: {group.message}".rstrip(": "))
            lines += [f"      {shown_path(path)}" for path in group.models]
    stopped = [m for m in report.models if m.status == STOPPED]
    if stopped:
        lines += ["", "stopped while being solved:"]
        lines += [f"  {m.seconds:8.1f} s  {shown_path(m.path)}" for m in stopped]
    retried = [m for m in report.models if earlier_failures(m)]
    if retried:
        lines += ["", "models with an earlier attempt that gave no solution:"]
        for model in retried:
            lines.append(f"  {model.status:11}  {shown_path(model.path)}")
            lines += [f"      {attempt}" for attempt in earlier_failures(model)]
    if summary.slowest:
        lines += ["", "slowest models:"]
        lines += [
            f"  {m.seconds:8.1f} s  {m.status:11}  {m.attempts} attempt{'' if m.attempts == 1 else 's'}  "
            f"{shown_path(m.path)}"
            for m in summary.slowest
        ]
    lines += ["", f"total time: {report.seconds:.1f} s; solving: {sum(summary.solve_seconds):.1f} s"]
    if summary.slots is None:
        lines.append("worker slots: left out, this report does not record each attempt's worker and times")
    else:
        lines.append(f"worker slots (over {summary.span_seconds:.1f} s):")
        lines += [
            f"  {_slot_name(slot.name):24} busy {slot.busy:8.1f} s  set-up {slot.setup:6.1f} s  idle {slot.idle:8.1f} s"
            for slot in summary.slots
        ]
    if summary.setups is None:
        lines.append("set-up times: left out, this report does not record when its workers set up")
    else:
        lines.append("set-up of each worker:")
        for setup in summary.setups:
            seconds = (_moment(setup.get("ended")) or 0.0) - (_moment(setup.get("started")) or 0.0)
            failed = f", failed: {setup['failed']}" if setup.get("failed") else ""
            lines.append(
                f"  {_slot_name(str(setup.get('worker'))):24} process {setup.get('pid')}: {seconds:.1f} s{failed}"
            )
    return "\n".join(line.rstrip() for line in lines)


def _slot_name(name: str) -> str:
    return f"slot {name}" if name.isdigit() else name

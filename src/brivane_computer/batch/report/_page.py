"""The batch's page: one self-contained HTML file with when, where and how the batch ran, the summary, the
failures by cause, a comparison with an earlier night, a timeline of the worker slots, a histogram of solve
times and the models' table.

The charts are static SVG: the timeline drawn here (each bar a link to its
model's row, named by its SVG title), the histogram by pygal, the extra
``report``. The table's rows are written into the page, which sorts and
filters them with a few lines of its own script. Nothing loads from elsewhere:
the page opens on a workstation without internet. A page of ours is told by
its generator line, and the batch writes over no other file. A report can come
from anyone: every text from it is escaped.
"""

from __future__ import annotations

import datetime
import html
import json
import math
import ntpath
import os
import posixpath
import statistics
import tempfile
import warnings
from collections.abc import Sequence
from typing import Any
from urllib.parse import quote

from .._errors import BatchInputError, BatchInputNotFound
from .._files import is_regular_or_absent, open_regular, write_whole
from .._outputs import SOLVE_LOG, OutputError
from ._compare import SLOWER_SECONDS, Comparison, model_key, outcome, windows_path
from ._records import (
    CRASHED,
    DIED,
    FAILED,
    NOT_STARTED,
    RUNNING,
    SKIPPED,
    SOLVED,
    STATUSES,
    STOPPED,
    TIMED_OUT,
    ModelResult,
    Report,
    now,
    package_version,
    printable,
)
from ._summary import Summary, counts_line, slot_order, summarize

# The line that tells a page of ours, within its first bytes.
GENERATOR = '<meta name="generator" content="brivane report page">'
EXTRA_MISSING = "the page needs the extra report: pip install brivane_computer[report]"


def is_our_page(path: str) -> bool:
    try:
        with open_regular(path) as f:
            head = f.read(4096)
    except OSError:
        return False
    return GENERATOR.encode() in head


def check_page_file(value: Any, probe: bool = True) -> str:
    """The page's absolute path, once the extra that draws it imports and the path is one the batch may write:
    a new file in a folder that exists, or a page of ours; raises ``BatchInputError`` (``OutputError`` for a
    file that is not ours) otherwise."""
    path = os.fspath(value) if isinstance(value, (str, os.PathLike)) else None
    if not isinstance(path, str) or not path:
        raise BatchInputError(f"the page must be a path given as text or a path object, not {value!r}")
    if "\0" in path:
        raise BatchInputError(f"the page {path!r} holds a NUL character, which no file name can")
    path = os.path.abspath(path)
    try:
        import pygal  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise BatchInputError(EXTRA_MISSING) from None
    if os.path.isdir(path):
        raise OutputError(f"the page {path} is a folder: name a file")
    if not is_regular_or_absent(path):
        raise OutputError(f"the page {path} is not a regular file (a FIFO or a device, say): name a file")
    if os.path.lexists(path) and not is_our_page(path):
        raise OutputError(
            f"{path} is not a page of brivane report and the batch never writes over another file: "
            "name a new file, or move this one away"
        )
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        raise BatchInputNotFound(f"the page {path} cannot be made: its folder {folder} does not exist")
    if not probe:
        return path
    # Found now, not when the batch has ended: a file made and removed where the page goes.
    try:
        handle, made = tempfile.mkstemp(prefix=".brivane-probe-", dir=folder)
    except OSError as error:
        raise OutputError(f"the page {path} cannot be written in {folder} ({error.strerror or error})") from None
    os.close(handle)
    os.remove(made)
    return path


def write_page(summary: Summary, path: str, comparison: Comparison | None = None) -> None:
    """Writes the page at ``path``, whole or not at all, with ``comparison`` when one is given; raises
    ``OutputError`` when a file that is not a page of ours has taken its place since the batch checked it."""
    # Names that are not valid UTF-8 (the report keeps them exact) shown with replacement characters.
    text = printable(render(summary, os.path.dirname(path), comparison))
    if os.path.lexists(path) and not is_our_page(path):
        raise OutputError(f"{path} is no longer a page of brivane report: it is left as it is")
    write_whole(path, text)


def page_after_batch(report: Report, path: str, batch: dict[str, Any] | None = None) -> None:
    """The page of a batch that has just ended, however it ended, with its ``batch`` record; one that cannot
    be written is a warning, not the batch's failure."""
    summary = summarize(report)
    summary.batch = dict(batch or {})
    started = summary.batch.get("started")
    summary.started, summary.ended_at = started if isinstance(started, str) else None, now()
    try:
        write_page(summary, path)
    except (OSError, OutputError) as error:
        warnings.warn(f"the page {path} was not written: {error}", RuntimeWarning, stacklevel=2)


def render(summary: Summary, folder: str | None = None, comparison: Comparison | None = None) -> str:
    """The page's text; links to results folders are relative to ``folder``, the page's, where they can be."""
    report = summary.report
    day = _moment(summary.started)
    title = "Batch report" + (f": {os.path.basename(report.path)}" if report.path else "")
    title += f", {day:%Y-%m-%d}" if day else ""
    stopped = ""
    if report.interrupted:
        how = {
            STOPPED: f"was stopped by {report.stopped}" if report.stopped else "was stopped",
            CRASHED: f"crashed ({report.error})",
            RUNNING: "was still running when its report was read",
            DIED: "died: its report has no end record, and its process is gone",
        }.get(report.ended, "did not end")
        stopped = (
            f'<p class="ended" id="stopped">This batch {html.escape(how)}: each model shows how far it '
            "got (stopped while being solved, or not started).</p>"
        )
    rows = {model_key(model.path): f"model-{index}" for index, model in enumerate(report.models)}
    return _PAGE.format(
        generator=GENERATOR,
        title=html.escape(title),
        style=_STYLE,
        script=_SCRIPT,
        stopped=stopped,
        run=_run(summary),
        counts=_counts(summary),
        line=html.escape(counts_line(report)),
        failures=_failures(summary),
        against=_against(comparison, rows),
        slots=_slots(summary),
        timeline=_timeline(summary, rows),
        histogram=_histogram(summary),
        options="".join(f'<option value="{html.escape(s)}">{html.escape(s)}</option>' for s in STATUSES),
        rows="\n".join(_row(index, model, folder) for index, model in enumerate(report.models)),
        total=len(report.models),
    )


def _moment(text: Any) -> datetime.datetime | None:
    """A time of the report in this machine's time zone; None when it is not one."""
    try:
        moment = datetime.datetime.fromisoformat(str(text))
    except ValueError:
        return None
    return moment.astimezone() if moment.tzinfo else moment


def _when(text: Any) -> str:
    """A time of the report as local time with its zone, or as written when it does not read as one."""
    moment = _moment(text)
    if moment is None:
        return "not recorded" if text is None else str(text)
    offset = moment.utcoffset()
    if offset is None:
        return f"{moment:%Y-%m-%d %H:%M:%S} (no time zone recorded)"
    minutes = int(offset.total_seconds()) // 60
    zone = f"UTC{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02}:{abs(minutes) % 60:02}"
    name = moment.tzname()
    return f"{moment:%Y-%m-%d %H:%M:%S} " + (f"{name} ({zone})" if name and name != zone else zone)


# The batch record's members that the run's facts show; every other one is an option, shown as recorded.
_FACTS = ("started", "host", "pid", "batch", "solver", "installation", "models", "given", "version")


def _run(summary: Summary) -> str:
    """When, where and how the batch ran: the facts, then every option that its batch record holds."""
    batch, report = summary.batch, summary.report
    given = batch.get("given")
    paths = [p for p in given if isinstance(p, str)] if isinstance(given, list) else [m.path for m in report.models]
    host = _value(batch.get("host"))
    if _whole(batch.get("pid")):
        host += f" (process {batch['pid']})"
    facts = [
        ("started", _when(summary.started)),
        ("ended", _when(summary.ended_at)),
        ("host", host),
        ("solver", _value(batch.get("solver"))),
        ("installation", _value(batch.get("installation"))),
        ("models root", _models_root(paths)),
        ("report", os.path.abspath(report.path) if report.path else "none"),
        ("batch", _value(batch.get("batch"))),
        (
            "package",
            (
                f"brivane_computer {_value(batch['version'])}"
                if batch.get("version")
                else "a version that did not record itself"
            )
            + " ran the batch; "
            + (package_version() or "a build that is not installed")
            + " drew this page",
        ),
    ]
    options = [(str(name), _value(value)) for name, value in batch.items() if name not in _FACTS]
    return (
        '<div id="facts"><section><h2>The run</h2><dl id="run">'
        + "".join(f"<dt>{html.escape(name)}</dt><dd>{html.escape(value)}</dd>" for name, value in facts)
        + '</dl></section><section><h2>Options</h2><dl id="options">'
        + "".join(f"<dt><code>{html.escape(name)}</code></dt><dd>{html.escape(value)}</dd>" for name, value in options)
        + "</dl></section></div>"
    )


def _whole(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _value(value: Any) -> str:
    """A member of the batch record as text; paths in full. A report can come from anyone: a member that is
    not a plain value is shown as its JSON text, cut short."""
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (str, int, float)):
        return str(value)
    text = json.dumps(value)
    return text if len(text) <= 200 else text[:199] + "\u2026"


def _flavour(path: str) -> Any:
    return ntpath if windows_path(path) else posixpath


def _models_root(paths: Sequence[str]) -> str:
    """The folder that every model given lies below."""
    if not paths:
        return "none: no model was given"
    flavour = _flavour(paths[0])
    try:
        return str(flavour.commonpath([flavour.dirname(path) for path in paths]))
    except ValueError:  # drives, or absolute and relative paths, mixed
        return "none: the models lie on several drives"


def _counts(summary: Summary) -> str:
    report = summary.report
    return (
        "".join(f'<li class="{_css(s)}"><b id="count-{_css(s)}">{report.count(s)}</b> {s}</li>' for s in STATUSES)
        + f'<li><b id="count-total">{len(report.models)}</b> in all</li>'
    )


def _css(status: str) -> str:
    return status.replace(" ", "-")


def _failures(summary: Summary) -> str:
    if not summary.failures:
        return "<p>No model failed or timed out.</p>"
    items = []
    for group in summary.failures:
        models = "".join(f"<li>{html.escape(printable(p))}</li>" for p in group.models)
        items.append(
            f"<details><summary><b>{len(group.models)}</b> &times; {html.escape(group.error_type)}: "
            f"{html.escape(group.message)}</summary><ul>{models}</ul></details>"
        )
    return "".join(items)


def _against(comparison: Comparison | None, rows: dict[str, str]) -> str:
    """The section that compares the night shown with an earlier one."""
    if comparison is None:
        return ""

    def item(model: ModelResult, what: str = "") -> str:
        # A gone model has no row on this page.
        row = rows.get(model_key(model.path))
        name = html.escape(printable(model.path))
        shown = f'<a href="#{row}">{name}</a>' if row else name
        return f"<li>{shown}" + (f": {html.escape(what)}" if what else "") + "</li>"

    sections = [
        ("failing now, solved before", [item(now, outcome(now)) for now, _ in comparison.failing_now]),
        ("solved now, failing before", [item(now, f"before, {outcome(then)}") for now, then in comparison.solved_now]),
        ("still failing", [item(now, outcome(now)) for now, _ in comparison.still_failing]),
        (
            f"slower by more than half and more than {SLOWER_SECONDS:.0f} s",
            [item(now, f"{then.seconds:.1f} s before, {now.seconds:.1f} s now") for now, then in comparison.slower],
        ),
    ]
    sections.append(("new", [item(model) for model in comparison.new]))
    sections.append(("gone", [item(model) for model in comparison.gone]))
    body = "".join(
        f"<h3>{html.escape(title)}: {len(items)}</h3>" + (f"<ul>{''.join(items)}</ul>" if items else "")
        for title, items in sections
    )
    return (
        f'<section id="against"><h2>Against {html.escape(printable(os.path.abspath(comparison.against)))}</h2>'
        f"{body}</section>"
    )


def _slots(summary: Summary) -> str:
    rows = []
    if summary.slots is None:
        rows.append("<p>Worker slots left out: this report does not record each attempt's worker and times.</p>")
    else:
        rows.append(
            '<div class="scroll"><table id="slots"><caption>Each slot\'s time over the batch</caption>'
            "<thead><tr><th>slot</th><th>busy, s</th><th>set-up, s</th><th>idle, s</th></tr></thead><tbody>"
        )
        rows += [
            f"<tr><td>{html.escape(_label(s.name))}</td><td>{s.busy:.1f}</td><td>{s.setup:.1f}</td>"
            f"<td>{s.idle:.1f}</td></tr>"
            for s in summary.slots
        ]
        rows.append("</tbody></table></div>")
    if summary.setups is None:
        rows.append("<p>Set-up times left out: this report does not record when its workers set up.</p>")
    return "".join(rows)


# The timeline's colours: the Okabe-Ito palette, which readers with any common colour-vision deficiency tell
# apart; what went wrong also has a pattern of its own. Each kind: (fill, pattern drawn over it or "").
_WIDTH, _ROW, _BAR, _MIN_BAR = 1100, 24, 16, 3.0
_KINDS = {
    "set-up": ("#999999", ""),
    "set-up failed": ("#000000", '<rect width="2.5" height="6" fill="#999999"/>'),
    SOLVED: ("#009e73", ""),
    "straggler": ("#0072b2", ""),
    FAILED: ("#d55e00", '<rect width="2.5" height="6" fill="#ffffff"/>'),
    TIMED_OUT: ("#e69f00", '<circle cx="3" cy="3" r="1.4" fill="#000000"/>'),
    STOPPED: ("#cc79a7", '<rect y="2" width="6" height="2" fill="#000000"/>'),
}
_LEGEND = {
    "set-up": "set-up",
    "set-up failed": "set-up failed",
    SOLVED: "solved",
    FAILED: "failed (hatched)",
    TIMED_OUT: "timed out (dotted)",
    STOPPED: "stopped (striped)",
    "straggler": "straggler, solved",
}


def _fill(kind: str) -> str:
    colour, pattern = _KINDS[kind]
    return f"url(#tl-{_css(kind)})" if pattern else colour


def _patterns() -> str:
    return "".join(
        f'<pattern id="tl-{_css(kind)}" width="6" height="6" patternUnits="userSpaceOnUse"'
        + (' patternTransform="rotate(45)"' if "rect width" in pattern else "")
        + f'><rect width="6" height="6" fill="{colour}"/>{pattern}</pattern>'
        for kind, (colour, pattern) in _KINDS.items()
        if pattern
    )


def _step(total: float) -> float:
    """A round step between the axis's ticks: about ten of them."""
    rough = max(total, 1e-3) / 10
    power = 10.0 ** math.floor(math.log10(rough))
    return next(power * factor for factor in (1, 2, 5, 10) if power * factor >= rough)


def _timeline(summary: Summary, rows: dict[str, str]) -> str:
    """The worker slots' timeline, drawn here: each attempt a bar that names its model and attempt and links to
    its row, never thinner than ``_MIN_BAR`` (a worker that crashed at once shows)."""
    if not summary.spans:
        return "<p>No timeline: this report does not record each attempt's worker and times.</p>"
    names = sorted({span.slot for span in summary.spans}, key=slot_order)
    labels = [_label(name) for name in names]
    left = min(260, max(60, 7 * max(len(label) for label in labels) + 12))
    right = _WIDTH - 16
    total = max(summary.span_seconds, max(span.end for span in summary.spans), 1e-3)
    scale = (right - left) / total
    top = {name: 6 + _ROW * number for number, name in enumerate(names)}
    parts = [
        f'<text x="{left - 8}" y="{top[name] + _BAR / 2 + 4}" text-anchor="end">{html.escape(label)}</text>'
        for name, label in zip(names, labels)
    ]
    drawn: dict[str, int] = {}
    for span in summary.spans:
        kind = "straggler" if span.straggler and span.kind == SOLVED else span.kind
        kind = kind if kind in _KINDS else STOPPED
        drawn[kind] = drawn.get(kind, 0) + 1
        x, width = left + span.start * scale, max(_MIN_BAR, span.seconds * scale)
        bar = (
            f'<rect x="{min(x, right - width):.1f}" y="{top[span.slot]}" width="{width:.1f}" height="{_BAR}" '
            f'fill="{_fill(kind)}"/>'
        )
        if kind.startswith("set-up"):
            parts.append(f"<g><title>{html.escape(_label(span.slot))}: {kind}, {span.seconds:.1f} s</title>{bar}</g>")
            continue
        what = (
            f"{printable(span.model)}: attempt {span.attempt}, {span.kind}, {span.seconds:.1f} s, "
            f"{_label(span.slot)}" + (", a straggler" if span.straggler else "")
        )
        row = rows.get(model_key(span.model))
        link = f' href="#{row}"' if row else ""
        parts.append(f'<a class="bar"{link} tabindex="-1"><title>{html.escape(what)}</title>{bar}</a>')
    axis = 6 + _ROW * len(names) + 2
    step = _step(total)
    ticks = [step * number for number in range(int(total / step) + 1)]
    parts.append(f'<line x1="{left}" x2="{right}" y1="{axis}" y2="{axis}" stroke="#212121"/>')
    parts += [
        f'<line x1="{left + t * scale:.1f}" x2="{left + t * scale:.1f}" y1="{axis}" y2="{axis + 5}" '
        f'stroke="#212121"/><text x="{left + t * scale:.1f}" y="{axis + 19}" text-anchor="middle">{t:g}</text>'
        for t in ticks
    ]
    parts.append(
        f'<text x="{(left + right) / 2}" y="{axis + 42}" text-anchor="middle">seconds from the batch\'s start</text>'
    )
    x, y = left, axis + 64
    for kind in (k for k in _KINDS if k in drawn):
        width = 30 + 7 * len(_LEGEND[kind])
        if x + width > right:
            x, y = left, y + 24
        parts.append(
            f'<rect x="{x}" y="{y - 13}" width="18" height="16" fill="{_fill(kind)}"/>'
            f'<text x="{x + 24}" y="{y}">{html.escape(_LEGEND[kind])}</text>'
        )
        x += width + 16
    height = y + 12
    attempts = sum(count for kind, count in drawn.items() if not kind.startswith("set-up"))
    described = ", ".join(f"{count} {_LEGEND[kind].split(' (')[0]}" for kind, count in drawn.items())
    return (
        f'<svg viewBox="0 0 {_WIDTH} {height}" width="{_WIDTH}" height="{height}" role="img" '
        f'aria-labelledby="timeline-title timeline-text">'
        f'<title id="timeline-title">Timeline of the worker slots</title>'
        f'<desc id="timeline-text">{len(names)} worker slot{"" if len(names) == 1 else "s"} over '
        f"{total:.1f} s, {attempts} attempt{'' if attempts == 1 else 's'} ({described}); the table below gives "
        "each slot's busy, set-up and idle time, and the models' table each attempt.</desc>"
        f"<defs>{_patterns()}</defs>{''.join(parts)}</svg>"
    )


def _label(name: str) -> str:
    return f"slot {name}" if name.isdigit() else name


def _style(colours: Sequence[str]) -> Any:
    from pygal.style import Style  # type: ignore[import-untyped]

    # Text as dark as the page's own: pygal's lighter greys fall short of 4.5:1 on white.
    return Style(
        background="white",
        plot_background="white",
        colors=tuple(colours),
        font_family="sans-serif",
        foreground="#212121",
        foreground_strong="#000000",
        foreground_subtle="#595959",
    )


def _histogram(summary: Summary) -> str:
    seconds = summary.solve_seconds
    if not seconds:
        return "<p>No model was solved in this run.</p>"
    import pygal

    bins = max(10, min(60, len(seconds) // 4))
    top = max(seconds) or 1.0
    width = top / bins
    counts = [0] * bins
    for value in seconds:
        counts[min(bins - 1, int(value / width))] += 1
    chart = pygal.Histogram(
        js=[],
        width=1100,
        height=260,
        style=_style(["#0072b2"]),
        show_legend=False,
        x_title="seconds per model, every attempt",
        y_title="models",
        margin_bottom=4,
    )
    chart.add("models", [(count, index * width, (index + 1) * width) for index, count in enumerate(counts)])
    busiest = max(range(bins), key=lambda index: counts[index])
    described = (
        f"Histogram of the seconds of {len(seconds)} model{'' if len(seconds) == 1 else 's'}: from "
        f"{min(seconds):.1f} s to {top:.1f} s, median {statistics.median(seconds):.1f} s; the most, "
        f"{counts[busiest]}, took {busiest * width:.1f} to {(busiest + 1) * width:.1f} s."
    )
    return (
        f'<div role="img" aria-label="{html.escape(described)}">'
        + str(chart.render(is_unicode=True, disable_xml_declaration=True))
        + "</div>"
    )


# Status by severity, as the table sorts it.
_SEVERITY = {status: rank for rank, status in enumerate((FAILED, TIMED_OUT, STOPPED, NOT_STARTED, SOLVED, SKIPPED))}


def _attempt(run: dict[str, Any]) -> str:
    """One attempt's own outcome: status, seconds, worker, error."""
    status = run.get("status") or "outcome not recorded"
    seconds = run.get("seconds")
    text = str(status) + (f", {seconds:.1f} s" if seconds is not None else "")
    if run.get("worker") is not None:
        text += f", {_label(str(run['worker']))}"
    error = (
        f"{run['error_type']}: {run.get('error_message') or ''}" if run.get("error_type") else run.get("error_message")
    )
    return text + (f": {error}" if error else "")


def _row(index: int, model: ModelResult, folder: str | None) -> str:
    error = f"{model.error_type}: {model.error_message}" if model.error_type else (model.error_message or "")
    workers = ", ".join(dict.fromkeys(_label(str(run.get("worker"))) for run in model.runs))
    attempts = str(model.attempts)
    if len(model.runs) > 1:
        attempts += (
            '<ol class="attempts">' + "".join(f"<li>{html.escape(_attempt(run))}</li>" for run in model.runs) + "</ol>"
        )
    return (
        f'<tr id="model-{index}" class="{_css(model.status)}" data-status="{html.escape(model.status)}">'
        f"<td>{html.escape(printable(model.path))}</td>"
        f'<td data-v="{_SEVERITY[model.status]}">{html.escape(model.status)}</td>'
        f'<td data-v="{model.seconds}">{model.seconds:.1f}</td><td data-v="{model.attempts}">{attempts}</td>'
        f"<td>{html.escape(workers)}</td><td>{_results(model, folder)}</td><td>{html.escape(error)}</td></tr>"
    )


def _results(model: ModelResult, folder: str | None) -> str:
    """Links to a model's results folder and, for a model that failed or timed out, to what its solve printed."""
    if not model.results_folder:
        return ""
    links = [f'<a href="{html.escape(_href(model.results_folder, folder))}/">folder</a>']
    if model.status in (FAILED, TIMED_OUT) and SOLVE_LOG in model.manifest:
        log = _flavour(model.results_folder).join(model.results_folder, SOLVE_LOG)
        links.append(f'<a href="{html.escape(_href(log, folder))}">solve log</a>')
    return " ".join(links)


def _href(path: str, folder: str | None) -> str:
    """A link to ``path`` from the page in ``folder``: relative where there is a way (not across Windows drives,
    nor to a path of another system), else a file URI."""
    flavour = _flavour(path)
    if folder is not None and flavour is os.path and os.path.isabs(path):
        try:
            return quote(os.path.relpath(path, folder).replace(os.sep, "/"), safe="/", errors="surrogateescape")
        except ValueError:  # another drive
            pass
    if flavour is ntpath:
        forward = path.replace("\\", "/")
        # A UNC path's server is the URI's host; a drive's path follows an empty one.
        return ("file:" if forward.startswith("//") else "file:///") + quote(
            forward, safe="/:", errors="surrogateescape"
        )
    return "file://" + quote(path, safe="/", errors="surrogateescape")


# The models' box is laid out only when it comes into view: thousands of rows would hold up the top of the page.
_STYLE = """
body{font-family:sans-serif;margin:1.5em;color:#212121;background:#ffffff}h1{font-size:1.4em}
h2{font-size:1.15em;margin-top:1.6em}h3{font-size:1em;margin:.8em 0 .2em}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.15em 1em;margin:.5em 0}dt{font-weight:bold}dd{margin:0}
#facts{display:flex;flex-wrap:wrap;gap:0 3em}#facts section{flex:1 1 24em;min-width:0}#facts h2{margin-top:.6em}
dd,li,summary{overflow-wrap:anywhere}td{overflow-wrap:break-word}td a{white-space:nowrap}
p.ended{background:#fff3e0;border-left:6px solid #e69f00;padding:.6em}
ul.counts{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:.3em 1.5em}ul.counts b{font-size:1.5em}
.solved b,tr.solved td:nth-child(2){color:#007a5a}.failed b,tr.failed td:nth-child(2){color:#b84f00}
.timed-out b,tr.timed-out td:nth-child(2){color:#8a5c00}.stopped b,tr.stopped td:nth-child(2){color:#a1487a}
.not-started b,tr.not-started td:nth-child(2),.skipped b,tr.skipped td:nth-child(2){color:#595959}
ol.attempts{margin:0;padding-left:1.4em;font-size:.85em;text-align:left;min-width:14em;max-width:30em}
table{border-collapse:collapse}caption{text-align:left;font-weight:bold;padding:.3em 0}
th,td{padding:.2em .6em;text-align:left;border-bottom:1px solid #e0e0e0;vertical-align:top}
.scroll{max-width:100%;overflow:auto}
#models-box{max-height:85vh;content-visibility:auto;contain-intrinsic-size:auto 85vh}
#models th{background:#f5f5f5;position:sticky;top:0;padding:0}
#models th button{font:inherit;font-weight:bold;color:inherit;background:none;border:0;padding:.3em .6em;
width:100%;text-align:left;cursor:pointer}
#models th button:focus-visible{outline:3px solid #0072b2;outline-offset:-3px}
#models th[aria-sort=ascending] button::after{content:" \\25B2"}
#models th[aria-sort=descending] button::after{content:" \\25BC"}
#models td:nth-child(3),#models td:nth-child(4){text-align:right}#models td:nth-child(2){white-space:nowrap}
#models td:first-child{min-width:16em;overflow-wrap:anywhere}#models td:nth-child(7){min-width:16em}
#models tr:target td{background:#e8f1fa}#models tr{scroll-margin-top:3em}
details{margin:.3em 0}#timeline svg,#histogram svg{width:100%;min-width:640px;height:auto}
#timeline svg text{font-family:sans-serif;font-size:13px;fill:#212121}#timeline a.bar{cursor:pointer}
@media print{
.controls{display:none}details::details-content{content-visibility:visible;display:block}
.scroll,#models-box{overflow:visible;max-height:none;content-visibility:visible}#models th{position:static}
#models th[aria-sort] button::after{content:""}
}
"""
_SCRIPT = """
(function () {
  var table = document.getElementById("models"), body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var status = document.getElementById("status"), words = document.getElementById("words");
  var shown = document.getElementById("shown");
  var headings = Array.prototype.slice.call(table.tHead.rows[0].cells);
  function filter() {
    var wanted = status.value, text = words.value.toLowerCase(), count = 0;
    rows.forEach(function (row) {
      var keep = (!wanted || row.dataset.status === wanted) &&
                 (!text || row.textContent.toLowerCase().indexOf(text) >= 0);
      row.hidden = !keep;
      if (keep) count++;
    });
    shown.textContent = count;
  }
  function value(row, column) {
    var cell = row.cells[column];
    return cell.dataset.v !== undefined ? parseFloat(cell.dataset.v) : cell.textContent;
  }
  headings.forEach(function (heading, column) {
    heading.querySelector("button").addEventListener("click", function () {
      var down = heading.getAttribute("aria-sort") === "ascending";
      headings.forEach(function (h) { h.removeAttribute("aria-sort"); });
      heading.setAttribute("aria-sort", down ? "descending" : "ascending");
      rows.sort(function (a, b) {
        var x = value(a, column), y = value(b, column);
        var order = typeof x === "number" ? x - y : String(x).localeCompare(String(y), undefined, {numeric: true});
        return down ? -order : order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
  // A bar of the timeline leads to its model's row: a filter that hides the row gives way.
  function reveal() {
    var row = location.hash && document.getElementById(location.hash.slice(1));
    if (row && row.hidden) {
      status.value = ""; words.value = ""; filter(); row.scrollIntoView();
    }
  }
  var closed = [];
  window.addEventListener("beforeprint", function () {
    closed = Array.prototype.filter.call(document.querySelectorAll("details"), function (d) { return !d.open; });
    closed.forEach(function (d) { d.open = true; });
  });
  window.addEventListener("afterprint", function () { closed.forEach(function (d) { d.open = false; }); });
  window.addEventListener("hashchange", reveal);
  status.addEventListener("change", filter);
  words.addEventListener("input", filter);
  filter();
})();
"""
_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
{generator}
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>{style}</style>
</head>
<body>
<h1>{title}</h1>
{stopped}
{run}
<h2>Outcomes</h2>
<p id="summary">{line}</p>
<ul class="counts">{counts}</ul>
<h2>Failures by cause</h2>
{failures}
{against}
<h2>Worker slots</h2>
<p>Which slot solved which model when, on the clock of the machine that ran the batch; the gaps are idle time,
stragglers take over three times the median attempt (and a second more). Each bar names its model and attempt
when pointed at, and leads to the model's row.</p>
<div id="timeline" class="scroll">{timeline}</div>
{slots}
<h2>Solve times</h2>
<div id="histogram" class="scroll">{histogram}</div>
<h2 id="models-heading">Models</h2>
<p class="controls"><label>Status <select id="status"><option value="">any</option>{options}</select></label>
<label>Containing <input id="words" type="search" placeholder="model or error"></label>
<span id="shown"></span> of {total} shown; the headings' buttons sort.</p>
<div id="models-box" class="scroll" role="region" aria-labelledby="models-heading" tabindex="0">
<table id="models">
<thead><tr><th><button type="button">model</button></th><th><button type="button">status</button></th>
<th><button type="button">seconds</button></th><th><button type="button">attempts</button></th>
<th><button type="button">worker</button></th><th><button type="button">results</button></th>
<th><button type="button">error</button></th></tr></thead>
<tbody>
{rows}
</tbody>
</table>
</div>
<script>{script}</script>
</body>
</html>
"""

"""The batch's page: one self-contained HTML file with the summary, the models' table, a timeline of the worker
slots and a histogram of solve times.

The charts are static SVG drawn by pygal, the extra ``report``; the table's
rows are written into the page, which sorts and filters them with a few lines
of its own script. Nothing loads from elsewhere: the page opens on a
workstation without internet. A page of ours is told by its generator line,
and the batch writes over no other file.
"""
from __future__ import annotations

import html
import os
import tempfile
import warnings
from collections.abc import Sequence
from typing import Any

from .._errors import BatchInputError, BatchInputNotFound
from .._files import is_regular_or_absent, open_regular
from .._outputs import OutputError
from ._records import (CRASHED, DIED, FAILED, RUNNING, SOLVED, STATUSES, STOPPED, TIMED_OUT, Report,
                       earlier_failures, printable, shown_path)
from ._summary import Summary, counts_line, slot_order, summarize

# The line that tells a page of ours, within its first bytes.
GENERATOR = '<meta name="generator" content="brivane report page">'
EXTRA_MISSING = "the page needs the extra report: pip install brivane_computer[report]"
_COLOURS = {"set-up": "#9e9e9e", "set-up failed": "#424242", SOLVED: "#2e7d32", FAILED: "#c62828",
            TIMED_OUT: "#ef6c00", STOPPED: "#5d4037", "straggler": "#6a1b9a"}


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
        raise OutputError(f"{path} is not a page of brivane report and the batch never writes over another file: "
                          "name a new file, or move this one away")
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        raise BatchInputNotFound(f"the page {path} cannot be made: its folder {folder} does not exist")
    if not probe:
        return path
    # Found now, not when the batch has ended: a file made and removed where the page goes.
    try:
        handle, probe = tempfile.mkstemp(prefix=".brivane-probe-", dir=folder)
    except OSError as error:
        raise OutputError(f"the page {path} cannot be written in {folder} ({error.strerror or error})") from None
    os.close(handle)
    os.remove(probe)
    return path


def write_page(summary: Summary, path: str) -> None:
    """Writes the page at ``path``, whole or not at all; raises ``OutputError`` when a file that is not a page
    of ours has taken its place since the batch checked it."""
    # Names that are not valid UTF-8 (the report keeps them exact) shown with replacement characters.
    text = printable(render(summary))
    if os.path.lexists(path) and not is_our_page(path):
        raise OutputError(f"{path} is no longer a page of brivane report: it is left as it is")
    handle, temporary = tempfile.mkstemp(prefix=".brivane-page-", suffix=".html", dir=os.path.dirname(path))
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        # A file as the user's others are: mkstemp makes it readable by its owner alone.
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except BaseException:
        os.remove(temporary)
        raise


def page_after_batch(report: Report, path: str) -> None:
    """The page of a batch that has just ended, however it ended; one that cannot be written is a warning,
    not the batch's failure."""
    try:
        write_page(summarize(report), path)
    except (OSError, OutputError) as error:
        warnings.warn(f"the page {path} was not written: {error}", RuntimeWarning, stacklevel=2)


def render(summary: Summary) -> str:
    report = summary.report
    title = f"Batch report: {os.path.basename(report.path)}" if report.path else "Batch report"
    stopped = ""
    if report.interrupted:
        how = {STOPPED: f"was stopped by {report.stopped}" if report.stopped else "was stopped",
               CRASHED: f"crashed ({report.error})",
               RUNNING: "was still running when its report was read",
               DIED: "died: its report has no end record, and its process is gone"}.get(report.ended, "did not end")
        stopped = (f'<p class="ended" id="stopped">This batch {html.escape(how)}: each model shows how far it '
                   "got (stopped while being solved, or not started).</p>")
    return _PAGE.format(
        generator=GENERATOR, title=html.escape(title), style=_STYLE, script=_SCRIPT, stopped=stopped,
        counts=_counts(summary), line=html.escape(counts_line(report)), failures=_failures(summary),
        slots=_slots(summary), timeline=_timeline(summary), histogram=_histogram(summary),
        options="".join(f'<option value="{html.escape(s)}">{html.escape(s)}</option>' for s in STATUSES),
        rows="\n".join(_row(m) for m in report.models), total=len(report.models))


def _counts(summary: Summary) -> str:
    report = summary.report
    return "".join(f'<li class="{_css(s)}"><b id="count-{_css(s)}">{report.count(s)}</b> {s}</li>'
                   for s in STATUSES) + f'<li><b id="count-total">{len(report.models)}</b> in all</li>'


def _css(status: str) -> str:
    return status.replace(" ", "-")


def _failures(summary: Summary) -> str:
    if not summary.failures:
        return "<p>No model failed or timed out.</p>"
    items = []
    for group in summary.failures:
        models = "".join(f"<li>{html.escape(shown_path(p))}</li>" for p in group.models)
        items.append(f"<details><summary><b>{len(group.models)}</b> &times; {html.escape(group.error_type)}: "
                     f"{html.escape(group.message)}</summary><ul>{models}</ul></details>")
    return "".join(items)


def _slots(summary: Summary) -> str:
    rows = []
    if summary.slots is None:
        rows.append("<p>Worker slots left out: this report does not record each attempt's worker and times.</p>")
    else:
        rows.append("<table><thead><tr><th>slot</th><th>busy, s</th><th>set-up, s</th><th>idle, s</th></tr>"
                    "</thead><tbody>")
        rows += [f"<tr><td>{html.escape(s.name)}</td><td>{s.busy:.1f}</td><td>{s.setup:.1f}</td>"
                 f"<td>{s.idle:.1f}</td></tr>" for s in summary.slots]
        rows.append("</tbody></table>")
    if summary.setups is None:
        rows.append("<p>Set-up times left out: this report does not record when its workers set up.</p>")
    return "".join(rows)


def _style(colours: Sequence[str]) -> Any:
    from pygal.style import Style  # type: ignore[import-untyped]
    return Style(background="white", plot_background="white", colors=tuple(colours), font_family="sans-serif")


def _timeline(summary: Summary) -> str:
    if not summary.spans:
        return "<p>No timeline: this report does not record each attempt's worker and times.</p>"
    import pygal
    names = sorted({span.slot for span in summary.spans}, key=slot_order)
    row = {name: len(names) - index for index, name in enumerate(names)}
    series: dict[str, list[Any]] = {}
    for span in summary.spans:
        # A time-out is told by its status; a straggler is a solve or failure that took long.
        kind = "straggler" if span.straggler and span.kind != TIMED_OUT else span.kind
        series.setdefault(kind, []).extend([(span.start, row[span.slot]), (span.end, row[span.slot]), None])
    kinds = [kind for kind in _COLOURS if kind in series]
    chart = pygal.XY(js=[], show_dots=False, allow_interruptions=True, width=1100, height=130 + 26 * len(names),
                     style=_style([_COLOURS[kind] for kind in kinds]), range=(0.5, len(names) + 0.5),
                     y_labels=[{"label": _label(name), "value": row[name]} for name in names],
                     show_y_guides=False, x_title="seconds from the batch's start", legend_at_bottom=True,
                     legend_at_bottom_columns=len(kinds), truncate_label=-1)
    for kind in kinds:
        chart.add(kind, series[kind])
    # Each slot's row as thick as the rows allow: a rule of the page's own, over the chart's for its lines.
    width = max(2, min(18, 400 // len(names)))
    return (f"<style>#timeline .series path.line{{stroke-width:{width}px;stroke-linecap:butt}}</style>"
            + str(chart.render(is_unicode=True, disable_xml_declaration=True)))


def _label(name: str) -> str:
    return f"slot {name}" if name.isdigit() else name


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
    chart = pygal.Histogram(js=[], width=1100, height=260, style=_style(["#1565c0"]), show_legend=False,
                            x_title="seconds per model, every attempt", y_title="models", margin_bottom=4)
    chart.add("models", [(count, index * width, (index + 1) * width) for index, count in enumerate(counts)])
    return str(chart.render(is_unicode=True, disable_xml_declaration=True))


def _row(model: Any) -> str:
    error = f"{model.error_type}: {model.error_message}" if model.error_type else (model.error_message or "")
    workers = ", ".join(dict.fromkeys(_label(str(run.get("worker"))) for run in model.runs))
    earlier = "".join(f"<li>{html.escape(attempt)}</li>" for attempt in earlier_failures(model))
    attempts = f'{model.attempts}<ul class="attempts">{earlier}</ul>' if earlier else str(model.attempts)
    return (f'<tr class="{_css(model.status)}" data-status="{html.escape(model.status)}">'
            f"<td>{html.escape(shown_path(model.path))}</td><td>{html.escape(model.status)}</td>"
            f'<td data-v="{model.seconds}">{model.seconds:.1f}</td><td data-v="{model.attempts}">{attempts}</td>'
            f"<td>{html.escape(workers)}</td><td>{html.escape(error)}</td></tr>")


_STYLE = """
body{font-family:sans-serif;margin:1.5em;color:#212121}h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
p.ended{background:#fff3e0;border-left:6px solid #ef6c00;padding:.6em}
ul.counts{list-style:none;padding:0;display:flex;gap:1.5em}ul.counts b{font-size:1.5em}
.solved b{color:#2e7d32}.failed b{color:#c62828}.timed-out b{color:#ef6c00}.skipped b{color:#616161}
.stopped b{color:#5d4037}.not-started b{color:#616161}ul.attempts{margin:0;padding-left:1.2em;font-size:.85em}
table{border-collapse:collapse}th,td{padding:.2em .6em;text-align:left;border-bottom:1px solid #e0e0e0}
#models th{cursor:pointer;background:#f5f5f5;position:sticky;top:0}#models th[aria-sort=ascending]::after{content:" \\25B2"}
#models th[aria-sort=descending]::after{content:" \\25BC"}tr.failed td:nth-child(2){color:#c62828}
tr.timed-out td:nth-child(2){color:#ef6c00}td:nth-child(3),td:nth-child(4){text-align:right}
details{margin:.3em 0}svg{max-width:100%;height:auto}
"""
_SCRIPT = """
(function () {
  var table = document.getElementById("models"), body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var status = document.getElementById("status"), words = document.getElementById("words");
  var shown = document.getElementById("shown");
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
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (heading, column) {
    heading.addEventListener("click", function () {
      var down = heading.getAttribute("aria-sort") === "ascending";
      Array.prototype.forEach.call(table.tHead.rows[0].cells, function (h) { h.removeAttribute("aria-sort"); });
      heading.setAttribute("aria-sort", down ? "descending" : "ascending");
      rows.sort(function (a, b) {
        var x = value(a, column), y = value(b, column);
        var order = typeof x === "number" ? x - y : String(x).localeCompare(String(y), undefined, {numeric: true});
        return down ? -order : order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
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
<p id="summary">{line}</p>
<ul class="counts">{counts}</ul>
<h2>Failures by cause</h2>
{failures}
<h2>Worker slots</h2>
<p>Which slot solved which model when, on the clock of the machine that ran the batch; the gaps are idle time,
stragglers take over three times the median attempt (and a second more).</p>
<div id="timeline">{timeline}</div>
{slots}
<h2>Solve times</h2>
<div id="histogram">{histogram}</div>
<h2>Models</h2>
<p><label>Status <select id="status"><option value="">any</option>{options}</select></label>
<label>Containing <input id="words" type="search" placeholder="model or error"></label>
<span id="shown"></span> of {total} shown; click a heading to sort.</p>
<table id="models">
<thead><tr><th>model</th><th>status</th><th>seconds</th><th>attempts</th><th>worker</th><th>error</th></tr></thead>
<tbody>
{rows}
</tbody>
</table>
<script>{script}</script>
</body>
</html>
"""

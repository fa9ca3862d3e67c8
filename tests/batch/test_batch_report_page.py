"""What a batch did, read the morning after: brivane report's text, the page of brivane report --html,
brivane solve --html and solve_many(html=), the page's output rules, the page as Chromium shows it (on a
screen, a narrow one, on paper, and from the keyboard), and two nights compared."""

import contextlib
import datetime
import io
import json
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from brivane_cli import main
from brivane_computer.batch import BatchInputError, read_report
from brivane_computer.batch.report import package_version

from .support_batch import assert_no_batch_process_left, run_and_stop, run_main
from .support_page import Browser, browser_environment, chromium

OURS = '<meta name="generator" content="brivane report page">'


def model_record(index, path, status, seconds, error=None, runs=()):
    error_type, message = error or (None, None)
    return {
        "record": "model",
        "index": index,
        "path": path,
        "status": status,
        "solver": "Quelbar",
        "mode": "sandbox",
        "seconds": seconds,
        "attempts": max(1, len(runs)),
        "error_type": error_type,
        "error_message": message,
        "runs": list(runs),
    }


def attempt(slot, start, end):
    return {
        "worker": slot,
        "pid": 100 + slot,
        "started": f"2031-03-04T02:00:{start:06.3f}+00:00",
        "ended": f"2031-03-04T02:00:{end:06.3f}+00:00",
    }


def write_report(path, *records):
    path.write_text("".join(json.dumps(r) + "\n" for r in records))
    return path


@pytest.mark.parametrize("timed", [True, False])
def test_the_report_groups_failures_by_masked_cause_and_tells_where_the_time_went(capsys, tmp_path, timed):
    # Two causes that differ only by path group together, wherever the paths are; a report written before
    # attempts and set-ups were timed still reads, and says what it leaves out.
    setups = [{"record": "setup", **attempt(slot, 0, 2 * slot), "failed": None} for slot in (1, 2)] if timed else []
    runs = (lambda *a: [attempt(*a)]) if timed else (lambda *a: [])
    report = write_report(
        tmp_path / "night.jsonl",
        {"record": "batch", "solver": "Quelbar", "jobs": 2},
        *setups,
        model_record(
            0, r"C:\plant\a\s1.vokel", "failed", 1.0, ("IOException", r"cannot open C:\plant\a\s1.fre"), runs(1, 2, 3)
        ),
        model_record(
            1, "/srv/plant/b/s2.vokel", "failed", 2.0, ("IOException", "cannot open /srv/plant/b/s2.fre"), runs(2, 4, 6)
        ),
        model_record(
            2, "/srv/plant/c/s3.vokel", "timed out", 30.0, (None, "the solve took longer than 30 s"), runs(1, 3, 33)
        ),
        model_record(3, "/srv/plant/c/s4.vokel", "solved", 0.5, runs=runs(2, 6, 6.5)),
        {"record": "end", "interrupted": False, "seconds": 34.0},
    )
    status, out, err = run_main(capsys, "report", report)
    assert (status, err) == (1, "")
    assert "4 models: 1 solved, 2 failed, 1 timed out in 34.0 s" in out
    assert re.search(r"2 x IOException: cannot open <path>\n +.*s1\.vokel\n +/srv/plant/b/s2\.vokel\n", out)
    assert "1 x timed out: the solve took longer than 30 s" in out
    slowest = out.split("slowest models:\n")[1].splitlines()
    assert [line.split()[-1] for line in slowest[:4]] == [
        "/srv/plant/c/s3.vokel",
        "/srv/plant/b/s2.vokel",
        r"C:\plant\a\s1.vokel",
        "/srv/plant/c/s4.vokel",
    ]
    if timed:
        # Over the 33 s from the first set-up's start: slot 1 set up 2 s and solved 31 s; slot 2, 4 s and 2.5 s.
        assert re.search(r"slot 1 +busy +31\.0 s +set-up +2\.0 s +idle +0\.0 s", out)
        assert re.search(r"slot 2 +busy +2\.5 s +set-up +4\.0 s +idle +26\.5 s", out)
        assert re.search(r"slot 2 +process 102: 4\.0 s", out)
    else:
        assert "worker slots: left out, this report does not record each attempt's worker and times" in out
        assert "set-up times: left out, this report does not record when its workers set up" in out
    page = tmp_path / "night.html"
    assert run_main(capsys, "report", report, "--html", page)[0] == 1
    text = page.read_text()
    assert OURS in text and 'id="count-failed">2<' in text
    assert ('<div id="timeline" class="scroll"><svg' in text) == timed
    assert re.search(r'<div id="histogram" class="scroll"><div role="img" aria-label="Histogram of [^"]+"><svg', text)
    # Nothing loads from elsewhere (the timeline's patterns are the page's own, url(#...)).
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//|@import|url\((?!#)""", text)


@pytest.mark.parametrize("where", ["not ours", "folder", "missing folder", "extra missing"])
def test_a_page_path_the_batch_may_not_write_stops_it_before_any_worker(plant, capsys, tmp_path, monkeypatch, where):
    folder = plant("s1")
    page = {
        "not ours": tmp_path / "notes.html",
        "folder": tmp_path,
        "missing folder": tmp_path / "gone" / "page.html",
        "extra missing": tmp_path / "page.html",
    }[where]
    (tmp_path / "notes.html").write_text("<p>the plant's notes</p>\n")
    if where == "extra missing":
        monkeypatch.setitem(sys.modules, "pygal", None)
    report = tmp_path / "report.jsonl"
    status, out, err = plant.command(
        capsys, "solve", plant.installation, folder, "--solver", "Quelbar", "--report", report, "--html", page
    )
    assert (status, out, len(err.splitlines())) == (2, "", 1), err
    assert {
        "not ours": "is not a page of brivane report",
        "folder": "is a folder",
        "missing folder": "does not exist",
        "extra missing": "needs the extra report: pip install brivane_computer[report]",
    }[where] in err
    # Checked first: no worker ran, no report was begun.
    assert not os.path.exists(plant.journal) and not report.exists()
    assert (tmp_path / "notes.html").read_text() == "<p>the plant's notes</p>\n"
    with pytest.raises(BatchInputError):
        plant.solve([folder], solver="Quelbar", html=page)
    if where == "extra missing":
        # Printing needs no extra; the page says which one it needs.
        write_report(
            report,
            {"record": "batch"},
            model_record(0, "/p/s1.vokel", "solved", 1.0),
            {"record": "end", "ended": "finished", "seconds": 1.0},
        )
        status, out, err = run_main(capsys, "report", report)
        assert (status, err) == (0, "") and "1 model: 1 solved" in out
        status, out, err = run_main(capsys, "report", report, "--html", page)
        assert status == 2 and "pip install brivane_computer[report]" in err and not page.exists()


def test_a_batch_writes_its_page_over_its_own_and_times_each_set_up(plant, capsys, tmp_path):
    folder = plant("a/s1", "a/s2", "b/s3", "c/crash", crash_on=["crash"])
    (folder / "d").mkdir()
    (folder / "d" / "bad.vokel").write_text("not a model")
    page, report = tmp_path / "page.html", str(tmp_path / "report.jsonl")
    page.write_text(f"<!DOCTYPE html>\n{OURS}\nan earlier page\n")
    solved = plant.solve([folder], solver="Quelbar", jobs=2, report=report, html=page)
    by_name = plant.by_name(solved)
    assert (by_name["c/crash"].error_type, by_name["d/bad"].error_type) == ("WorkerDied", "NoSolution")
    # Each worker's set-up (a replacement of the crashed one's too, when one started), on this machine's clock,
    # by its process: every process in the stand-in's journal.
    setups = read_report(report).setups
    assert sorted(s["pid"] for s in setups) == sorted({entry["pid"] for entry in plant.entries()})
    assert all(s["started"] < s["ended"] and s["failed"] is None for s in setups)
    text = page.read_text()
    assert "an earlier page" not in text and 'id="count-solved">3<' in text and 'id="count-failed">2<' in text
    status, out, _ = run_main(capsys, "report", report)
    assert status == 1 and "5 models: 3 solved, 2 failed" in out
    assert re.search(r"slot 1 +busy .*\n +slot 2 +busy", out)
    assert len(re.findall(r"^ +slot \d +process \d+: ", out, re.M)) == len(setups)

    dom = dump_dom(page, tmp_path)
    # The counts, a failed model's row, and the table's script run: it shows how many rows are shown.
    assert re.search(r'id="count-failed">2<', dom) and re.search(r'id="shown">5<', dom)
    failed = [r for r in re.findall(r'<tr id="model-\d+" class="failed"[^>]*>.*?</tr>', dom) if "bad.vokel" in r]
    assert len(failed) == 1 and '<td data-v="0">failed</td>' in failed[0] and "NoSolution: Invalid vokel" in failed[0]
    # When, where and how: the run's facts from the batch record, the models' root and the version.
    started = read_report_header(report)["started"]
    assert f"<title>Batch report: report.jsonl, {started[:10]}</title>" in text
    for fact, value in (
        ("started", local(started)),
        ("host", socket.gethostname()),
        ("solver", "Quelbar"),
        ("installation", plant.installation),
        ("models root", folder),
        ("report", report),
        # The installed package's version; a build that is not installed records none.
        (
            "package",
            f"brivane_computer {package_version()} ran the batch"
            if package_version()
            else "a version that did not record itself ran the batch",
        ),
    ):
        assert f"<dt>{fact}</dt><dd>{value}" in text, fact
    assert "<dt><code>jobs</code></dt><dd>2</dd>" in text and f"<dt><code>html</code></dt><dd>{page}</dd>" in text


def dump_dom(page, tmp_path):
    """The page's document once Chromium, headless, has loaded it and run its script."""
    profile = tmp_path / "chromium-profile"
    result = subprocess.run(
        [*chromium(), f"--user-data-dir={profile}", "--dump-dom", Path(page).as_uri()],
        capture_output=True,
        text=True,
        timeout=120,
        env={**browser_environment(), "HOME": str(profile)},
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def test_a_batch_stopped_by_sigterm_still_writes_its_page(plant, tmp_path, temp_root):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report, page = tmp_path / "report.jsonl", tmp_path / "page.html"
    environment = {**os.environ, "TMPDIR": str(temp_root)}
    command = [
        sys.executable,
        "-m",
        "brivane_cli",
        "solve",
        plant.installation,
        str(folder),
        "--solver",
        "Quelbar",
        "--jobs",
        "2",
        "--report",
        str(report),
        "--html",
        str(page),
        *plant.settings,
    ]
    run_and_stop(plant, command, environment, tmp_path, "SIGTERM", 143)
    assert_no_batch_process_left(plant.mark)
    text = page.read_text()
    assert 'id="stopped">This batch was stopped by SIGTERM' in text and 'id="count-solved">1<' in text


def read_report_header(report):
    with open(report) as f:
        return json.loads(f.readline())


def local(moment):
    """A time of a report as the page shows it: in this machine's time zone."""
    return f"{datetime.datetime.fromisoformat(moment).astimezone():%Y-%m-%d %H:%M:%S}"


def at(seconds):
    return f"2031-03-04T02:{int(seconds // 60):02}:{seconds % 60:06.3f}+01:00"


def run(slot, start, end, status, error=(None, None)):
    return {
        "worker": slot,
        "pid": 100 + slot,
        "started": at(start),
        "ended": at(end),
        "status": status,
        "error_type": error[0],
        "error_message": error[1],
        "seconds": round(end - start, 3),
    }


SOLVE_LOG = "brivane-solve.log"
# A night that a SIGTERM stopped: every status, a worker that crashed at once, stragglers, a results folder
# below the page's, one on a Windows drive and one on a Windows server, each failure's solve log.
NIGHT = [  # (model below /srv/plant, status, its attempts, its results folder, relative ones from the page's)
    ("a/s1", "solved", [run(1, 2, 7, "solved")], None),
    (
        "a/s2",
        "failed",
        [
            run(2, 4, 4.001, "failed", ("WorkerDied", "the worker died")),
            run(2, 5, 8, "failed", ("IOException", "cannot open /srv/plant/a/s2.fre")),
        ],
        "here/a/s2",
    ),
    ("b/s3", "timed out", [run(1, 7, 37, "timed out", (None, "the solve took longer than 30 s"))], r"D:\results\b\s3"),
    ("b/s4", "stopped", [run(2, 8, 40, "stopped")], r"\\srv\results\b\s4"),
    ("c/s5", "not started", [], None),
    ("c/s6", "skipped", [], "here/c/s6"),
    ("c/s7", "solved", [run(1, 37.5, 38.5, "solved")], "../elsewhere/c/s7"),
]


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    """The page of NIGHT, written by brivane report --html beside its report."""
    folder = tmp_path_factory.mktemp("night")
    records = [
        {
            "record": "batch",
            "started": at(0),
            "installation": r"C:\Program Files\Brivane\Pelorix 2031.1",
            "module": "Pelorix",
            "solver": "Quelbar",
            "mode": "sandbox",
            "jobs": 2,
            "timeout": 30.0,
            "retries": 1,
            "results": str(folder / "here"),
            "models": len(NIGHT),
            "resume": False,
            "batch": "b1",
            "pid": 4242,
            "host": "night-box",
            "version": "0.0.9",
            "given": [f"/srv/plant/{name}.vokel" for name, *_ in NIGHT],
        }
    ]
    records += [
        {"record": "setup", "worker": slot, "pid": 100 + slot, "started": at(0), "ended": at(2 * slot), "failed": None}
        for slot in (1, 2)
    ]
    for index, (name, status, runs, results) in enumerate(NIGHT):
        record = model_record(
            index,
            f"/srv/plant/{name}.vokel",
            status,
            sum(r["seconds"] for r in runs),
            (runs[-1]["error_type"], runs[-1]["error_message"]) if runs else None,
            runs,
        )
        where = os.path.normpath(folder / results) if results and results.startswith(("here/", "../")) else results
        records.append(
            {**record, "attempts": len(runs), "results_folder": where, "manifest": [SOLVE_LOG] if where else []}
        )
    records.append({"record": "end", "time": at(40), "ended": "stopped", "stopped": "SIGTERM", "seconds": 40.0})
    report, page = write_report(folder / "night.jsonl", *records), folder / "night.html"
    with contextlib.redirect_stdout(io.StringIO()):
        assert main(["report", str(report), "--html", str(page)]) == 1
    return page


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    chromium()  # skips, or fails, before a profile is made
    browser = Browser(tmp_path_factory.mktemp("chromium-profile"))
    yield browser
    browser.close()


def test_the_page_says_when_where_and_how_and_links_each_models_results(night):
    text = night.read_text()
    assert f"<title>Batch report: night.jsonl, {local(at(0))[:10]}</title>" in text
    for fact, value in (
        ("started", local(at(0))),
        ("ended", local(at(40))),
        ("host", "night-box (process 4242)"),
        ("installation", r"C:\Program Files\Brivane\Pelorix 2031.1"),
        ("models root", "/srv/plant"),
        ("report", night.with_suffix(".jsonl")),
        ("package", "brivane_computer 0.0.9 ran the batch"),
    ):
        assert f"<dt>{fact}</dt><dd>{value}" in text, fact
    assert all(f"<dt><code>{option}</code></dt>" in text for option in ("jobs", "timeout", "retries", "resume"))
    links = {
        name: re.findall(r'href="([^"]+)"', row)
        for name, row in re.findall(r'<tr id="model-\d+"[^>]*><td>/srv/plant/(\w/s\d).*?(<td>.*?)</tr>', text)
    }
    # Relative where it can be; a file URI across Windows drives and servers; the log of a failure only.
    assert links == {
        "a/s1": [],
        "a/s2": ["here/a/s2/", f"here/a/s2/{SOLVE_LOG}"],
        "b/s3": ["file:///D:/results/b/s3/", f"file:///D:/results/b/s3/{SOLVE_LOG}"],
        "b/s4": ["file://srv/results/b/s4/"],
        "c/s5": [],
        "c/s6": ["here/c/s6/"],
        "c/s7": ["../elsewhere/c/s7/"],
    }
    # Each attempt's own outcome.
    assert re.search(
        r"<li>failed, 0\.0 s, slot 2: WorkerDied: the worker died</li><li>failed, 3\.0 s, slot 2: "
        r"IOException: cannot open /srv/plant/a/s2\.fre</li>",
        text,
    )


def test_every_bar_names_its_model_and_attempt_and_leads_to_its_row(browser, night):
    tab = browser.open(night)
    bars = tab.evaluate("""Array.from(document.querySelectorAll("#timeline a.bar"), function (bar) {
        var box = bar.querySelector("rect").getBoundingClientRect();
        return [bar.querySelector("title").textContent, bar.getAttribute("href"), box.width]; })""")
    paths = dict(
        tab.evaluate('Array.from(document.querySelectorAll("#models tbody tr"), r => [r.id, r.cells[0].textContent])')
    )
    attempts = [
        f"/srv/plant/{name}.vokel: attempt {number}, {run['status']}, "
        for name, _, runs, _ in NIGHT
        for number, run in enumerate(runs, 1)
    ]
    assert sorted(
        title[: len(attempt)] for title, _, _ in bars for attempt in attempts if title.startswith(attempt)
    ) == sorted(attempts) and len(bars) == len(attempts)
    # Each leads to its model's row, and the worker that crashed at once shows.
    assert all(paths[href[1:]] == title.split(": attempt ")[0] for title, href, _ in bars)
    assert min(width for _, _, width in bars) >= 2
    # A click on that bar, while the status filter hides the row, goes to the row, shown.
    tab.evaluate('var s = document.getElementById("status"); s.value = "solved"; s.dispatchEvent(new Event("change"))')
    x, y = tab.evaluate("""(function () { var bar = document.querySelector('#timeline a.bar[href="#model-1"] rect');
        bar.scrollIntoView({block: "center"}); var box = bar.getBoundingClientRect();
        return [box.left + box.width / 2, box.top + box.height / 2]; })()""")
    tab.click(x, y)
    shown = '[location.hash, document.getElementById("model-1").hidden]'
    assert tab.settled(shown, ["#model-1", False]) == ["#model-1", False]
    tab.close()


def test_the_table_sorts_by_severity_from_the_keyboard(browser, night):
    tab = browser.open(night)
    tab.evaluate('document.getElementById("words").focus()')
    for _ in range(3):  # the table's box, then its sort buttons
        tab.press("Tab")
        if tab.evaluate("document.activeElement.textContent") == "status":
            break
    assert tab.evaluate("document.activeElement.tagName + ' ' + document.activeElement.textContent") == "BUTTON status"
    order = 'Array.from(document.querySelectorAll("#models tbody tr"), r => r.cells[1].textContent)'
    tab.press("Enter")
    severity = ["failed", "timed out", "stopped", "not started", "solved", "solved", "skipped"]
    assert tab.settled(order, severity) == severity
    tab.press("Enter")
    assert tab.settled(order, severity[::-1]) == severity[::-1]
    tab.close()


def contrast(colour, background):
    """The WCAG contrast of a colour as the browser computes it (rgb or rgba, composed over the background)."""

    def channels(text):
        return [float(part) for part in re.findall(r"[\d.]+", text)]

    def luminance(rgb):
        linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in (v / 255 for v in rgb)]
        return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]

    under, over = channels(background)[:3], channels(colour)
    alpha = over[3] if len(over) == 4 else 1.0
    shown = [alpha * c + (1 - alpha) * b for c, b in zip(over[:3], under)]
    lighter, darker = sorted((luminance(shown), luminance(under)), reverse=True)
    return (lighter + 0.05) / (darker + 0.05)


def test_all_text_has_a_contrast_of_at_least_4_5_to_1(browser, night):
    # Every element with text of its own that shows, its colour (an SVG text's fill) and the first background
    # behind it, as Chromium computes them from the page's own style.
    tab = browser.open(night)
    texts = tab.evaluate("""Array.from(document.querySelectorAll("body *"), function (element) {
        var own = Array.from(element.childNodes).some(n => n.nodeType === 3 && n.textContent.trim());
        if (!own || /^(title|desc|style|script|option)$/i.test(element.tagName) || !element.checkVisibility())
            return null;
        var style = getComputedStyle(element), behind = "rgb(255, 255, 255)";
        for (var e = element; e; e = e.parentElement) {
            var colour = getComputedStyle(e).backgroundColor;
            if (colour !== "rgba(0, 0, 0, 0)") { behind = colour; break; }
        }
        return [element.textContent.trim().slice(0, 40), element instanceof SVGElement ? style.fill : style.color,
                behind];
    }).filter(Boolean)""")
    tab.close()
    shown = {text for text, _, _ in texts}
    assert {"timed out", "stopped", "not started", "slot 2", "seconds from the batch's start"} <= shown
    poor = [
        (text, colour, behind, round(contrast(colour, behind), 2))
        for text, colour, behind in texts
        if contrast(colour, behind) < 4.5
    ]
    assert not poor


def test_a_narrow_screen_scrolls_only_the_table_and_print_shows_every_failure(browser, night):
    tab = browser.open(night, width=420)
    assert tab.evaluate("[innerWidth, document.documentElement.scrollWidth <= innerWidth]") == [420, True]
    assert tab.evaluate('(b => b.scrollWidth > b.clientWidth)(document.getElementById("models-box"))')
    tab.close()
    tab = browser.open(night, media="print")
    assert tab.evaluate("""[document.querySelector("details ul").checkVisibility(),
                            document.querySelector(".controls").checkVisibility()]""") == [True, False]
    tab.close()


def test_against_an_earlier_night_lists_what_changed(capsys, tmp_path):
    # Windows paths match whatever their letter case and slashes.
    def night(name, *models):
        return write_report(
            tmp_path / name,
            {"record": "batch", "solver": "Quelbar"},
            *(
                model_record(
                    i,
                    path,
                    status,
                    seconds,
                    ("IOException", "disk full") if status in ("failed", "timed out") else None,
                )
                for i, (path, status, seconds) in enumerate(models)
            ),
            {"record": "end", "ended": "finished", "seconds": 100.0},
        )

    old = night(
        "old.jsonl",
        (r"C:\Plant\broke.vokel", "solved", 5.0),
        ("/p/mended.vokel", "failed", 1.0),
        ("/p/still.vokel", "timed out", 30.0),
        ("/p/slow.vokel", "solved", 10.0),
        ("/p/bit-slower.vokel", "solved", 10.0),
        ("/p/short.vokel", "solved", 2.0),
        ("/p/gone.vokel", "solved", 1.0),
    )
    new = night(
        "new.jsonl",
        ("c:/plant/BROKE.vokel", "failed", 5.0),
        ("/p/mended.vokel", "skipped", 0.0),
        ("/p/still.vokel", "failed", 3.0),
        ("/p/slow.vokel", "solved", 25.0),
        ("/p/bit-slower.vokel", "solved", 19.0),
        ("/p/short.vokel", "solved", 9.0),
        ("/p/new.vokel", "solved", 1.0),
    )
    status, out, err = run_main(capsys, "report", new, "--against", old, "--html", tmp_path / "page.html")
    assert (status, err) == (1, "")
    assert out.split(f"against {old}:\n")[1].split("page:")[0] == (
        "  failing now, solved before: 1\n      c:/plant/BROKE.vokel  (failed: IOException: disk full)\n"
        "  solved now, failing before: 1\n      /p/mended.vokel  (failed: IOException: disk full)\n"
        "  still failing: 1\n      /p/still.vokel  (failed: IOException: disk full)\n"
        "  slower by more than half and more than 10 s: 1\n      /p/slow.vokel  (10.0 s, now 25.0 s)\n"
        "  new: 1\n      /p/new.vokel\n  gone: 1\n      /p/gone.vokel\n"
    )
    page = (tmp_path / "page.html").read_text()
    assert re.search(
        r'<h3>failing now, solved before: 1</h3><ul><li><a href="#model-0">c:/plant/BROKE\.vokel</a>', page
    )
    assert "<h3>gone: 1</h3><ul><li>/p/gone.vokel</li></ul>" in page

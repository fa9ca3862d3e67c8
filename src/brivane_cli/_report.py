"""brivane report: what a batch report says, printed, or as a page."""

from __future__ import annotations

import argparse
import json
from types import ModuleType
from typing import Any

from ._output import show

REPORT_HELP = """\
Print what the report FILE of brivane solve --report says of its last run (with --all, of each model's last
outcome that was not a skip, across all its runs): the counts by status; the failures grouped by error type
and message, with paths masked so that equal causes group together, and the models of each group; the
slowest models; the total time, each worker slot's busy, set-up and idle time; and each worker's set-up.
Times are those of the machine that ran the batch. A report written by an earlier version lacks some of
these figures: they are left out, and the command says so.

With --html OUT, also write one self-contained page to OUT (when, where and how the batch ran, the summary,
a table of the models that sorts and filters and links to their results, a timeline of the worker slots and
a histogram of solve times), which opens without internet.
OUT must be a new file or a page that brivane wrote. The page needs the extra:
pip install brivane_computer[report].

With --against OLD, also compare with the report OLD of an earlier night (read as FILE is, with --all
or without): the models that fail now (failed or timed out) and solved before; those that solve now and
failed before; those still failing; those slower by more than half and by more than 10 s (solved both
times); and those new or gone. Models are matched by their path (a Windows path whatever its letter case
and slashes). The page shows the same. The exit status is still that of FILE's run.

A run that has no end record is "running" while the batch that writes it lives on this machine, else it
"died": its models being solved count as stopped, the rest as not started.

exit status: 0 the run shown solved (or skipped) every model; 1 some model failed, timed out, was stopped or
was not started, or the run crashed, died or is still running; 2 FILE is not a batch report (an empty file
included), or OUT may not be written.
"""


def add_report_command(commands: argparse._SubParsersAction[Any]) -> None:
    command = commands.add_parser(
        "report",
        help="summarise a batch report",
        description=REPORT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument("file", metavar="FILE", help="the report that brivane solve --report wrote (JSON Lines)")
    command.add_argument(
        "--all", action="store_true", help="each model's last outcome that was not a skip, across every run of FILE"
    )
    command.add_argument("--html", metavar="OUT", help="also write the page to OUT")
    command.add_argument(
        "--against",
        metavar="OLD",
        help="compare with OLD, the report of an earlier night: what broke, what was mended, what "
        "still fails, what became much slower, what is new or gone",
    )
    command.add_argument(
        "--json",
        action="store_true",
        help="print one JSON object of the figures instead of the text (the exit status stays)",
    )
    command.add_argument(
        "--junit",
        metavar="FILE",
        help="also write FILE, JUnit XML with one test case per model, for a CI job: failures as "
        "failures; time-outs, stopped and not started models as errors; models skipped by "
        "--resume as skipped; FILE must be a new file or one that brivane report wrote",
    )


class ReportInputError(Exception):
    """What brivane report cannot start with: one line, exit status 2."""


def report(batch: ModuleType, arguments: argparse.Namespace) -> int:
    from brivane_computer.batch.report import (
        check_junit_file,
        check_page_file,
        compare,
        comparison_text,
        read_report,
        read_summary,
        summary_object,
        summary_text,
        write_junit,
        write_page,
    )

    runs = "all" if arguments.all else "last"
    try:
        path = check_page_file(arguments.html) if arguments.html is not None else None
        junit = check_junit_file(arguments.junit) if arguments.junit is not None else None
        summary = read_summary(arguments.file, runs)
        against = arguments.against
        comparison = compare(summary.report, read_report(against, runs), against) if against is not None else None
    except (batch.BatchInputError, batch.ReportError) as error:
        raise ReportInputError(str(error)) from None
    if arguments.json:
        show(json.dumps(summary_object(summary, runs)))
    else:
        show(summary_text(summary, runs) + (comparison_text(comparison) if comparison is not None else ""))
    try:
        if path is not None:
            write_page(summary, path, comparison)
        if junit is not None:
            write_junit(summary, junit)
    except (OSError, batch.OutputError) as error:
        raise ReportInputError(str(error)) from None
    for output, what in ((path, "page"), (junit, "JUnit file")):
        if output is not None and not arguments.json:
            show(f"{what}: {output}")
    return 0 if summary.report.ok else 1

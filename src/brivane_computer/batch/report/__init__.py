"""A batch's report: its records as written and read back (``_records``), the figures that an engineer reads
the morning after (``_summary``), what changed since an earlier night (``_compare``) and the page that shows
them (``_page``).

Nothing here loads the native module: a report is read, summarised and shown
on any machine. ``brivane report`` uses what this package exports.
"""

from ._compare import Comparison, compare, comparison_text
from ._machine import check_junit_file, summary_object, write_junit
from ._page import EXTRA_MISSING, check_page_file, page_after_batch, write_page
from ._records import (
    ALL_RUNS,
    CRASHED,
    DIED,
    FAILED,
    FINISHED,
    IN_PLACE,
    LAST_RUN,
    NOT_STARTED,
    PIPING,
    RUNNING,
    SANDBOX,
    SKIPPED,
    SOLVED,
    STATUSES,
    STOPPED,
    STRUCTURE,
    TIMED_OUT,
    ModelResult,
    Report,
    ReportError,
    ReportWriter,
    last_outcomes,
    package_version,
    printable,
    read_report,
    shown_path,
)
from ._summary import Summary, read_summary, summarize, summary_text

__all__ = [
    "ALL_RUNS",
    "CRASHED",
    "DIED",
    "EXTRA_MISSING",
    "FAILED",
    "FINISHED",
    "IN_PLACE",
    "LAST_RUN",
    "NOT_STARTED",
    "PIPING",
    "RUNNING",
    "SANDBOX",
    "SKIPPED",
    "SOLVED",
    "STATUSES",
    "STOPPED",
    "STRUCTURE",
    "TIMED_OUT",
    "Comparison",
    "ModelResult",
    "Report",
    "ReportError",
    "ReportWriter",
    "Summary",
    "check_junit_file",
    "check_page_file",
    "compare",
    "comparison_text",
    "last_outcomes",
    "package_version",
    "page_after_batch",
    "printable",
    "read_report",
    "read_summary",
    "shown_path",
    "summarize",
    "summary_object",
    "summary_text",
    "write_junit",
    "write_page",
]

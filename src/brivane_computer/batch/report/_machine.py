"""A report for machines: one JSON object of its figures, and a JUnit XML file for continuous integration.

In the JUnit file each model is one test case: a failed model is a failure;
a model that timed out, was stopped or was not started is an error, so that
a night that did not run through never passes a CI job; a model skipped by
``--resume`` is skipped. The file is written whole, and only over a JUnit
file of ours (told by its suite's name), never over another file.
"""

from __future__ import annotations

import dataclasses
import os
import re
import xml.etree.ElementTree as ElementTree
from typing import Any

from .._files import is_regular_or_absent, open_regular, write_whole
from .._outputs import OutputError
from ._records import (
    FAILED,
    NOT_STARTED,
    SKIPPED,
    STATUSES,
    STOPPED,
    TIMED_OUT,
    ModelResult,
    earlier_failures,
    printable,
)
from ._summary import Summary

# The name of the suites of a JUnit file of ours, within its first bytes.
JUNIT_NAME = "brivane report"
_ERRORS = (TIMED_OUT, STOPPED, NOT_STARTED)
# What XML 1.0 cannot hold at all, even escaped.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml(text: str) -> str:
    """``text`` as an XML file can hold it: a character that it cannot, as a replacement character."""
    return _NOT_XML.sub("\ufffd", printable(text))


def summary_object(summary: Summary, runs: str) -> dict[str, Any]:
    """What ``brivane report --json`` prints."""
    report = summary.report
    return {
        "report": report.path,
        "runs": runs,
        "ended": report.ended,
        "stopped": report.stopped,
        "error": report.error,
        "ok": report.ok,
        "seconds": round(report.seconds, 3),
        "given": report.given,
        "counts": {status: report.count(status) for status in STATUSES},
        "failures": [dataclasses.asdict(group) | {"models": list(group.models)} for group in summary.failures],
        "models": [
            {
                "path": m.path,
                "status": m.status,
                "attempts": m.attempts,
                "seconds": m.seconds,
                "error_type": m.error_type,
                "error_message": m.error_message,
                "results_folder": m.results_folder,
                "earlier_attempts": earlier_failures(m),
            }
            for m in report.models
        ],
    }


def check_junit_file(value: Any) -> str:
    """The JUnit file's absolute path, once it is one that may be written: a new file in a folder that exists,
    or a JUnit file of ours; raises ``OutputError`` otherwise."""
    path: str = os.path.abspath(os.fspath(value))
    if os.path.isdir(path) or not is_regular_or_absent(path):
        raise OutputError(f"the JUnit file {path} is not a regular file: name a file")
    if os.path.lexists(path) and not _is_ours(path):
        raise OutputError(
            f"{path} is not a JUnit file of brivane report and the batch never writes over another "
            "file: name a new file, or move this one away"
        )
    if not os.path.isdir(os.path.dirname(path)):
        raise OutputError(f"the JUnit file {path} cannot be made: its folder {os.path.dirname(path)} does not exist")
    return path


def _is_ours(path: str) -> bool:
    try:
        with open_regular(path) as f:
            head = f.read(4096)
    except OSError:
        return False
    return f'<testsuites name="{JUNIT_NAME}"'.encode() in head


def write_junit(summary: Summary, path: str) -> None:
    """Writes the JUnit file at ``path``, whole (a temporary file beside it, then renamed)."""
    report = summary.report
    models = report.models
    counts = {
        "tests": len(models),
        "failures": report.count(FAILED),
        "errors": sum(report.count(status) for status in _ERRORS),
        "skipped": report.count(SKIPPED),
    }
    attributes = {name: str(value) for name, value in counts.items()} | {"time": f"{report.seconds:.3f}"}
    suites = ElementTree.Element("testsuites", {"name": JUNIT_NAME, **attributes})
    suite = ElementTree.SubElement(
        suites, "testsuite", {"name": _xml(os.path.basename(report.path or "batch")), **attributes}
    )
    for model in models:
        case = ElementTree.SubElement(
            suite, "testcase", {"classname": "brivane.batch", "name": _xml(model.path), "time": f"{model.seconds:.3f}"}
        )
        _outcome(case, model)
    write_whole(path, '<?xml version="1.0" encoding="utf-8"?>\n' + ElementTree.tostring(suites, "unicode") + "\n")


def _outcome(case: ElementTree.Element, model: ModelResult) -> None:
    cause = _xml((f"{model.error_type}: {model.error_message}" if model.error_type else model.error_message) or "")
    details = _xml("\n".join(earlier_failures(model)))
    if model.status == FAILED:
        kind = _xml(model.error_type or FAILED)
        ElementTree.SubElement(case, "failure", {"type": kind, "message": cause}).text = details
    elif model.status in _ERRORS:
        ElementTree.SubElement(case, "error", {"type": model.status, "message": cause or model.status}).text = details
    elif model.status == SKIPPED:
        ElementTree.SubElement(case, "skipped", {"message": "solved before from the same inputs (--resume)"})

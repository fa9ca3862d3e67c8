"""Two nights side by side: which models broke, which were mended, which still fail, which became much slower,
and which came or went, for ``brivane report NEW --against OLD`` and its page.

Models are matched by their path, normalised: a Windows path (a drive or
UNC path) without regard to letter case or the kind of slash, any other as
it is written. A model that solves (or was skipped, its earlier results
standing) counts as solved; one that failed or timed out, as failing; a model
stopped or not started says nothing of the model, and is in neither.
"""

from __future__ import annotations

import ntpath
import posixpath
import re
from dataclasses import dataclass, field

from ._records import FAILED, SKIPPED, SOLVED, TIMED_OUT, ModelResult, Report, shown_path

# Slower means both: this many times the earlier seconds, and this many seconds more.
SLOWER_FACTOR = 1.5
SLOWER_SECONDS = 10.0
_FAILING = (FAILED, TIMED_OUT)
_SOLVED = (SOLVED, SKIPPED)
_WINDOWS_PATH = re.compile(r"[A-Za-z]:[\\/]|[\\/]{2}[^\\/]")


def windows_path(path: str) -> bool:
    """Whether a path of a report is a Windows one (a drive or UNC path): a report may come from another
    system than the one that reads it."""
    return _WINDOWS_PATH.match(path) is not None


def model_key(path: str) -> str:
    """The path by which a model is matched between two reports, which may come from different machines."""
    return ntpath.normcase(ntpath.normpath(path)) if windows_path(path) else posixpath.normpath(path)


@dataclass
class Comparison:
    """What changed from the night ``against`` (a report file) to the one shown. Each pair is (the model now,
    the model then)."""

    against: str
    failing_now: list[tuple[ModelResult, ModelResult]] = field(default_factory=list)
    solved_now: list[tuple[ModelResult, ModelResult]] = field(default_factory=list)
    still_failing: list[tuple[ModelResult, ModelResult]] = field(default_factory=list)
    slower: list[tuple[ModelResult, ModelResult]] = field(default_factory=list)
    new: list[ModelResult] = field(default_factory=list)
    gone: list[ModelResult] = field(default_factory=list)


def compare(now: Report, before: Report, against: str) -> Comparison:
    """The comparison of the report ``now`` with ``before``, read from the file ``against``."""
    earlier = {model_key(m.path): m for m in before.models}
    later = {model_key(m.path): m for m in now.models}
    found = Comparison(against)
    for key, model in later.items():
        then = earlier.get(key)
        if then is None:
            found.new.append(model)
        elif model.status in _FAILING and then.status in _SOLVED:
            found.failing_now.append((model, then))
        elif model.status in _SOLVED and then.status in _FAILING:
            found.solved_now.append((model, then))
        elif model.status in _FAILING and then.status in _FAILING:
            found.still_failing.append((model, then))
        elif (
            model.status == then.status == SOLVED
            and model.seconds > SLOWER_FACTOR * then.seconds
            and model.seconds - then.seconds > SLOWER_SECONDS
        ):
            found.slower.append((model, then))
    found.gone = [model for key, model in earlier.items() if key not in later]
    found.slower.sort(key=lambda pair: pair[1].seconds - pair[0].seconds)
    return found


def outcome(model: ModelResult) -> str:
    """A model's status, with its error when it has one."""
    error = f"{model.error_type}: {model.error_message}" if model.error_type else (model.error_message or "")
    return f"{model.status}: {error}" if error else model.status


def comparison_text(comparison: Comparison) -> str:
    """What ``brivane report --against`` adds to the report's text."""
    lines = ["", f"against {comparison.against}:"]
    for title, pairs in (
        ("failing now, solved before", comparison.failing_now),
        ("solved now, failing before", comparison.solved_now),
        ("still failing", comparison.still_failing),
    ):
        lines.append(f"  {title}: {len(pairs)}")
        lines += [
            f"      {shown_path(now.path)}  ({outcome(now) if now.status in _FAILING else outcome(then)})"
            for now, then in pairs
        ]
    lines.append(f"  slower by more than half and more than {SLOWER_SECONDS:.0f} s: {len(comparison.slower)}")
    lines += [
        f"      {shown_path(now.path)}  ({then.seconds:.1f} s, now {now.seconds:.1f} s)"
        for now, then in comparison.slower
    ]
    for title, models in (("new", comparison.new), ("gone", comparison.gone)):
        lines.append(f"  {title}: {len(models)}")
        lines += [f"      {shown_path(model.path)}" for model in models]
    return "\n".join(lines)

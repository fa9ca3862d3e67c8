"""The refusal to run unconfined, and the watch on what a confined run changes.

The module deletes folders, so whatever runs it does so through
scripts/confine.sh: a private mount namespace where every mount is read-only
except the run's sandbox, which it names in BRIVANE_CONFINED. A tool calls
``require(name)`` before anything else; without that variable, or when a
canary write into the repository succeeds (the namespace is not in force), it
stops. A pytest suite takes ``pytest_sessionstart`` and
``pytest_runtest_teardown`` from here into its conftest.py (or runs with
``-p brivane_testkit.confinement``): the same check when a session starts,
and a watch on every test (see ``watch``).

The read-only mounts protect the machine, but a removal they refuse surfaces
as an OSError, which the module's removals swallow by design: a test would
pass over it. ``watch`` therefore installs an audit hook that refuses, and
records with the call that made it, every removal or write that the process
attempts outside the sandbox; the test that made one fails, naming it. The
processes that a test starts install the same hook as they start (through
testkit/child_watch/ first on their PYTHONPATH) and log what they attempt for
the test to read.
"""

import os
import sys

from .confinement_watch import LOG_VARIABLE, THROW_AWAY_RUNNER, take_out_of_bounds, watch

TESTKIT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The repository, where a canary write must fail.
ROOT = os.path.dirname(TESTKIT)
# What each Python process that a test starts imports first, through PYTHONPATH.
CHILD_WATCH = os.path.join(TESTKIT, "child_watch")


def on_throw_away_runner():
    return (
        sys.platform == "win32"
        and os.environ.get("GITHUB_ACTIONS") == "true"
        and os.environ.get("RUNNER_ENVIRONMENT") == "github-hosted"
    )


def problem():
    """Why this process is not confined, or None."""
    sandbox = os.environ.get("BRIVANE_CONFINED")
    if not sandbox:
        return "not confined: run it through scripts/confine.sh SANDBOX COMMAND (the scripts do)"
    if sandbox == THROW_AWAY_RUNNER:
        if on_throw_away_runner():
            return None
        return f"BRIVANE_CONFINED={THROW_AWAY_RUNNER} is accepted only on a GitHub-hosted Windows runner"
    canary = os.path.join(ROOT, f".confinement-canary-{os.getpid()}")
    try:
        with open(canary, "x"):
            pass
    except OSError:
        return None
    os.remove(canary)
    return f"confinement broken: {canary} was writable outside the sandbox {sandbox}"


def require(tool):
    """Exits (status 3) unless confined."""
    found = problem()
    if found:
        print(f"{tool}: {found}; refusing to run", file=sys.stderr)
        sys.exit(3)


def start_session():
    """For a pytest session: exits unless confined, then watches what the run changes."""
    found = problem()
    if found:
        pytest.exit(found, returncode=3)
    sandbox = os.environ["BRIVANE_CONFINED"]
    if sandbox != THROW_AWAY_RUNNER:
        log = os.path.join(sandbox, "out-of-bounds.jsonl")
        watch(sandbox, log)
        # The processes that the tests start (workers, solver children, examples) watch themselves and
        # write what they attempt to the log, which the test that started them reads.
        os.environ[LOG_VARIABLE] = log
        # Now, while the current folder is still the one the run started in, so that its entries are made
        # absolute against it: a test's processes start in folders of their own.
        os.environ["PYTHONPATH"] = python_path()


def python_path(*first, leave_out=()):
    """The PYTHONPATH for a process that a test starts: `first`, then this process's own PYTHONPATH (the
    stand-in and the test kit, which the scripts set) less the folders in `leave_out`. When this run is
    watched, the watch comes before all of them, unless it is left out; the test kit is never left out,
    since the watch imports it. Relative entries are made absolute against the current folder."""
    given = [path for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
    leave_out = {os.path.abspath(path) for path in leave_out}
    watched = [CHILD_WATCH] if os.environ.get(LOG_VARIABLE) and CHILD_WATCH not in leave_out else []
    kept = [
        path
        for path in map(os.path.abspath, [*first, *given])
        if path != CHILD_WATCH and (path == TESTKIT or path not in leave_out)
    ]
    return os.pathsep.join(watched + list(dict.fromkeys(kept)))


def pytest_sessionstart(session):
    start_session()


try:
    import pytest
except ImportError:  # a tool outside pytest
    pytest = None


def _after_the_fixtures(hook):
    # trylast: after the test's fixtures are torn down, so that what they did counts too.
    return pytest.hookimpl(trylast=True)(hook) if pytest else hook


@_after_the_fixtures
def pytest_runtest_teardown(item, nextitem):
    log = os.environ.get(LOG_VARIABLE)
    found = take_out_of_bounds(log) if log else []
    if found:
        pytest.fail(
            f"{item.nodeid} attempted {len(found)} operation(s) outside the sandbox:\n" + "\n".join(found),
            pytrace=False,
        )

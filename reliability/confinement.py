"""The refusal to run unconfined, for every tool that runs the module.

The module deletes folders, so whatever runs it does so through
scripts/confine.sh: a private mount namespace where every mount is read-only
except the run's sandbox, which it names in BRIVANE_CONFINED. A tool calls
``require(name)`` before anything else; without that variable, or when a
canary write into the repository succeeds (the namespace is not in force), it
stops. As a pytest plugin (``-p confinement``, with this folder on the path)
it makes the same check when a session starts, for suites that do not load
tests/conftest.py.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def problem():
    """Why this process is not confined, or None."""
    sandbox = os.environ.get("BRIVANE_CONFINED")
    if not sandbox:
        return "not confined: run it through scripts/confine.sh SANDBOX COMMAND (the scripts do)"
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


def pytest_sessionstart(session):
    found = problem()
    if found:
        import pytest

        pytest.exit(found, returncode=3)

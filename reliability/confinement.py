"""The refusal to run unconfined, and the watch on what a confined run changes.

The module deletes folders, so whatever runs it does so through
scripts/confine.sh: a private mount namespace where every mount is read-only
except the run's sandbox, which it names in BRIVANE_CONFINED. A tool calls
``require(name)`` before anything else; without that variable, or when a
canary write into the repository succeeds (the namespace is not in force), it
stops. As a pytest plugin (``-p confinement``, with this folder on the path)
it makes the same check when a session starts, for suites that do not load
tests/conftest.py, and watches every test (see ``watch``).

The read-only mounts protect the machine, but a removal they refuse surfaces
as an OSError, which the module's removals swallow by design: a test would
pass over it. ``watch`` therefore installs an audit hook that refuses, and
records with the call that made it, every removal or write that the process
attempts outside the sandbox; the test that made one fails, naming it.
"""
import os
import sys
import traceback

# What the Windows workflow sets instead of a sandbox: Windows has no mount namespace to make the machine
# read-only, so there the confinement is the machine itself, a virtual machine made for the one job and thrown
# away after it, whose only data is the checkout.
THROW_AWAY_RUNNER = "throw-away-windows-runner"


def on_throw_away_runner():
    return (sys.platform == "win32" and os.environ.get("GITHUB_ACTIONS") == "true"
            and os.environ.get("RUNNER_ENVIRONMENT") == "github-hosted")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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


# Audit events that remove or write, and the positions of their paths among the event's arguments.
_CHANGING = {"shutil.rmtree": (0,), "os.remove": (0,), "os.rmdir": (0,), "os.mkdir": (0,), "os.rename": (0, 1),
             "os.replace": (0, 1), "shutil.copyfile": (1,), "shutil.copytree": (1,), "shutil.move": (1,)}
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_APPEND
# Devices, and the interpreter's own bytecode cache (which the read-only mounts turn down quietly).
_LEFT_ALONE = ("/dev/", "/proc/")

out_of_bounds = []  # (event, path, where), as attempted


def _changed_paths(event, args):
    if event == "open":
        path, mode, flags = args
        writing = any(c in mode for c in "wax+") if isinstance(mode, str) else bool(flags & _WRITE_FLAGS)
        return [path] if writing else []
    positions = _CHANGING.get(event)
    if positions is None:
        return []
    # Names relative to an open folder (dir_fd, as rmtree walks) lie inside a folder already checked.
    if event in ("os.remove", "os.rmdir", "os.mkdir") and args[-1] not in (None, -1):
        return []
    return [args[i] for i in positions]


def watch(sandbox):
    """Refuses and records each removal or write of this process outside `sandbox`."""
    root = os.path.realpath(sandbox)

    def outside(path):
        if isinstance(path, int) or not isinstance(path, (str, bytes, os.PathLike)):
            return None
        text = os.path.abspath(os.fsdecode(path))
        if "__pycache__" in text or text.startswith(_LEFT_ALONE):
            return None
        real = os.path.realpath(text)
        return None if real == root or real.startswith(root + os.sep) else text

    def hook(event, args):
        for path in _changed_paths(event, args):
            found = outside(path)
            if found is not None:
                where = "".join(traceback.format_stack(limit=8)[:-1])
                out_of_bounds.append((event, found, where))
                raise PermissionError(13, f"confinement watch: {event} outside the sandbox", found)

    sys.addaudithook(hook)


def take_out_of_bounds():
    """The operations attempted out of bounds since the last call, described."""
    found = [f"{event} {path!r}, called from:\n{where}" for event, path, where in out_of_bounds]
    out_of_bounds.clear()
    return found


def start_session():
    """For a pytest session: exits unless confined, then watches what the run changes."""
    found = problem()
    if found:
        pytest.exit(found, returncode=3)
    sandbox = os.environ["BRIVANE_CONFINED"]
    if sandbox != THROW_AWAY_RUNNER:
        watch(sandbox)


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
    found = take_out_of_bounds()
    if found:
        pytest.fail(f"{item.nodeid} attempted {len(found)} operation(s) outside the sandbox:\n" + "\n".join(found),
                    pytrace=False)

"""The audit hook that refuses and records every removal or write outside the sandbox (see confinement.py).

It stands apart from the pytest plugin so that each process of a confined run can install it at start-up
(testkit/child_watch/sitecustomize.py) without importing pytest.
"""

import json
import os
import sys
import traceback

# Where the run's processes append what they attempted out of bounds (JSON Lines).
LOG_VARIABLE = "BRIVANE_OUT_OF_BOUNDS_LOG"
# What the Windows workflow sets instead of a sandbox: Windows has no mount namespace to make the machine
# read-only, so there the confinement is the machine itself, a virtual machine made for the one job and thrown
# away after it, whose only data is the checkout. Nothing is watched there.
THROW_AWAY_RUNNER = "throw-away-windows-runner"

# Audit events that remove or write, and the positions of their paths among the event's arguments. The batch
# announces each folder that it writes into by names relative to the folder (dir_fd) with an event of its own.
_CHANGING = {
    "shutil.rmtree": (0,),
    "os.remove": (0,),
    "os.rmdir": (0,),
    "os.mkdir": (0,),
    "os.rename": (0, 1),
    "os.replace": (0, 1),
    "os.link": (1,),
    "shutil.copyfile": (1,),
    "shutil.copytree": (1,),
    "shutil.move": (1,),
    "brivane.batch.write_folder": (0,),
}
# Where the events that take names relative to an open folder have it.
_FOLDER_ARGUMENTS = {
    "os.remove": (-1,),
    "os.rmdir": (-1,),
    "os.mkdir": (-1,),
    "os.rename": (2, 3),
    "os.replace": (2, 3),
    "os.link": (2, 3),
}
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_APPEND
# Devices, and the interpreter's own bytecode cache (which the read-only mounts turn down quietly).
_LEFT_ALONE = ("/dev/", "/proc/")


def _changed_paths(event, args):
    if event == "open":
        path, mode, flags = args
        writing = any(c in mode for c in "wax+") if isinstance(mode, str) else bool(flags & _WRITE_FLAGS)
        # A relative name opened to write is relative to an open folder (dir_fd: the open event does not say
        # which), one announced and checked when it was opened; the mounts still stop anything else.
        relative = isinstance(path, (str, bytes)) and not os.path.isabs(path)
        return [path] if writing and not relative else []
    positions = _CHANGING.get(event)
    if positions is None:
        return []
    # Names relative to an open folder (dir_fd, as rmtree walks) lie inside a folder already checked.
    if any(args[i] not in (None, -1) for i in _FOLDER_ARGUMENTS.get(event, ())):
        return []
    return [args[i] for i in positions]


def watch(sandbox, log):
    """Refuses and records each removal or write of this process outside `sandbox`; appends each to the
    JSON Lines file `log` too, where the run's other processes write theirs."""
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
            if path == log:
                continue  # the hook's own record of a refusal
            found = outside(path)
            if found is not None:
                where = "".join(traceback.format_stack(limit=8)[:-1])
                with open(log, "a", encoding="utf-8") as attempts:
                    attempts.write(
                        json.dumps({"pid": os.getpid(), "event": event, "path": found, "where": where}) + "\n"
                    )
                raise PermissionError(13, f"confinement watch: {event} outside the sandbox", found)

    sys.addaudithook(hook)


def take_out_of_bounds(log):
    """The operations attempted out of bounds by any process of the run since the last call, described."""
    try:
        with open(log, "r+", encoding="utf-8") as attempts:
            found = [json.loads(line) for line in attempts]
            attempts.truncate(0)
    except FileNotFoundError:
        return []
    return [f"{f['event']} {f['path']!r} (process {f['pid']}), called from:\n{f['where']}" for f in found]

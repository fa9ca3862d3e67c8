"""What a batch writes, and the rule that it never writes over a file that is not its own.

The report file is a report of this batch layer (its first record is a
"batch" record) or an empty or new file; it is only ever appended to. Each
model's results folder holds a manifest, ``MANIFEST``: the model's full path
and the files that the batch wrote there. A folder is given to a model once,
found again by its manifest in later runs, and never given to another model
or made of a folder that holds files without a manifest; a file in it is
overwritten only when the manifest lists it.
"""

from __future__ import annotations

import itertools
import json
import os
from collections.abc import Iterable
from typing import Any

from ._errors import BatchInputError
from ._files import open_regular, read_regular
from ._identity import folder_and_ancestors, identity
from ._writing import Folder, is_temporary

MANIFEST = "brivane-results.json"
# What the module printed during a solve that failed or timed out, kept in the model's results folder.
SOLVE_LOG = "brivane-solve.log"
# A manifest lists file names: one larger than this is not a manifest of ours.
MANIFEST_LIMIT = 64 << 20


class OutputError(BatchInputError):
    """A report file or results folder that the batch may not write to; the message says why in one line."""


def is_batch_report(path: str) -> bool:
    """Whether the file's first line is a "batch" record: a report of this batch layer."""
    try:
        with open_regular(path) as f:
            first = f.readline(1 << 20)
            while first and not first.strip():
                first = f.readline(1 << 20)
        record = json.loads(first.decode("utf-8-sig"))
    except (OSError, ValueError):
        return False
    return isinstance(record, dict) and record.get("record") == "batch"


def check_report_file(path: str, models: Iterable[str]) -> None:
    """Raises ``OutputError`` unless the batch may append its runs to ``path``: a new file, an empty one or
    a report of this batch layer, and not one of the batch's models."""
    if os.path.isdir(path):
        raise OutputError(f"the report {path} is a folder: name a file")
    if not os.path.exists(path):
        return
    own = identity(path)
    for model in models:
        if os.path.exists(model) and identity(model) == own:
            raise OutputError(f"the report {path} is the model {model} of the batch: name another report file")
    if os.path.getsize(path) and not is_batch_report(path):
        raise OutputError(
            f"{path} is not a batch report (its first line is not a batch record) and the batch "
            "never writes over another file: name a new report file, or move this one away"
        )


def check_results_folder(results: str, model_folders: Iterable[str]) -> None:
    """Raises ``OutputError`` when ``results`` is not a folder, or is one of ``model_folders`` (the folders
    of the models and those they were found in), or lies inside one: told by what the folders are, so that
    a link or another spelling of a models folder counts too."""
    if os.path.exists(results) and not os.path.isdir(results):
        raise OutputError(f"the results folder {results} is a file: name a folder")
    folders = {identity(folder): folder for folder in model_folders if os.path.isdir(folder)}
    for level, each in enumerate(folder_and_ancestors(results)):
        if each in folders:
            where = "is" if level == 0 and os.path.exists(results) else "lies inside"
            raise OutputError(
                f"the results folder {results} {where} the models folder {folders[each]}, where "
                "results would mix with the user's files: name a folder outside the models"
            )


def read_manifest(folder: str) -> dict[str, Any] | None:
    """The manifest of a results folder, or None when it has none that reads."""
    try:
        manifest = json.loads(read_regular(os.path.join(folder, MANIFEST), MANIFEST_LIMIT).decode("utf-8"))
    except (OSError, ValueError):
        return None
    if (
        not isinstance(manifest, dict)
        or not isinstance(manifest.get("model"), str)
        or not isinstance(manifest.get("files"), list)
    ):
        return None
    return manifest


def same_model(recorded: str, model: str) -> bool:
    if os.path.normcase(os.path.abspath(recorded)) == os.path.normcase(os.path.abspath(model)):
        return True
    return os.path.exists(recorded) and os.path.exists(model) and identity(recorded) == identity(model)


def _manifest_text(model: str, files: Iterable[str]) -> bytes:
    return (json.dumps({"model": model, "files": sorted(set(files))}, indent=1) + "\n").encode("utf-8")


def claim_results_folder(root: str, name: str, model: str) -> str:
    """The results folder of ``model`` under ``root``: the one named ``name`` (or ``name-2``, ``name-3``...)
    whose manifest names the model, else the first of those names that is free (absent, or an empty folder),
    which gets a manifest of the model now. A folder is claimed by its manifest, which is published only
    where there is none: of two processes claiming one folder, one alone gets it. Nothing is made through a
    link."""
    with Folder(os.path.realpath(root)) as top:
        while True:
            free = None
            for number in itertools.count(1):
                relative = name if number == 1 else f"{name}-{number}"
                folder = os.path.join(root, relative)
                if not os.path.lexists(folder):
                    break
                if os.path.islink(folder) or not os.path.isdir(folder):
                    continue
                manifest = read_manifest(folder)
                if manifest is not None and same_model(manifest["model"], model):
                    return folder
                if free is None and manifest is None and _holds_nothing(folder):
                    free = relative
            chosen = free if free is not None else relative
            top.make_folder(chosen)
            with Folder(os.path.join(top.path, chosen)) as claimed:
                for leftover in os.listdir(os.path.join(root, chosen)):
                    claimed.remove_temporary(leftover)
                if claimed.publish(MANIFEST, _manifest_text(model, ())):
                    return os.path.join(root, chosen)
            # Another process claimed it first: look again.


def _holds_nothing(folder: str) -> bool:
    """Whether a folder is empty, but for what a killed writer left (its temporary files)."""
    try:
        return all(is_temporary(entry) for entry in os.listdir(folder))
    except OSError:
        return False


def record_results(folder: str, model: str, names: Iterable[str]) -> tuple[str, ...]:
    """Adds ``names`` to the manifest of ``model``'s results folder before they are copied there, and returns
    every file it then lists. A folder that is absent or empty becomes the model's. Raises
    ``FileExistsError`` when the folder is another model's or holds files without a manifest, or when one
    of the files is there already and the manifest does not list it: it is not the batch's to overwrite."""
    manifest = read_manifest(folder)
    if manifest is None and (not os.path.lexists(folder) or os.path.isdir(folder) and _holds_nothing(folder)):
        # A folder of its own that solve_model was given outside a batch: it becomes the model's now.
        os.makedirs(folder, exist_ok=True)
        manifest = {"model": model, "files": []}
    if manifest is None or not same_model(manifest["model"], model):
        raise FileExistsError(
            f"the results folder {folder} holds files that are not {model}'s results: it is left as it is"
        )
    listed = {str(name) for name in manifest["files"]}
    for name in names:
        target = os.path.join(folder, name)
        if name not in listed and (os.path.lexists(target) or os.path.islink(os.path.dirname(target))):
            raise FileExistsError(f"{target} was not written by the batch for {model}: it is left as it is")
    files = listed | set(names)
    with Folder(folder) as writing:
        writing.write(MANIFEST, _manifest_text(model, files))
    return tuple(sorted(files))


# The end of a solve's log that its results folder keeps: what the module printed last says most.
SOLVE_LOG_LIMIT = 1 << 20


def keep_solve_log(folder: str | None, model: str, log: str) -> tuple[str, ...]:
    """Keeps the end of ``log``, what the module printed during a solve of ``model`` that gave no solution, as
    ``SOLVE_LOG`` in its results ``folder``, listed in the manifest; returns what the manifest then lists (()
    when there is no results folder or no log, or the log cannot be kept: the model's outcome stands)."""
    if folder is None:
        return ()
    try:
        with open_regular(log) as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - SOLVE_LOG_LIMIT))
            data = f.read(SOLVE_LOG_LIMIT)
        manifest = record_results(folder, model, [SOLVE_LOG])
        with Folder(folder) as writing:
            writing.write(SOLVE_LOG, data)
    except OSError:
        return ()
    return manifest


def drop_solve_log(folder: str, model: str) -> tuple[str, ...]:
    """Removes a solve's log that an earlier attempt kept in ``model``'s results folder, now that it solved;
    returns what the manifest then lists."""
    manifest = read_manifest(folder)
    if manifest is None or not same_model(manifest["model"], model) or SOLVE_LOG not in manifest["files"]:
        return tuple(sorted(str(name) for name in manifest["files"])) if manifest is not None else ()
    files = [str(name) for name in manifest["files"] if name != SOLVE_LOG]
    with Folder(folder) as writing:
        writing.write(MANIFEST, _manifest_text(model, files))
        writing.remove(SOLVE_LOG)
    return tuple(sorted(files))

"""What one solve added or changed in the folder it worked in: its results.

Told from what the module documents, never from inside it. In place, the
model's folder is listed before the solve and after it. A sandbox holds
copies of the model file, its fre file and its first ``.thf`` file, found as
the module's ``solve`` finds them (``_solve_inputs``), whose originals are known: the results
are the files that are not copies, and the copies whose content now differs
from the original. A copy does not keep the original's modification time, so
each copy's own signature is taken as it is made: a copy whose signature has
not changed since is unchanged, and only one whose signature changed has its
content compared with the original's (a rewrite with the same bytes is no
result). The fre file's aside copy
(``<fre file>.old``, ``.old1``, ...), which the module leaves only when a
process dies while writing the fre file, is never a result.
"""

from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass, field

from ._locks import LOCK
from ._solve_inputs import solve_inputs

# A file's signature in a listing: what tells that a solve wrote it in place. The inode shows a file replaced
# within one tick of the file system's clock by one of the same size.
Signature = tuple[int, int, int]
_CHUNK = 1 << 20


@dataclass(frozen=True)
class Before:
    """What the working folder of a solve held before it: in place, its listing; in a sandbox, the originals
    of the copies that the solve makes, by the copy's name."""

    folder: str
    # In place: the listing; None in a sandbox.
    listed: dict[str, Signature] | None = None
    originals: dict[str, str] = field(default_factory=dict)
    # The fre file's aside copy, as the module names it: never a result.
    aside: re.Pattern[str] = re.compile("(?!)")


def before_solve(model: str, sandbox: bool) -> Before:
    """Taken before the solve: the model's folder listed (in place), or the originals of its copies."""
    folder = os.path.dirname(os.path.abspath(model))
    stem = os.path.splitext(os.path.basename(model))[0]
    aside = re.compile("|".join(re.escape(name) + r"\.old\d*" for name in (stem + ".fre", "conception.fre")))
    if not sandbox:
        return Before(folder, listed=listing(folder), aside=aside)
    return Before(folder, originals=_originals(os.path.join(folder, os.path.basename(model))), aside=aside)


def _originals(model: str) -> dict[str, str]:
    """The files that solve copies into its sandbox, by the copy's name (``solve_inputs``)."""
    return {os.path.basename(path): path for path in solve_inputs(model).values()}


def make_copies(before: Before, sandbox: str) -> dict[str, Signature]:
    """Copies the originals into the sandbox; the signature of each copy as made, by its name."""
    for name, original in before.originals.items():
        shutil.copy(original, os.path.join(sandbox, name))
    return {name: signature for name, signature in listing(sandbox).items() if name in before.originals}


def changed_files(before: Before, working: str, copies: dict[str, Signature]) -> tuple[str, ...]:
    """The files below ``working`` that the solve added or changed, relative to it, sorted; ``copies`` are the
    signatures of the sandbox's copies as made."""
    after = listing(working)
    if before.listed is None:
        found = [
            name
            for name, signature in after.items()
            if name not in before.originals
            or (copies.get(name) != signature and not same_content(before.originals[name], os.path.join(working, name)))
        ]
    else:
        found = [name for name, signature in after.items() if before.listed.get(name) != signature]
    # Nor is the batch's own lock file of a folder solved in place.
    return tuple(sorted(name for name in found if not before.aside.fullmatch(name) and name != LOCK))


def same_content(one: str, other: str) -> bool:
    """Whether two files hold the same bytes (a file that cannot be read differs)."""
    try:
        if os.path.getsize(one) != os.path.getsize(other):
            return False
        with open(one, "rb") as first, open(other, "rb") as second:
            while True:
                chunk = first.read(_CHUNK)
                if chunk != second.read(_CHUNK):
                    return False
                if not chunk:
                    return True
    except OSError:
        return False


def listing(folder: str) -> dict[str, Signature]:
    """{path relative to folder: (size, modification time in ns, inode)} of every file below."""
    found: dict[str, Signature] = {}
    stack = [""]
    while stack:
        relative = stack.pop()
        try:
            entries = list(os.scandir(os.path.join(folder, relative)))
        except OSError:
            continue
        for entry in entries:
            name = os.path.join(relative, entry.name)
            if entry.is_dir(follow_symlinks=False):
                stack.append(name)
            elif entry.is_file():
                try:
                    info = entry.stat()
                except OSError:  # gone since the folder was read
                    continue
                found[name] = (info.st_size, info.st_mtime_ns, info.st_ino)
    return found

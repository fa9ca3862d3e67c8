"""What a solve takes as its input, found as the module's ``solve`` finds it, and each input's content digest.

The module's ``solve`` copies three files of the model's folder into its
sandbox: the model file, its fre file (``<model>.fre``, else
``conception.fre``) and the first file whose lower-cased name ends with
``.thf``, in the order of the folder's listing (the module's
``find_first_file``, which ``first_file`` follows without loading the
module). A resumed batch skips a model only when each of these is unchanged,
told by a SHA-256 digest of its bytes (which processors of the last years
compute in hardware: some 5 ms for a 3 MB model with a 2 MB fre file).
"""

from __future__ import annotations

import hashlib
import os

# The three inputs, in the order solve copies them.
MODEL, FRE, THF = "model", "fre", "thf"
_CHUNK = 1 << 20

# {role: {"file": the file's name, "sha256": its digest}, or None where the solve finds no such file}.
Digests = dict[str, "dict[str, str] | None"]


def first_file(directory: str, ending: str) -> str:
    """The first file of ``directory``'s listing whose lower-cased name ends with ``ending``, or "": as the
    module's ``find_first_file`` finds it (a link to a file counts; a folder does not)."""
    for name in os.listdir(directory):
        if name.lower().endswith(ending) and os.path.isfile(os.path.join(directory, name)):
            return os.path.join(directory, name)
    return ""


def solve_inputs(model: str) -> dict[str, str]:
    """{role: path} of the files that a solve of ``model`` copies into its sandbox; none when the model file
    is missing (solve then makes no sandbox)."""
    if not os.path.isfile(model):
        return {}
    folder = os.path.dirname(model)
    fre = os.path.splitext(model)[0] + ".fre"
    if not os.path.exists(fre):
        fre = os.path.join(folder, "conception.fre")
    thf = first_file(folder, ".thf")
    return {role: path for role, path in ((MODEL, model), (FRE, fre), (THF, thf)) if path and os.path.isfile(path)}


def digest_file(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def input_digests(model: str) -> Digests | None:
    """The digest of each input of a solve of ``model``; None when one of them cannot be read (then nothing
    counts as unchanged)."""
    found = solve_inputs(model)
    try:
        return {
            role: (
                {"file": os.path.basename(found[role]), "sha256": digest_file(found[role])} if role in found else None
            )
            for role in (MODEL, FRE, THF)
        }
    except OSError:
        return None

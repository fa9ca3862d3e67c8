"""Files and folders told apart by what they are, not by how they are named.

A folder reached through a link, a mapped drive and its UNC path, or two
spellings of one path are the same folder, and a file and its hard link the
same file: the system's device and file number (``os.stat``'s ``st_dev`` and
``st_ino``, which Windows fills from the volume serial number and the file
index) say so where the path text cannot.
"""

from __future__ import annotations

import os
from typing import Union

Identity = Union[tuple[int, int], tuple[str, str]]


def identity(path: str) -> Identity:
    """What ``path`` is; the resolved path text where the file system gives no file number."""
    try:
        info = os.stat(path)
    except OSError:
        info = None
    if info is None or not info.st_ino:
        return ("path", os.path.normcase(os.path.realpath(path)))
    return (info.st_dev, info.st_ino)


def folder_and_ancestors(folder: str) -> tuple[Identity, ...]:
    """The identities of ``folder`` and of every folder that holds it, nearest first. The path is resolved
    first, so that the ancestors are those of the folder itself, not of a link to it; the levels that do not
    exist (a results folder still to be made) are left out."""
    chain: list[Identity] = []
    level = os.path.realpath(folder)
    while True:
        if os.path.exists(level):
            chain.append(identity(level))
        parent = os.path.dirname(level)
        if parent == level:
            return tuple(chain)
        level = parent

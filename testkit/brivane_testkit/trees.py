"""A folder tree as it is now, to compare with itself later: by the bytes of its files, or by their sizes and
modification times (cheap enough for trees that a tool compares thousands of times)."""

import os


def tree_contents(root, skip=()):
    """{relative path: bytes, or None for a folder (its path ends with a separator)} of the tree under `root`,
    leaving out the trees under the folders in `skip`."""
    skipped = {os.path.realpath(s) for s in skip}
    found = {}
    for folder, folders, files in os.walk(root):
        folders[:] = [f for f in folders if os.path.realpath(os.path.join(folder, f)) not in skipped]
        relative = os.path.relpath(folder, root)
        for name in folders:
            found[os.path.normpath(os.path.join(relative, name)) + os.sep] = None
        for name in files:
            path = os.path.join(folder, name)
            if os.path.realpath(path) in skipped:
                continue
            with open(path, "rb") as f:
                found[os.path.normpath(os.path.join(relative, name))] = f.read()
    return found


def tree_stamps(folder, skip=None):
    """{relative path: (size, mtime)} of a tree, leaving out the folder `skip`."""
    found = {}
    for root, folders, files in os.walk(folder):
        folders[:] = [f for f in folders if os.path.join(root, f) != skip]
        for name in folders + files:
            path = os.path.join(root, name)
            status = os.lstat(path)
            found[os.path.relpath(path, folder)] = (status.st_size, status.st_mtime_ns)
    return found

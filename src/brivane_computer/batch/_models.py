"""Which model files a batch solves, and the name of each one's results folder."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import NamedTuple, Union

from ._errors import BatchInputError, BatchInputNotFound
from ._identity import Identity, identity

MODEL_EXTENSION = ".vokel"


class FoundModel(NamedTuple):
    """A model file to solve."""

    path: str
    # Its results folder under a batch's results folder: the model's path relative to the folder it
    # was found in, without ".vokel", or its stem when it was named directly; made unique.
    name: str


ModelSource = Union[str, "os.PathLike[str]", FoundModel]


def find_models(paths: Iterable[ModelSource]) -> list[FoundModel]:
    """The model files that ``paths`` name, in order, each once.

    A model file (".vokel", any letter case) is taken as it is, another file
    is a ``BatchInputError``; a folder gives every ".vokel" file below it
    (any letter case), in name order. Linked folders below it are followed,
    each once: a folder that the search has already been through (reached
    again through another link, or a link to a folder that holds it) is not
    searched again, so that a loop of links ends. A model file is told by what
    it is, its device and file number, not by its path: one reached by
    several paths (a linked folder, a link or a hard link, one file given in
    two spellings) is taken once, under the path that comes first in name
    order (folder by folder), whichever path reached it first; so its name,
    its results folder and what resume finds of it are the same on every run.
    ``paths`` is a collection: a single path or ``FoundModel`` raises
    ``TypeError``. Raises ``BatchInputNotFound`` (a ``FileNotFoundError``) for
    a path that does not exist.
    """
    reached: list[FoundModel] = []
    for source in model_sources(paths):
        if isinstance(source, FoundModel):
            reached.append(FoundModel(source.path, _results_name(source)))
            continue
        path = os.path.abspath(source)
        if os.path.isfile(path):
            if not path.lower().endswith(MODEL_EXTENSION):
                raise BatchInputError(
                    f"{source} is not a model file (.vokel): give model files, or folders whose "
                    "model files are all solved"
                )
            reached.append(FoundModel(path, os.path.splitext(os.path.basename(path))[0]))
        elif os.path.isdir(path):
            reached += [
                FoundModel(model, os.path.splitext(os.path.relpath(model, path))[0]) for model in _models_below(path)
            ]
        else:
            raise BatchInputNotFound(f"the model file or folder {source} does not exist")
    # Each file by the index of its path that comes first in name order.
    kept: dict[Identity, int] = {}
    for index, model in enumerate(reached):
        file = identity(model.path)
        if file not in kept or _in_name_order(model.path) < _in_name_order(reached[kept[file]].path):
            kept[file] = index
    found: list[FoundModel] = []
    names: set[str] = set()
    for index in sorted(kept.values()):
        path, name = reached[index]
        unique, number = name, 1
        while os.path.normcase(unique) in names:
            number += 1
            unique = f"{name}-{number}"
        names.add(os.path.normcase(unique))
        found.append(FoundModel(path, unique))
    return found


def model_sources(paths: Iterable[ModelSource]) -> list[str | FoundModel]:
    """The entries of a collection of models, each a ``FoundModel`` or a path as text.

    Raises ``TypeError`` for one path or one ``FoundModel`` given alone (a
    string would be read letter by letter), and for an entry of another type.
    """
    if isinstance(paths, (str, bytes, os.PathLike, FoundModel)):
        raise TypeError(
            f"expected a collection of models (a list of model files and folders), not one "
            f"{type(paths).__name__}: give [{paths!r}]"
        )
    try:
        entries = list(paths)
    except TypeError:
        raise TypeError(
            f"expected a collection of models (a list of model files and folders), not {type(paths).__name__}"
        ) from None
    sources: list[str | FoundModel] = []
    for entry in entries:
        if isinstance(entry, FoundModel):
            sources.append(entry)
            continue
        path = os.fspath(entry) if isinstance(entry, (str, os.PathLike)) else None
        if not isinstance(path, str):
            raise TypeError(
                f"a model is a path given as text or a path object, or an entry of find_models, "
                f"not {type(entry).__name__}: {entry!r}"
            )
        if "\0" in path:
            raise BatchInputError(f"the model file or folder {path!r} holds a NUL character, which no file name can")
        sources.append(path)
    return sources


def _results_name(model: FoundModel) -> str:
    """A ``FoundModel``'s name, which names its results folder below the batch's: a relative path that stays
    below it."""
    name, path = model.name, model.path
    if not isinstance(path, str) or not path or "\0" in path:
        raise BatchInputError(f"a FoundModel's path must be a model file's path, not {path!r}")
    parts = name.replace("\\", "/").split("/") if isinstance(name, str) else []
    if (
        not isinstance(name, str)
        or not name.strip()
        or "\0" in name
        or os.path.isabs(name)
        or os.path.splitdrive(name)[0]
        or any(part in ("", ".", "..") for part in parts)
    ):
        raise BatchInputError(
            f"a FoundModel's name names its results folder below the batch's results folder: "
            f"a relative path without '.' or '..' parts, not {name!r} (model {path})"
        )
    return name


def _models_below(folder: str) -> list[str]:
    """The model files below ``folder``, folder by folder in name order, through linked folders: each folder is
    searched once, by the path that comes first in that order."""
    models: list[str] = []
    searched: set[Identity] = set()
    for base, folders, files in os.walk(folder, followlinks=True):
        here = identity(base)
        if here in searched:
            folders.clear()
            continue
        searched.add(here)
        folders.sort()
        models += [os.path.join(base, name) for name in sorted(files) if name.lower().endswith(MODEL_EXTENSION)]
    return models


def _in_name_order(path: str) -> list[str]:
    # Folder by folder, as the search goes: "a/b" comes before "a-b", as folder "a" comes before "a-b".
    return os.path.normpath(path).split(os.sep)

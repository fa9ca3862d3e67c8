"""File helpers shared by the product classes: atomic writes, checked reads."""

import json
import os
import tempfile

from ..dotnet import (
    ArgumentNullException,
    DirectoryNotFoundException,
    FileNotFoundException,
    InvalidDataException,
    IOException,
    UnauthorizedAccessException,
)
from ..knobs import knobs


def check_path(path):
    if path is None:
        raise ArgumentNullException("path")
    if not isinstance(path, str):
        raise TypeError("path must be a string")
    return path


def write_atomic(path, text):
    """Write ``text`` to ``path`` through a temporary file of the same folder
    and ``os.replace``: the target is either the old or the new file."""
    check_path(path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise DirectoryNotFoundException(f"Could not find a part of the path '{path}'.")
    if os.path.isdir(path):
        raise UnauthorizedAccessException(f"Access to the path '{path}' is denied.")
    data = text.encode("utf-8")
    try:
        fd, temp = tempfile.mkstemp(dir=folder, suffix=".tmp", prefix="." + os.path.basename(path) + ".")
    except OSError as e:
        raise IOException(str(e)) from None
    try:
        with os.fdopen(fd, "wb") as f:
            if knobs.fail_writes_after is not None:
                f.write(data[: knobs.fail_writes_after])
                raise IOException("There is not enough space on the disk.")
            f.write(data)
        # As the product's files are made: for the user, within the umask (mkstemp makes them private).
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except OSError as e:
        raise IOException(str(e)) from None
    finally:
        if os.path.exists(temp):
            os.remove(temp)


def read_text(path):
    check_path(path)
    if os.path.isdir(path):
        raise UnauthorizedAccessException(f"Access to the path '{path}' is denied.")
    if not os.path.isfile(path):
        raise FileNotFoundException(f"Could not find file '{path}'.")
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except UnicodeDecodeError:
        raise InvalidDataException(f"'{path}' is not a text file.") from None
    except OSError as e:
        raise IOException(str(e)) from None


def read_json(path, marker):
    """Parse a stand-in JSON document whose ``marker`` member must be 1."""
    text = read_text(path)
    try:
        document = json.loads(text)
    except ValueError:
        document = None
    if not isinstance(document, dict) or document.get(marker) != 1:
        raise InvalidDataException(f"'{path}' is not a valid {marker} file.")
    return document

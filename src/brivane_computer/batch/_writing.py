"""Files that the batch writes into a results folder, never through a link.

Each file is written whole under a new name, made exclusively in its folder
and unique to the writer (``.brivane-<random>.partial``), then renamed over
its target, so that a batch that stops meanwhile leaves the old file or the
new one. A target that is a link is refused (``LinkRefused``): the link and
what it names are left alone. On POSIX the folder and each folder below it
are opened without following links (``O_NOFOLLOW``) and every step works
relative to them (``dir_fd``), so that a folder that became a link after the
batch claimed it is caught too. On Windows, where Python has no ``dir_fd``,
each part of the path is looked at with ``lstat`` just before the file is
made and renamed: the best that can be done there. Each folder written into
is announced as the audit event ``brivane.batch.write_folder``, since the
interpreter's own events do not say which folder a relative name is in.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
import sys
from collections.abc import Iterator

TEMPORARY_PREFIX, TEMPORARY_SUFFIX = ".brivane-", ".partial"
_CHUNK = 1 << 20
_BY_DESCRIPTOR = sys.platform != "win32" and os.open in os.supports_dir_fd and hasattr(os, "O_NOFOLLOW")
_FOLDER_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_NOFOLLOW", 0)
_NEW_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)


class LinkRefused(OSError):
    """A link where the batch was to write a file or make a folder: nothing is written through it."""

    def __init__(self, path: str) -> None:
        super().__init__(
            errno.ELOOP,
            f"{path} is a link: the batch does not write through links, and left it and what it names as they are",
            path,
        )

    def __str__(self) -> str:
        return str(self.strerror)


def is_temporary(name: str) -> bool:
    """Whether ``name`` is one of the writers' temporary names: a file left by a batch that was killed."""
    return name.startswith(TEMPORARY_PREFIX) and name.endswith(TEMPORARY_SUFFIX)


def _temporary_name() -> str:
    return f"{TEMPORARY_PREFIX}{secrets.token_hex(8)}{TEMPORARY_SUFFIX}"


def _is_link(info: os.stat_result) -> bool:
    # A Windows junction is a reparse point that lstat does not report as a link.
    return stat.S_ISLNK(info.st_mode) or bool(getattr(info, "st_file_attributes", 0) & 0x400)


def _named(error: OSError, path: str) -> OSError:
    """The error with the path that it concerns, so that its message names the file."""
    return error if error.filename else OSError(error.errno, error.strerror, path)


def file_mode(source_mode: int) -> int:
    """The mode of a file written for the user: the product's, within the user's umask."""
    umask = os.umask(0)
    os.umask(umask)
    return stat.S_IMODE(source_mode) & ~umask


class Folder:
    """A folder that the batch writes files into: ``path`` itself must not be a link."""

    def __init__(self, path: str) -> None:
        self.path = path
        # What watches the process's writes (an audit hook) learns the folder that the names below are in.
        sys.audit("brivane.batch.write_folder", path)
        self._descriptor: int | None = None
        if _BY_DESCRIPTOR:
            try:
                self._descriptor = os.open(path, _FOLDER_FLAGS)
            except OSError as error:
                if error.errno in (errno.ELOOP, errno.ENOTDIR) and os.path.islink(path):
                    raise LinkRefused(path) from None
                raise _named(error, path) from None
        else:
            self._check_not_link(path)

    def close(self) -> None:
        if self._descriptor is not None:
            os.close(self._descriptor)
            self._descriptor = None

    def __enter__(self) -> Folder:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def write(self, relative: str, data: bytes | None = None, source: str | None = None, mode: int = 0o666) -> None:
        """Writes ``data``, or a copy of the file ``source``, to ``relative`` below the folder (its folders made
        when missing), replacing a file there; ``mode`` within the user's umask."""
        with self._below(relative, make=True) as (where, name):
            temporary = self._temporary(where, data, source, file_mode(mode), relative)
            try:
                self._refuse_link(where, name, relative)
                self._rename(where, temporary, name, relative)
            except BaseException:
                self._remove(where, temporary)
                raise

    def publish(self, name: str, data: bytes) -> bool:
        """Writes ``data`` to ``name`` in the folder only if nothing is there: whether it did. Between
        processes, one alone publishes a name."""
        with self._below(name, make=False) as (where, last):
            temporary = self._temporary(where, data, None, file_mode(0o666), name)
            try:
                if self._descriptor is not None:
                    os.link(temporary, last, src_dir_fd=where, dst_dir_fd=where, follow_symlinks=False)
                else:
                    os.link(os.path.join(self.path, temporary), os.path.join(self.path, last))
                return True
            except FileExistsError:
                return False
            except OSError as error:
                raise _named(error, os.path.join(self.path, name)) from None
            finally:
                self._remove(where, temporary)

    def make_folder(self, relative: str) -> None:
        """Makes ``relative`` below the folder and the folders that hold it, where missing."""
        # The folders that would hold a file in it: the name of that file is never used.
        with self._below(relative + "/-", make=True):
            pass

    def remove(self, name: str) -> None:
        """Removes the file ``name`` of the folder, if it is there (a link is removed, not what it names)."""
        with contextlib.suppress(FileNotFoundError):
            if self._descriptor is not None:
                os.unlink(name, dir_fd=self._descriptor)
            else:
                os.unlink(os.path.join(self.path, name))

    def remove_temporary(self, name: str) -> None:
        """Removes a writer's temporary file that a killed batch left in the folder."""
        if is_temporary(name):
            with contextlib.suppress(OSError):
                if self._descriptor is not None:
                    os.unlink(name, dir_fd=self._descriptor)
                else:
                    os.unlink(os.path.join(self.path, name))

    @contextlib.contextmanager
    def _below(self, relative: str, make: bool) -> Iterator[tuple[int | None, str]]:
        """(the folder that holds ``relative``, by descriptor on POSIX, and its last name)."""
        parts = [part for part in relative.replace("\\", "/").split("/") if part not in ("", ".")]
        if not parts or ".." in parts:
            raise ValueError(f"not a path below the folder: {relative!r}")
        if self._descriptor is None:
            for depth in range(1, len(parts)):
                folder = os.path.join(self.path, *parts[:depth])
                self._check_not_link(folder)
                if make and not os.path.lexists(folder):
                    with contextlib.suppress(FileExistsError):
                        os.mkdir(folder)
            yield None, os.path.join(*parts)
            return
        current = os.dup(self._descriptor)
        try:
            for depth, part in enumerate(parts[:-1], 1):
                opened = self._open_folder(current, part, make, os.path.join(self.path, *parts[:depth]))
                os.close(current)
                current = opened
            yield current, parts[-1]
        finally:
            os.close(current)

    @staticmethod
    def _open_folder(parent: int, name: str, make: bool, path: str) -> int:
        for _ in range(2):
            try:
                return os.open(name, _FOLDER_FLAGS, dir_fd=parent)
            except FileNotFoundError:
                if not make:
                    raise
                with contextlib.suppress(FileExistsError):
                    os.mkdir(name, 0o777, dir_fd=parent)
            except OSError as error:
                if error.errno in (errno.ELOOP, errno.ENOTDIR) and _is_link(
                    os.stat(name, dir_fd=parent, follow_symlinks=False)
                ):
                    raise LinkRefused(path) from None
                raise _named(error, path) from None
        return os.open(name, _FOLDER_FLAGS, dir_fd=parent)

    def _temporary(self, where: int | None, data: bytes | None, source: str | None, mode: int, relative: str) -> str:
        """A new file of the folder holding ``data`` (or ``source``'s bytes), under a name of its own."""
        name = _temporary_name()
        folder_of = os.path.dirname(relative) if where is None else ""
        temporary = os.path.join(folder_of, name) if folder_of else name
        path = os.path.join(self.path, relative)
        try:
            if where is not None:
                descriptor = os.open(temporary, _NEW_FILE_FLAGS, 0o600, dir_fd=where)
            else:
                descriptor = os.open(os.path.join(self.path, temporary), _NEW_FILE_FLAGS, 0o600)
        except OSError as error:
            raise _named(error, path) from None
        try:
            with os.fdopen(descriptor, "wb") as f:
                if data is not None:
                    f.write(data)
                elif source is not None:
                    with open(source, "rb") as original:
                        while chunk := original.read(_CHUNK):
                            f.write(chunk)
                if hasattr(os, "fchmod"):
                    os.fchmod(f.fileno(), mode)
            if not hasattr(os, "fchmod"):
                os.chmod(os.path.join(self.path, temporary), mode)
        except BaseException as error:
            self._remove(where, temporary)
            if isinstance(error, OSError):
                raise _named(error, path) from None
            raise
        return temporary

    def _refuse_link(self, where: int | None, name: str, relative: str) -> None:
        try:
            if where is not None:
                info = os.stat(name, dir_fd=where, follow_symlinks=False)
            else:
                info = os.lstat(os.path.join(self.path, name))
        except FileNotFoundError:
            return
        if _is_link(info):
            raise LinkRefused(os.path.join(self.path, relative))

    def _rename(self, where: int | None, temporary: str, name: str, relative: str) -> None:
        try:
            if where is not None:
                os.rename(temporary, name, src_dir_fd=where, dst_dir_fd=where)
            else:
                os.replace(os.path.join(self.path, temporary), os.path.join(self.path, name))
        except OSError as error:
            raise _named(error, os.path.join(self.path, relative)) from None

    def _remove(self, where: int | None, temporary: str) -> None:
        with contextlib.suppress(OSError):
            if where is not None:
                os.unlink(temporary, dir_fd=where)
            else:
                os.unlink(os.path.join(self.path, temporary))

    @staticmethod
    def _check_not_link(path: str) -> None:
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            return
        if _is_link(info):
            raise LinkRefused(path)

"""Replace a file atomically: readers see the old file or the new one."""

from __future__ import annotations

import os
import tempfile
from typing import Callable, Union

__all__ = ["write_atomic", "write_atomic_with"]


def write_atomic(path: Union[str, "os.PathLike[str]"], data: bytes, *more: bytes) -> None:
    """Write ``data`` (then each of ``more``) to ``path`` atomically (see
    write_atomic_with)."""

    def fill(fd: int) -> None:
        with os.fdopen(os.dup(fd), "wb") as out:
            out.write(data)
            for chunk in more:
                out.write(chunk)

    write_atomic_with(path, fill)


def write_atomic_with(path: Union[str, "os.PathLike[str]"], fill: Callable[[int], None]) -> None:
    """Fill ``path`` through a temporary file and a rename: ``fill`` gets
    the descriptor of the new, empty file (open for reading and writing).

    The temporary file lives in the target's directory (a rename is atomic
    only within one file system), is flushed to disk before it is renamed
    into place, and is removed if anything fails, so an interrupted or failed
    write leaves either the old file or none, never a truncated one.
    """
    target = os.path.abspath(os.fspath(path))
    directory, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
    try:
        try:
            fill(fd)  # writes the contents through the open descriptor
            os.fsync(fd)
        finally:
            os.close(fd)
        # mkstemp creates the file private (0600); give it the permissions an
        # ordinary open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def _sync_directory(directory: str) -> None:
    # Makes the rename itself durable; not every platform or file system
    # allows opening a directory, and the data is safe either way.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)

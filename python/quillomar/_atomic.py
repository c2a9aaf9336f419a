"""Replace a file atomically: readers see the old file or the new one.

What an existing target is decides what happens to it:

* a regular file is replaced, and the new file takes its permission bits
  and, as far as this process may set them, its owner and group;
* a symbolic link is followed: the file it leads to is replaced the same
  way (the link itself stays);
* anything else (a device, a FIFO, a socket, a directory) is refused with
  NotRegularFileError and left alone.

The new file is written as a hidden ``.NAME.*.tmp`` file beside the
target, locked while in use, and removed on every failure that Python sees
(``quillomar build`` turns SIGTERM and SIGHUP into one). A process killed
outright leaves it behind; the next write of the same target removes such
files that no live writer holds.
"""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import tempfile
import time
from typing import Callable, Optional, Union

__all__ = ["NotRegularFileError", "write_atomic", "write_atomic_with"]

_STALE_AFTER = 1.0
"""Seconds since its last change before an unlocked temporary file counts
as left by a dead writer (a live one locks it right after creating it)."""


class NotRegularFileError(OSError):
    """The target exists and is not a regular file (nor a link to one)."""


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
    Raises NotRegularFileError (an OSError) for a target that is not a
    regular file; see the module's description.
    """
    target = os.path.realpath(os.fspath(path))
    old = _existing(target)
    directory, name = os.path.split(target)
    _remove_stale(directory, name)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
    try:
        try:
            # Held until the descriptor closes: a later write of the same
            # target sees that this file is in use, not left behind.
            fcntl.flock(fd, fcntl.LOCK_EX)
            fill(fd)  # writes the contents through the open descriptor
            _take_over(fd, old)
            os.fsync(fd)
            os.replace(temporary, target)
        finally:
            os.close(fd)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def _existing(target: str) -> Optional[os.stat_result]:
    """The status of the file at ``target`` (None when there is none);
    raises NotRegularFileError for one that must not be replaced."""
    try:
        found = os.stat(target)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(found.st_mode):
        raise NotRegularFileError(
            errno.EEXIST,
            f"{target} exists and is {_kind(found.st_mode)}, not a regular file; "
            "refusing to replace it",
        )
    return found


def _kind(mode: int) -> str:
    for test, kind in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return kind
    return "a special file"


def _take_over(fd: int, old: Optional[os.stat_result]) -> None:
    """Give the new file the old one's owner, group and permission bits;
    without an old file, the permissions an ordinary open() would give."""
    if old is None:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        return
    mine = os.fstat(fd)
    if (mine.st_uid, mine.st_gid) != (old.st_uid, old.st_gid):
        # Only a privileged process may give a file away; anyone may keep
        # the group when they belong to it. Otherwise the writer owns it.
        for uid in (old.st_uid, -1):
            try:
                os.fchown(fd, uid, old.st_gid)
                break
            except PermissionError:
                continue
    os.fchmod(fd, stat.S_IMODE(old.st_mode))  # after fchown, which clears set-id bits


def _remove_stale(directory: str, name: str) -> None:
    """Remove temporary files of earlier writes of ``name`` that no live
    writer holds (left by a process that was killed)."""
    prefix, now = f".{name}.", time.time()
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        if not (entry.startswith(prefix) and entry.endswith(".tmp")):
            continue
        path = os.path.join(directory, entry)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            found = os.fstat(fd)
            if not stat.S_ISREG(found.st_mode) or now - found.st_mtime < _STALE_AFTER:
                continue
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # held by a live writer: OSError
            os.unlink(path)
        except OSError:
            continue
        finally:
            os.close(fd)


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

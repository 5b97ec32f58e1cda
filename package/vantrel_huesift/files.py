"""The user's files: how one is named, read and written, for every command.

- One key per file however it is named (relative, absolute, through a link).
- An input may be a regular file or a pipe; a folder is named as a folder, never "not found".
- A regular file is written under a temporary name beside it and renamed over it when complete,
  so that a crash or a reader never meets half a file; a link's target is replaced and the
  file's mode kept. A temporary file is removed when the writing fails or is interrupted
  (SIGINT, and SIGTERM where the command line turns it into an exception), and one left by a
  process that was killed outright is removed by the next write to that file.
- A pipe, a character device (/dev/null) or an open descriptor (/dev/stdout) is written
  directly; it is never replaced. A folder, a block device or a socket is refused in one line.
"""

from __future__ import annotations

import errno
import os
import re
import secrets
import shutil
import stat
import tempfile
from pathlib import Path
from typing import BinaryIO, Callable, Optional, Tuple

_DESCRIPTOR = re.compile(r"/(?:dev|proc/self)/fd/(\d+)|/dev/std(in|out|err)")


class InputError(ValueError):
    """An input that cannot be read: missing, or of a kind that is not read."""


def same_file_key(path: str) -> str:
    """One key per file, however it was named: relative, absolute or through a link."""
    return str(Path(path).resolve())


def same_file(a: str, b: str) -> bool:
    """Whether two names reach one file: the same resolved path, or the same inode (a hard link,
    or a link the path does not show)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samestat(os.stat(a), os.stat(b))
    except (OSError, ValueError):
        return False


def check_input(path: str, what: str) -> None:
    """Refuses, in one line, an input that names nothing, or a folder; a regular file, a pipe
    or a character device is read."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        raise InputError(f"{what} not found: {path}") from None
    if stat.S_ISDIR(mode):
        raise InputError(f"{what} {path} is a folder, not a file")
    if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
        raise InputError(f"{what} {path} is not a file that can be read")


def read_bytes(path: str, limit: Optional[int] = None) -> bytes:
    """The bytes of a regular file or a pipe, at most `limit` of them (more raises
    InputError); anything else raises InputError without being opened for long."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
            raise InputError(f"{path} is not a file or a pipe")
        os.set_blocking(fd, True)
        chunks, size = [], 0
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
            size += len(chunk)
            if limit is not None and size > limit:
                raise InputError(f"{path} is larger than {limit} bytes")
    finally:
        os.close(fd)


# ---- writing -----------------------------------------------------------------------------

def _descriptor(path: str) -> Optional[int]:
    """The descriptor a name such as /dev/stdout or /dev/fd/3 stands for, or None."""
    found = _DESCRIPTOR.fullmatch(os.path.normpath(path))
    if found is None:
        return None
    return int(found[1]) if found[1] is not None else ("in", "out", "err").index(found[2])


def _written_directly(path: str) -> bool:
    """Whether `path` is written in place: an open descriptor's name, a pipe or a character
    device. A folder, a block device or a socket raises an error that names it."""
    if _descriptor(path) is not None:
        return True
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return False
    if stat.S_ISREG(mode):
        return False
    if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode):
        return True
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    kind = "a block device" if stat.S_ISBLK(mode) else "not a regular file"
    raise OSError(errno.EINVAL, f"{kind}; it is not written over", path)


def _temporary_stem(folder: str, name: str, suffix: str) -> str:
    """The start of a temporary name for `name` ("." and the name), cut so that the whole name
    fits the file system's limit."""
    try:
        limit = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    room = limit - len(os.fsencode(f"..{'0' * 8}.tmp{suffix}"))
    return "." + os.fsdecode(os.fsencode(name)[:room])


def _stray_pattern(folder: str, name: str) -> "re.Pattern[str]":
    stem = _temporary_stem(folder, name, "")
    return re.compile(re.escape(stem) + r"\.[0-9a-f]{8}\.tmp(?:\.[^./]*)?")


def remove_strays(path: str) -> int:
    """Removes the temporary files that writes of `path` left when their process was killed
    outright: those no process holds locked (a writer's is locked from the moment it bears its
    name until it is renamed or removed). Returns how many."""
    import fcntl

    real = os.path.realpath(path)
    folder, name = os.path.split(real)
    pattern, removed = _stray_pattern(folder, name), 0
    try:
        entries = os.listdir(folder or ".")
    except OSError:
        return 0
    for entry in entries:
        if not pattern.fullmatch(entry):
            continue
        stray = os.path.join(folder, entry)
        try:
            fd = os.open(stray, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if stat.S_ISREG(os.fstat(fd).st_mode):
                os.unlink(stray)
                removed += 1
        except OSError:  # locked: a live writer's
            pass
        finally:
            os.close(fd)
    return removed


def new_beside(path: str, suffix: str = "") -> Tuple[int, str]:
    """An empty file, open for writing and locked, beside the file `path` names (beside a
    link's target), with that file's mode, or the mode a new file gets; returns its descriptor
    and name. Its name ends with `suffix`, for writers that choose a format by it."""
    import fcntl

    real = os.path.realpath(path)
    folder, name = os.path.split(real)
    remove_strays(real)
    stem = _temporary_stem(folder, name, suffix)
    while True:
        token = secrets.token_hex(4)
        temporary = os.path.join(folder, f"{stem}.{token}.tmp{suffix}")
        # made under another name, locked, then given its name: a temporary file no one holds
        # locked is always a stray
        new = os.path.join(folder, f"{stem}.{token}.new")
        try:
            fd = os.open(new, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        except OSError as e:  # named after what the user asked for, not the temporary name
            raise type(e)(e.errno, e.strerror, path) from None
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        if not os.path.lexists(temporary):
            os.rename(new, temporary)
            break
        os.close(fd)
        os.unlink(new)
    try:
        os.fchmod(fd, stat.S_IMODE(os.stat(real).st_mode))
    except FileNotFoundError:
        pass
    return fd, temporary


def _into_place(fd: int, temporary: str, path: str) -> None:
    os.fsync(fd)
    os.replace(temporary, os.path.realpath(path))


def replace(path: str, write: Callable[[BinaryIO], None]) -> None:
    """Writes a file through `write`: a regular file (or a new one) under a temporary name,
    then renamed to `path`, the old one staying whole until the new one is complete; a pipe,
    a character device or a descriptor's name directly."""
    if _written_directly(path):
        _write_directly(path, write)
        return
    fd, temporary = new_beside(path)
    try:
        with os.fdopen(fd, "wb", closefd=False) as out:
            write(out)
        _into_place(fd, temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    finally:
        os.close(fd)


def replace_named(path: str, write: Callable[[str], None], default_suffix: str = "") -> str:
    """As `replace`, for a writer that takes a file name and chooses the format by its suffix
    (matplotlib's savefig, OpenCV's imwrite): it is given a temporary name with `path`'s
    suffix, or `default_suffix` where `path` has none. Returns the name written: a regular
    file's name without a suffix gets `default_suffix`; a pipe, a device or a descriptor's name
    is written as it is, never beside it."""
    suffix = os.path.splitext(path)[1].rstrip(".")
    if _written_directly(path):
        suffix = suffix or default_suffix
        with tempfile.TemporaryDirectory() as folder:
            made = os.path.join(folder, "out" + suffix)
            write(made)
            with open(made, "rb") as source:
                _write_directly(path, lambda out: shutil.copyfileobj(source, out))
        return path
    if not suffix and default_suffix:
        path, suffix = path.rstrip(".") + default_suffix, default_suffix
        if _written_directly(path):  # the name with its suffix is itself a pipe or a device
            return replace_named(path, write)
    fd, temporary = new_beside(path, suffix)
    try:
        write(temporary)
        _into_place(fd, temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    finally:
        os.close(fd)
    return path


def _write_directly(path: str, write: Callable[[BinaryIO], None]) -> None:
    descriptor = _descriptor(path)
    if descriptor is not None:  # the descriptor itself: no reopening, no truncation
        fd = os.dup(descriptor)
    else:
        fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    with os.fdopen(fd, "wb") as out:
        write(out)

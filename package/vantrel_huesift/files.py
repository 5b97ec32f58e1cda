"""The user's files: one key per file however it is named, and new versions written beside the
old ones and renamed over them, so that a crash or a reader never meets half a file."""

from __future__ import annotations

import os
import secrets
import stat
from pathlib import Path
from typing import BinaryIO, Callable, Tuple


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


def new_beside(path: str) -> Tuple[int, str]:
    """An empty file, open for writing, beside the file `path` names (beside a link's target),
    with that file's mode, or the mode a new file gets; returns its descriptor and name."""
    real = os.path.realpath(path)
    folder, name = os.path.split(real)
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
        except OSError as e:  # named after what the user asked for, not the temporary name
            raise type(e)(e.errno, e.strerror, path) from None
    try:
        os.fchmod(fd, stat.S_IMODE(os.stat(real).st_mode))
    except FileNotFoundError:
        pass
    return fd, temporary


def replace(path: str, write: Callable[[BinaryIO], None]) -> None:
    """Writes a file through `write` under a temporary name and renames it to `path`; an
    existing file (a link's target, for a link) stays whole until the new one is complete."""
    fd, temporary = new_beside(path)
    try:
        with os.fdopen(fd, "wb") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, os.path.realpath(path))
    except BaseException:
        os.unlink(temporary)
        raise

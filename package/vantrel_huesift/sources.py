"""Finding a batch's images: files, folders (searched recursively) and glob patterns.

Every source is checked before any work starts: a name that is not a file, a folder or a
pattern that matches something stops the batch at once. Folders are walked following links to
folders, each real folder once, so that a link back up the tree cannot send the walk round in
circles; `**` in a pattern walks the same way. Each file is found once, however it is named.
"""

from __future__ import annotations

import fnmatch
import glob
import os
import re
import stat
from pathlib import Path
from typing import Iterable, Iterator, List, Optional, Set, Tuple

from .files import same_file_key

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".jp2", ".ppm",
                  ".pgm", ".pbm", ".pnm", ".sr", ".ras", ".exr", ".hdr", ".pic"}

Folder = Tuple[int, int]  # a real folder: device and inode


class NoImagesError(ValueError):
    """A path, folder or pattern that names no file."""


def check_sources(paths: Iterable[str]) -> None:
    """Raises NoImagesError for the first source that names nothing a batch can read."""
    for text in paths:
        try:
            mode: Optional[int] = os.stat(text).st_mode
        except (OSError, ValueError):
            mode = None
        if mode is not None:
            if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
                raise NoImagesError(f"not a file nor a folder: {text}")
        elif not glob.has_magic(text) or next(_expand(text), None) is None:
            raise NoImagesError(f"no such file, folder or pattern: {text}")


def find_images(paths: Iterable[str]) -> Iterator[str]:
    """The images under files, folders and globs, each once, named as the caller wrote them,
    in the order given (a folder's files sorted)."""
    seen: Set[str] = set()
    walked: Set[Folder] = set()
    for text in paths:
        if os.path.isdir(text):
            candidates: Iterable[str] = walk(text, walked)
        elif os.path.isfile(text):
            candidates = [text]
        elif glob.has_magic(text):
            candidates = (found for match in _expand(text) for found in (
                walk(match, walked) if os.path.isdir(match) else [match]
                if os.path.isfile(match) else []))
        else:
            raise NoImagesError(f"no such file, folder or pattern: {text}")
        for candidate in candidates:
            key = same_file_key(candidate)
            if key not in seen:
                seen.add(key)
                yield candidate


def _real(path: str) -> Optional[Folder]:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return (info.st_dev, info.st_ino)


def _entries(root: str, visited: Set[Folder]) -> Iterator[Tuple[str, bool]]:
    """Every file and folder below `root` as (relative path, is a folder), following links
    to folders, each real folder once; in no particular order."""
    start = _real(root)
    if start is None or start in visited:
        return
    visited.add(start)
    pending = [""]
    while pending:
        relative = pending.pop()
        try:
            listing = list(os.scandir(os.path.join(root, relative) if relative else root))
        except OSError:
            continue
        for entry in listing:
            name = os.path.join(relative, entry.name) if relative else entry.name
            try:
                is_folder = entry.is_dir()
            except OSError:
                continue
            if is_folder:
                real = _real(entry.path)
                if real is None or real in visited:
                    continue
                visited.add(real)
                pending.append(name)
            yield name, is_folder


def walk(root: str, visited: Optional[Set[Folder]] = None) -> Iterator[str]:
    """The image files below a folder, sorted as paths; each real folder is visited once
    (also across the calls that share `visited`)."""
    found = [name for name, is_folder in _entries(root, set() if visited is None else visited)
             if not is_folder and Path(name).suffix.lower() in IMAGE_SUFFIXES]
    for name in sorted(found, key=lambda n: Path(n).parts):
        if os.path.isfile(os.path.join(root, name)):
            yield str(Path(root) / name)


def _part(pattern: str) -> str:
    """A regular expression for one part of a path pattern, as glob reads it: names starting
    with a dot are matched only by a part that starts with one."""
    body = re.sub(r"^\(\?s:(.*)\)\\[Zz]$", r"\1", fnmatch.translate(pattern), flags=re.S)
    return body if pattern.startswith(".") else r"(?!\.)" + body


def _expand(pattern: str) -> Iterator[str]:
    """The paths a pattern matches, sorted. Without `**`, glob's own; with it, a walk from the
    pattern's fixed start that visits each real folder once."""
    if "**" not in pattern:
        yield from sorted(glob.glob(pattern))
        return
    parts = pattern.split("/")
    fixed: List[str] = []
    while parts and not glob.has_magic(parts[0]):
        fixed.append(parts.pop(0))
    root = "/".join(fixed) or ("/" if pattern.startswith("/") else ".")
    regex = ""
    for i, part in enumerate(parts):
        last = i == len(parts) - 1
        if part == "**":
            regex += r"(?:(?!\.)[^/]+(?:/|$))*" if last else r"(?:(?!\.)[^/]+/)*"
        else:
            regex += _part(part) + ("" if last else "/")
    matcher = re.compile(regex, re.S)
    found = [name for name, _ in _entries(root, set())]
    found += [""] if parts and parts[-1] == "**" else []  # `dir/**` matches dir itself
    for name in sorted(n for n in found if matcher.fullmatch(n)):
        path = os.path.join(root, name) if name else root
        yield path if fixed or pattern.startswith("/") or not path.startswith("./") else path[2:]

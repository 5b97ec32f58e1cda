"""What the package says besides its results: the warnings an image's analysis gave, carried
out of the process that gave them and folded into one line per run; and text as a terminal or
a page shows it.

A warning is never printed by a worker: the batch records each image's warnings where they
arise (`captured`) and issues them again in the caller's process as a `Note` naming the image
(`reissue`), so that the caller's warning filters decide. The command line records every
warning of a run and prints them as one line (`Notes`):

    huesift: note: ConvergenceWarning: Number of distinct clusters (1) found smaller than
    n_clusters (5). Possibly due to duplicate points in X. (12 images, first photos/flat.png)

What a C library writes on the process's stderr itself (libjpeg's "Corrupt JPEG data: ...",
libpng's warnings) never reaches the user raw: the reader captures it (`library_text`) and
says it as an error or a `DecoderWarning`, which becomes such a note.
"""

from __future__ import annotations

import fcntl
import os
import sys
import tempfile
import threading
import warnings
from collections import Counter
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

Said = Tuple[str, str]  # a warning's category name and its text


class Note(UserWarning):
    """A warning that an image's analysis gave in another process (or thread), with the image's
    path; its text is the original's, after its category's name."""

    def __init__(self, path: str, category: str, text: str):
        super().__init__(f"{category}: {text}")
        self.path, self.category, self.text = path, category, text


class DecoderWarning(UserWarning):
    """What a decoder said of a file it read all the same (a corrupt JPEG's "Corrupt JPEG
    data: ..."): its own text, in one line, for the file at `path`."""

    def __init__(self, path: str, text: str):
        super().__init__(text)
        self.path = path


# ---- what C libraries write on stderr ----------------------------------------------------

_stderr = threading.Lock()
_stderr_users = 0
_stderr_saved: Optional[int] = None  # the real descriptor 2, while it is captured
_stderr_file: Optional[int] = None  # where descriptor 2 points meanwhile


def _scratch() -> int:
    """A file of no name, for what is captured: in memory where the system allows. It appends:
    a memory file's offset is not locked between threads, so two threads writing at once
    could otherwise both write at one offset, and one's text would be lost."""
    fd = None
    if hasattr(os, "memfd_create"):
        try:
            fd = os.memfd_create("huesift-stderr", os.MFD_CLOEXEC)
        except OSError:
            pass
    if fd is None:
        fd, name = tempfile.mkstemp(prefix="huesift-stderr-")
        os.unlink(name)
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_APPEND)
    return fd


@contextmanager
def library_text() -> Iterator[List[str]]:
    """Descriptor 2 captured meanwhile: what a C library writes there is not shown, and its
    lines (each once, blank ones left out) are in the yielded list when the block ends, for the
    caller to say in its own words.

    The descriptor is the process's, shared by its threads: blocks that overlap share one
    capture, which the last of them to end gives back, and each block gets the text written
    between its start and its end (text written while two overlap is given to both). Python's
    own stderr is flushed first, so that nothing it holds is taken for a library's."""
    global _stderr_users, _stderr_saved, _stderr_file
    said: List[str] = []
    with _stderr:
        if _stderr_users == 0:
            try:
                sys.stderr.flush()
            except (AttributeError, OSError, ValueError):
                pass
            try:
                saved = os.dup(2)
            except OSError:  # no descriptor 2: there is nothing to keep from anyone
                saved = None
            if saved is not None:
                _stderr_saved, _stderr_file = saved, _scratch()
                os.dup2(_stderr_file, 2)
        _stderr_users += 1
        file = _stderr_file
        start = 0 if file is None else os.fstat(file).st_size
    try:
        yield said
    finally:
        with _stderr:
            if file is not None:
                end = os.fstat(file).st_size  # the offset is not kept in step
                text = os.pread(file, end - start, start).decode("utf-8", "backslashreplace")
                lines = (" ".join(line.split()) for line in text.splitlines())
                said.extend(dict.fromkeys(line for line in lines if line))
            _stderr_users -= 1
            if _stderr_users == 0 and _stderr_saved is not None:
                os.dup2(_stderr_saved, 2)
                os.close(_stderr_saved)
                os.close(_stderr_file)  # type: ignore[arg-type]
                _stderr_saved = _stderr_file = None


def listen() -> None:
    """Within `warnings.catch_warnings`: every warning a user would see is recorded, each time
    it is given; those Python hides from users (deprecations, imports, resources) stay
    hidden."""
    warnings.simplefilter("always")
    for hidden in (DeprecationWarning, PendingDeprecationWarning, ImportWarning,
                   ResourceWarning):
        warnings.filterwarnings("ignore", category=hidden)


def captured(function: Callable[..., Any], *args: Any) -> Tuple[Any, List[Said]]:
    """`function(*args)` and the warnings it gave (none is printed): see `listen`."""
    with warnings.catch_warnings(record=True) as caught:
        listen()
        result = function(*args)
    return result, [(m.category, m.text) if isinstance(m, Note) else
                    (w.category.__name__, str(m)) for w in caught for m in [w.message]]


def reissue(said: List[Said], path: str, registry: Dict[Any, Any]) -> None:
    """Issues warnings `captured` elsewhere again here, each as a Note for `path`; `registry`
    keeps the default filter's "once per place" across the calls of one run."""
    for category, text in said:
        warnings.warn_explicit(Note(path, category, text), Note, "vantrel_huesift", 0,
                               registry=registry)


# C0 and C1 control characters and DEL, as Python writes them in a string's repr
_CONTROLS = {c: f"\\x{c:02x}" for c in (*range(0x20), *range(0x7F, 0xA0))}
_CONTROLS.update({ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r"})


def shown(text: str) -> str:
    """Text as a page or a terminal shows it: the bytes of a name that is not valid UTF-8
    escaped, and its control characters (a name from someone else's results file may hold
    a terminal's escape sequences, or line breaks that would forge lines of output)."""
    try:
        text = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a lone surrogate that no file name decodes to
        text = text.encode("utf-8", "backslashreplace").decode("utf-8")
    return text.translate(_CONTROLS)


class Notes:
    """The warnings of one run, folded: one line for all, each text once with the number of
    images that gave it and the first of them."""

    SHOWN = 3  # texts in the line; the others are counted

    def __init__(self) -> None:
        self.counts: Counter = Counter()
        self.first: Dict[str, Optional[str]] = {}
        self.seen: set = set()  # (text, image): an image read twice (a report's) counts once

    def add(self, caught: List[warnings.WarningMessage]) -> None:
        for w in caught:
            message = w.message
            if isinstance(message, Note):
                text = str(message)
            else:
                text = f"{w.category.__name__}: {message}"
            path = getattr(message, "path", None)
            text = " ".join(text.split())
            if path is not None:
                if (text, path) in self.seen:
                    continue
                self.seen.add((text, path))
            self.counts[text] += 1
            self.first.setdefault(text, path)

    def line(self) -> Optional[str]:
        if not self.counts:
            return None
        parts = []
        for text, count in self.counts.most_common(self.SHOWN):
            path = self.first[text]
            if path is not None:
                many = f"{count} images, first " if count > 1 else ""
                text += f" ({many}{path})"
            elif count > 1:
                text += f" ({count} times)"
            parts.append(text)
        more = len(self.counts) - self.SHOWN
        return "huesift: note: " + "; ".join(map(shown, parts)) + (
            f"; and {more} other warning{'s' if more != 1 else ''}" if more > 0 else "")

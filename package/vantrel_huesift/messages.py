"""What the package says besides its results: the warnings an image's analysis gave, carried
out of the process that gave them and folded into one line per run; and text as a terminal or
a page shows it.

A warning is never printed by a worker: the batch records each image's warnings where they
arise (`captured`) and issues them again in the caller's process as a `Note` naming the image
(`reissue`), so that the caller's warning filters decide. The command line records every
warning of a run and prints them as one line (`Notes`):

    huesift: note: ConvergenceWarning: Number of distinct clusters (1) found smaller than
    n_clusters (5). Possibly due to duplicate points in X. (12 images, first photos/flat.png)
"""

from __future__ import annotations

import warnings
from collections import Counter
from typing import Any, Callable, Dict, List, Optional, Tuple

Said = Tuple[str, str]  # a warning's category name and its text


class Note(UserWarning):
    """A warning that an image's analysis gave in another process (or thread), with the image's
    path; its text is the original's, after its category's name."""

    def __init__(self, path: str, category: str, text: str):
        super().__init__(f"{category}: {text}")
        self.path = path


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
    return result, [(w.category.__name__, str(w.message)) for w in caught]


def reissue(said: List[Said], path: str, registry: Dict[Any, Any]) -> None:
    """Issues warnings `captured` elsewhere again here, each as a Note for `path`; `registry`
    keeps the default filter's "once per place" across the calls of one run."""
    for category, text in said:
        warnings.warn_explicit(Note(path, category, text), Note, "vantrel_huesift", 0,
                               registry=registry)


def shown(text: str) -> str:
    """Text as a page or a terminal shows it: the bytes of a name that is not valid UTF-8
    escaped."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a lone surrogate that no file name decodes to
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


class Notes:
    """The warnings of one run, folded: one line for all, each text once with the number of
    images that gave it and the first of them."""

    SHOWN = 3  # texts in the line; the others are counted

    def __init__(self) -> None:
        self.counts: Counter = Counter()
        self.first: Dict[str, Optional[str]] = {}

    def add(self, caught: List[warnings.WarningMessage]) -> None:
        for w in caught:
            message = w.message
            if isinstance(message, Note):
                text, path = str(message), message.path
            else:
                text, path = f"{w.category.__name__}: {message}", None
            text = " ".join(text.split())
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
                text += f" ({many}{shown(path)})"
            elif count > 1:
                text += f" ({count} times)"
            parts.append(text)
        more = len(self.counts) - self.SHOWN
        return "huesift: note: " + "; ".join(parts) + (
            f"; and {more} other warning{'s' if more != 1 else ''}" if more > 0 else "")

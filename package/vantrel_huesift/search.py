"""Ranking a batch's records by a colour, a colour name or a target, best first, as `huesift
search` does.

    from vantrel_huesift.search import ColourQuery, search

    found = search("results.jsonl", ColourQuery((200, 16, 46), within=15), top=10)
    for hit in found.hits:
        print(hit.path, hit.score)

A colour's score is the share of an image's palette within `within` of it: the percentages of
the palette colours whose distance to it is at most `within`, added in palette order. The
distance is the library's own, Euclidean in OpenCV's 8-bit L*a*b*. A name's score is the share
of the palette whose name in a vocabulary is that name (`records.colour_names`: the name a
record holds for a colour when its names are that vocabulary's, else the name of its colour).
A target's score is one band of its stored match report (`close_percentage` by default).
Scores are compared in hundredths, as they are shown; equal scores go to the closer nearest
colour (the palette colour nearest to the searched one, or to the named entry's colour, or the
target's nearest pixel), then to the earlier line. So the order follows from the records alone.
When no record scores, the nearest are listed, with scores of 0: an answer is never empty while
the file holds a record to rank.

The file (a regular file or a pipe) is read in blocks and only the best `top` records are kept,
so memory stays flat whatever its length. Each line is read as a record by `records`, as the
report reads it; a line that is not a well-formed record is skipped and counted.
"""

from __future__ import annotations

import json
import math
import os
import stat
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from . import names, records
from .colours import RGB, parse_colour  # noqa: F401 (the command line's colours)

BLOCK = 1 << 22  # bytes read at a time
PARALLEL_BYTES = 32 << 20  # a smaller file is read by one process
UNREADABLE_NAMED = 5  # unreadable lines named by number; the others are counted
BANDS = {"very-close": "very_close_percentage", "close": "close_percentage",
         "total": "total_percentage"}


class SearchError(ValueError):
    """A search that cannot be answered from the file: a target none of its records holds."""


class ColourQuery(NamedTuple):
    colour: RGB
    within: float = 15.0


class NameQuery(NamedTuple):
    name: str  # an entry of the vocabulary, as a query names it ("Light Blue" is "light blue")
    vocabulary: str = "css"


class TargetQuery(NamedTuple):
    name: str
    band: str = "close"


Query = Union[ColourQuery, NameQuery, TargetQuery]


class Hit(NamedTuple):
    score: float  # in percent, to the hundredth
    distance: float  # to the nearest palette colour, or the target's nearest pixel
    nearest: RGB
    line: int
    record: Dict[str, Any]

    @property
    def path(self) -> str:
        return self.record["path"]


class Found(NamedTuple):
    hits: List[Hit]
    records: int  # records scored
    unreadable: int  # lines that are not well-formed records
    first_unreadable: List[int]  # the first few of their line numbers
    failed: int  # records of images that could not be analysed
    without: int  # records without a colour, or without the target


class _Scored(NamedTuple):
    """Records' rank keys (negated hundredths; the nearest distance, for a colour in squared
    L*a*b* units, which compare exactly; the line number) and, for those kept, their lines."""

    hundredths: Any
    nearness: Any
    lines: Any
    text: Dict[int, bytes]


def _hundredths(scores: Any) -> Any:
    """Scores in whole hundredths, halves up: the page's Math.floor(s * 100 + 0.5)."""
    import numpy as np

    return np.floor(np.asarray(scores, np.float64) * 100 + 0.5)


class _Search:
    def __init__(self, query: Query, top: int):
        self.query = query
        self.top = top
        self.records = self.failed = self.without = self.unreadable = self.lines = 0
        self.first_unreadable: List[int] = []
        self.with_matches = 0
        self.names_seen: Optional[List[str]] = None  # one record's targets, for messages
        self.best: Optional[_Scored] = None
        colour = query.colour if isinstance(query, ColourQuery) else None
        if isinstance(query, NameQuery):
            self.vocabulary = names.get_vocabulary(query.vocabulary)
            self.entry_name = self.vocabulary.names[self.vocabulary.index(query.name)]
            colour = self.vocabulary.colour(self.entry_name)
        if colour is not None:
            import cv2
            import numpy as np

            self.query_lab = cv2.cvtColor(np.uint8([[colour]]),
                                          cv2.COLOR_RGB2LAB)[0, 0].astype(np.int64)

    # -- one block of lines ------------------------------------------------------------

    def block(self, text: bytes, first: int) -> None:
        """The lines of `text` (without its last newline), the first numbered `first`."""
        read: List[Tuple[int, records.Record]] = []
        for number, line in enumerate(text.split(b"\n"), first):
            if not line.strip():
                continue
            try:
                record = records.decode(line)
            except records.NotARecord:
                self.unreadable += 1
                if len(self.first_unreadable) < UNREADABLE_NAMED:
                    self.first_unreadable.append(number)
                continue
            if record.failed:
                self.failed += 1
            else:
                read.append((number, record))
        if isinstance(self.query, TargetQuery):
            scored = self._target_block(read)
        else:
            scored = self._colour_block(read)
        if scored is not None:
            lines: List[bytes] = []

            def line_of(number: int) -> bytes:  # split only for a block with a record kept
                if not lines:
                    lines.extend(text.split(b"\n"))
                return lines[number - first]

            self._keep(scored, line_of)

    def _colour_block(self, read: List[Tuple[int, records.Record]]) -> Optional[_Scored]:
        import cv2
        import numpy as np

        scored: List[int] = []
        counts: List[int] = []
        rgb: List[RGB] = []
        shares: List[float] = []
        coloured: List[records.Record] = []
        for number, record in read:
            colours = record.colors
            if not colours:
                self.without += 1
                continue
            scored.append(number)
            coloured.append(record)
            counts.append(len(colours))
            for c in colours:  # type: ignore[union-attr]
                rgb.append(c.color)
                shares.append(c.percentage)
        if not scored:
            return None
        self.records += len(scored)
        colours = np.array(rgb, np.uint8)
        lab = cv2.cvtColor(colours.reshape(-1, 1, 3), cv2.COLOR_RGB2LAB)
        squared = ((lab.reshape(-1, 3).astype(np.int64) - self.query_lab) ** 2).sum(axis=1)
        if isinstance(self.query, NameQuery):
            counted = records.colour_names(coloured, self.vocabulary.name,
                                           colours) == self.entry_name
        else:
            counted = np.sqrt(squared.astype(np.float64)) <= self.query.within  # type: ignore
        owner = np.repeat(np.arange(len(scored)), counts)
        # bincount adds in input order, as the page does; an added 0.0 changes no sum
        scores = np.bincount(owner, weights=np.where(counted, np.array(shares), 0.0),
                             minlength=len(scored))
        starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
        return _Scored(-_hundredths(scores), np.minimum.reduceat(squared, starts).astype(
            np.float64), np.array(scored, np.int64), {})

    def _target_block(self, read: List[Tuple[int, records.Record]]) -> Optional[_Scored]:
        import numpy as np

        band = BANDS[self.query.band]  # type: ignore[union-attr]
        scored: List[int] = []
        scores: List[float] = []
        distances: List[float] = []
        for number, record in read:
            matches = record.matches
            if not isinstance(matches, dict):
                self.without += 1
                continue
            self.with_matches += 1
            if self.names_seen is None and matches:
                self.names_seen = list(matches)
            entry = matches.get(self.query.name)  # type: ignore[union-attr]
            if entry is None:
                self.without += 1
                continue
            scored.append(number)
            scores.append(getattr(entry, band))
            distances.append(entry.min_distance)
        if not scored:
            return None
        self.records += len(scored)
        return _Scored(-_hundredths(scores), np.array(distances, np.float64),
                       np.array(scored, np.int64), {})

    def _keep(self, scored: _Scored, line_of: Callable[[int], bytes]) -> None:
        """The best `top` of those kept so far and of this block, with their lines."""
        import numpy as np

        kept = self.best.text if self.best is not None else {}
        if self.best is not None:
            scored = _Scored(*(np.concatenate([a, b]) for a, b in zip(self.best[:3], scored[:3])),
                             {})
        order = np.lexsort((scored.lines, scored.nearness, scored.hundredths))[:self.top]
        lines = scored.lines[order]
        self.best = _Scored(scored.hundredths[order], scored.nearness[order], lines,
                            {n: kept[n] if n in kept else line_of(n) for n in lines.tolist()})

    # -- the answer --------------------------------------------------------------------

    def found(self) -> Found:
        if isinstance(self.query, TargetQuery):
            self._check_target()
        hits = []
        if self.best is not None:
            # only those that score, unless none does: then the nearest, scoring 0
            scoring = self.best.hundredths.size and self.best.hundredths[0] < 0
            for hundredths, line in zip(self.best.hundredths.tolist(), self.best.lines.tolist()):
                if hundredths == 0 and scoring:
                    break
                record = json.loads(self.best.text[line])
                distance, nearest = self._nearest(record)
                hits.append(Hit(-hundredths / 100, distance, nearest, line, record))
        return Found(hits, self.records, self.unreadable, self.first_unreadable, self.failed,
                     self.without)

    def absorb(self, other: "_Search") -> None:
        """Takes in the search of the lines that follow these."""
        shift = self.lines
        self.lines += other.lines
        self.records += other.records
        self.failed += other.failed
        self.without += other.without
        self.unreadable += other.unreadable
        self.first_unreadable = (self.first_unreadable + [
            n + shift for n in other.first_unreadable])[:UNREADABLE_NAMED]
        self.with_matches += other.with_matches
        if self.names_seen is None:
            self.names_seen = other.names_seen
        if other.best is not None:
            best = other.best
            self._keep(best._replace(lines=best.lines + shift), lambda n: best.text[n - shift])

    def _nearest(self, record: Dict[str, Any]) -> Tuple[float, RGB]:
        if isinstance(self.query, TargetQuery):
            entry = record["matches"][self.query.name]
            return float(entry["min_distance"]), tuple(entry["closest_pixel"])  # type: ignore
        import cv2
        import numpy as np

        colours = [c["color"] for c in record["colors"]]
        lab = cv2.cvtColor(np.uint8([colours]), cv2.COLOR_RGB2LAB)[0].astype(np.int64)
        squared = ((lab - self.query_lab) ** 2).sum(axis=1)
        first = int(np.argmin(squared))  # ties to the first, as in the palette
        return round(math.sqrt(int(squared[first])), 2), tuple(colours[first])  # type: ignore

    def _check_target(self) -> None:
        name = self.query.name  # type: ignore[union-attr]
        if not self.with_matches:
            raise SearchError("no record holds target reports: run huesift batch with --target "
                              "or --targets")
        if not self.records:
            known = ", ".join(repr(n) for n in (self.names_seen or [])[:10])
            raise SearchError(f"no record holds a target named {name!r}"
                              + (f"; the targets there: {known}" if known else ""))


def _scan(path: str, query: Query, top: int, start: int = 0, end: Optional[int] = None
          ) -> _Search:
    """The search over the lines from byte `start` (a line's start) to `end` (after a line's
    newline; None: to the end), numbered from 1."""
    state = _Search(query, top)
    with open(path, "rb") as source:
        if start:
            source.seek(start)
        rest, first = b"", 1
        left = None if end is None else end - start
        while True:
            data = source.read(BLOCK if left is None else min(BLOCK, left))
            if left is not None:
                left -= len(data)
            text = rest + data
            if data:
                cut = text.rfind(b"\n")
                if cut < 0:  # a line longer than a block
                    rest = text
                    continue
                complete, rest = text[:cut], text[cut + 1:]
            elif text:  # a last line without its newline
                complete, rest = text, b""
            else:
                break
            state.block(complete, first)
            first += complete.count(b"\n") + 1
            if not data:
                break
    state.lines = first - 1
    return state


def _ranges(path: str, parts: int) -> List[Tuple[int, Optional[int]]]:
    """The file cut into about equal byte ranges at line starts; one range for a small file,
    where another process would cost more than it saves, and for anything but a plain file."""
    info = os.stat(path)
    if parts <= 1 or not stat.S_ISREG(info.st_mode) or info.st_size < PARALLEL_BYTES:
        return [(0, None)]
    cuts = [0]
    with open(path, "rb") as source:
        for k in range(1, parts):
            source.seek(max(cuts[-1], info.st_size * k // parts))
            source.readline()  # on to the next line's start
            cuts.append(source.tell())
    return [(a, b) for a, b in zip(cuts, cuts[1:]) if a < b] + [(cuts[-1], None)]


def search(path: str, query: Query, top: int = 10, jobs: int = 1) -> Found:
    """The `top` best records of a batch's JSON lines file for the query, best first. With
    `jobs` above 1, a large file is read in that many parts by as many processes (a script
    that asks for them needs ``if __name__ == "__main__":`` around the search)."""
    if top < 1:
        raise ValueError(f"top must be at least 1, not {top}")
    if isinstance(query, ColourQuery) and not query.within >= 0:
        raise ValueError(f"within must be a distance of 0 or more, not {query.within}")
    if isinstance(query, TargetQuery) and query.band not in BANDS:
        raise ValueError(f"band must be one of {', '.join(BANDS)}, not {query.band!r}")
    if isinstance(query, NameQuery):  # an unknown name or vocabulary, before any line is read
        names.get_vocabulary(query.vocabulary).index(query.name)
    ranges = _ranges(path, jobs)
    if len(ranges) == 1:
        return _scan(path, query, top).found()
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(len(ranges) - 1,
                             mp_context=multiprocessing.get_context("spawn")) as pool:
        others = [pool.submit(_scan, path, query, top, a, b) for a, b in ranges[1:]]
        state = _scan(path, query, top, *ranges[0])
        for other in others:
            state.absorb(other.result())
    return state.found()

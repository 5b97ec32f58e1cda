"""Ranking a batch's records by a colour or by a target, best first, as `huesift search` does.

    from vantrel_huesift.search import ColourQuery, search

    found = search("results.jsonl", ColourQuery((200, 16, 46), within=15), top=10)
    for hit in found.hits:
        print(hit.path, hit.score)

A colour's score is the share of an image's palette within `within` of it: the percentages of
the palette colours whose distance to it is at most `within`, added in palette order. The
distance is the library's own, Euclidean in OpenCV's 8-bit L*a*b*. A target's score is one
band of its stored match report (`close_percentage` by default). Scores are compared in
hundredths, as they are shown; equal scores go to the closer nearest colour (the palette colour
nearest to the searched one, or the target's nearest pixel), then to the earlier line. So the
order follows from the records alone.

The file is read in blocks and only the best `top` records are kept, so memory stays flat
whatever its length. Lines in the layout `huesift batch` writes are read by patterns that
accept nothing JSON would refuse; any other line is parsed as JSON and checked as the report
checks it. A line that is not a well-formed record is skipped and counted.
"""

from __future__ import annotations

import json
import math
import os
import re
import stat
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Tuple, Union

RGB = Tuple[int, int, int]

BLOCK = 1 << 22  # bytes read at a time
PARALLEL_BYTES = 32 << 20  # a smaller file is read by one process
UNREADABLE_NAMED = 5  # unreadable lines named by number; the others are counted
BANDS = {"very-close": "very_close_percentage", "close": "close_percentage",
         "total": "total_percentage"}


class SearchError(ValueError):
    """A search that cannot be answered from the file: a target none of its records holds."""


def parse_colour(text: str) -> RGB:
    """'R,G,B' or '#rrggbb' as three whole numbers from 0 to 255."""
    value = text.strip()
    if re.fullmatch(r"#[0-9a-fA-F]{6}", value):
        raw = bytes.fromhex(value[1:])
        return (raw[0], raw[1], raw[2])
    parts = value.split(",")
    if len(parts) == 3 and all(re.fullmatch(r" *[0-9]{1,3} *", p) for p in parts):
        rgb = tuple(int(p) for p in parts)
        if all(c <= 255 for c in rgb):
            return rgb  # type: ignore[return-value]
    raise ValueError(f"bad colour {text!r}: expected R,G,B with values 0 to 255, or #rrggbb")


class ColourQuery(NamedTuple):
    colour: RGB
    within: float = 15.0


class TargetQuery(NamedTuple):
    name: str
    band: str = "close"


Query = Union[ColourQuery, TargetQuery]


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


# ---- the layout huesift batch writes, as patterns --------------------------------------
# Each accepts only text that JSON reads as a well-formed record: strings without raw control
# characters and with valid escapes, numbers in range and without leading zeros.

_STRING = rb'"[^"\\\x00-\x1f]*(?:\\(?:["\\/bfnrt]|u[0-9a-fA-F]{4})[^"\\\x00-\x1f]*)*"'
_BYTE = rb"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
_SHARE = rb"(?:100(?:\.0{1,2})?|[1-9]?[0-9](?:\.[0-9]{1,2})?)"
_DISTANCE = rb"(?:0|[1-9][0-9]{0,3})(?:\.[0-9]{1,2})?"
_RGB = rb"\[" + _BYTE + rb", " + _BYTE + rb", " + _BYTE + rb"\]"
_COLOUR = rb'\{"color": ' + _RGB + rb', "percentage": ' + _SHARE + rb"\}"
_TARGET = _STRING + rb": " + _RGB
_MATCH = (_STRING + rb': \{"total_percentage": ' + _SHARE + rb', "close_percentage": ' + _SHARE
          + rb', "very_close_percentage": ' + _SHARE + rb', "closest_pixel": ' + _RGB
          + rb', "min_distance": ' + _DISTANCE + rb', "similarity_score": ' + _SHARE + rb"\}")
_HEAD = rb'\{"path": ' + _STRING + rb', "resolved_path": ' + _STRING
_COLOURS = rb"(?:" + _COLOUR + rb"(?:, " + _COLOUR + rb")*)?"
_MATCHES = rb"(?:" + _MATCH + rb"(?:, " + _MATCH + rb")*)?"
_TARGETS = rb'"targets": \{' + _TARGET + rb"(?:, " + _TARGET + rb")*\}"
_CHART = rb'(?:, "chart_error": ' + _STRING + rb")?"
_FAILED = rb', "error": ' + _STRING + rb"(\})"


def _line(record: bytes) -> Tuple["re.Pattern[bytes]", "re.Pattern[bytes]"]:
    """A record's line or a failed image's, as one line of a block (for findall) and alone
    (for fullmatch); the last group is not empty for a failed image."""
    line = _HEAD + rb"(?:" + record + _CHART + rb"\}|" + _FAILED + rb")\r?"
    return re.compile(rb"(?m)^" + line + rb"$"), re.compile(line)


# A colour search reads the colours, the palette's text; a target search the match reports,
# after a group that is not empty when the record has them.
_FOR_COLOUR = _line(rb', "colors": \[(' + _COLOURS + rb")\](?:, " + _TARGETS + rb', "matches": \{'
                    + _MATCHES + rb"\})?")
_FOR_TARGET = _line(rb', "colors": \[' + _COLOURS + rb"\](?:, " + _TARGETS + rb', ("matches": )\{('
                    + _MATCHES + rb")\})?")
_MATCH_VALUES = re.compile(
    rb'\{"total_percentage": ([0-9.]+), "close_percentage": ([0-9.]+), "very_close_percentage":'
    rb' ([0-9.]+), "closest_pixel": \[([0-9]+), ([0-9]+), ([0-9]+)\], "min_distance": ([0-9.]+)')
MATCH_GROUPS = {"total_percentage": 1, "close_percentage": 2, "very_close_percentage": 3}
_NUMBERS_ONLY = bytes(c if chr(c) in "0123456789." else 32 for c in range(256))


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
        from .report import problem_of

        self.query = query
        self.top = top
        self.problem_of = problem_of
        self.records = self.failed = self.without = self.unreadable = self.lines = 0
        self.first_unreadable: List[int] = []
        self.with_matches = 0
        self.names_seen: Optional[Dict[str, Any]] = None  # one record's matches, for messages
        self.best: Optional[_Scored] = None
        if isinstance(query, ColourQuery):
            import cv2
            import numpy as np

            self.query_lab = cv2.cvtColor(np.uint8([[query.colour]]),
                                          cv2.COLOR_RGB2LAB)[0, 0].astype(np.int64)
        else:
            self.key = json.dumps(query.name, ensure_ascii=False).encode() + b": "
            self.band = BANDS[query.band]

    # -- one block of lines ------------------------------------------------------------

    def block(self, text: bytes, first: int) -> None:
        """The lines of `text` (without its last newline), the first numbered `first`."""
        count = text.count(b"\n") + 1
        whole, alone = _FOR_COLOUR if isinstance(self.query, ColourQuery) else _FOR_TARGET
        try:
            text.decode("utf-8")
        except UnicodeDecodeError:  # JSON decides what such a line holds
            whole = alone = None  # type: ignore[assignment]
        found = whole.findall(text) if whole is not None else []
        read: List[Tuple[int, Dict[str, Any]]] = []
        if len(found) == count:  # the usual case: every line in batch's layout
            numbers: Iterable[int] = range(first, first + count)
        else:
            numbers, found = [], []
            for number, line in enumerate(text.split(b"\n"), first):
                m = alone.fullmatch(line) if alone is not None else None
                if m is not None:
                    numbers.append(number)  # type: ignore[attr-defined]
                    found.append(m.groups())
                elif line.strip():
                    record = self._parse(number, line)
                    if record is not None:
                        read.append((number, record))
        if isinstance(self.query, ColourQuery):
            scored = self._colour_block(numbers, found, read)
        else:
            scored = self._target_block(numbers, found, read)
        if scored is not None:
            lines: List[bytes] = []

            def line_of(number: int) -> bytes:  # split only for a block with a record kept
                if not lines:
                    lines.extend(text.split(b"\n"))
                return lines[number - first]

            self._keep(scored, line_of)

    def _parse(self, number: int, line: bytes) -> Optional[Dict[str, Any]]:
        """A line that is not in batch's layout, as JSON: a record, or None when it is not one
        (counted) or it is a failed image's (counted too)."""
        try:
            record = json.loads(line)
        except (ValueError, RecursionError):
            record, problem = None, "not JSON"
        else:
            problem = self.problem_of(record)
        if problem is not None:
            self.unreadable += 1
            if len(self.first_unreadable) < UNREADABLE_NAMED:
                self.first_unreadable.append(number)
            return None
        if "error" in record:
            self.failed += 1
            return None
        return record

    def _colour_block(self, numbers, found, read) -> Optional[_Scored]:  # type: ignore
        import cv2
        import numpy as np

        scored: List[int] = []
        bodies = []
        for number, (colours, failed) in zip(numbers, found):
            if failed:
                self.failed += 1
            elif colours:
                scored.append(number)
                bodies.append(colours)
            else:
                self.without += 1
        counts = [body.count(b"{") for body in bodies]
        values = np.fromstring(b" ".join(bodies).translate(_NUMBERS_ONLY), sep=" ") \
            if bodies else np.empty(0)
        values = values.reshape(-1, 4)
        extra = []
        for number, record in read:
            colours = record["colors"]
            if colours:
                scored.append(number)
                counts.append(len(colours))
                extra.extend((*c["color"], c["percentage"]) for c in colours)
            else:
                self.without += 1
        if not scored:
            return None
        if extra:
            values = np.concatenate([values, np.array(extra, np.float64).reshape(-1, 4)])
        self.records += len(scored)
        rgb = values[:, :3].astype(np.uint8).reshape(-1, 1, 3)
        lab = cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.int64)
        squared = ((lab - self.query_lab) ** 2).sum(axis=1)
        within = np.sqrt(squared.astype(np.float64)) <= self.query.within  # type: ignore
        owner = np.repeat(np.arange(len(scored)), counts)
        # bincount adds in input order, as the page does; an added 0.0 changes no sum
        scores = np.bincount(owner, weights=np.where(within, values[:, 3], 0.0),
                             minlength=len(scored))
        starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
        return _Scored(-_hundredths(scores), np.minimum.reduceat(squared, starts).astype(
            np.float64), np.array(scored, np.int64), {})

    def _target_block(self, numbers, found, read) -> Optional[_Scored]:  # type: ignore
        import numpy as np

        scored: List[int] = []
        scores: List[float] = []
        distances: List[float] = []
        column = MATCH_GROUPS[self.band]
        for number, (has, matches, failed) in zip(numbers, found):
            if failed:
                self.failed += 1
                continue
            if not has:
                self.without += 1
                continue
            self.with_matches += 1
            if self.names_seen is None and matches:
                self.names_seen = json.loads(b"{" + matches + b"}")
            if b"\\" in matches:  # names written with escapes: JSON reads them
                entry = json.loads(b"{" + matches + b"}").get(self.query.name)  # type: ignore
                value = None if entry is None else (entry[self.band], entry["min_distance"])
            else:
                # the last entry of the name, as JSON keeps the last of a repeated name
                at = matches.rfind(self.key + b'{"total_percentage"')
                m = _MATCH_VALUES.match(matches, at + len(self.key)) if at >= 0 else None
                value = None if m is None else (float(m[column]), float(m[7]))
            if value is None:
                self.without += 1
                continue
            scored.append(number)
            scores.append(value[0])
            distances.append(value[1])
        for number, record in read:
            matches = record.get("matches")
            if not isinstance(matches, dict):
                self.without += 1
                continue
            self.with_matches += 1
            if self.names_seen is None and matches:
                self.names_seen = matches
            entry = matches.get(self.query.name)  # type: ignore[union-attr]
            if entry is None:
                self.without += 1
                continue
            scored.append(number)
            scores.append(entry[self.band])
            distances.append(entry["min_distance"])
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
            for hundredths, line in zip(self.best.hundredths.tolist(), self.best.lines.tolist()):
                if hundredths == 0:  # none of the colour, none of the target: no hit
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
            known = ", ".join(repr(n) for n in list(self.names_seen or {})[:10])
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

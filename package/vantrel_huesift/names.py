"""Colour names: each colour gets the name of the nearest entry of a vocabulary.

    import vantrel_huesift

    vantrel_huesift.colour_name((104, 137, 197))          # ('steelblue', 14.525...)
    vantrel_huesift.colour_name((104, 137, 197), "xkcd")  # ('faded blue', 8.544...)
    vantrel_huesift.name_colours(colors, "basic")  # [{'color': ..., 'percentage': ...,
                                                   #   'name': 'black'}, ...]

Three vocabularies, from matplotlib's colour tables:

- ``css``: the 148 names of CSS Color 4, ``matplotlib.colors.CSS4_COLORS``, in that mapping's
  order (alphabetical: "aqua" before "cyan", "gray" before "grey");
- ``xkcd``: the 949 names of the xkcd colour survey, ``matplotlib.colors.XKCD_COLORS``
  without the ``xkcd:`` prefix, in that mapping's order;
- ``basic``: the eleven basic colour terms at the survey's colours for those words, in this
  order: black, white, grey, red, orange, yellow, green, blue, purple, pink, brown.

A colour's name is the entry nearest to it by the library's own distance, Euclidean in OpenCV's
8-bit L*a*b* (``ColorExtractor._color_distance_lab``); an equal distance goes to the entry that
comes first in the vocabulary's order. Squared distances between 8-bit L*a*b* triples are whole
numbers, so nearness and ties are decided exactly, and every path gives the same name.

A name given as a query is matched ignoring case, leading and trailing spaces and repeated
spaces ("Light  Blue" is xkcd's "light blue"). When no entry is spelled so, the name is also
compared with its spaces taken out, and accepted when that fits one entry only: "light blue"
is CSS's "lightblue", "cloudyblue" is xkcd's "cloudy blue" (but xkcd's "lightblue" is an entry
of its own, another colour than "light blue"). An unknown name or vocabulary raises
`ColourNameError` with the nearest spelling.

`get_vocabulary(name)` gives a vocabulary itself: its `names` and `rgb` colours in order,
`index(name)` and `colour(name)` for queries by name, and `nearest(rgb)`, which names many
colours at once.
"""

from __future__ import annotations

import difflib
import math
import threading
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Sequence, Tuple

if TYPE_CHECKING:
    import numpy as np

RGB = Tuple[int, int, int]

VOCABULARIES = ("css", "xkcd", "basic")
BASIC = ("black", "white", "grey", "red", "orange", "yellow", "green", "blue", "purple", "pink",
         "brown")

CELL_SHIFT = 3  # the L*a*b* cube is cut into cells of 8 x 8 x 8 codes
SIDE = 256 >> CELL_SHIFT
BLOCK = 1 << 20  # colours named at a time, so that memory stays flat at any count


class ColourNameError(ValueError):
    """An unknown vocabulary, or a name that no entry of the vocabulary has."""


def _key(name: str) -> str:
    return " ".join(name.lower().split())


def _suggestion(text: str, known: Iterable[str]) -> str:
    """The nearest spelling among `known`, with spaces and without, as a hint; '' if none is
    near."""
    def likeness(name: str) -> float:
        return max(difflib.SequenceMatcher(None, text, name).ratio(), difflib.SequenceMatcher(
            None, text.replace(" ", ""), name.replace(" ", "")).ratio())

    best = max(known, key=likeness)  # the first of equally near ones
    return f"; did you mean {best!r}?" if likeness(best) >= 0.6 else ""


class Vocabulary:
    """One vocabulary: its names in order, their colours, and the nearest entry to colours.

    `names` is a tuple of str and `rgb` a read-only len(names) x 3 uint8 array, red first."""

    __slots__ = ("name", "names", "rgb", "_lab", "_weights", "_exact", "_squashed", "_cells",
                 "_axes")

    def __init__(self, name: str, entries: Sequence[Tuple[str, str]]):
        import numpy as np

        self.name = name
        self.names = tuple(entry for entry, _ in entries)
        self.rgb = np.array([tuple(bytes.fromhex(hexcode[1:])) for _, hexcode in entries],
                            np.uint8)
        self.rgb.flags.writeable = False
        self._lab = _lab(self.rgb).astype(np.int32)
        # [L, a, b, 1] . [-2 L', -2 a', -2 b', L'^2 + a'^2 + b'^2] is the squared distance from
        # (L, a, b) to the entry less L^2 + a^2 + b^2: whole numbers below 2^24 in magnitude, so
        # float32's products and sums are exact, and the first least value of a row is the
        # first of the nearest entries.
        self._weights = np.concatenate([-2 * self._lab, (self._lab ** 2).sum(axis=1)[:, None]],
                                       axis=1).astype(np.float32)
        self._exact = {_key(n): i for i, n in enumerate(self.names)}
        self._squashed: Dict[str, List[int]] = {}
        for i, n in enumerate(self.names):
            self._squashed.setdefault(n.replace(" ", ""), []).append(i)
        self._cells: List[Any] = [None] * SIDE ** 3  # (candidates, their weights) of a cell
        # Per axis, the squared distances from each entry to the nearest and the farthest code
        # of each slab of cells: summed over the axes, those to the nearest and farthest codes
        # of a cell.
        low = (np.arange(SIDE, dtype=np.int32) << CELL_SHIFT)[:, None]
        high = low + (1 << CELL_SHIFT) - 1
        self._axes = []
        for axis in range(3):
            at = self._lab[:, axis][None, :]
            self._axes.append((np.maximum(0, np.maximum(low - at, at - high)) ** 2,
                               np.maximum(at - low, high - at) ** 2))

    def __len__(self) -> int:
        return len(self.names)

    def __repr__(self) -> str:
        return f"<vocabulary {self.name!r}: {len(self.names)} names>"

    # -- names to entries ---------------------------------------------------------------------

    def index(self, name: str) -> int:
        """The position of `name` in the vocabulary (matched as the module says), or
        `ColourNameError` with the nearest spelling."""
        if not isinstance(name, str):
            raise TypeError(f"a colour name must be a str, not {type(name).__name__}")
        key = _key(name)
        found = self._exact.get(key)
        if found is not None:
            return found
        fits = self._squashed.get(key.replace(" ", ""), [])
        if len(fits) == 1:
            return fits[0]
        where = f"in vocabulary {self.name!r}"
        if fits:
            spelled = " or ".join(repr(self.names[i]) for i in fits)
            raise ColourNameError(f"ambiguous colour name {name!r} {where}: {spelled}")
        elsewhere = [other for other in VOCABULARIES if other != self.name
                     and key in get_vocabulary(other)._exact]
        if elsewhere:  # the likely slip: the name of another vocabulary
            raise ColourNameError(f"unknown colour name {name!r} {where}; it is a name of "
                                  + " and ".join(repr(v) for v in elsewhere))
        raise ColourNameError(f"unknown colour name {name!r} {where}"
                              + _suggestion(key, self.names))

    def colour(self, name: str) -> RGB:
        """The RGB colour of the entry `name`, for a query by name."""
        r, g, b = self.rgb[self.index(name)].tolist()
        return (r, g, b)

    # -- colours to entries -------------------------------------------------------------------

    def nearest(self, rgb: Any) -> Tuple["np.ndarray", "np.ndarray"]:
        """(indices, distances) of the nearest entries to many colours at once: `rgb` is an
        array of whole numbers from 0 to 255, red first along its last axis of length 3; the
        results have its other axes, the entries' positions (intp) and the library's distances
        to them (float64).

        The answer is the one-colour answer of `colour_name` for each colour. Colours are
        grouped by the cell of the L*a*b* cube they fall in, and each group is measured against
        the cell's candidates only, the few entries that can be nearest to some colour of the
        cell."""
        import numpy as np

        colours = _colours(rgb)
        flat = colours.reshape(-1, 3)
        indices = np.empty(len(flat), np.intp)
        squared = np.empty(len(flat), np.int32)
        for start in range(0, len(flat), BLOCK):
            part = slice(start, start + BLOCK)
            indices[part], squared[part] = self._nearest_block(flat[part])
        return (indices.reshape(colours.shape[:-1]),
                np.sqrt(squared.astype(np.float64)).reshape(colours.shape[:-1]))

    def _nearest_block(self, rgb: "np.ndarray") -> Tuple["np.ndarray", "np.ndarray"]:
        import numpy as np

        lab = _lab(rgb)
        cell = lab >> CELL_SHIFT
        cell_id = (cell[:, 0].astype(np.uint16) * SIDE + cell[:, 1]) * SIDE + cell[:, 2]
        order = np.argsort(cell_id, kind="stable")  # a radix sort of 16-bit keys
        sorted_ids = cell_id[order]
        starts = np.flatnonzero(np.r_[True, sorted_ids[1:] != sorted_ids[:-1]])
        ids = sorted_ids[starts].tolist()
        self._find_candidates([i for i in ids if self._cells[i] is None])
        points = _points(lab[order])
        found = np.empty(len(lab), np.intp)
        bounds = starts.tolist() + [len(lab)]
        for i, cell_of in enumerate(ids):
            candidates, weights = self._cells[cell_of]
            begin, end = bounds[i], bounds[i + 1]
            found[begin:end] = candidates[(points[begin:end] @ weights).argmin(axis=1)]
        indices = np.empty(len(lab), np.intp)
        indices[order] = found
        squared = ((lab.astype(np.int32) - self._lab[indices]) ** 2).sum(axis=1, dtype=np.int32)
        return indices, squared

    def _find_candidates(self, cells: List[int]) -> None:
        """The candidates of cells met for the first time. An entry can be nearest to a colour
        of a cell only if its least squared distance to the cell is at most the least, over all
        entries, of the greatest squared distance to the cell. Every entry at the least
        distance from some colour of the cell passes, so ties are kept, in vocabulary order."""
        import numpy as np

        (near_l, far_l), (near_a, far_a), (near_b, far_b) = self._axes
        for start in range(0, len(cells), 256):
            chunk = np.array(cells[start:start + 256], np.int64)
            li, ai, bi = chunk // (SIDE * SIDE), chunk // SIDE % SIDE, chunk % SIDE
            least = near_l[li] + near_a[ai] + near_b[bi]
            most = far_l[li] + far_a[ai] + far_b[bi]
            passes = least <= most.min(axis=1, keepdims=True)
            for cell_of, row in zip(chunk.tolist(), passes):
                candidates = np.flatnonzero(row)
                # written whole, once: a thread that finds the same cell writes the same value
                self._cells[cell_of] = (candidates,
                                        np.ascontiguousarray(self._weights[candidates].T))


_built: Dict[str, Vocabulary] = {}
_build_lock = threading.Lock()


def vocabulary_name(name: str) -> str:
    """The vocabulary `name` ("css", "xkcd" or "basic", in any case) as this module spells it,
    checked without building it."""
    if not isinstance(name, str):
        raise TypeError(f"a vocabulary must be a str, not {type(name).__name__}")
    key = name.strip().lower()
    if key not in VOCABULARIES:
        hint = _suggestion(key, VOCABULARIES) or "; the vocabularies: " + ", ".join(VOCABULARIES)
        raise ColourNameError(f"unknown vocabulary {name!r}{hint}")
    return key


def get_vocabulary(name: str) -> Vocabulary:
    """The vocabulary `name` ("css", "xkcd" or "basic", in any case), built on first use, once
    per process."""
    key = vocabulary_name(name)
    with _build_lock:
        if key not in _built:
            _built[key] = Vocabulary(key, _entries(key))
        return _built[key]


def _entries(name: str) -> List[Tuple[str, str]]:
    """(name, "#rrggbb") pairs in the vocabulary's order."""
    from matplotlib import colors

    if name == "css":
        return [(n, str(hexcode)) for n, hexcode in colors.CSS4_COLORS.items()]
    xkcd = [(n[len("xkcd:"):], str(hexcode)) for n, hexcode in colors.XKCD_COLORS.items()]
    if name == "xkcd":
        return xkcd
    survey = dict(xkcd)
    return [(word, survey[word]) for word in BASIC]


def colour_name(rgb: Any, vocabulary: str = "css") -> Tuple[str, float]:
    """(name, distance): the entry of `vocabulary` nearest to the colour `rgb` (three whole
    numbers from 0 to 255, red first), the first of equally near ones, and its distance,
    Euclidean in OpenCV's 8-bit L*a*b* (the library's `_color_distance_lab`)."""
    import numpy as np

    known = get_vocabulary(vocabulary)
    colour = _colours(rgb)
    if colour.shape != (3,):
        raise ValueError(f"a colour must be three numbers, R, G and B, not {_shown(rgb)}")
    squared = ((known._lab - _lab(colour[None]).astype(np.int32)) ** 2).sum(axis=1)
    first = int(squared.argmin())  # the first of the least: the vocabulary's order
    return known.names[first], math.sqrt(int(squared[first]))


def name_colours(records: Iterable[Mapping[str, Any]], vocabulary: str = "css"
                 ) -> List[Dict[str, Any]]:
    """Copies of colour records (`extract_colors`' or a batch record's "colors") with each
    colour's name in `vocabulary` added as "name", after the record's other keys; the records
    given are left as they are."""
    known = get_vocabulary(vocabulary)
    given = list(records)
    for record in given:
        if not isinstance(record, Mapping) or "color" not in record:
            raise TypeError(f"a colour record is a dict with a 'color', not {record!r}")
    if not given:
        return []
    indices, _ = known.nearest([record["color"] for record in given])
    return [{**record, "color": _copied(record["color"]), "name": known.names[i]}
            for record, i in zip(given, indices.tolist())]


def _copied(colour: Any) -> Any:
    return list(colour) if isinstance(colour, list) else colour


def _colours(rgb: Any) -> "np.ndarray":
    """`rgb` as uint8, once it is checked to hold whole numbers from 0 to 255."""
    import numpy as np

    try:
        array = np.asarray(rgb)
    except ValueError:  # ragged
        array = np.asarray(None)
    if array.dtype != np.uint8:
        if array.dtype.kind not in "iuf" or array.ndim == 0 or (array.size and not (
                (array >= 0).all() and (array <= 255).all() and (array % 1 == 0).all())):
            raise ValueError("colours must be whole numbers from 0 to 255, red, green and "
                             f"blue, not {_shown(rgb)}")
        array = array.astype(np.uint8)
    if array.ndim == 0 or array.shape[-1] != 3:
        raise ValueError(f"a colour must be three numbers, R, G and B, not {_shown(rgb)}")
    return array


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _points(lab: "np.ndarray") -> "np.ndarray":
    """[L, a, b, 1] rows in float32, to multiply with a vocabulary's weights."""
    import numpy as np

    points = np.empty((len(lab), 4), np.float32)
    points[:, :3] = lab
    points[:, 3] = 1
    return points


def _lab(rgb: "np.ndarray") -> "np.ndarray":
    """OpenCV's 8-bit L*a*b* of an N x 3 uint8 RGB array, as `_color_distance_lab` converts."""
    import cv2
    import numpy as np

    if not len(rgb):
        return np.empty((0, 3), np.uint8)
    return cv2.cvtColor(np.ascontiguousarray(rgb).reshape(-1, 1, 3),
                        cv2.COLOR_RGB2LAB).reshape(-1, 3)

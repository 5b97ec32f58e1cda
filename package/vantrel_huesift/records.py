"""The record of one image, as `huesift batch` writes it: the layout declared once, as msgspec
structs, with its validation. The batch's writer, resume, the report, the search and
`swatches()` all read and write records through this module.

    {"path": "a.png", "resolved_path": "/photos/a.png", "colors": [{"color": [38, 34, 43],
     "percentage": 48.19}, ...], "targets": {...}, "matches": {...}}
    {"path": "b.png", "resolved_path": "/photos/b.png", "error": "ValueError: ..."}

A batch run with names adds each colour's "name" and the record's "vocabulary", the one its
names are from: ``{"color": [38, 34, 43], "percentage": 48.19, "name": "black"}``.

A field of a colour entry is added in one place, `Colour`; its type's description says what
a line that breaks it is told.
"""

from __future__ import annotations

import json
import re
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from typing import Annotated, get_args, get_origin, get_type_hints

import msgspec
from msgspec import UNSET, Meta, Struct, UnsetType

if TYPE_CHECKING:
    import numpy as np

Byte = Annotated[int, Meta(ge=0, le=255)]
RGB = Annotated[Tuple[Byte, Byte, Byte], Meta(description="three whole numbers from 0 to 255")]
Share = Annotated[float, Meta(ge=0, le=100, description="a number from 0 to 100")]
Distance = Annotated[float, Meta(ge=0, le=sys.float_info.max, description="a distance")]
Text = Annotated[str, Meta(description="text")]


class Colour(Struct, omit_defaults=True):
    """One colour of a palette: `extract_colors`' record, and what later tools add to it."""

    color: RGB
    percentage: Share
    name: Union[Text, UnsetType] = UNSET


class Match(Struct):
    """One target's pixel report, `find_color_matches`' own."""

    total_percentage: Share
    close_percentage: Share
    very_close_percentage: Share
    closest_pixel: RGB
    min_distance: Distance
    similarity_score: Share


class Record(Struct, omit_defaults=True):
    """One line of a results file: an image's colours (and target reports), or its error."""

    path: Text
    resolved_path: Union[Text, UnsetType] = UNSET
    colors: Union[List[Colour], UnsetType] = UNSET
    vocabulary: Union[Text, UnsetType] = UNSET  # of the colours' names
    targets: Union[Dict[str, RGB], UnsetType] = UNSET
    matches: Union[Dict[str, Match], UnsetType] = UNSET
    chart_error: Union[Text, UnsetType] = UNSET
    error: Union[Text, UnsetType] = UNSET

    def __post_init__(self) -> None:
        if self.error is UNSET and self.colors is UNSET:
            raise ValueError("neither 'colors' nor 'error'")

    @property
    def failed(self) -> bool:
        return self.error is not UNSET

    def held_targets(self) -> Dict[str, Tuple[int, int, int]]:
        """The targets whose report the record holds."""
        if self.failed or not self.targets or not self.matches:
            return {}
        return {name: tuple(rgb) for name, rgb in self.targets.items()  # type: ignore
                if name in self.matches}

    def named(self, vocabulary: Optional[str]) -> bool:
        """Whether the record holds what a run that asks for names in `vocabulary` (None: for
        none) asks of it: each colour's name, from that vocabulary. A record without colours
        has nothing to name."""
        if vocabulary is None or self.failed or not self.colors:
            return True
        return self.vocabulary == vocabulary and all(
            isinstance(c.name if isinstance(c, Colour) else c.get("name"), str)
            for c in self.colors)  # a batch's own record holds dicts: see `of`



FIELDS = Record.__struct_fields__
_DECODER = msgspec.json.Decoder(Record)


class NotARecord(ValueError):
    """A line that is not a well-formed record; the message says why, in a few words."""


def line(record: Mapping[str, Any]) -> bytes:
    """A record as its JSON line: the fields in the layout's order, as `json.dumps` writes
    them, so that any JSON reader, and people, read it."""
    return (json.dumps({name: record[name] for name in FIELDS if name in record}) + "\n").encode()


def decode(text: bytes) -> Record:
    """The record a JSON line holds; NotARecord says what keeps it from being one."""
    try:
        return _DECODER.decode(text)
    except (msgspec.DecodeError, ValueError):  # older releases raise ValueError for bad bytes
        pass
    # Python's own reader decides what the line is: msgspec also refuses some JSON, such as
    # the lone surrogate escapes ("\udce9") that names with undecodable bytes are written with
    try:
        whole = json.loads(text)
    except (ValueError, RecursionError):  # undecodable bytes are a ValueError too
        raise NotARecord("not JSON") from None
    return convert(whole)


def convert(value: Any) -> Record:
    """The record a parsed JSON value (or a batch's record dict) holds, else NotARecord."""
    try:
        return msgspec.convert(value, Record)
    except msgspec.ValidationError as e:
        raise NotARecord(_problem(e, value)) from None


def of(record: Mapping[str, Any]) -> Record:
    """A batch's own record, as it made it (the engine's tuples and floats), as a Record,
    unchecked: for its facts (path, error, targets), not for its values."""
    return Record(**{name: record[name] for name in FIELDS if name in record})


def colour_names(found: Sequence[Record], vocabulary: str, rgb: Optional["np.ndarray"] = None
                 ) -> "np.ndarray":
    """The names of the colours of records, in `vocabulary`, in one array (of str objects),
    record after record: the name a record holds for a colour when its names are that
    vocabulary's, else the name of the colour, the vocabulary's entry nearest to it. `rgb` may
    give the colours, in that order, as an N x 3 uint8 array."""
    import numpy as np

    from .names import get_vocabulary

    known = get_vocabulary(vocabulary)
    palettes = [record.colors if isinstance(record.colors, list) else [] for record in found]
    if rgb is None:
        rgb = np.array([c.color for colours in palettes for c in colours], np.uint8)
    table = np.array(known.names, dtype=object)
    if not any(record.vocabulary == known.name for record in found):
        return table[known.nearest(rgb.reshape(-1, 3))[0]]
    held: List[Optional[str]] = []
    for record, colours in zip(found, palettes):
        if record.vocabulary == known.name:
            held.extend(c.name if isinstance(c.name, str) else None for c in colours)
        else:
            held.extend([None] * len(colours))
    result = np.array(held, dtype=object)
    missing = np.equal(result, None)
    if missing.any():
        result[missing] = table[known.nearest(rgb.reshape(-1, 3)[missing])[0]]
    return result


def colour(value: Any) -> Colour:
    """One entry of a palette, as `extract_colors` returns it or a record holds it, checked."""
    try:
        return msgspec.convert(value, Colour)
    except msgspec.ValidationError as e:
        raise NotARecord(_problem(e, value, Colour, "colour")) from None


# ---- what a line that breaks the layout is told --------------------------------------------

_AT = re.compile(r"^(.*) - at `\$(.*)`$", re.S)
_STEP = re.compile(r"\.([A-Za-z_][A-Za-z0-9_]*)|\[(\d+)\]|\[\.\.\.\]")
_MISSING = re.compile(r"Object missing required field `([^`]*)`")


def _problem(error: msgspec.ValidationError, value: Any, kind: Any = Record,
             top: Optional[str] = None) -> str:
    """What keeps `value` from being of `kind`, in the words of the layout's descriptions:
    "colors[0].percentage is not a number from 0 to 100"."""
    message = str(error)
    found = _AT.match(message)
    if found is None:
        missing = _MISSING.match(message)
        if missing:
            return f"'{missing[1]}' is missing"
        if message.startswith("Expected `object`"):
            return "not a JSON object"
        return message  # a check of the whole record, worded by the record
    message, steps = found[1], [m for m in _STEP.finditer(found[2])]
    names: List[str] = [] if top is None else [top]
    described, where = _describe(kind), list(names)
    for step in steps:
        field, index = step[1], step[2]
        kind = _inner(kind)
        if field is not None:
            kind = get_type_hints(kind, include_extras=True)[field]
            names.append(("." if names else "") + field)
            value = value.get(field) if isinstance(value, dict) else None
        elif index is not None:
            kind = get_args(kind)[0] if get_origin(kind) in (list, List) else get_args(kind)[
                int(index)]
            names.append(f"[{index}]")
            value = value[int(index)] if isinstance(value, (list, tuple)) else None
        else:  # a mapping's value: the first that breaks its type names the place
            kind = get_args(kind)[1]
            key, value = _first_bad(value, kind)
            names.append(f"[{key!r}]")
        if _describe(kind) is not None:
            described, where = _describe(kind), list(names)
    place = "".join(where)
    missing = _MISSING.match(message)
    if missing:
        return f"{place} has no '{missing[1]}'"
    return f"{place if len(where) > 1 else repr(place)} is not {described}"


def _inner(kind: Any) -> Any:
    """The type within Annotated and within a Union with UNSET."""
    while True:
        if get_origin(kind) is Annotated:
            kind = get_args(kind)[0]
        elif get_origin(kind) is Union:
            kind = next(a for a in get_args(kind) if a is not UnsetType)
        else:
            return kind


def _describe(kind: Any) -> Optional[str]:
    if get_origin(kind) is Union:
        kind = next(a for a in get_args(kind) if a is not UnsetType)
    if get_origin(kind) is Annotated:
        for meta in get_args(kind)[1:]:
            if isinstance(meta, Meta) and meta.description:
                return meta.description
    kind = _inner(kind)
    if get_origin(kind) in (list, List):
        return "a list"
    if get_origin(kind) in (dict, Dict) or (isinstance(kind, type) and issubclass(kind, Struct)):
        return "an object"
    return None


def _first_bad(mapping: Any, kind: Any) -> Tuple[Any, Any]:
    if isinstance(mapping, dict):
        for key, value in mapping.items():
            try:
                msgspec.convert(value, kind)
            except msgspec.ValidationError:
                return key, value
    return "...", None

"""Palette files of extracted colours: GIMP (.gpl), CSS (.css), JSON (.json) and Adobe Swatch
Exchange (.ase), chosen by the file's extension; and the same files read back as named colours,
the targets of a batch.

An entry is named by its hex code, or by its colour's "name" when the records hold one
(`extract --names`): the GIMP and ASE entry's name, the JSON entry's "name" and the CSS custom
property (``--steelblue``; spelled as CSS names its properties, lower case with hyphens, and
numbered when a name comes again: ``--grey-2``). Read back, each is a target of that name."""

from __future__ import annotations

import json
import re
import struct
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

from . import files
from .colours import RGB, css_colour, hex_of

FORMATS = (".gpl", ".css", ".json", ".ase")


def label(record: Dict[str, Any]) -> str:
    """An entry's name: its colour's name, if the record holds one, else its hex code."""
    name = record.get("name")
    return name if isinstance(name, str) and name else hex_of(record["color"])


def gpl(colors: List[Dict[str, Any]], name: str) -> bytes:
    lines = ["GIMP Palette", f"Name: {name}", f"Columns: {max(1, len(colors))}", "#"]
    for record in colors:
        r, g, b = record["color"]
        lines.append(f"{r:3d} {g:3d} {b:3d}\t{label(record)} {record['percentage']:.2f}%")
    return ("\n".join(lines) + "\n").encode()


def _property(name: str) -> str:
    """A colour name as a custom property's: "robin's egg blue" is "robins-egg-blue"."""
    return re.sub(r"[^a-z0-9]+", "-", name.lower().replace("'", "")).strip("-") or "color"


def css(colors: List[Dict[str, Any]], name: str) -> bytes:
    lines = [f"/* {name}: dominant colours, largest share first */", ":root {"]
    taken: Dict[str, int] = {}
    for i, record in enumerate(colors, 1):
        given = record.get("name")
        prop = f"color-{i}"
        if isinstance(given, str) and given:
            prop = _property(given)
            taken[prop] = taken.get(prop, 0) + 1
            prop += f"-{taken[prop]}" if taken[prop] > 1 else ""
        lines.append(f"  --{prop}: {hex_of(record['color'])}; /* {record['percentage']:.2f}% */")
    lines.append("}")
    return ("\n".join(lines) + "\n").encode()


def as_json(colors: List[Dict[str, Any]], name: str) -> bytes:
    entries = [{"hex": hex_of(r["color"]), "rgb": list(r["color"]), "percentage": r["percentage"],
                **({"name": r["name"]} if "name" in r else {})} for r in colors]
    return (json.dumps(entries, indent=2) + "\n").encode()


def ase(colors: List[Dict[str, Any]], name: str) -> bytes:
    """Adobe Swatch Exchange 1.0: big-endian blocks, one global RGB colour entry per colour,
    named by its hex code, components as 32-bit floats from 0 to 1."""
    blocks = []
    for record in colors:
        text = (label(record) + "\0").encode("utf-16-be")
        body = (struct.pack(">H", len(text) // 2) + text + b"RGB "
                + struct.pack(">fff", *(c / 255 for c in record["color"]))
                + struct.pack(">H", 2))  # 2: a normal (process) colour
        blocks.append(struct.pack(">HI", 0x0001, len(body)) + body)
    return b"ASEF" + struct.pack(">HHI", 1, 0, len(blocks)) + b"".join(blocks)


WRITERS: Dict[str, Callable[[List[Dict[str, Any]], str], bytes]] = {
    ".gpl": gpl, ".css": css, ".json": as_json, ".ase": ase}


def check_format(path: str) -> None:
    if Path(path).suffix.lower() not in WRITERS:
        raise ValueError(f"unknown palette format {Path(path).suffix or '(none)'!r}: "
                         f"use {', '.join(FORMATS)}")


def write_palette(colors: List[Dict[str, Any]], path: str) -> None:
    """Writes the colour records to `path` in the format its extension names."""
    check_format(path)
    target = Path(path)
    data = WRITERS[target.suffix.lower()](colors, target.stem)
    files.replace(path, lambda out: out.write(data))


# ---- reading palette files back, as named colours --------------------------------------

class PaletteError(ValueError):
    """A palette file that cannot be read as named colours."""


def _component(value: Any, where: str) -> int:
    if type(value) is not int or not 0 <= value <= 255:
        raise PaletteError(f"{where}: {value!r} is not a whole number from 0 to 255")
    return value


def _from_text(text: str, where: str) -> RGB:
    """A colour written as CSS writes one (#rrggbb, rgb(...), a name...), or as bare hex."""
    value = text.strip()
    if re.fullmatch(r"[0-9a-fA-F]{6}|[0-9a-fA-F]{3}", value):
        value = "#" + value
    try:
        rgb = css_colour(value, where)
    except ValueError as e:
        raise PaletteError(f"{where}: {e}") from None
    if rgb is None:
        raise PaletteError(f"{where}: {text!r} is not a colour (#rrggbb)")
    return rgb


# The names this package's own files give their colours: the hex code or the colour's name (in
# the vocabularies' letters), then the share.
OWN_NAME = re.compile(r"(#[0-9a-f]{6}|[a-z][a-z '/]*) \d+\.\d\d%")


def read_gpl(data: bytes, path: str) -> List[Tuple[str, RGB]]:
    lines = data.decode("utf-8-sig").splitlines()  # a byte-order mark is not part of the text
    if not lines or lines[0].strip() != "GIMP Palette":
        raise PaletteError(f"{path}: not a GIMP palette (no 'GIMP Palette' first line)")
    found = []
    for number, line in enumerate(lines[1:], 2):
        text = line.strip()
        if not text or text.startswith("#") or re.match(r"(Name|Columns):", text):
            continue
        parts = text.split(None, 3)
        try:
            rgb = tuple(_component(int(p), f"{path}:{number}") for p in parts[:3])
        except ValueError:
            rgb = ()
        if len(rgb) != 3:
            raise PaletteError(f"{path}:{number}: expected 'R G B name', got {text!r}")
        name = parts[3].strip() if len(parts) > 3 else ""
        own = OWN_NAME.fullmatch(name)
        found.append((own[1] if own else name or hex_of(rgb), rgb))  # type: ignore[arg-type]
    return found


def read_css(data: bytes, path: str) -> List[Tuple[str, RGB]]:
    """The custom properties (--name: colour) of a style sheet, in any rule, whose values are
    CSS colours, read by tinycss2's Color Level 4 parser; other properties are passed over."""
    import tinycss2

    found: List[Tuple[str, RGB]] = []

    def declarations(content: Any) -> None:
        for item in tinycss2.parse_blocks_contents(content, skip_comments=True,
                                                   skip_whitespace=True):
            if item.type == "declaration" and item.name.startswith("--"):
                name = item.name[2:]
                try:
                    rgb = css_colour(item.value, f"{path}: --{name}")
                except ValueError as e:
                    raise PaletteError(f"{path}: --{name}: {e}") from None
                if rgb is not None:
                    found.append((name, rgb))
            elif item.type in ("qualified-rule", "at-rule") and item.content is not None:
                declarations(item.content)

    declarations(data.decode("utf-8-sig"))
    return found


def read_json(data: bytes, path: str) -> List[Tuple[str, RGB]]:
    """This package's list of {"hex", "rgb", "percentage"}, with an optional "name", or an
    object of name: [R, G, B] or "#rrggbb"."""
    try:
        content = json.loads(data.decode("utf-8-sig"))
    except (ValueError, RecursionError) as e:
        raise PaletteError(f"{path}: not JSON ({e})") from None

    def colour(value: Any, where: str) -> RGB:
        if isinstance(value, str):
            return _from_text(value, where)
        if isinstance(value, list) and len(value) == 3:
            return tuple(_component(c, where) for c in value)  # type: ignore[return-value]
        raise PaletteError(f"{where}: {value!r} is not [R, G, B] nor '#rrggbb'")

    if isinstance(content, dict):
        return [(name, colour(value, f"{path}: {name}")) for name, value in content.items()]
    if not isinstance(content, list):
        raise PaletteError(f"{path}: expected a list of colours or an object of named colours")
    found = []
    for i, entry in enumerate(content):
        where = f"{path}: entry {i}"
        if not isinstance(entry, dict) or not ({"rgb", "hex"} & set(entry)):
            raise PaletteError(f"{where} has neither 'rgb' nor 'hex'")
        rgb = colour(entry["rgb"] if "rgb" in entry else entry["hex"], where)
        name = entry.get("name")
        found.append((name if isinstance(name, str) and name else hex_of(rgb), rgb))
    return found


def read_ase(data: bytes, path: str) -> List[Tuple[str, RGB]]:
    """Adobe Swatch Exchange: the colour entries in RGB or grey; groups are flattened."""
    if data[:4] != b"ASEF" or len(data) < 12:
        raise PaletteError(f"{path}: not an Adobe Swatch Exchange file")
    (count,), at, found = struct.unpack(">I", data[8:12]), 12, []
    try:
        for _ in range(count):
            kind, length = struct.unpack(">HI", data[at:at + 6])
            block, at = data[at + 6:at + 6 + length], at + 6 + length
            if len(block) != length:
                raise PaletteError(f"{path}: cut short")
            if kind != 0x0001:  # a group's start or end
                continue
            (chars,) = struct.unpack(">H", block[:2])
            name = block[2:2 + 2 * chars].decode("utf-16-be").rstrip("\0")
            model, values = block[2 + 2 * chars:6 + 2 * chars], block[6 + 2 * chars:]
            if model == b"RGB ":
                components = struct.unpack(">fff", values[:12])
            elif model == b"Gray":
                components = struct.unpack(">f", values[:4]) * 3
            else:
                raise PaletteError(f"{path}: {name!r} is a {model.decode('latin-1').strip()} "
                                   "colour; only RGB and grey can be targets")
            if not all(0 <= c <= 1 for c in components):
                raise PaletteError(f"{path}: {name!r} has components outside 0 to 1")
            rgb = tuple(round(c * 255) for c in components)
            found.append((name or hex_of(rgb), rgb))
    except (struct.error, UnicodeDecodeError):
        raise PaletteError(f"{path}: cut short or damaged") from None
    return found  # type: ignore[return-value]


READERS: Dict[str, Callable[[bytes, str], List[Tuple[str, RGB]]]] = {
    ".gpl": read_gpl, ".css": read_css, ".json": read_json, ".ase": read_ase}


def read_palette(path: str) -> Dict[str, RGB]:
    """The named colours of a palette file in one of the formats written here, in file order.
    A name that comes again for another colour is numbered ("Untitled 2"), as GIMP's many
    unnamed colours would otherwise overwrite each other."""
    suffix = Path(path).suffix.lower()
    if suffix not in READERS:
        raise PaletteError(f"unknown palette format {suffix or '(none)'!r} of {path}: "
                           f"use {', '.join(FORMATS)}")
    try:
        data = Path(path).read_bytes()
        found = READERS[suffix](data, path)
    except UnicodeDecodeError:
        raise PaletteError(f"{path}: not UTF-8 text") from None
    except OSError as e:
        raise PaletteError(f"cannot read {path}: {e.strerror or e}") from None
    if not found:
        raise PaletteError(f"{path} holds no colour")
    colours: Dict[str, RGB] = {}
    for name, rgb in found:
        unique, n = name, 1
        while unique in colours and colours[unique] != rgb:
            n += 1
            unique = f"{name} {n}"
        colours[unique] = rgb
    return colours

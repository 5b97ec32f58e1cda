"""Palette files of extracted colours: GIMP (.gpl), CSS (.css), JSON (.json) and Adobe Swatch
Exchange (.ase), chosen by the file's extension."""

from __future__ import annotations

import json
import struct
from pathlib import Path
from typing import Any, Callable, Dict, List, Sequence

FORMATS = (".gpl", ".css", ".json", ".ase")


def hex_of(color: Sequence[int]) -> str:
    return "#" + "".join(f"{int(c):02x}" for c in color)


def gpl(colors: List[Dict[str, Any]], name: str) -> bytes:
    lines = ["GIMP Palette", f"Name: {name}", f"Columns: {max(1, len(colors))}", "#"]
    for record in colors:
        r, g, b = record["color"]
        lines.append(f"{r:3d} {g:3d} {b:3d}\t{hex_of(record['color'])} {record['percentage']:.2f}%")
    return ("\n".join(lines) + "\n").encode()


def css(colors: List[Dict[str, Any]], name: str) -> bytes:
    lines = [f"/* {name}: dominant colours, largest share first */", ":root {"]
    for i, record in enumerate(colors, 1):
        lines.append(f"  --color-{i}: {hex_of(record['color'])}; /* {record['percentage']:.2f}% */")
    lines.append("}")
    return ("\n".join(lines) + "\n").encode()


def as_json(colors: List[Dict[str, Any]], name: str) -> bytes:
    entries = [{"hex": hex_of(r["color"]), "rgb": list(r["color"]), "percentage": r["percentage"]}
               for r in colors]
    return (json.dumps(entries, indent=2) + "\n").encode()


def ase(colors: List[Dict[str, Any]], name: str) -> bytes:
    """Adobe Swatch Exchange 1.0: big-endian blocks, one global RGB colour entry per colour,
    named by its hex code, components as 32-bit floats from 0 to 1."""
    blocks = []
    for record in colors:
        label = (hex_of(record["color"]) + "\0").encode("utf-16-be")
        body = (struct.pack(">H", len(label) // 2) + label + b"RGB "
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
    target.write_bytes(WRITERS[target.suffix.lower()](colors, target.stem))

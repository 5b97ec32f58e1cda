"""Colours as people write them: `R,G,B`, `#rrggbb`, a colour name of a vocabulary (`names`),
`NAME=R,G,B`, and CSS colour values (read by tinycss2's CSS Color Level 4 parser), each turned
into three whole numbers from 0 to 255; and the few ways the package shows a colour."""

from __future__ import annotations

import numbers
import re
import warnings
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

RGB = Tuple[int, int, int]
Targets = Dict[str, RGB]


class ColourNote(UserWarning):
    """Something a colour lost on the way in: its alpha, or the part outside sRGB."""


def hex_of(color: Sequence[int]) -> str:
    return "#" + "".join(f"{int(c):02x}" for c in color)


def text_colour(color: Sequence[int]) -> str:
    """Black on light swatches, white on dark ones (by luma)."""
    r, g, b = color
    return "#000" if 0.299 * r + 0.587 * g + 0.114 * b > 140 else "#fff"


def parse_colour(text: str, vocabulary: Optional[str] = None) -> RGB:
    """'R,G,B' or '#rrggbb' as three whole numbers from 0 to 255; with a vocabulary, also a
    colour name of it ("steelblue"), whose unknown spelling raises `names.ColourNameError`."""
    value = text.strip()
    if re.fullmatch(r"#[0-9a-fA-F]{6}", value):
        raw = bytes.fromhex(value[1:])
        return (raw[0], raw[1], raw[2])
    parts = value.split(",")
    if len(parts) == 3 and all(re.fullmatch(r" *[0-9]{1,3} *", p) for p in parts):
        rgb = tuple(int(p) for p in parts)
        if all(c <= 255 for c in rgb):
            return rgb  # type: ignore[return-value]
    if vocabulary is None:
        raise ValueError(f"bad colour {text!r}: expected R,G,B with values 0 to 255, or #rrggbb")
    if re.search(r"[^\W\d_]", value) and not re.match(r"#|.*,", value):  # meant as a name
        from .names import get_vocabulary

        return get_vocabulary(vocabulary).colour(value)
    raise ValueError(f"bad colour {text!r}: expected R,G,B with values 0 to 255, #rrggbb or a "
                     "colour name")


def parse_target(text: str) -> Tuple[str, RGB]:
    """'NAME=R,G,B' as a name and its colour."""
    name, sep, value = text.partition("=")
    parts = value.split(",")
    try:
        rgb = tuple(int(p) for p in parts)
    except ValueError:
        rgb = ()
    if not sep or not name or len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
        raise ValueError(f"bad --target {text!r}: expected NAME=R,G,B with values 0 to 255")
    return name, rgb  # type: ignore[return-value]


def check_targets(targets: Optional[Mapping[str, Sequence[int]]]) -> Optional[Targets]:
    """Target colours as a batch takes them: names to three whole numbers from 0 to 255."""
    if targets is None:
        return None
    if not isinstance(targets, Mapping):
        raise TypeError(f"targets must map names to (R, G, B), not {type(targets).__name__}")
    checked: Targets = {}
    for name, rgb in targets.items():
        if not isinstance(name, str):
            raise TypeError(f"a target's name must be text, not {name!r}")
        try:
            values = () if isinstance(rgb, (str, bytes)) else tuple(rgb)
        except TypeError:
            values = ()
        if len(values) != 3 or not all(isinstance(c, numbers.Integral) and not isinstance(
                c, bool) and 0 <= c <= 255 for c in values):
            raise ValueError(f"target {name!r}: {rgb!r} is not three whole numbers from 0 to 255")
        checked[name] = (int(values[0]), int(values[1]), int(values[2]))
    return checked


# ---- CSS colour values -------------------------------------------------------------------

# Linear light in these spaces to linear sRGB (D65), as CSS Color 4 gives the matrices.
_XYZ_D65_TO_LINEAR_SRGB = ((3.2409699419045226, -1.537383177570094, -0.4986107602930034),
                           (-0.9692436362808796, 1.8759675015077202, 0.04155505740717559),
                           (0.05563007969699366, -0.20397695888897652, 1.0569715142428786))
_D50_TO_D65 = ((0.955473421488075, -0.02309845494876471, 0.06325924320057072),
               (-0.0283697093338637, 1.0099953980813041, 0.021041441191917323),
               (0.012314014864481998, -0.020507649298898964, 1.330365926242124))
_LINEAR_P3_TO_XYZ_D65 = ((0.4865709486482162, 0.26566769316909306, 0.1982172852343625),
                         (0.2289745640697488, 0.6917385218365064, 0.079286914093745),
                         (0.0, 0.04511338185890264, 1.043944368900976))


def _times(matrix: Any, vector: Sequence[float]) -> Tuple[float, float, float]:
    return tuple(sum(m * v for m, v in zip(row, vector)) for row in matrix)  # type: ignore


def _linear(c: float) -> float:
    sign, c = (-1 if c < 0 else 1), abs(c)
    return sign * (c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4)


def _encoded(c: float) -> float:
    sign, c = (-1 if c < 0 else 1), abs(c)
    return sign * (c * 12.92 if c <= 0.0031308 else 1.055 * c ** (1 / 2.4) - 0.055)


def _srgb_of(colour: Any) -> Tuple[float, float, float]:
    """A tinycss2 colour's sRGB components (0 to 1 within the gamut)."""
    space = colour.space
    if space == "srgb":
        return tuple(c or 0.0 for c in colour.coordinates)  # type: ignore[return-value]
    if space in ("hsl", "hwb"):
        return tuple(colour.to("srgb").coordinates)  # type: ignore[return-value]
    if space == "srgb-linear":
        linear = tuple(c or 0.0 for c in colour.coordinates)
    elif space == "display-p3":
        xyz = _times(_LINEAR_P3_TO_XYZ_D65, [_linear(c or 0.0) for c in colour.coordinates])
        linear = _times(_XYZ_D65_TO_LINEAR_SRGB, xyz)
    else:
        if space in ("lab", "lch"):
            xyz = _times(_D50_TO_D65, colour.to("xyz-d50").coordinates)
        elif space in ("oklab", "oklch", "xyz", "xyz-d65"):
            xyz = tuple(colour.to("xyz-d65").coordinates)
        elif space == "xyz-d50":
            xyz = _times(_D50_TO_D65, [c or 0.0 for c in colour.coordinates])
        else:
            raise ValueError(f"colours in {space} are not read here; use sRGB, display-p3, "
                             "lab, lch, oklab, oklch or xyz")
        linear = _times(_XYZ_D65_TO_LINEAR_SRGB, xyz)
    return tuple(_encoded(c) for c in linear)  # type: ignore[return-value]


def css_colour(value: Any, where: str) -> Optional[RGB]:
    """A CSS colour value (a string, or tinycss2's component values) as 8-bit sRGB, or None
    when it is not a colour. Alpha is dropped and a colour outside sRGB is clipped to it, each
    with a ColourNote."""
    import tinycss2.color4

    if not isinstance(value, str):
        value = [t for t in value if t.type not in ("whitespace", "comment")]
        if len(value) != 1:
            return None
        value = value[0]
    colour = tinycss2.color4.parse_color(value)
    if colour is None or isinstance(colour, str):  # not a colour, or currentcolor
        return None
    components = [c * 255 for c in _srgb_of(colour)]
    rgb = tuple(min(255, max(0, round(c))) for c in components)
    if any(c < -0.5 or c > 255.5 for c in components):
        warnings.warn(f"{where}: outside sRGB, clipped to {hex_of(rgb)}", ColourNote)
    if colour.alpha < 1:
        warnings.warn(f"{where}: alpha {colour.alpha:.3g} dropped; targets are opaque",
                      ColourNote)
    return rgb  # type: ignore[return-value]

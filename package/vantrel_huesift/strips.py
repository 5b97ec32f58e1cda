"""Palettes as strips of colour, each as wide as its share: shown by Jupyter as HTML, saved as
an image with Pillow.

    import vantrel_huesift

    vantrel_huesift.swatches(extractor.extract_colors("photo.jpg"))  # the last line of a cell
    vantrel_huesift.swatches(batch_records).save("palette.png")       # one strip per image

A colour whose record holds its name (`name_colours`, `batch --names`) shows it on hover.
"""

from __future__ import annotations

import html
from pathlib import Path
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import files, records
from .colours import hex_of, text_colour
from .messages import shown

WIDTH = 600  # pixels of a strip
HEIGHT = 32
LABEL = 18  # pixels for an image's name above its strip
BACKGROUND = (232, 232, 232)  # where the shares do not reach 100 %

Colour = Tuple[Tuple[int, int, int], float, Optional[str]]  # its RGB, share and name


class Strip(NamedTuple):
    label: Optional[str]  # the image's path, for a batch record
    colours: List[Colour]
    error: Optional[str] = None


class Swatches:
    """One strip per palette: `_repr_html_` for notebooks, `save` for files."""

    def __init__(self, strips: List[Strip]):
        self.strips = strips

    def __repr__(self) -> str:
        return f"<Swatches of {len(self.strips)} palette{'s' if len(self.strips) != 1 else ''}>"

    def _repr_html_(self) -> str:
        rows = []
        for strip in self.strips:
            if strip.label is not None:
                rows.append(f'<div style="font:12px sans-serif;margin-top:6px">'
                            f'{html.escape(shown(strip.label))}</div>')
            if strip.error is not None:
                rows.append(f'<div style="font:12px sans-serif;color:#a00">'
                            f'{html.escape(shown(strip.error))}</div>')
                continue
            cells = "".join(
                f'<div title="{html.escape(shown(name) + " ") if name else ""}{hex_of(rgb)} '
                f'{share:.2f}%" style="width:{share}%;'
                f'background:{hex_of(rgb)};color:{text_colour(rgb)};overflow:hidden;'
                f'white-space:nowrap;font:11px monospace;line-height:{HEIGHT}px;'
                f'text-indent:4px">{hex_of(rgb)} {share:.2f}%</div>'
                for rgb, share, name in strip.colours)
            rows.append(f'<div style="display:flex;width:{WIDTH}px;height:{HEIGHT}px;'
                        f'background:rgb{BACKGROUND}">{cells}</div>')
        return "<div>" + "".join(rows) + "</div>"

    def image(self) -> Any:
        """The strips as a Pillow image, the names above them."""
        from PIL import Image, ImageDraw

        labelled = any(s.label is not None for s in self.strips)
        row = HEIGHT + (LABEL if labelled else 0)
        picture = Image.new("RGB", (WIDTH, max(1, row * len(self.strips))), (255, 255, 255))
        draw = ImageDraw.Draw(picture)
        for i, strip in enumerate(self.strips):
            top = i * row
            if labelled:
                draw.text((2, top + 3), shown(strip.label or ""), fill=(0, 0, 0))
                top += LABEL
            draw.rectangle((0, top, WIDTH - 1, top + HEIGHT - 1), fill=BACKGROUND)
            left = 0.0
            for rgb, share, _ in strip.colours:
                right = left + WIDTH * share / 100
                if round(right) > round(left):
                    draw.rectangle((round(left), top, round(right) - 1, top + HEIGHT - 1),
                                   fill=tuple(rgb))
                if right - left > 60:  # room for the hex code
                    draw.text((round(left) + 4, top + HEIGHT // 2 - 5), hex_of(rgb),
                              fill=(0, 0, 0) if text_colour(rgb) == "#000" else (255, 255, 255))
                left = right
        return picture

    def save(self, path: Union[str, Path]) -> None:
        """Writes the strips as an image file in the format its suffix names (PNG without
        one), under a temporary name first, then renamed."""
        from PIL import Image

        suffix = Path(path).suffix.lower()
        kind = Image.registered_extensions().get(suffix, "PNG") if suffix else "PNG"
        picture = self.image()
        files.replace(str(path), lambda out: picture.save(out, format=kind))


def _strip(record: Any) -> Strip:
    if not isinstance(record, Mapping):
        raise TypeError(f"expected a batch record or colour records, not {type(record).__name__}")
    label = record.get("path")
    if "error" in record:
        return Strip(label, [], str(record["error"]))
    return Strip(label, _colours(record.get("colors")))


def _colours(entries: Any) -> List[Colour]:
    if not isinstance(entries, (list, tuple)):
        raise TypeError(f"colours must be a list of {{'color', 'percentage'}} records, not "
                        f"{type(entries).__name__}")
    found = []
    for entry in entries:
        try:
            checked = records.colour(entry)
        except records.NotARecord as e:
            raise TypeError(f"not a colour record: {entry!r} ({e})") from None
        found.append((checked.color, checked.percentage,
                      checked.name if isinstance(checked.name, str) else None))
    return found


def swatches(records: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]) -> Swatches:
    """Strips of colour for notebooks and files: from `extract_colors`' records (one strip), a
    batch record, or batch records (one strip each, named by path; a failed image shows its
    error)."""
    if isinstance(records, Mapping):
        return Swatches([_strip(records)])
    items = list(records)
    if items and isinstance(items[0], Mapping) and "color" in items[0]:
        return Swatches([Strip(None, _colours(items))])
    return Swatches([_strip(r) for r in items])

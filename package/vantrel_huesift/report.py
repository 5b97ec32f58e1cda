"""A self-contained HTML page of a batch's results: per image a thumbnail, its palette as a
stacked bar with the shares, each colour's name, hex code and share on its swatch, or its error,
and for a record with target reports a small bar per target (very close, close and total
shares).

The names are of one vocabulary for the whole page (`names`; css unless asked): those a record
holds, when its names are that vocabulary's, else the names of its colours, as
`records.colour_names` gives them to every command, so that the page names a colour as
`huesift extract --names` and the search do.

A colour picker, or a click on any swatch, orders the cards by that colour with the score of
`huesift search`: the share of the palette within a distance of the colour, in OpenCV's 8-bit
L*a*b*, which the page computes with OpenCV's own integer tables (`lab_tables`), so that the
order is the search's order. Each card then shows its score.

Everything is embedded: the page fetches nothing. Thumbnails are made from the image files at
report time and set only when their card scrolls into view, and cards off screen are not laid
out, so a page of ten thousand images opens quickly.

Any JSON lines file can be shown: a line that is not a well-formed record gets a card that says
what is wrong with it. Thumbnails are read only from regular files, and within a size and a
time limit, so that a record naming a pipe, a device or a huge file cannot stall the report.
"""

from __future__ import annotations

import base64
import html
import json
import os
import queue
import stat
import threading
from pathlib import Path
from typing import BinaryIO, Callable, Iterator, NamedTuple, Optional, Sequence, Tuple

from . import files, images, lab_tables, records
from .colours import hex_of, text_colour
from .messages import shown
from .names import vocabulary_name

THUMBNAIL = 160  # longest side, in pixels
THUMBNAIL_BYTES = 64 << 20  # larger image files get no thumbnail
THUMBNAIL_PIXELS = 100_000_000  # nor do larger images
THUMBNAIL_SECONDS = 5.0  # the longest wait for one thumbnail
STALLS_ALLOWED = 3  # thumbnails given up on before the report makes no more


class OverwritesInputError(ValueError):
    """A report that would be written over the results it shows."""


def asset(name: str) -> str:
    """A file of the page's style or script, shipped with the package (report_assets/)."""
    from importlib import resources

    return (resources.files(__package__) / "report_assets" / name).read_text("utf-8")


def read_capped(path: str) -> Optional[bytes]:
    """The bytes of a regular file of at most THUMBNAIL_BYTES, or None. A pipe or a device is
    never opened: reading one could wait for ever."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):  # replaced since the first look
            return None
        data = bytearray()
        while len(data) <= THUMBNAIL_BYTES:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return bytes(data)
            data += chunk
        return None
    except OSError:
        return None
    finally:
        os.close(fd)


def thumbnail(data: Optional[bytes], path: str) -> Optional[str]:
    """A small JPEG of an image file's bytes as a data URL, or None when it cannot be read
    within the limits: its pixel count is checked from its header before it is decoded."""
    import cv2

    if not data:
        return None
    head = images.header(data)
    # JPEG decodes straight to a fraction of its size
    side = max(head.width or 0, head.height or 0)
    reduce = next((f for f in (8, 4, 2) if side >= f * 2 * THUMBNAIL), 1)
    try:
        image, _ = images.decode(data, path, alpha=False, max_pixels=THUMBNAIL_PIXELS,
                                 reduce=reduce)
    except ValueError:
        return None
    scale = THUMBNAIL / max(image.shape[:2])
    if scale < 1:
        size = (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale)))
        image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    ok, encoded = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 75])
    return "data:image/jpeg;base64," + base64.b64encode(encoded.tobytes()).decode() if ok else None


class TimeCapped:
    """Calls run on a thread of their own and waited for `seconds` at most: a file on a stalled
    disk costs its own thumbnail, and after a few such files, the thumbnails still to come.
    Only reading runs there: a thread left inside OpenCV when the process exits aborts it."""

    def __init__(self, seconds: float = THUMBNAIL_SECONDS, stalls_allowed: int = STALLS_ALLOWED):
        self.seconds = seconds
        self.stalls_left = stalls_allowed

    def __call__(self, function: Callable[[str], Optional[bytes]], path: str
                 ) -> Optional[bytes]:
        if self.stalls_left <= 0:
            return None
        box: "queue.SimpleQueue[Optional[bytes]]" = queue.SimpleQueue()

        def run() -> None:
            try:
                box.put(function(path))
            except Exception:
                box.put(None)

        threading.Thread(target=run, daemon=True).start()
        try:
            return box.get(timeout=self.seconds)
        except queue.Empty:
            self.stalls_left -= 1
            return None


def card(record: Optional[records.Record], thumb: Optional[str], problem: Optional[str] = None,
         name: str = "", colour_names: Sequence[str] = ()) -> str:
    """A record's card, its colours named `colour_names`; for a line that is not a well-formed
    record, `problem` says why and `name` is the path it names, if any."""
    name = shown(record.path) if record is not None else shown(name)
    image = (f'<img class="thumb" alt="" data-src="{thumb}">' if thumb
             else '<div class="thumb"></div>')
    colours = record.colors if record is not None and not record.failed else []
    palette = ";".join(f"{c.color[0]},{c.color[1]},{c.color[2]},{c.percentage!r}"
                       for c in colours)
    data = f' data-colors="{palette}"' if palette else ""
    parts = [f'<div class="card" data-name="{html.escape(name.lower())}"{data}>', image,
             '<div class="info">', f'<div class="name" title="{html.escape(name)}">'
             f'{html.escape(name)}</div>']
    if record is None:
        parts.append(f'<div class="error">{html.escape(problem or "")}</div>')
    elif record.failed:
        parts.append(f'<div class="error">{html.escape(shown(record.error))}</div>')
    else:
        named = [html.escape(shown(n)) for n in colour_names] or [""] * len(colours)
        parts.append('<div class="bar">')
        for c, called in zip(colours, named):
            parts.append(f'<div style="width:{c.percentage}%;background:{hex_of(c.color)}"'
                         f' title="{called} {hex_of(c.color)} {c.percentage:.2f}%"></div>')
        parts.append('</div><div class="swatches">')
        for c, called in zip(colours, named):
            parts.append(f'<span data-rgb="{",".join(map(str, c.color))}" '
                         f'title="{called}: order the cards by this colour" '
                         f'style="background:{hex_of(c.color)};'
                         f'color:{text_colour(c.color)}"><b>{called}</b>{hex_of(c.color)} '
                         f'{c.percentage:.2f}%</span>')
        parts.append("</div>")
        if isinstance(record.chart_error, str):
            parts.append(f'<div class="note">chart not written: '
                         f'{html.escape(shown(record.chart_error))}</div>')
    parts.append("</div>")
    if record is not None and not record.failed:
        targets = record.targets or {}
        parts.append('<div class="side"><div class="score"></div>')
        parts.extend(target_bar(target, entry, targets.get(target))
                     for target, entry in (record.matches or {}).items())
        parts.append("</div>")
    parts.append("</div>")
    return "".join(parts)


def target_bar(name: str, entry: records.Match, rgb: Optional[Tuple[int, int, int]]) -> str:
    """One target's shares as three bars over each other, in the target's colour: total (below
    50), close (below 30), very close (below 15)."""
    colour = hex_of(rgb) if rgb is not None else "#777"
    shares = [entry.total_percentage, entry.close_percentage, entry.very_close_percentage]
    bars = "".join(f'<i style="width:{share}%;background:{colour};opacity:{opacity}"></i>'
                   for share, opacity in zip(shares, (0.3, 0.6, 1)))
    label = html.escape(shown(name))
    return (f'<div class="target" title="{label}: very close {shares[2]:.2f}%, close '
            f'{shares[1]:.2f}%, total {shares[0]:.2f}%"><span class="tname">{label}</span>'
            f'<span class="tbar">{bars}</span><span class="tval">{shares[2]:.2f} · '
            f'{shares[1]:.2f} · {shares[0]:.2f}%</span></div>')


class Line(NamedTuple):
    """A non-blank line of a results file: its number, its record or what keeps it from being
    one, and the path it names (for a card)."""

    number: int
    record: Optional[records.Record]
    problem: Optional[str]
    name: Optional[str] = None  # a line that is not a record: the path it names,
    source: Optional[str] = None  # and the file a thumbnail is made from


def lines(results: Path) -> Iterator[Line]:
    """Each non-blank line of a JSON lines file (a regular file or a pipe), decoded."""
    with open(results, "rb") as source:
        for number, text in enumerate(source, 1):
            if not text.strip():
                continue
            try:
                yield Line(number, records.decode(text), None, None)
            except records.NotARecord as e:
                problem = str(e)
                if problem == "not JSON" and not text.endswith(b"\n"):
                    problem = "an unfinished line: the run writing it was stopped"
                yield Line(number, None, problem, *_named(text))


def _named(text: bytes) -> Tuple[Optional[str], Optional[str]]:
    """The path a line that is not a record names, and the file it resolves to, if it is JSON
    that holds them."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return None, None
    if not isinstance(value, dict):
        return None, None
    path = value.get("path") if isinstance(value.get("path"), str) else None
    resolved = value.get("resolved_path")
    return path, resolved if isinstance(resolved, str) else path


def check_output(results: Path, output: str) -> None:
    """Refuses a page that would be written over the results it shows."""
    if files.same_file(str(results), output):
        raise OverwritesInputError(f"the report {output} would overwrite its input {results}")


def write_report(results: Path, output: str,
                 on_problem: Optional[Callable[[int, str], None]] = None,
                 vocabulary: str = "css") -> int:
    """Writes the page for a batch's JSON lines and returns the number of cards on it. The page
    is written beside `output` and renamed to it when complete. `on_problem` hears the line
    number and the trouble of each line that is not a well-formed record; the colours are
    named in `vocabulary`."""
    check_output(results, output)
    vocabulary = vocabulary_name(vocabulary)  # an unknown one, before the page is begun
    import cv2  # noqa: F401 (loaded here, not within the first thumbnail's time limit)

    capped = TimeCapped()
    count = 0

    def write(page: BinaryIO) -> None:
        nonlocal count
        page.write(('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
                    f'<title>huesift report: {html.escape(shown(results.name))}</title>'
                    f'<style>{asset("report.css")}</style></head><body><header>'
                    '<input id="filter" type="search" placeholder="Filter by file name"'
                    ' autocomplete="off"><label>Order by colour <input id="colour" type="color"'
                    ' value="#c8102e"></label><label>within <input id="within" type="number"'
                    ' value="15" min="0" step="any"></label><button id="unsort" type="button">'
                    'File order</button><span id="order"></span><span id="count"></span>'
                    f'<span id="vocabulary">names: {vocabulary}</span></header><main>'
                    ).encode())
        for line in lines(results):
            problem = line.problem
            if problem is not None:
                problem = f"line {line.number}: {problem}"
                if on_problem is not None:
                    on_problem(line.number, problem)
            record = line.record
            source = line.source if record is None else (
                record.resolved_path if isinstance(record.resolved_path, str) else record.path)
            thumb = None if source is None else thumbnail(capped(read_capped, source), source)
            called = (records.colour_names([record], vocabulary).tolist()
                      if record is not None and not record.failed else [])
            page.write((card(record, thumb, problem, line.name or "", called) + "\n").encode())
            count += 1
        page.write((f'</main><script>const LAB_TABLES = {json.dumps(lab_tables.tables())};\n'
                    f'{asset("lab.js")}{asset("report.js")}'
                    f"document.getElementById('count').textContent = '{count} images';"
                    "</script></body></html>\n").encode())

    files.replace(output, write)
    return count

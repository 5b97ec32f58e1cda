"""A self-contained HTML page of a batch's results: per image a thumbnail, its palette as a
stacked bar with the shares, the hex codes on their swatches, or its error, and for a record with
target reports a small bar per target (very close, close and total shares).

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
import io
import json
import math
import os
import queue
import stat
import threading
from pathlib import Path
from typing import Any, BinaryIO, Callable, Iterator, Optional, Sequence, Tuple

from . import files, lab_tables
from .palette import hex_of

THUMBNAIL = 160  # longest side, in pixels
THUMBNAIL_BYTES = 64 << 20  # larger image files get no thumbnail
THUMBNAIL_PIXELS = 100_000_000  # nor do larger images
THUMBNAIL_SECONDS = 5.0  # the longest wait for one thumbnail
STALLS_ALLOWED = 3  # thumbnails given up on before the report makes no more

STYLE = """
body { margin: 0; font: 14px/1.3 sans-serif; background: #f4f4f4; color: #222; }
header { position: sticky; top: 0; z-index: 1; height: 48px; box-sizing: border-box;
  padding: 8px 16px; background: #fff; border-bottom: 1px solid #ccc; display: flex;
  gap: 16px; align-items: center; }
header input[type=search] { width: 280px; padding: 4px 8px; }
header input[type=number] { width: 56px; padding: 4px; }
header input[type=color] { width: 40px; height: 28px; padding: 0; border: 1px solid #aaa; }
header label { display: flex; gap: 6px; align-items: center; }
main { display: flex; flex-direction: column; }
.card { display: flex; gap: 20px; height: 120px; box-sizing: border-box; padding: 10px 16px;
  border-bottom: 1px solid #ddd; background: #fff; content-visibility: auto;
  contain-intrinsic-size: auto 120px; }
.card.hidden { display: none; }
.thumb { width: 160px; height: 100px; object-fit: contain; background: #e8e8e8; flex: none; }
.info { width: 600px; flex: none; overflow: hidden; }
.name { height: 20px; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.bar { display: flex; width: 600px; height: 30px; margin-top: 10px; background: #e8e8e8; }
.bar div { height: 30px; }
.swatches { display: flex; gap: 4px; margin-top: 8px; height: 22px; overflow: hidden; }
.swatches span { padding: 2px 6px; font: 12px monospace; white-space: nowrap; cursor: pointer; }
.side { width: 300px; flex: none; overflow: hidden; }
.score { height: 20px; font-weight: bold; }
.target { display: flex; gap: 6px; align-items: center; height: 16px; font-size: 12px; }
.tname { width: 64px; flex: none; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.tbar { position: relative; width: 100px; height: 10px; background: #e8e8e8; flex: none; }
.tbar i { position: absolute; left: 0; top: 0; height: 10px; }
.tval { white-space: nowrap; color: #555; font-size: 11px; }
.error { margin-top: 10px; color: #a00; }
.note { margin-top: 4px; color: #a00; font-size: 12px; }
"""

SCRIPT = """
const cards = Array.from(document.querySelectorAll('.card'));
const seen = new IntersectionObserver(entries => {
  for (const entry of entries) {
    if (entry.isIntersecting) {
      const img = entry.target.querySelector('img[data-src]');
      if (img) { img.src = img.dataset.src; img.removeAttribute('data-src'); }
      seen.unobserve(entry.target);
    }
  }
}, {rootMargin: '600px'});
cards.forEach(card => seen.observe(card));
const main = document.querySelector('main');
const picker = document.getElementById('colour'), within = document.getElementById('within');
let chosen = null;
// A card's palette: L*a*b* bytes and share of each colour, worked out once.
function paletteOf(card) {
  if (card.palette === undefined) {
    const text = card.dataset.colors;
    card.palette = text ? text.split(';').map(entry => {
      const v = entry.split(',');
      return labOf(+v[0], +v[1], +v[2]).concat([parseFloat(v[3])]);
    }) : null;
  }
  return card.palette;
}
// The order of huesift search: the share within the distance, in hundredths, highest first;
// then the nearest colour, closest first; then the file's order. Cards without colours last.
function sortByColour(rgb) {
  chosen = rgb;
  const q = labOf(rgb[0], rgb[1], rgb[2]), limit = parseFloat(within.value);
  const keyed = [], rest = [];
  cards.forEach((card, i) => {
    const palette = paletteOf(card);
    if (!palette || !palette.length || !(limit >= 0)) { rest.push(card); return; }
    let share = 0, nearest = Infinity;
    for (const c of palette) {
      const dl = c[0] - q[0], da = c[1] - q[1], db = c[2] - q[2], d2 = dl * dl + da * da + db * db;
      if (Math.sqrt(d2) <= limit) share += c[3];
      if (d2 < nearest) nearest = d2;
    }
    keyed.push([Math.floor(share * 100 + 0.5), nearest, i, card]);
  });
  keyed.sort((a, b) => b[0] - a[0] || a[1] - b[1] || a[2] - b[2]);
  // The flex order places the cards: moving ten thousand nodes would cost seconds.
  keyed.forEach(([hundredths, , , card], rank) => {
    card.querySelector('.score').textContent =
      (hundredths / 100).toFixed(2) + '% within ' + limit + ' of ' + hexOf(rgb);
    card.style.order = rank;
  });
  rest.forEach((card, rank) => {
    const score = card.querySelector('.score');
    if (score) score.textContent = '';
    card.style.order = keyed.length + rank;
  });
  document.getElementById('order').textContent = 'sorted by ' + hexOf(rgb);
  window.scrollTo(0, 0);
}
function hexOf(rgb) { return '#' + rgb.map(c => c.toString(16).padStart(2, '0')).join(''); }
picker.addEventListener('input', () => {
  const v = picker.value;
  sortByColour([1, 3, 5].map(i => parseInt(v.slice(i, i + 2), 16)));
});
within.addEventListener('input', () => { if (chosen) sortByColour(chosen); });
main.addEventListener('click', event => {
  const swatch = event.target.closest('[data-rgb]');
  if (!swatch) return;
  const rgb = swatch.dataset.rgb.split(',').map(Number);
  picker.value = hexOf(rgb);
  sortByColour(rgb);
});
document.getElementById('unsort').addEventListener('click', () => {
  chosen = null;
  for (const card of cards) {
    const score = card.querySelector('.score');
    if (score) score.textContent = '';
    card.style.order = '';
  }
  document.getElementById('order').textContent = '';
});
document.getElementById('filter').addEventListener('input', event => {
  const text = event.target.value.toLowerCase();
  let shown = 0;
  for (const card of cards) {
    const hit = card.dataset.name.includes(text);
    card.classList.toggle('hidden', !hit);
    shown += hit;
  }
  document.getElementById('count').textContent = shown + ' of ' + cards.length + ' images';
});
"""


class OverwritesInputError(ValueError):
    """A report that would be written over the results it shows."""


def text_colour(color: Sequence[int]) -> str:
    """Black on light swatches, white on dark ones (by luma)."""
    r, g, b = color
    return "#000" if 0.299 * r + 0.587 * g + 0.114 * b > 140 else "#fff"


def shown(text: str) -> str:
    """Text as the page shows it: the bytes of a name that is not valid UTF-8 escaped."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a lone surrogate that no file name decodes to
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def is_rgb(value: Any) -> bool:
    return isinstance(value, list) and len(value) == 3 and all(
        type(c) is int and 0 <= c <= 255 for c in value)


def is_share(value: Any) -> bool:
    return type(value) in (int, float) and math.isfinite(value) and 0 <= value <= 100


MATCH_SHARES = ("total_percentage", "close_percentage", "very_close_percentage",
                "similarity_score")


def match_problem(name: str, entry: Any) -> Optional[str]:
    """What keeps one target's entry of "matches" from being a match report, or None."""
    where = f"matches[{name!r}]"
    if not isinstance(entry, dict):
        return f"{where} is not an object"
    for key in MATCH_SHARES:
        if not is_share(entry.get(key)):
            return f"{where}.{key} is not a number from 0 to 100"
    if not is_rgb(entry.get("closest_pixel")):
        return f"{where}.closest_pixel is not three whole numbers from 0 to 255"
    distance = entry.get("min_distance")
    if type(distance) not in (int, float) or not (math.isfinite(distance) and distance >= 0):
        return f"{where}.min_distance is not a distance"
    return None


def problem_of(record: Any) -> Optional[str]:
    """What keeps a parsed JSON line from being a record of a batch, or None."""
    if not isinstance(record, dict):
        return "not a JSON object"
    for field in ("path", "resolved_path", "error", "chart_error"):
        if field in record and not isinstance(record[field], str):
            return f"'{field}' is not text"
    if "path" not in record:
        return "'path' is missing"
    if "error" in record:
        return None
    if "colors" not in record:
        return "neither 'colors' nor 'error'"
    if not isinstance(record["colors"], list):
        return "'colors' is not a list"
    for i, entry in enumerate(record["colors"]):
        if not isinstance(entry, dict):
            return f"colors[{i}] is not an object"
        if "color" not in entry or "percentage" not in entry:
            return f"colors[{i}] has no '{'color' if 'color' not in entry else 'percentage'}'"
        if not is_rgb(entry["color"]):
            return f"colors[{i}].color is not three whole numbers from 0 to 255"
        if not is_share(entry["percentage"]):
            return f"colors[{i}].percentage is not a number from 0 to 100"
    if "targets" in record:
        if not isinstance(record["targets"], dict):
            return "'targets' is not an object"
        for name, rgb in record["targets"].items():
            if not is_rgb(rgb):
                return f"targets[{name!r}] is not three whole numbers from 0 to 255"
    if "matches" in record:
        if not isinstance(record["matches"], dict):
            return "'matches' is not an object"
        for name, entry in record["matches"].items():
            problem = match_problem(name, entry)
            if problem is not None:
                return problem
    return None


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


def thumbnail(path: str) -> Optional[str]:
    """A small JPEG of the image file as a data URL, or None when it cannot be read."""
    import cv2
    import numpy as np
    from PIL import Image

    data = read_capped(path)
    if not data:
        return None
    flags = cv2.IMREAD_COLOR
    try:
        with Image.open(io.BytesIO(data)) as header:
            width, height = header.size
    except Exception:  # a format only OpenCV reads: its own pixel limit applies
        pass
    else:
        if width * height > THUMBNAIL_PIXELS:
            return None
        # JPEG decodes straight to a fraction of its size
        for factor, reduced in ((8, cv2.IMREAD_REDUCED_COLOR_8), (4, cv2.IMREAD_REDUCED_COLOR_4),
                                (2, cv2.IMREAD_REDUCED_COLOR_2)):
            if max(width, height) >= factor * 2 * THUMBNAIL:
                flags = reduced
                break
    image = cv2.imdecode(np.frombuffer(data, np.uint8), flags)
    if image is None:
        return None
    scale = THUMBNAIL / max(image.shape[:2])
    if scale < 1:
        size = (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale)))
        image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    ok, encoded = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 75])
    return "data:image/jpeg;base64," + base64.b64encode(encoded.tobytes()).decode() if ok else None


class TimeCapped:
    """Calls run on a thread of their own and waited for `seconds` at most: a file on a stalled
    disk costs its own thumbnail, and after a few such files, the thumbnails still to come."""

    def __init__(self, seconds: float = THUMBNAIL_SECONDS, stalls_allowed: int = STALLS_ALLOWED):
        self.seconds = seconds
        self.stalls_left = stalls_allowed

    def __call__(self, function: Callable[[str], Optional[str]], path: str) -> Optional[str]:
        if self.stalls_left <= 0:
            return None
        box: "queue.SimpleQueue[Optional[str]]" = queue.SimpleQueue()

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


def card(record: Any, thumb: Optional[str], problem: Optional[str] = None) -> str:
    """A record's card; for a line that is not a well-formed record, `problem` says why."""
    path = record.get("path") if isinstance(record, dict) else None
    name = shown(path) if isinstance(path, str) else ""
    image = (f'<img class="thumb" alt="" data-src="{thumb}">' if thumb
             else '<div class="thumb"></div>')
    palette = "" if problem is not None or "error" in record else ";".join(
        f"{c['color'][0]},{c['color'][1]},{c['color'][2]},{c['percentage']!r}"
        for c in record["colors"])
    colours = f' data-colors="{palette}"' if palette else ""
    parts = [f'<div class="card" data-name="{html.escape(name.lower())}"{colours}>', image,
             '<div class="info">', f'<div class="name" title="{html.escape(name)}">'
             f'{html.escape(name)}</div>']
    if problem is not None:
        parts.append(f'<div class="error">{html.escape(problem)}</div>')
    elif "error" in record:
        parts.append(f'<div class="error">{html.escape(shown(record["error"]))}</div>')
    else:
        colors = record["colors"]
        parts.append('<div class="bar">')
        for c in colors:
            parts.append(f'<div style="width:{c["percentage"]}%;background:{hex_of(c["color"])}"'
                         f' title="{hex_of(c["color"])} {c["percentage"]:.2f}%"></div>')
        parts.append('</div><div class="swatches">')
        for c in colors:
            parts.append(f'<span data-rgb="{",".join(map(str, c["color"]))}" '
                         f'title="order the cards by this colour" '
                         f'style="background:{hex_of(c["color"])};'
                         f'color:{text_colour(c["color"])}">{hex_of(c["color"])} '
                         f'{c["percentage"]:.2f}%</span>')
        parts.append("</div>")
        if "chart_error" in record:
            parts.append(f'<div class="note">chart not written: '
                         f'{html.escape(shown(record["chart_error"]))}</div>')
    parts.append("</div>")
    if problem is None and "error" not in record:
        parts.append('<div class="side"><div class="score"></div>')
        parts.extend(target_bar(name, entry, record.get("targets", {}).get(name))
                     for name, entry in record.get("matches", {}).items())
        parts.append("</div>")
    parts.append("</div>")
    return "".join(parts)


def target_bar(name: str, entry: dict, rgb: Optional[list]) -> str:
    """One target's shares as three bars over each other, in the target's colour: total (below
    50), close (below 30), very close (below 15)."""
    colour = hex_of(rgb) if rgb is not None else "#777"
    shares = [entry["total_percentage"], entry["close_percentage"],
              entry["very_close_percentage"]]
    bars = "".join(f'<i style="width:{share}%;background:{colour};opacity:{opacity}"></i>'
                   for share, opacity in zip(shares, (0.3, 0.6, 1)))
    label = html.escape(shown(name))
    return (f'<div class="target" title="{label}: very close {shares[2]:.2f}%, close '
            f'{shares[1]:.2f}%, total {shares[0]:.2f}%"><span class="tname">{label}</span>'
            f'<span class="tbar">{bars}</span><span class="tval">{shares[2]:.2f} · '
            f'{shares[1]:.2f} · {shares[0]:.2f}%</span></div>')


def records(results: Path) -> Iterator[Tuple[int, Any, Optional[str]]]:
    """Each non-blank line of a JSON lines file: its number, what it parses to, and what keeps
    it from being a record (None for a record)."""
    with open(results, "rb") as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except (ValueError, RecursionError):  # undecodable bytes are a ValueError too
                yield number, None, ("not JSON" if line.endswith(b"\n") else
                                     "an unfinished line: the run writing it was stopped")
                continue
            yield number, record, problem_of(record)


def check_output(results: Path, output: str) -> None:
    """Refuses a page that would be written over the results it shows."""
    if files.same_file(str(results), output):
        raise OverwritesInputError(f"the report {output} would overwrite its input {results}")


def write_report(results: Path, output: str,
                 on_problem: Optional[Callable[[int, str], None]] = None) -> int:
    """Writes the page for a batch's JSON lines and returns the number of cards on it. The page
    is written beside `output` and renamed to it when complete. `on_problem` hears the line
    number and the trouble of each line that is not a well-formed record."""
    check_output(results, output)
    import cv2  # noqa: F401 (loaded here, not within the first thumbnail's time limit)

    capped = TimeCapped()
    count = 0

    def write(page: BinaryIO) -> None:
        nonlocal count
        page.write(('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
                    f'<title>huesift report: {html.escape(shown(results.name))}</title>'
                    f'<style>{STYLE}</style></head><body><header>'
                    '<input id="filter" type="search" placeholder="Filter by file name"'
                    ' autocomplete="off"><label>Order by colour <input id="colour" type="color"'
                    ' value="#c8102e"></label><label>within <input id="within" type="number"'
                    ' value="15" min="0" step="any"></label><button id="unsort" type="button">'
                    'File order</button><span id="order"></span><span id="count"></span>'
                    '</header><main>').encode())
        for number, record, problem in records(results):
            if problem is not None:
                problem = f"line {number}: {problem}"
                if on_problem is not None:
                    on_problem(number, problem)
            source = None
            if isinstance(record, dict):
                source = next((record[k] for k in ("resolved_path", "path")
                               if isinstance(record.get(k), str)), None)
            thumb = capped(thumbnail, source) if source is not None else None
            page.write((card(record, thumb, problem) + "\n").encode())
            count += 1
        page.write((f'</main><script>const LAB_TABLES = {json.dumps(lab_tables.tables())};'
                    f'{lab_tables.SCRIPT}{SCRIPT}'
                    f"document.getElementById('count').textContent = '{count} images';"
                    "</script></body></html>\n").encode())

    files.replace(output, write)
    return count

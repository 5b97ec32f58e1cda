"""A self-contained HTML page of a batch's results: per image a thumbnail, its palette as a
stacked bar with the shares, the hex codes on their swatches, or its error.

Everything is embedded: the page fetches nothing. Thumbnails are made from the image files at
report time and set only when their card scrolls into view, and cards off screen are not laid
out, so a page of ten thousand images opens quickly.
"""

from __future__ import annotations

import base64
import html
import json
from pathlib import Path
from typing import Any, Dict, Iterator, Optional, Sequence

from .palette import hex_of

THUMBNAIL = 160  # longest side, in pixels

STYLE = """
body { margin: 0; font: 14px/1.3 sans-serif; background: #f4f4f4; color: #222; }
header { position: sticky; top: 0; z-index: 1; height: 48px; box-sizing: border-box;
  padding: 8px 16px; background: #fff; border-bottom: 1px solid #ccc; display: flex;
  gap: 16px; align-items: center; }
header input { width: 280px; padding: 4px 8px; }
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
.swatches span { padding: 2px 6px; font: 12px monospace; white-space: nowrap; }
.error { margin-top: 10px; color: #a00; }
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


def text_colour(color: Sequence[int]) -> str:
    """Black on light swatches, white on dark ones (by luma)."""
    r, g, b = color
    return "#000" if 0.299 * r + 0.587 * g + 0.114 * b > 140 else "#fff"


def thumbnail(path: str) -> Optional[str]:
    """A small JPEG of the image file as a data URL, or None when it cannot be read."""
    import cv2

    from .batch import imread

    image = imread(path)
    if image is None:
        return None
    scale = THUMBNAIL / max(image.shape[:2])
    if scale < 1:
        size = (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale)))
        image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 75])
    return "data:image/jpeg;base64," + base64.b64encode(data.tobytes()).decode() if ok else None


def card(record: Dict[str, Any]) -> str:
    path = str(record.get("path", ""))
    thumb = thumbnail(path)
    image = (f'<img class="thumb" alt="" data-src="{thumb}">' if thumb
             else '<div class="thumb"></div>')
    parts = [f'<div class="card" data-name="{html.escape(path.lower())}">', image,
             '<div class="info">', f'<div class="name" title="{html.escape(path)}">'
             f'{html.escape(path)}</div>']
    if "error" in record:
        parts.append(f'<div class="error">{html.escape(str(record["error"]))}</div>')
    else:
        colors = record.get("colors", [])
        parts.append('<div class="bar">')
        for c in colors:
            parts.append(f'<div style="width:{c["percentage"]}%;background:{hex_of(c["color"])}"'
                         f' title="{hex_of(c["color"])} {c["percentage"]:.2f}%"></div>')
        parts.append('</div><div class="swatches">')
        for c in colors:
            parts.append(f'<span style="background:{hex_of(c["color"])};'
                         f'color:{text_colour(c["color"])}">{hex_of(c["color"])} '
                         f'{c["percentage"]:.2f}%</span>')
        parts.append("</div>")
    parts.append("</div></div>")
    return "".join(parts)


def records(results: Path) -> Iterator[Dict[str, Any]]:
    """The records of a JSON lines file; a line cut off by an interruption is skipped."""
    with open(results, encoding="utf-8") as lines:
        for line in lines:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict) and "path" in record:
                yield record


def write_report(results: Path, output: str) -> int:
    """Writes the page for a batch's JSON lines; returns the number of images on it."""
    count = 0
    with open(output, "w", encoding="utf-8") as page:
        page.write('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
                   f'<title>huesift report: {html.escape(results.name)}</title>'
                   f'<style>{STYLE}</style></head><body><header>'
                   '<input id="filter" type="search" placeholder="Filter by file name"'
                   ' autocomplete="off"><span id="count"></span></header><main>')
        for record in records(results):
            page.write(card(record) + "\n")
            count += 1
        page.write(f'</main><script>{SCRIPT}'
                   f"document.getElementById('count').textContent = '{count} images';"
                   "</script></body></html>\n")
    return count

"""The report of 10 000 cards ordered by a colour, in headless Chromium, timed by the page's
own clock (performance.now) around the click on a swatch, the style and the layout it causes;
the baseline is the page's filter by file name, timed the same way in the same page."""

import html
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure  # noqa: E402
from search import write_records  # noqa: E402

CARDS = 10_000
PROBE = """<script>
function timed(action) {
  void document.body.offsetHeight;
  const start = performance.now();
  action();
  void document.body.offsetHeight;  // the style and layout the change causes
  return performance.now() - start;
}
const swatches = Array.from(document.querySelectorAll('.swatches span')).filter((s, i) => i % 997 == 0);
const sorts = swatches.slice(0, 7).map(s => timed(() => s.click()));
const filter = document.getElementById('filter');
const filters = ['img00001', 'set0003', 'img', 'zzz', '', 'photos', 'img0000'].map(text => timed(() => {
  filter.value = text; filter.dispatchEvent(new Event('input'));
}));
document.body.insertAdjacentHTML('beforeend', '<pre id="out">' + JSON.stringify({sorts, filters}) + '</pre>');
</script></body>"""


def written(results, page):
    from vantrel_huesift.report import write_report

    return lambda: write_report(Path(results), page)


def median(values):
    return sorted(values)[len(values) // 2]


def main():
    browser = next((b for b in ("chromium", "chromium-browser", "google-chrome")
                    if shutil.which(b)), None)
    if browser is None:
        sys.exit("report_sort: no Chromium (apt-get install -y chromium)")
    print(f"the report with {CARDS:,} cards, ordered by a colour in headless Chromium, on "
          f"{machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        results, page = os.path.join(tmp, "r.jsonl"), os.path.join(tmp, "report.html")
        write_records(results, CARDS)
        seconds, rss, count = measure(written, results, page)
        print(f"  writing the page: {seconds:.2f} s, {os.path.getsize(page) / 2 ** 20:.1f} MiB, "
              f"peak RSS {gib(rss)}")
        probe = os.path.join(tmp, "probe.html")
        Path(probe).write_text(Path(page).read_text().replace("</body>", PROBE))
        start = time.perf_counter()
        dom = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                              "--window-size=1280,900", "--dump-dom", Path(probe).as_uri()],
                             capture_output=True, text=True, timeout=600, check=True).stdout
        wall = time.perf_counter() - start
        found = json.loads(html.unescape(dom.rsplit('<pre id="out">', 1)[1].split("</pre>")[0]))
        sort, filtered = median(found["sorts"]), median(found["filters"])
        print(f"  order by a clicked swatch: first {found['sorts'][0]:.0f} ms (the palettes "
              f"converted then), median of 7 {sort:.0f} ms, slowest {max(found['sorts']):.0f} ms")
        print(f"  baseline, filter by name: median of 7 {filtered:.0f} ms, slowest "
              f"{max(found['filters']):.0f} ms")
        print(f"  ratio sort / filter: {sort / filtered:.2f} x (browser run {wall:.1f} s)")


if __name__ == "__main__":
    main()

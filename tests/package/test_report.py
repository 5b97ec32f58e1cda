import html
import json
import os

import pytest
from matplotlib import cbook

from support import huesift
from vantrel_huesift import report, search

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
GOOD = json.dumps({"path": SAMPLE, "colors": [{"color": [200, 30, 40], "percentage": 60.0}]})

# Lines a hand or another tool may write, and what the report says of each.
MISSHAPEN = [
    (b'{"path": "a.png", "colors": null}', "'colors' is not a list"),
    (b'{"path": "a.png", "colors": {"color": [1, 2, 3], "percentage": 5}}',
     "'colors' is not a list"),
    (b'{"path": "a.png", "colors": [{"color": [1, 2, 3]}]}', "colors[0] has no 'percentage'"),
    (b'{"path": "a.png", "colors": [{"color": [1, 2, 3], "percentage": 1e400}]}',
     "colors[0].percentage is not a number from 0 to 100"),
    (b'{"path": "a.png", "colors": [{"color": [1, 2, 256], "percentage": 5}]}',
     "colors[0].color is not three whole numbers from 0 to 255"),
    (b'{"path": ["a.png"], "error": "gone"}', "'path' is not text"),
    (b'{"colors": []}', "'path' is missing"),
    (b"[1, 2]", "not a JSON object"),
    (b"[" * 100_000, "not JSON"),
    (b'{"path": "\xff.png", "error": "x"}', "not JSON"),
    (b'{"path": "a.png", "colors": [], "targets": {"red": [255, 0]}}',
     "targets['red'] is not three whole numbers from 0 to 255"),
    (b'{"path": "a.png", "colors": [], "matches": []}', "'matches' is not an object"),
    (b'{"path": "a.png", "colors": [], "matches": {"red": {"total_percentage": 1, '
     b'"close_percentage": 101, "very_close_percentage": 0, "similarity_score": 0}}}',
     "matches['red'].close_percentage is not a number from 0 to 100"),
    (b'{"path": "a.png", "colors": [], "matches": {"red": {"total_percentage": 1, '
     b'"close_percentage": 1, "very_close_percentage": 0, "similarity_score": 0, '
     b'"closest_pixel": [1, 2, 3], "min_distance": -1}}}',
     "matches['red'].min_distance is not a distance"),
]


def test_report_shows_any_json_lines(tmp_path):
    fifo = tmp_path / "pipe.png"
    os.mkfifo(fifo)
    # records of files that are not images to read: never opened, never waited on
    odd = [json.dumps({"path": str(p), "error": "x"}).encode()
           for p in (fifo, "/dev/zero", tmp_path, "caf\udce9.png")]
    cut = b'{"path": "b.png", "colo'
    lines = [GOOD.encode()] + [line for line, _ in MISSHAPEN] + odd + [cut]
    results, page = tmp_path / "r.jsonl", tmp_path / "page.html"
    results.write_bytes(b"\n".join(lines))
    out = huesift("report", results, "--output", page)
    assert out.returncode == 0, out.stderr
    problems = [(2 + i, problem) for i, (_, problem) in enumerate(MISSHAPEN)] + [
        (len(lines), "an unfinished line: the run writing it was stopped")]
    assert out.stderr.splitlines() == [f"huesift: {results}: line {n}: {p}" for n, p in problems] + [
        f"report of 5 images and {len(problems)} bad lines written to {page}"]
    text = page.read_text()
    assert text.endswith("</script></body></html>\n") and text.count('<div class="card"') == len(lines)
    for n, problem in problems:
        assert f'<div class="error">{html.escape(f"line {n}: {problem}")}</div>' in text
    assert ">caf\\xe9.png</div>" in text and text.count('<img class="thumb"') == 1
    # the search passes over the lines the report flags, and no others
    found = search.search(str(results), search.ColourQuery((200, 30, 40)))
    assert found[1:4] == (1, len(problems), [n for n, _ in problems][:5])


@pytest.mark.parametrize("how", ["same name", "link", "hard link", "batch --report"])
def test_a_report_never_overwrites_its_input(tmp_path, how):
    results = tmp_path / "r.jsonl"
    results.write_text(GOOD + "\n")
    page = results if how in ("same name", "batch --report") else tmp_path / "page.html"
    if how == "link":
        page.symlink_to(results)
    elif how == "hard link":
        os.link(results, page)
    if how == "batch --report":
        out = huesift("batch", SAMPLE, "--output", results, "--report", results, "--quiet")
    else:
        out = huesift("report", results, "--output", page)
    assert out.returncode == 2
    assert out.stderr == f"huesift: error: the report {page} would overwrite its input {results}\n"
    assert results.read_text() == GOOD + "\n"


def test_a_failed_report_leaves_the_old_page(tmp_path, monkeypatch):
    results, page = tmp_path / "r.jsonl", tmp_path / "page.html"
    results.write_text(GOOD + "\n" + GOOD + "\n")
    page.write_text("the old page")
    cards = []

    def card_then_full_disk(*args):
        cards.append(args)
        if len(cards) == 2:
            raise OSError(28, "No space left on device")
        return "<div></div>"

    monkeypatch.setattr(report, "card", card_then_full_disk)
    with pytest.raises(OSError, match="No space left"):
        report.write_report(results, str(page))
    assert page.read_text() == "the old page"
    assert sorted(os.listdir(tmp_path)) == ["page.html", "r.jsonl"]

import html
import json
import os
import stat
import subprocess
import zlib

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
    out = huesift("report", results, "--output", page, "--names", "XKCD")
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
    assert "<b>cherry</b>#c81e28 60.00%" in text and ">names: xkcd<" in text
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


def bomb(path, side=14000):
    """A valid PNG of side x side black pixels at one bit each, a few kilobytes on disk."""
    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data
                + zlib.crc32(kind + data).to_bytes(4, "big"))

    rows = zlib.compress(bytes(side * (1 + (side + 7) // 8)), 9)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", side.to_bytes(4, "big") * 2
                                                  + bytes([1, 0, 0, 0, 0]))
                     + chunk(b"IDAT", rows) + chunk(b"IEND", b""))


def test_a_thumbnail_beyond_the_pixel_limit_is_refused_before_any_decoder_runs(
        tmp_path, monkeypatch, capfd):
    import cv2
    from PIL import Image

    bomb(tmp_path / "bomb.png")  # 196 million pixels in 24 kB: 590 MB once decoded
    bomb(tmp_path / "big.png", 40)  # above a lowered Pillow limit: Pillow would warn of it
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    decoded = []
    decode = cv2.imdecode
    monkeypatch.setattr(cv2, "imdecode", lambda data, flags: decoded.append(len(data)) or decode(
        data, flags))
    results = tmp_path / "r.jsonl"
    results.write_text("".join(json.dumps({"path": str(tmp_path / name), "colors": []}) + "\n"
                               for name in ("bomb.png", "big.png")))
    assert report.write_report(results, str(tmp_path / "page.html")) == 2
    assert decoded == [(tmp_path / "big.png").stat().st_size]
    assert (tmp_path / "page.html").read_text().count('<img class="thumb"') == 1
    assert capfd.readouterr().err == ""  # no library's warning


@pytest.mark.parametrize("output", ["a pipe", "/dev/stdout"])
def test_a_report_into_a_pipe_or_stdout_is_written_there(tmp_path, output):
    results = tmp_path / "r.jsonl"
    results.write_text(GOOD + "\n")
    reader = None
    if output == "a pipe":
        output = tmp_path / "page.fifo"
        os.mkfifo(output)
        reader = subprocess.Popen(["cat", str(output)], stdout=subprocess.PIPE)
    out = huesift("report", results, "--output", output)
    assert out.returncode == 0 and out.stderr == f"report of 1 images written to {output}\n"
    page = reader.communicate(timeout=30)[0].decode() if reader else out.stdout
    assert page.startswith("<!DOCTYPE html>") and page.endswith("</html>\n")
    if reader:
        assert stat.S_ISFIFO(os.stat(output).st_mode)  # still the pipe, never replaced
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["r.jsonl"] + (["page.fifo"] if reader else []))


@pytest.mark.parametrize("command", [["report", "--output", "page.html"],
                                     ["search", "--color", "200,30,40"]])
@pytest.mark.parametrize("kind", ["pipe", "folder"])
def test_results_are_read_from_a_pipe_and_a_folder_is_named(tmp_path, command, kind):
    results = tmp_path / "r.jsonl"
    if kind == "folder":
        results.mkdir()
        out = huesift(command[0], results, *command[1:], cwd=tmp_path)
        assert out.returncode == 2 and out.stderr == (
            f"huesift: error: results {results} is a folder, not a file\n")
        return
    os.mkfifo(results)
    writer = subprocess.Popen(["sh", "-c", f"printf '%s\\n' '{GOOD}' > '{results}'"])
    out = huesift(command[0], results, *command[1:], cwd=tmp_path)
    writer.wait(timeout=30)
    assert out.returncode == 0, out.stderr
    if command[0] == "search":
        assert out.stdout.splitlines()[1].split() == ["1", "60.00%", "#c81e28", "0.00", SAMPLE]
    else:
        assert (tmp_path / "page.html").read_text().count('<div class="card"') == 1

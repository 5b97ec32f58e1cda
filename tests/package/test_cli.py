import hashlib
import json
import os
import re
import stat
import subprocess
import sys
import warnings
from pathlib import Path

import cv2
import numpy as np
import pytest
from matplotlib import cbook

from support import FULL, absolute_env, huesift, read_lines
from vantrel_huesift import messages, palette
from vantrel_huesift.names import colour_name

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
LOGO = str(cbook.get_sample_data("logo2.png", asfileobj=False))  # not the sample's size


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    root = tmp_path_factory.mktemp("photos")
    image = cv2.imread(SAMPLE)
    (root / "sub").mkdir()
    for i, (y, x) in enumerate([(0, 0), (100, 100), (200, 50)]):
        folder = root / ("sub" if i == 2 else "")
        cv2.imwrite(str(folder / f"crop{i}.png"), image[y:y + 80, x:x + 90])
    (root / "notes.txt").write_text("not an image")
    return root


def test_extract_json_and_chart(tmp_path):
    chart = tmp_path / "chart.png"
    out = huesift("extract", SAMPLE, "--colors", 3, "--json", "--chart", tmp_path / "chart")
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines()[-1] == f"chart written to {chart}"  # matplotlib's suffix
    records = json.loads(out.stdout)
    assert len(records) == 3 and set(records[0]) == {"color", "percentage"}
    from vantrel_huesift.tintmill import ColorExtractor
    expected = ColorExtractor(3).extract_colors(SAMPLE)
    assert records == [{"color": list(r["color"]), "percentage": r["percentage"]}
                       for r in expected]
    assert chart.stat().st_size > 10_000


def test_extract_table(tmp_path):
    out = huesift("extract", SAMPLE, "--colors", 2, "--rgb", "--no-preprocessing", "--names",
                  "xkcd")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].split() == ["#", "colour", "RGB", "share", "name"] and len(lines) == 3
    for row in lines[1:]:
        rgb = tuple(int(c) for c in re.search(r"\((.*?)\)", row)[1].split(", "))
        assert row.split()[1] == palette.hex_of(rgb) and row.split("%  ")[1] == colour_name(
            rgb, "xkcd")[0]
    black, none = tmp_path / "black.png", tmp_path / "none.png"
    cv2.imwrite(str(black), np.zeros((4, 5, 3), np.uint8))
    cv2.imwrite(str(none), np.zeros((4, 5), np.uint8))
    noise = tmp_path / "noise.png"
    cv2.imwrite(str(noise), np.random.default_rng(0).integers(0, 256, (4, 5, 3), np.uint8))
    for image, options, why in [
            (black, (), "every pixel analysed is pure black, which clustering in RGB leaves out"),
            (black, ("--mask", none), "the mask selects no pixel"),
            (noise, ("--algorithm", "dbscan"), "DBSCAN found no cluster among the 20 pixels "
                                               "analysed: every one is noise, with too few "
                                               "neighbours of its colour")]:
        out = huesift("extract", image, "--rgb", "--no-preprocessing", *options)
        assert out.returncode == 0 and out.stdout.splitlines()[1] == f"no colour: {why}"


@pytest.mark.parametrize("args, message", [
    (["extract", "/no/such.png"], "image not found: /no/such.png"),
    (["extract", SAMPLE, "--mask", "/no/mask.png"], "mask not found: /no/mask.png"),
    (["match", SAMPLE, "--target", "red=255,0"], "bad --target 'red=255,0'"),
    (["match", SAMPLE, "--target", "red=300,0,0"], "bad --target 'red=300,0,0'"),
    (["extract", SAMPLE, "--gpu", "force"], "GPU forced but not available"),
    (["batch", "/no/where/*.png"], "no such file, folder or pattern"),
    (["batch", SAMPLE, "--colors", 0], "--colors must be at least 1, not 0"),
    (["extract", SAMPLE, "--mask", LOGO], f"the mask {LOGO} is 542 x 130 pixels and the image "
                                          f"{SAMPLE} 512 x 600: a mask must have the image's size"),
    (["match", SAMPLE, "--target", "red=255,0,0", "--mask", LOGO], "a mask must have the image's"),
    (["extract", SAMPLE, "--names", "rainbow"], "unknown vocabulary 'rainbow'; the vocabularies: "
                                                "css, xkcd, basic"),
    (["batch", SAMPLE, "--names", "xkcdd"], "unknown vocabulary 'xkcdd'; did you mean 'xkcd'?"),
    (["report", SAMPLE, "--names", "CSS4"], "unknown vocabulary 'CSS4'; did you mean 'css'?"),
])
def test_user_errors_are_one_line(args, message):
    out = huesift(*args)
    assert out.returncode == 2
    assert out.stderr.startswith("huesift: error: ") and message in out.stderr
    assert "Traceback" not in out.stderr and len(out.stderr.splitlines()) == 1


def test_unreadable_image(tmp_path):
    bad = tmp_path / "bad.png"
    bad.write_text("not a png")
    out = huesift("extract", bad)
    assert out.returncode == 1
    assert out.stderr.strip() == f"huesift: error: Could not load image from {bad}"


def test_library_complaints_are_folded_into_one_line(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    ok, tiff = cv2.imencode(".tif", cv2.imread(SAMPLE)[:60, :80])
    (photos / "cut.tif").write_bytes(tiff.tobytes()[:len(tiff) * 4 // 10])  # OpenCV logs of it
    for name, grey in [("flat1.png", 90), ("flat2.png", 170)]:  # scikit-learn warns of them
        cv2.imwrite(str(photos / name), np.full((6, 7, 3), grey, np.uint8))
    out = huesift("extract", photos / "cut.tif")
    assert (out.returncode, out.stderr) == (
        1, f"huesift: error: Could not load image from {photos / 'cut.tif'}\n")
    out = huesift("batch", photos, "--jobs", 2, "--output", tmp_path / "r.jsonl", "--quiet")
    assert out.returncode == 0
    lines = out.stderr.splitlines()
    assert lines[0] == f"2 done, 1 failed, 0 already in {tmp_path / 'r.jsonl'}"
    assert re.fullmatch(r"huesift: note: ConvergenceWarning: Number of distinct clusters \(1\) "
                        r"found smaller than n_clusters \(5\)\. Possibly due to duplicate points "
                        r"in X\. \(2 images, first .*/flat[12]\.png\)", lines[1]), lines[1]
    assert len(lines) == 2


def test_match_reports():
    out = huesift("match", SAMPLE, "--target", "black=0,0,0", "--target", "red=200,40,40",
                  "--json")
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert list(report) == ["black", "red"]
    assert set(report["black"]) == {"percentage", "similarity", "closest_color", "distance",
                                    "found_directly"}
    out = huesift("match", SAMPLE, "--target", "black=0,0,0", "--pixels", "--json")
    assert out.returncode == 0, out.stderr
    assert set(json.loads(out.stdout)["black"]) == {
        "total_percentage", "close_percentage", "very_close_percentage", "closest_pixel",
        "min_distance", "similarity_score"}
    out = huesift("match", SAMPLE, "--target", "black=0,0,0", "--pixels")
    assert out.returncode == 0 and out.stdout.splitlines()[1].startswith("black")


def test_batch_folder_resume_and_bad_image(photos, tmp_path):
    corrupt = photos / "broken.jpg"
    corrupt.write_bytes(b"\xff\xd8 truncated")
    output = tmp_path / "results.jsonl"
    try:
        out = huesift("batch", photos, "--jobs", 2, "--output", output, "--colors", 2,
                      "--quiet")
        assert out.returncode == 0, out.stderr
        lines = read_lines(output)
        assert sorted(os.path.basename(r["path"]) for r in lines) == [
            "broken.jpg", "crop0.png", "crop1.png", "crop2.png"]
        errors = [r for r in lines if "error" in r]
        assert len(errors) == 1 and errors[0]["error"].startswith("ValueError: Could not load")
        assert all(len(r["colors"]) == 2 for r in lines if "colors" in r)

        # An interrupted run: the last record is gone and a line was cut mid-write.
        good = output.read_text().splitlines()
        output.write_text("\n".join(good[:2]) + "\n" + good[2][:10])
        out = huesift("batch", photos, "--jobs", 1, "--output", output, "--colors", 2,
                      "--quiet")
        assert out.returncode == 0, out.stderr
        again = read_lines(output)
        assert len(again) == 4
        assert sorted(json.dumps(r, sort_keys=True) for r in again) == sorted(
            json.dumps(r, sort_keys=True) for r in lines)
        # the bad image's error record is retried, and fails again
        done, already = map(int, re.search(r"(\d+) done, 1 failed, (\d+) already",
                                           out.stderr).groups())
        assert done + already == 3
    finally:
        corrupt.unlink()


def chart_of(image):
    """An image's chart name: its stem, then a digest of its resolved path."""
    key = str(Path(image).resolve())
    return f"{Path(key).stem}_{hashlib.sha256(key.encode()).hexdigest()[:10]}_colors.png"


def test_batch_glob_and_charts(photos, tmp_path):
    output = tmp_path / "out.jsonl"
    charts = tmp_path / "charts"
    out = huesift("batch", str(photos / "*.png"), "--output", output, "--jobs", 1,
                  "--chart", charts, "--quiet")
    assert out.returncode == 0, out.stderr
    assert [os.path.basename(r["path"]) for r in read_lines(output)] == ["crop0.png",
                                                                        "crop1.png"]
    assert sorted(p.name for p in charts.iterdir()) == sorted(
        chart_of(photos / name) for name in ["crop0.png", "crop1.png"])


def test_batch_on_dask_equals_local_pool(photos, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    local = tmp_path / "local.jsonl"
    out = huesift("batch", photos, "--jobs", 2, "--output", local, "--quiet")
    assert out.returncode == 0, out.stderr
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        remote = tmp_path / "dask.jsonl"
        out = huesift("batch", photos, "--scheduler", cluster.scheduler_address,
                      "--output", remote, "--quiet")
        assert out.returncode == 0, out.stderr
    key = lambda r: r["path"]  # noqa: E731
    assert sorted(read_lines(remote), key=key) == sorted(read_lines(local), key=key)


@pytest.mark.parametrize("chart", ["a pipe", "/dev/stdout", "/dev/null"])
def test_a_chart_into_a_pipe_or_a_device_is_written_there(tmp_path, request, chart):
    reader = None
    if chart == "a pipe":
        chart = str(tmp_path / "chart")  # no suffix: a pipe is never written beside
        os.mkfifo(chart)
        reader = subprocess.Popen(["cat", chart], stdout=subprocess.PIPE)
        request.addfinalizer(reader.kill)  # it waits on the pipe, if the test fails first
    before = set(os.listdir("/dev"))
    out = subprocess.run([sys.executable, "-m", "vantrel_huesift.cli", "extract", SAMPLE,
                          "--colors", "1", "--json", "--chart", chart], capture_output=True,
                         env=absolute_env(), timeout=300)
    assert out.returncode == 0 and out.stderr.decode() == f"chart written to {chart}\n"
    records, png = out.stdout.split(b"\n", 1)
    png = reader.communicate(timeout=30)[0] if reader else png
    assert len(json.loads(records)) == 1
    if chart != "/dev/null":
        assert cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR).shape[2] == 3
    assert set(os.listdir("/dev")) == before and os.listdir(tmp_path) == (
        ["chart"] if reader else [])
    assert stat.S_ISFIFO(os.stat(chart).st_mode) if reader else True  # never replaced


def test_console_script_is_declared():
    from importlib import metadata
    try:
        entry = [e for e in metadata.entry_points(group="console_scripts")
                 if e.name == "huesift"]
    except TypeError:  # Python 3.9
        entry = [e for e in metadata.entry_points()["console_scripts"] if e.name == "huesift"]
    assert [e.value for e in entry] == ["vantrel_huesift.cli:main"]


@pytest.mark.parametrize("args, message", [
    (["extract", SAMPLE, "--colors", 1, "--chart", "/no/dir/c.png"],
     "No such file or directory: /no/dir/c.png"),
    (["batch", SAMPLE, "--output", "/no/dir/r.jsonl"], "No such file or directory: /no/dir/r.jsonl"),
    (["batch", SAMPLE, "--output", "."], "Is a directory: ."),
])
def test_os_errors_are_one_line(args, message):
    out = huesift(*args, "--quiet" if args[0] == "batch" else "--json")
    assert out.returncode == 1
    assert out.stderr == f"huesift: error: {message}\n"
    if args[0] == "extract":  # the results came out before the chart failed
        assert len(json.loads(out.stdout)) == 1


def test_batch_names_each_file_once_and_each_chart_apart(tmp_path):
    one, other = tmp_path / "one", tmp_path / "other"
    (one / "sub").mkdir(parents=True)
    other.mkdir()
    image = cv2.imread(SAMPLE)[:40, :50]
    for name in ["a.png", "sub/a.png", "a.jpg"]:
        cv2.imwrite(str(one / name), image)
    cv2.imwrite(str(other / "a.png"), np.full((4, 5, 3), (0, 0, 255), np.uint8))
    os.symlink(one / "a.png", one / "link.png")
    out = huesift("batch", "a.png", one / "a.png", "link.png", "sub", "a.jpg", "--jobs", 1,
                  "--output", "../r.jsonl", "--chart", "../charts", "--quiet", cwd=one)
    assert out.returncode == 0, out.stderr
    assert [r["path"] for r in read_lines(tmp_path / "r.jsonl")] == ["a.png", "sub/a.png",
                                                                     "a.jpg"]
    # a later run from another folder, into the same output and charts: its a.png keeps its own
    out = huesift("batch", "a.png", "--jobs", 1, "--output", "../r.jsonl", "--chart",
                  "../charts", "--quiet", cwd=other)
    assert out.returncode == 0, out.stderr
    charts = {p.name: p for p in (tmp_path / "charts").iterdir()}
    assert sorted(charts) == sorted(chart_of(path) for path in [
        one / "a.png", one / "sub/a.png", one / "a.jpg", other / "a.png"])
    first = {r["resolved_path"]: tuple(r["colors"][0]["color"][::-1])
             for r in read_lines(tmp_path / "r.jsonl")}
    for mine, theirs in [(one, other), (other, one)]:
        chart = cv2.imread(str(charts[chart_of(mine / "a.png")]))
        assert (chart == first[str(mine / "a.png")]).all(axis=2).any()
        assert not (chart == first[str(theirs / "a.png")]).all(axis=2).any()


def test_batch_resume_retries_errors(photos, tmp_path):
    output = tmp_path / "r.jsonl"
    good = str(photos / "crop0.png")
    output.write_text(json.dumps({"path": good, "error": "OSError: disk gone"}) + "\n"
                      + json.dumps({"path": "/elsewhere.png", "error": "kept"}) + "\n")
    out = huesift("batch", good, "--output", output, "--jobs", 1, "--quiet")
    assert out.returncode == 0, out.stderr
    lines = read_lines(output)
    assert [r["path"] for r in lines] == ["/elsewhere.png", good] and "colors" in lines[1]
    assert "1 done, 0 failed, 0 already" in out.stderr


def test_a_chart_that_cannot_be_written_keeps_the_colours(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    long = ["l" * 239 + "a.png", "l" * 239 + "b.png"]
    for name in long + ["c.png"]:
        cv2.imwrite(str(photos / name), cv2.imread(SAMPLE)[:40, :50])
    charts = tmp_path / "charts"
    blocked = charts / chart_of(photos / "c.png")
    blocked.mkdir(parents=True)  # a folder where c.png's chart would go
    output = tmp_path / "r.jsonl"
    out = huesift("batch", photos, "--output", output, "--chart", charts, "--jobs", 1, "--quiet")
    assert out.returncode == 0, out.stderr
    assert out.stderr == f"3 done, 0 failed, 0 already in {output}, charts not written: 1\n"
    records = {Path(r["path"]).name: r for r in read_lines(output)}
    assert [len(r["colors"]) for r in records.values()] == [5, 5, 5]
    assert records["c.png"]["chart_error"] == (
        f"IsADirectoryError: [Errno 21] Is a directory: '{blocked}'")
    # too long for a file name: the stem shortened, the digests keep them apart
    assert sorted(p.name for p in charts.iterdir()) == sorted(
        [chart_of(photos / name).replace("l" * 239 + name[-5], "l" * 233) for name in long]
        + [blocked.name])


HOSTILE = "x\x1b[2J\x1b[31mred\rover\nforged\x9b\x7f.png"  # from someone else's results
ESCAPED = "x\\x1b[2J\\x1b[31mred\\rover\\nforged\\x9b\\x7f.png"


@pytest.mark.parametrize("where", ["search", "report", "note", "error"])
def test_control_characters_in_names_are_escaped_wherever_they_are_shown(tmp_path, where):
    results = tmp_path / "r.jsonl"
    colours = [{"color": [200, 16, 46], "percentage": 100.0}]
    results.write_text("".join(json.dumps(r) + "\n" for r in [
        {"path": HOSTILE, "resolved_path": f"/nowhere/{HOSTILE}", "colors": colours},
        {"path": HOSTILE, "colors": "none"}]))
    if where == "search":
        out = huesift("search", results, "--color", "200,16,46")
        assert out.stdout.splitlines()[1:] == [f"  1  100.00%  #c8102e      0.00  {ESCAPED}"]
    elif where == "report":
        out = huesift("report", results, "--output", tmp_path / "page.html")
        page = (tmp_path / "page.html").read_text()
        assert page.count(f'title="{ESCAPED}">{ESCAPED}</div>') == 2
        assert not re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f]", page)
    elif where == "note":
        notes = messages.Notes()
        notes.add([warnings.WarningMessage(messages.Note(HOSTILE, "W", "said\x1b[0m"),
                                           messages.Note, "f", 1)])
        assert notes.line() == f"huesift: note: W: said\\x1b[0m ({ESCAPED})"
    else:
        (tmp_path / HOSTILE).write_bytes(b"not an image")
        out = huesift("extract", tmp_path / HOSTILE)
        one_line = ESCAPED.replace("\\r", " ").replace("\\n", " ")  # an error is one line
        assert out.stderr == f"huesift: error: Could not load image from {tmp_path}/{one_line}\n"

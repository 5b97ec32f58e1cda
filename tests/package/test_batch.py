"""The package around the class: transparency, the batch function, palettes, maps, the report."""

import html
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import pytest
from matplotlib import cbook
from PIL import Image

from support import (DiesStarting, KillingExtractor, absolute_env, chromium, huesift,
                     huesift_started, read_lines, run_python)
import vantrel_huesift
from vantrel_huesift import batch, maps, palette, pool, search
from vantrel_huesift.tintmill import ColorExtractor

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
README = Path(__file__).resolve().parents[2] / "README.md"

BLUE, RED = (255, 0, 0), (0, 0, 255)  # BGR


@pytest.fixture(scope="module")
def transparent(tmp_path_factory):
    """Left half red and transparent, right half blue and opaque, in four encodings."""
    root = tmp_path_factory.mktemp("alpha")
    colour = np.zeros((8, 12, 3), np.uint8)
    colour[:, :6], colour[:, 6:] = RED, BLUE
    alpha = np.full((8, 12), 255, np.uint8)
    alpha[:, :6] = 128  # the mask rule: 128 is outside
    cv2.imwrite(str(root / "rgba.png"), np.dstack([colour, alpha]))
    cv2.imwrite(str(root / "rgba16.png"), np.dstack([colour, alpha]).astype(np.uint16) * 257)
    grey = cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY)
    Image.fromarray(np.dstack([grey, alpha]), "LA").save(root / "grey.png")
    indexed = Image.fromarray(colour[:, :, ::-1].copy()).quantize(2)
    red_index = indexed.getpixel((0, 0))
    indexed.save(root / "palette.png", transparency=red_index)
    return root


@pytest.mark.parametrize("name", ["rgba.png", "rgba16.png", "grey.png", "palette.png"])
def test_transparent_pixels_are_left_out(transparent, name):
    path = str(transparent / name)
    image, mask = batch.read_image(path)
    np.testing.assert_array_equal(image, cv2.imread(path))
    assert mask.dtype == np.uint8 and ((mask > 128)[:, 6:]).all() and not (mask > 128)[:, :6].any()
    kept_image, kept_mask = batch.read_image(path, keep_transparent=True)
    assert kept_mask is None and (kept_image == image).all()
    for unreadable in (path + "\0.png", path[:-4] + "\udce9.png"):  # OpenCV misreads both
        with pytest.raises(ValueError, match="^Could not load image from"):
            batch.read_image(unreadable)


def test_transparency_in_the_command_line(transparent, tmp_path):
    path = transparent / "rgba.png"
    options = ["--colors", 1, "--rgb", "--no-preprocessing", "--json"]
    out = huesift("extract", path, *options)
    assert json.loads(out.stdout) == [{"color": [0, 0, 255], "percentage": 100.0}]
    out = huesift("extract", path, *options, "--keep-transparent")
    assert json.loads(out.stdout) == [{"color": [127, 0, 127], "percentage": 100.0}]
    mask = np.zeros((8, 12), np.uint8)
    mask[:, 3:9] = 255  # with the alpha, only columns 6 to 8 remain
    cv2.imwrite(str(tmp_path / "mask.png"), mask)
    targets = ["blue", "sky/blue", "sky_blue"]  # the last two come to one file name
    out = huesift("match", path, *(f"--target={t}=0,0,255" for t in targets), "--pixels",
                  "--json", "--mask", tmp_path / "mask.png", "--rgb", "--no-preprocessing",
                  "--map", tmp_path / "maps")
    assert json.loads(out.stdout)["blue"]["total_percentage"] == 100.0
    files = ["blue.png", "sky_blue.png", "sky_blue_2.png"]
    assert out.stderr.splitlines() == [f"map of {t} written to {tmp_path / 'maps' / f}"
                                       for t, f in zip(targets, files)]
    for name in files:
        shown = cv2.imread(str(tmp_path / "maps" / name))
        assert (shown[:, 6:9] == maps.BAND_COLOURS[2]).all()
        assert (shown[:, :6] == (np.array(RED) * maps.DIM).astype(np.uint8)).all()


def test_batch_function_equals_command_line_and_stays_bounded(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    photo = cv2.imread(SAMPLE)
    for i in range(3):
        cv2.imwrite(str(folder / f"p{i}.png"), photo[i * 90:i * 90 + 60, :70])
    (folder / "bad.png").write_text("no image")
    out = huesift("batch", folder, "--output", tmp_path / "r.jsonl", "--jobs", 2, "--quiet")
    assert out.returncode == 0, out.stderr
    def lines(records):  # as JSON lines hold them
        return sorted((json.loads(json.dumps(r)) for r in records), key=lambda r: r["path"])

    expected = lines(read_lines(tmp_path / "r.jsonl"))
    assert lines(batch.batch_extract_colors(str(folder), jobs=2)) == expected
    # resumed from Python as from the command line: only the failed image is tried again
    again = list(batch.batch_extract_colors(str(folder), jobs=1, output=str(tmp_path / "r.jsonl")))
    assert [r["path"] for r in again] == [str(folder / "bad.png")]
    assert lines(read_lines(tmp_path / "r.jsonl")) == expected
    # every source is checked before the first image is analysed
    with pytest.raises(ValueError, match="^no such file, folder or pattern: .*missing/\\*.jpg$"):
        batch.batch_extract_colors([str(folder), str(tmp_path / "missing" / "*.jpg")], jobs=2)
    assert lines(batch.batch_extract_colors([str(folder / "*.png")], ColorExtractor(),
                                            jobs=1)) == expected

    consumed = []

    def paths():
        for i in range(200):
            consumed.append(i)
            yield str(tmp_path / f"missing{i}.png")

    records = batch.run_batch(paths(), jobs=2)
    for count, record in enumerate(records, 1):
        assert record["error"].startswith("ValueError: Could not load image from")
        # never more than a few images per worker beyond what was handed out
        assert len(consumed) <= count - 1 + 2 * pool.IN_FLIGHT_PER_WORKER
        if count == 30:
            break
    records.close()


def test_batch_function_on_dask(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    cv2.imwrite(str(tmp_path / "a.png"), cv2.imread(SAMPLE)[:50, :60])
    local = list(batch.batch_extract_colors(str(tmp_path), jobs=1))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert list(batch.batch_extract_colors(str(tmp_path), scheduler=client)) == local
        assert list(batch.batch_extract_colors(str(tmp_path),
                                               scheduler=cluster.scheduler_address)) == local


def read_palette(path):
    """The (R, G, B) colours of a palette file, parsed from its own format."""
    data = path.read_bytes()
    if path.suffix == ".gpl":
        lines = data.decode().splitlines()
        assert lines[0] == "GIMP Palette"
        return [tuple(map(int, line.split("\t")[0].split())) for line in lines[4:]]
    if path.suffix == ".css":
        hexes = [line.split(":")[1].split(";")[0].strip() for line in data.decode().splitlines()
                 if line.strip().startswith("--color-")]
        return [tuple(bytes.fromhex(h[1:])) for h in hexes]
    if path.suffix == ".json":
        return [tuple(e["rgb"]) for e in json.loads(data)]
    assert data[:4] == b"ASEF" and struct.unpack(">HH", data[4:8]) == (1, 0)
    (count,), at, found = struct.unpack(">I", data[8:12]), 12, []
    for _ in range(count):
        kind, length = struct.unpack(">HI", data[at:at + 6])
        block = data[at + 6:at + 6 + length]
        (chars,) = struct.unpack(">H", block[:2])
        model = block[2 + 2 * chars:6 + 2 * chars]
        assert kind == 1 and model == b"RGB "
        rgb = struct.unpack(">fff", block[6 + 2 * chars:18 + 2 * chars])
        found.append(tuple(round(c * 255) for c in rgb))
        at += 6 + length
    assert at == len(data)
    return found


@pytest.mark.parametrize("suffix", palette.FORMATS)
def test_palette_files_read_back(tmp_path, suffix):
    target = tmp_path / f"colours{suffix}"
    out = huesift("extract", SAMPLE, "--colors", 4, "--json", "--palette", target)
    assert out.returncode == 0, out.stderr
    assert read_palette(target) == [tuple(r["color"]) for r in json.loads(out.stdout)]


def test_map_counts_equal_the_report(tmp_path):
    image = cv2.imread(SAMPLE)[150:330, 120:300]
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[20:160, 30:] = 255
    targets = {"skin": (230, 190, 170), "navy": (40, 50, 110)}
    for lab_space in (True, False):
        ext = ColorExtractor(lab_space=lab_space)
        report = ext.find_color_matches(image, targets, mask)
        counts = maps.write_maps(ext, image, mask, targets, str(tmp_path), lab_space)
        total = len(ext._extract_pixels(ext._convert_to_feature_space(
            ext._preprocess_image(image)), mask))
        for name, (somewhat, close, very) in counts.items():
            shares = [round(c / total * 100, 2) for c in (somewhat, close, very)]
            assert shares == [report[name][k] for k in (
                "total_percentage", "close_percentage", "very_close_percentage")]
            assert somewhat > 0


def test_report_in_a_browser(tmp_path):
    browser = chromium()
    cv2.imwrite(str(tmp_path / "a.png"), cv2.imread(SAMPLE)[:80, :80])
    results = tmp_path / "r.jsonl"
    good = {"path": str(tmp_path / "a.png"), "colors": [
        {"color": [200, 30, 40], "percentage": 60.0}, {"color": [20, 180, 90], "percentage": 25.0},
        {"color": [250, 250, 240], "percentage": 15.0}]}
    bad = {"path": str(tmp_path / "b.png"), "error": "ValueError: Could not load image"}
    results.write_text(json.dumps(good) + "\n" + json.dumps(bad) + "\n" + '{"path": "cut')
    out = huesift("report", results, "--output", tmp_path / "report.html")
    assert out.returncode == 0 and "report of 2 images" in out.stderr
    page = (tmp_path / "report.html").read_text()
    assert "http://" not in page and "https://" not in page and "Could not load image" in page
    shot = tmp_path / "shot.png"
    # The browser runs without the sanitizer runtimes that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--force-device-scale-factor=1", "--force-color-profile=srgb",
                    "--window-size=900,400", f"--screenshot={shot}",
                    (tmp_path / "report.html").as_uri()], capture_output=True, timeout=120,
                   check=True, env=env)
    pixels = cv2.imread(str(shot))[:, :, ::-1]
    # The first card's bar: 600 px wide from x = 196, its middle row at y = 103.
    start = 0.0
    for record in good["colors"]:
        middle = 196 + round(6 * (start + record["percentage"] / 2))
        assert tuple(pixels[103, middle]) == tuple(record["color"])
        start += record["percentage"]
    # The second card shows its error where a bar would be: no bar colour there.
    assert tuple(pixels[103 + 120, 196 + 300]) not in {tuple(c["color"]) for c in good["colors"]}

    # Click a swatch of one planted image: that image comes first, then the others in the order
    # and with the scores of huesift search; the page converts colours as OpenCV does.
    palettes = {"first": [((20, 180, 90), 70.0), ((250, 250, 240), 30.0)],
                "second": [((200, 30, 40), 20.0), ((10, 10, 10), 80.0)],
                "near": [((203, 30, 40), 60.0), ((10, 10, 10), 40.0)],
                "planted": [((200, 30, 40), 60.0), ((20, 180, 90), 40.0)]}
    lines = [json.dumps({"path": f"{name}.png", "colors": [
        {"color": list(c), "percentage": p} for c, p in colours]})
        for name, colours in palettes.items()] + [json.dumps(bad)]
    results.write_text("\n".join(lines) + "\n")
    assert huesift("report", results, "--output", tmp_path / "report.html").returncode == 0
    sample = np.random.default_rng(0).integers(0, 256, (2000, 3)).tolist() + [[0, 0, 0],
                                                                              [255, 255, 255]]
    probe = ("<script>document.querySelector('.card[data-name=\"planted.png\"] "
             "[data-rgb=\"200,30,40\"]').click();"
             "const order = Array.from(document.querySelectorAll('main .card'), c => "
             "[c.getBoundingClientRect().top, c.dataset.name, "
             "(c.querySelector('.score') || {}).textContent || '']).sort((a, b) => a[0] - b[0])"
             ".map(c => c.slice(1));"
             f"const lab = {json.dumps(sample)}.map(c => labOf(c[0], c[1], c[2]));"
             "document.body.insertAdjacentHTML('beforeend', '<pre id=\"out\">' + "
             "JSON.stringify({order, lab}) + '</pre>');</script></body>")
    (tmp_path / "probe.html").write_text(
        (tmp_path / "report.html").read_text().replace("</body>", probe))
    dom = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
                          (tmp_path / "probe.html").as_uri()], capture_output=True, text=True,
                         timeout=120, check=True, env=env).stdout
    shown = json.loads(html.unescape(dom.rsplit('<pre id="out">', 1)[1].split("</pre>")[0]))
    ranked = search.search(str(results), search.ColourQuery((200, 30, 40), 15), top=10).hits
    assert [h.path for h in ranked] == ["planted.png", "near.png", "second.png"]
    assert shown["order"] == [[h.path, f"{h.score:.2f}% within 15 of #c81e28"] for h in ranked] + [
        ["first.png", "0.00% within 15 of #c81e28"], [str(tmp_path / "b.png"), ""]]
    expected = cv2.cvtColor(np.uint8(sample).reshape(-1, 1, 3), cv2.COLOR_RGB2LAB)
    assert shown["lab"] == expected.reshape(-1, 3).tolist()


def test_batch_mask_applies_to_images_of_its_size(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    photo = cv2.imread(SAMPLE)
    for name, crop in [("a.png", photo[:40, :50]), ("b.png", photo[200:240, 100:150]),
                       ("c.png", photo[:30, :30])]:
        cv2.imwrite(str(photos / name), crop)
    mask = np.zeros((40, 50), np.uint8)
    mask[:, 10:30] = 255
    cv2.imwrite(str(tmp_path / "mask.png"), mask)
    out = huesift("batch", photos, "--mask", tmp_path / "mask.png", "--output",
                  tmp_path / "r.jsonl", "--jobs", 1, "--quiet")
    assert out.returncode == 0, out.stderr
    records = {Path(r["path"]).name: r for r in read_lines(tmp_path / "r.jsonl")}
    for name in ("a.png", "b.png"):
        expected = ColorExtractor().extract_colors(str(photos / name), str(tmp_path / "mask.png"))
        assert records[name]["colors"] == json.loads(json.dumps(expected))
    assert records["c.png"]["error"] == (
        f"MaskSizeError: the mask {tmp_path / 'mask.png'} is 50 x 40 pixels and the image "
        f"{photos / 'c.png'} 30 x 30: a mask must have the image's size")


@pytest.mark.parametrize("when", ["on an image", "while it starts"])
def test_a_dead_worker_costs_only_its_image(tmp_path, when):
    photos = tmp_path / "photos"
    photos.mkdir()
    photo = cv2.imread(SAMPLE)
    for i in range(6):
        cv2.imwrite(str(photos / f"p{i}.png"), photo[i * 40:i * 40 + 30, :40])
    if when == "on an image":
        cv2.imwrite(str(photos / "p2.png"), photo[:3, :7])  # its worker is killed on it
        extractor, lost = KillingExtractor(), {str(photos / "p2.png"): "worker process died: "
                                                                       "signal 9"}
    else:  # the first worker is killed before it takes an image: it held none
        extractor, lost = DiesStarting(tmp_path / "killed once"), {}
    records = list(batch.batch_extract_colors(str(photos), extractor, jobs=2))
    assert sorted(r["path"] for r in records) == sorted(str(p) for p in photos.glob("*.png"))
    assert {r["path"]: r["error"] for r in records if "error" in r} == lost
    assert (tmp_path / "killed once").exists() == (when == "while it starts")


def test_readme_batch_example_runs_as_a_saved_script(tmp_path):
    section = README.read_text().split("### Batches from Python")[1]
    (tmp_path / "example.py").write_text(re.search(r"```python\n(.*?)```", section, re.S)[1])
    (tmp_path / "photos").mkdir()
    (tmp_path / "more" / "x").mkdir(parents=True)
    cv2.imwrite(str(tmp_path / "photos" / "a.png"), cv2.imread(SAMPLE)[:30, :40])
    cv2.imwrite(str(tmp_path / "more" / "x" / "b.jpg"), cv2.imread(SAMPLE)[:30, :40])
    out = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, env=absolute_env(),
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert sorted(line.split()[0] for line in out.stdout.splitlines()) == [
        "more/x/b.jpg", "photos/a.png"]


def test_nothing_imports_the_command_line_nor_pyplot_early(tmp_path):
    for name in ("a.png", "b.png"):
        cv2.imwrite(str(tmp_path / name), cv2.imread(SAMPLE)[:30, :40])
    out = run_python(f"""
        import sys
        import vantrel_huesift.batch
        print(sorted({{"vantrel_huesift.cli", "matplotlib.pyplot"}} & set(sys.modules)))
        from vantrel_huesift import (charts, colours, demo, files, images, lab_tables, maps,
                                     messages, palette, pool, records, report, results, search,
                                     sources, strips)
        print("vantrel_huesift.cli" in sys.modules)
        import vantrel_huesift.cli
        print("matplotlib" in sys.modules)
        # a batch's parent leaves the engine and its libraries to its workers
        if __name__ == "__main__":
            vantrel_huesift.cli.main(["batch", {str(tmp_path)!r}, "--jobs", "2", "--quiet",
                                      "--output", {str(tmp_path / "r.jsonl")!r}])
            heavy = {{"vantrel_huesift.tintmill", "sklearn", "matplotlib"}}
            print(sorted(heavy & set(sys.modules)))
    """)
    assert out.splitlines() == ["[]", "False", "False", "[]"]


# ---- the results file: resumed, locked, never losing a finished record -------------------

@pytest.fixture(scope="module")
def ten(tmp_path_factory):
    """Ten crops of the sample photo, large enough that a run of them takes a few seconds."""
    root = tmp_path_factory.mktemp("ten")
    photo = cv2.imread(SAMPLE)
    for i in range(10):
        cv2.imwrite(str(root / f"p{i}.png"), photo[i * 20:i * 20 + 240, i * 10:i * 10 + 300])
    return root


def complete_lines(path):
    data = path.read_bytes() if path.exists() else b""
    return data[:data.rfind(b"\n") + 1].decode().splitlines()


@pytest.mark.parametrize("records_before_kill", [0, 3, 7])
def test_a_killed_run_loses_no_record(ten, tmp_path, records_before_kill):
    output = tmp_path / "r.jsonl"
    run = huesift_started("batch", ten, "--output", output, "--jobs", 2, "--quiet")
    deadline = time.monotonic() + 120
    # the file exists once the run holds it
    while run.poll() is None and time.monotonic() < deadline and (
            not output.exists() or len(complete_lines(output)) < records_before_kill):
        time.sleep(0.01)
    run.kill()
    run.communicate(timeout=60)  # its workers, orphaned, quit too
    kept = complete_lines(output)
    out = huesift("batch", ten, "--output", output, "--jobs", 2, "--quiet")
    assert out.returncode == 0, out.stderr
    assert f"{10 - len(kept)} done, 0 failed, {len(kept)} already" in out.stderr
    final = complete_lines(output)
    assert final[:len(kept)] == kept
    assert sorted(json.loads(line)["path"] for line in final) == sorted(
        str(p) for p in ten.glob("*.png"))


def test_one_run_at_a_time_per_output(ten, tmp_path):
    output, link = tmp_path / "r.jsonl", tmp_path / "link.jsonl"
    link.symlink_to(output)
    with batch.ResultsFile(str(output)):
        out = huesift("batch", ten, "--output", link, "--quiet")
    assert out.returncode == 1 and out.stderr == (
        f"huesift: error: {link} is in use by another run; it stays locked until that run ends\n")
    assert output.read_bytes() == b""
    runs = [huesift_started("batch", ten, "--output", name, "--jobs", 1, "--quiet")
            for name in (output, link)]
    for run in runs:
        _, stderr = run.communicate(timeout=300)
        if run.returncode == 1:  # the other run held the file
            assert stderr.endswith(" is in use by another run; it stays locked until that run "
                                   "ends\n")
        else:  # it held the file, or found every image analysed
            assert run.returncode == 0 and ", 0 failed, " in stderr
    assert sorted(json.loads(line)["path"] for line in complete_lines(output)) == sorted(
        str(p) for p in ten.glob("*.png"))


def record(folder, name, **result):
    return json.dumps({"path": name, "resolved_path": str(folder / name), **result})


@pytest.mark.parametrize("case", ["no final newline", "cut last line", "another folder",
                                  "linked output", "a line of neither"])
def test_resume_keeps_every_finished_record(tmp_path, case):
    images, other = tmp_path / "set2", tmp_path / "set1"
    images.mkdir()
    for i, name in enumerate(["a.png", "b.png"]):
        cv2.imwrite(str(images / name), cv2.imread(SAMPLE)[i * 50:i * 50 + 30, :40])
    output = target = tmp_path / "r.jsonl"
    a = record(images, "a.png", colors=[{"color": [1, 2, 3], "percentage": 100.0}])
    kept, redone, rejected = [a], ["b.png"], None
    if case == "no final newline":  # a file joined with cat, say
        output.write_text(a)
    elif case == "cut last line":
        rejected = '{"path": "b.png", "resolved_path": "'
        output.write_text(a + "\n" + rejected)
    elif case == "another folder":  # a.png of a run there, named as a run there names it
        kept = [record(other, "a.png", colors=[{"color": [1, 2, 3], "percentage": 100.0}])]
        redone = ["a.png", "b.png"]
        output.write_text(kept[0] + "\n")
    elif case == "a line of neither":  # only a new record of c.png would retire its error
        kept = [a, record(images, "c.png", error="OSError: gone"), record(images, "c.png")]
        output.write_text("\n".join(kept) + "\n")
    else:  # the error record of b.png goes once its new record is in
        target = tmp_path / "real" / "r.jsonl"
        target.parent.mkdir()
        target.write_text(a + "\n" + record(images, "b.png", error="OSError: disk gone") + "\n")
        target.chmod(0o640)
        output.symlink_to(target)
    out = huesift("batch", ".", "--output", output, "--jobs", 1, "--quiet", cwd=images)
    assert out.returncode == 0, out.stderr
    lines = target.read_text().splitlines()
    assert lines[:len(kept)] == kept
    assert [json.loads(line)["path"] for line in lines[len(kept):]] == redone
    assert all("colors" in json.loads(line) for line in lines[len(kept):])
    assert out.stderr.splitlines()[-1] == (f"{len(redone)} done, 0 failed, {2 - len(redone)} "
                                           f"already in {output}")
    if rejected is None:
        assert not Path(f"{output}.rejected").exists()
    else:
        assert Path(f"{output}.rejected").read_text() == rejected + "\n"
        assert out.stderr.splitlines()[0] == (
            f"huesift: the unfinished last line of {output} ({len(rejected)} bytes) was set "
            f"aside in {output}.rejected")
    if case == "linked output":
        assert output.is_symlink() and target.stat().st_mode & 0o777 == 0o640


def test_resume_names_records_from_their_colours(tmp_path, monkeypatch):
    photos = tmp_path / "photos"
    photos.mkdir()
    for i, name in enumerate("abcdefg"):
        cv2.imwrite(str(photos / f"{name}.png"), cv2.imread(SAMPLE)[i * 40:i * 40 + 30, :40])
    # colours no analysis of these crops gives: a record named from them keeps them
    one = [{"color": [1, 2, 3], "percentage": 60.0}, {"color": [255, 0, 0], "percentage": 40.0}]
    called = [{**c, "name": n} for c, n in zip(one, ["black", "red"])]  # in css and basic
    lines = [record(photos, "a.png", colors=one),  # no names: named now
             record(photos, "b.png", colors=called, vocabulary="css"),  # named again
             record(photos, "c.png", colors=called, vocabulary="basic"),  # done
             record(photos, "d.png", error="OSError: gone"),  # analysed again
             record(photos, "e.png", colors=one),  # named by a run that was then killed:
             record(photos, "e.png", colors=called, vocabulary="basic"),
             record(photos, "g.png", colors=[])]  # nothing to name; f.png: no record
    output = tmp_path / "r.jsonl"
    output.write_text("\n".join(lines) + "\n")
    (tmp_path / "copy.jsonl").write_text(output.read_text())
    out = huesift("batch", ".", "--names", "basic", "--output", output, "--jobs", 1, "--quiet",
                  cwd=photos)
    assert out.stderr == (f"2 done, 0 failed, 5 already in {output}, names added to 2 of "
                          "them\n")
    final = output.read_text().splitlines()
    assert final[:3] == [lines[2], lines[5], lines[6]]
    added = [json.loads(line) for line in final[3:]]
    assert [(r["path"], r["vocabulary"]) for r in added] == [
        ("a.png", "basic"), ("b.png", "basic"), ("d.png", "basic"), ("f.png", "basic")]
    assert added[0]["colors"] == added[1]["colors"] == called
    for r in added[2:]:
        assert [c["name"] for c in r["colors"]] == [
            vantrel_huesift.colour_name(c["color"], "basic")[0] for c in r["colors"]]
    out = huesift("batch", ".", "--names", "BASIC", "--output", output, "--quiet", cwd=photos)
    assert out.stderr == f"0 done, 0 failed, 7 already in {output}\n"
    assert output.read_text().splitlines() == final
    # from Python, the same: the named records are yielded too
    monkeypatch.chdir(photos)
    made = list(batch.batch_extract_colors(".", jobs=1, names="basic",
                                           output=str(tmp_path / "copy.jsonl")))
    assert [r["path"] for r in made] == ["a.png", "b.png", "d.png", "f.png"]
    assert (tmp_path / "copy.jsonl").read_text().splitlines() == final


def test_a_killed_run_that_names_loses_no_record(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    colours = np.random.default_rng(1).integers(0, 256, (2000, 3)).tolist()
    lines = []
    for i, rgb in enumerate(colours):
        cv2.imwrite(str(photos / f"{i}.png"), np.zeros((1, 1, 3), np.uint8))
        lines.append(record(photos, f"{i}.png", colors=[{"color": rgb, "percentage": 100.0}]))
    output = tmp_path / "r.jsonl"
    output.write_text("\n".join(lines) + "\n")
    run = huesift_started("batch", photos, "--names", "xkcd", "--output", output, "--quiet")
    deadline = time.monotonic() + 120
    while run.poll() is None and time.monotonic() < deadline and len(
            complete_lines(output)) <= len(lines):
        time.sleep(0.002)
    run.kill()
    run.communicate(timeout=60)
    out = huesift("batch", photos, "--names", "xkcd", "--output", output, "--quiet")
    assert out.returncode == 0 and out.stderr.startswith("0 done, 0 failed, 2000 already")
    final = [json.loads(line) for line in complete_lines(output)]
    assert sorted(r["path"] for r in final) == sorted(f"{i}.png" for i in range(2000))
    assert sorted(r["colors"][0]["color"] for r in final) == sorted(colours)
    assert {r["vocabulary"] for r in final} == {"xkcd"}


# ---- targets across a batch, and the scale knob -------------------------------------------

TARGETS = {"navy": (40, 50, 110), "skin": (230, 190, 170), "red": (255, 0, 0)}


@pytest.mark.parametrize("suffix", palette.FORMATS)
def test_palette_files_read_back_as_targets(tmp_path, suffix):
    colours = [{"color": rgb, "percentage": 10.0} for rgb in TARGETS.values()]
    palette.write_palette(colours, str(tmp_path / f"p{suffix}"))
    names = {".css": ["color-1", "color-2", "color-3"]}.get(
        suffix, [palette.hex_of(rgb) for rgb in TARGETS.values()])
    assert palette.read_palette(str(tmp_path / f"p{suffix}")) == dict(
        zip(names, TARGETS.values()))
    # entries named by their colours' names; a name that comes again is numbered
    rgb = [(109, 237, 253), (1, 192, 141), (40, 50, 110), (41, 50, 110)]
    named = vantrel_huesift.name_colours([{"color": c, "percentage": 25.0} for c in rgb], "xkcd")
    palette.write_palette(named, str(tmp_path / f"n{suffix}"))
    names = {".css": ["robins-egg", "green-blue", "marine-blue", "marine-blue-2"]}.get(
        suffix, ["robin's egg", "green/blue", "marine blue", "marine blue 2"])
    assert palette.read_palette(str(tmp_path / f"n{suffix}")) == dict(zip(names, rgb))


@pytest.mark.parametrize("name, content, expected", [
    ("gimp.gpl", "GIMP Palette\nName: x\n#\n255 0 0\tBrand red\n0 0 255\tUntitled\n"
                 "0 255 0\tUntitled\n1 2 3\n",
     {"Brand red": (255, 0, 0), "Untitled": (0, 0, 255), "Untitled 2": (0, 255, 0),
      "#010203": (1, 2, 3)}),
    ("style.css", ":root { --brand: #c8102e; /* --old: #000; */ --sky: rgb(1, 2, 3); "
                  "--short: #fff; --size: 4px }",
     {"brand": (200, 16, 46), "sky": (1, 2, 3), "short": (255, 255, 255)}),
    ("modern.css", "@media screen { :root { --space: rgb(200 16 46); --half: rgb(200 16 46 / 50%);"
                   " --pct: rgb(78% 6% 18%); --alpha: #c8102e80; --hsl: hsl(120 100% 50%);"
                   " --named: navy; --tw: oklch(63.7% 0.237 25.331); --now: currentColor } }",
     {"space": (200, 16, 46), "half": (200, 16, 46), "pct": (199, 15, 46),
      "alpha": (200, 16, 46), "hsl": (0, 255, 0), "named": (0, 0, 128), "tw": (251, 44, 54)}),
    ("bom.gpl", "\ufeffGIMP Palette\nName: x\n#\n200 16 46\tBrand\n", {"Brand": (200, 16, 46)}),
    ("named.json", '{"brand": [200, 16, 46], "sky": "#0102ff"}',
     {"brand": (200, 16, 46), "sky": (1, 2, 255)}),
    ("bad.gpl", "GIMP Palette\n255 0\n", "bad.gpl:2: expected 'R G B name', got '255 0'"),
    ("bad.json", '[{"rgb": [1, 2, 300]}]', "bad.json: entry 0: 300 is not a whole number"),
    ("empty.css", "body { color: red }", "empty.css holds no colour"),
    ("cut.ase", b"ASEF\x00\x01\x00\x00\x00\x00\x00\x01\x00\x01", "cut.ase: cut short"),
    ("p.txt", "", "unknown palette format '.txt'"),
    ("missing.gpl", None, "cannot read"),
])
def test_palette_files_of_other_tools_and_bad_ones(tmp_path, name, content, expected):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
    if isinstance(expected, dict):
        assert palette.read_palette(str(path)) == expected
        return
    with pytest.raises(palette.PaletteError, match=re.escape(expected)):
        palette.read_palette(str(path))
    out = huesift("batch", SAMPLE, "--targets", path, "--output", tmp_path / "r.jsonl")
    assert out.returncode == 2 and len(out.stderr.splitlines()) == 1
    assert out.stderr.startswith("huesift: error: --targets: ") and expected in out.stderr


def test_batch_targets_are_the_library_reports(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    photo = cv2.imread(SAMPLE)
    crops = {"a.png": photo[150:250, 120:260], "b.png": photo[:80, :90]}
    for name, crop in crops.items():
        cv2.imwrite(str(photos / name), crop)
    palette.write_palette([{"color": TARGETS["navy"], "percentage": 1.0}],
                          str(tmp_path / "t.gpl"))
    output = tmp_path / "r.jsonl"
    out = huesift("batch", photos, "--targets", tmp_path / "t.gpl", "--target", "skin=230,190,170",
                  "--target", "red=255,0,0", "--output", output, "--jobs", 2, "--quiet")
    assert out.returncode == 0, out.stderr
    targets = {"#28326e": TARGETS["navy"], "skin": TARGETS["skin"], "red": TARGETS["red"]}
    records = {Path(r["path"]).name: r for r in read_lines(output)}
    python = {Path(r["path"]).name: r for r in batch.batch_extract_colors(
        str(photos), jobs=1, targets=targets)}
    extractor = ColorExtractor()
    for name, crop in crops.items():
        colors, matches = extractor.extract_colors(crop), extractor.find_color_matches(crop, targets)
        assert python[name]["colors"] == colors and python[name]["matches"] == matches
        assert python[name]["targets"] == targets
        assert records[name] == json.loads(json.dumps(python[name]))

    class OwnPreprocessing(ColorExtractor):
        def _preprocess_image(self, image):
            return cv2.GaussianBlur(image, (3, 3), 0)

    # the preparation is shared only where that gives the answers of the separate calls
    crop = crops["a.png"]
    for other in (ColorExtractor(preprocessing=False, lab_space=False),
                  ColorExtractor(algorithm="dbscan"), OwnPreprocessing()):
        assert batch.analyse(other, crop, None, targets) == (
            other.extract_colors(crop), other.find_color_matches(crop, targets))
    with pytest.raises(ValueError, match="target 'x': \\(1, 2\\) is not three whole numbers"):
        batch.batch_extract_colors(str(photos), targets={"x": (1, 2)})


def test_resume_redoes_records_without_the_targets_and_keeps_theirs(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    for i, name in enumerate("abcd"):
        cv2.imwrite(str(photos / f"{name}.png"), cv2.imread(SAMPLE)[i * 40:i * 40 + 30, :40])
    one = [{"color": [1, 2, 3], "percentage": 100.0}]
    navy = {"navy": list(TARGETS["navy"])}
    report = {"total_percentage": 0.0, "close_percentage": 0.0, "very_close_percentage": 0.0,
              "closest_pixel": [1, 2, 3], "min_distance": 60.0, "similarity_score": 0}
    lines = [record(photos, "a.png", colors=one),  # no targets
             record(photos, "b.png", colors=one, targets=navy, matches={"navy": report}),
             record(photos, "c.png", colors=one, targets={"red": [255, 0, 0]},
                    matches={"red": report}),  # done already
             record(photos, "d.png", colors=one, targets={"red": [250, 0, 0]},
                    matches={"red": report})]  # red, but another red
    output = tmp_path / "r.jsonl"
    output.write_text("\n".join(lines) + "\n")
    for done, already in [(3, 1), (0, 4)]:
        out = huesift("batch", ".", "--target", "red=255,0,0", "--output", output, "--jobs", 1,
                      "--quiet", cwd=photos)
        assert out.returncode == 0, out.stderr
        assert out.stderr == f"{done} done, 0 failed, {already} already in {output}\n"
    final = output.read_text().splitlines()
    assert final[0] == lines[2] and len(final) == 4
    assert {r["path"]: list(r["targets"].items()) for r in map(json.loads, final[1:])} == {
        "a.png": [("red", [255, 0, 0])], "b.png": [("navy", [40, 50, 110]), ("red", [255, 0, 0])],
        "d.png": [("red", [255, 0, 0])]}
    assert all(set(json.loads(line)["matches"]) == set(json.loads(line)["targets"])
               for line in final)


def test_a_killed_run_with_new_targets_loses_no_record(ten, tmp_path):
    output = tmp_path / "r.jsonl"
    assert huesift("batch", ten, "--output", output, "--jobs", 2, "--quiet").returncode == 0
    before = complete_lines(output)
    run = huesift_started("batch", ten, "--output", output, "--jobs", 2, "--quiet",
                          "--target", "red=255,0,0")
    deadline = time.monotonic() + 120
    while run.poll() is None and time.monotonic() < deadline and len(
            complete_lines(output)) < 14:
        time.sleep(0.01)
    run.kill()
    run.communicate(timeout=60)
    killed = complete_lines(output)
    assert killed[:10] == before  # the old records stay until new ones replace them
    out = huesift("batch", ten, "--output", output, "--jobs", 2, "--quiet", "--target",
                  "red=255,0,0")
    assert out.returncode == 0, out.stderr
    final = [json.loads(line) for line in complete_lines(output)]
    assert sorted(r["path"] for r in final) == sorted(str(p) for p in ten.glob("*.png"))
    assert all(list(r["matches"]) == ["red"] and len(r["colors"]) == 5 for r in final)


def test_max_side_shrinks_image_and_mask_alike(tmp_path):
    image = np.zeros((40, 80, 3), np.uint8)
    image[:, :58], image[:, 58:] = RED, BLUE
    mask = np.zeros((40, 80), np.uint8)
    mask[:, :62] = 255
    cv2.imwrite(str(tmp_path / "i.png"), image)
    cv2.imwrite(str(tmp_path / "m.png"), mask)
    options = ["--rgb", "--no-preprocessing", "--colors", 2, "--mask", tmp_path / "m.png"]
    # 4 x 4 blocks: column 14 holds two red columns and two blue, and the mask covers half of
    # column 15, which is not more than half: it is left out
    shrunk = [{"color": [255, 0, 0], "percentage": 93.33},
              {"color": [128, 0, 128], "percentage": 6.67}]
    full = [{"color": [255, 0, 0], "percentage": 93.55},
            {"color": [0, 0, 255], "percentage": 6.45}]
    for side, expected in [(20, shrunk), (80, full), (None, full)]:
        extra = ["--max-side", side] if side else []
        out = huesift("extract", tmp_path / "i.png", *options, *extra, "--json")
        assert json.loads(out.stdout) == expected, out.stderr
    out = huesift("batch", tmp_path / "i.png", "--max-side", 20, "--mask", tmp_path / "m.png",
                  "--rgb", "--no-preprocessing", "--colors", 2, "--output", tmp_path / "r.jsonl",
                  "--quiet")
    assert read_lines(tmp_path / "r.jsonl")[0]["colors"] == shrunk, out.stderr
    [python] = batch.batch_extract_colors(str(tmp_path / "i.png"), ColorExtractor(
        2, preprocessing=False, lab_space=False), jobs=1, mask=str(tmp_path / "m.png"),
        max_side=20)
    assert json.loads(json.dumps(python["colors"])) == shrunk
    out = huesift("match", tmp_path / "i.png", "--target", "red=255,0,0", "--max-side", 0)
    assert out.returncode == 2 and out.stderr == (
        "huesift: error: --max-side must be at least 1 pixel, not 0\n")
    with pytest.raises(ValueError, match="max_side must be a whole number of pixels"):
        batch.batch_extract_colors(str(tmp_path / "i.png"), max_side=0)


def test_swatches_show_and_save_the_shares(tmp_path):
    colours = [{"color": (200, 30, 40), "percentage": 50.0},
               {"color": (20, 180, 90), "percentage": 25.0}]
    single = vantrel_huesift.swatches(colours)
    assert repr(single) == "<Swatches of 1 palette>"
    page = single._repr_html_()
    assert 'title="#c81e28 50.00%" style="width:50.0%;background:#c81e28;color:#fff' in page
    single.save(tmp_path / "one.png")
    pixels = np.array(Image.open(tmp_path / "one.png").convert("RGB"))
    assert pixels.shape == (32, 600, 3)
    assert [tuple(pixels[5, x]) for x in (5, 320, 580)] == [(200, 30, 40), (20, 180, 90),
                                                             (232, 232, 232)]
    records = [{"path": "a.png", "colors": colours}, {"path": "b.png", "error": "gone"}]
    named = vantrel_huesift.swatches(vantrel_huesift.name_colours(colours, "xkcd"))._repr_html_()
    assert 'title="cherry #c81e28 50.00%"' in named  # the name on hover
    many = vantrel_huesift.swatches(records)
    assert ">a.png</div>" in many._repr_html_() and ">gone</div>" in many._repr_html_()
    many.save(tmp_path / "many.jpg")
    assert Image.open(tmp_path / "many.jpg").format == "JPEG"
    assert Image.open(tmp_path / "many.jpg").size == (600, 100)
    with pytest.raises(TypeError, match="not a colour record: {'colour'"):
        vantrel_huesift.swatches([{"path": "a.png", "colors": [{"colour": 1}]}])


# ---- threads, signals, links -------------------------------------------------------------

def test_charts_drawn_on_a_threaded_dask_worker_keep_their_colours(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    rng = np.random.default_rng(1)
    colours = {str(tmp_path / f"i{n:02}.png"): tuple(int(c) for c in rng.integers(0, 256, 3))
               for n in range(20)}
    for path, bgr in colours.items():
        cv2.imwrite(path, np.full((4, 4, 3), bgr, np.uint8))
    charts = {path: str(tmp_path / f"chart{n:02}.png") for n, path in enumerate(colours)}
    extractor = ColorExtractor(1, preprocessing=False, lab_space=False)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=4, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        records = list(batch.run_batch(list(colours), extractor, scheduler=client,
                                       charts=charts))
    assert len(records) == 20 and not any("chart_error" in r for r in records)
    for path, bgr in colours.items():
        chart = cv2.imread(charts[path])
        present = {other for other, c in colours.items() if (chart == c).all(axis=2).any()}
        assert present == {path}, path  # its own bar, and no other image's


@pytest.mark.parametrize("command, how", [("batch", signal.SIGTERM), ("report", signal.SIGTERM),
                                          ("report", signal.SIGKILL)])
def test_a_stopped_run_says_one_line_and_leaves_no_temporary_file(ten, tmp_path, command, how):
    output = tmp_path / "r.jsonl"
    if command == "batch":
        run = huesift_started("batch", ten, "--output", output, "--jobs", 2, "--quiet")
        started = lambda: len(complete_lines(output)) >= 2  # noqa: E731
    else:  # thumbnails of the sample photo, enough of them to take a while
        output.write_text((json.dumps({"path": SAMPLE, "colors": []}) + "\n") * 400)
        run = huesift_started("report", output, "--output", tmp_path / "page.html")
        started = lambda: any(".tmp" in p.name for p in tmp_path.iterdir())  # noqa: E731
    deadline = time.monotonic() + 120
    while run.poll() is None and time.monotonic() < deadline and not started():
        time.sleep(0.01)
    run.send_signal(how)
    _, stderr = run.communicate(timeout=60)  # its workers, if any, are gone too
    if how == signal.SIGTERM:
        assert (run.returncode, stderr) == (143, "huesift: terminated\n")
    else:  # nothing runs to tidy up: the next write of that page removes what was left
        assert huesift("report", output, "--output", tmp_path / "page.html").returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == (
        ["page.html", "r.jsonl"] if how == signal.SIGKILL else ["r.jsonl"])
    assert all(json.loads(line) for line in complete_lines(output))


def _started_a_worker(pid):
    """Whether a run has a worker yet: spawned by it, or forked by its fork server."""
    import psutil

    try:
        return any(child.children() or "spawn_main" in " ".join(child.cmdline())
                   for child in psutil.Process(pid).children())
    except psutil.Error:
        return False


def test_ctrl_c_taken_by_another_thread_waits_for_the_start():
    """A library's thread, whose mask lets SIGINT through, may take Ctrl-C while a worker
    starts: it is raised only once the start is over, never halfway through it."""
    script = """if True:
        import os, signal, threading, time
        from vantrel_huesift import pool
        threading.Thread(target=threading.Event().wait, daemon=True).start()
        steps = []
        try:
            with pool._sigint_blocked():
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.2)
                steps.append("started")
        except KeyboardInterrupt:
            steps.append("interrupted")
        print(steps)
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=absolute_env(), timeout=60)
    assert (done.stdout, done.stderr) == ("['started', 'interrupted']\n", "")


@pytest.mark.parametrize("start", ["spawn", "forkserver"])
@pytest.mark.parametrize("moment", ["the results are held", "workers start",
                                    "records are written"])
def test_ctrl_c_at_any_moment_keeps_every_record_and_leaves_nothing(ten, tmp_path, moment,
                                                                      start):
    import psutil

    output = tmp_path / "r.jsonl"
    run = subprocess.Popen([sys.executable, "-m", "vantrel_huesift.cli", "batch", str(ten),
                            "--output", str(output), "--jobs", "2", "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           env=dict(absolute_env(), HUESIFT_START_METHOD=start),
                           start_new_session=True,  # a group of its own, as a terminal's job
                           # which heeds Ctrl-C even where this suite runs as a background job
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    reached = {"the results are held": output.exists,  # the fork server loads meanwhile
               "workers start": lambda: _started_a_worker(run.pid),
               "records are written": lambda: len(complete_lines(output)) >= 2}[moment]
    deadline = time.monotonic() + 120
    while run.poll() is None and time.monotonic() < deadline and not reached():
        time.sleep(0.005)
    if moment == "the results are held":
        time.sleep(0.1)  # from the file's creation to the run's plan
    os.killpg(run.pid, signal.SIGINT)  # Ctrl-C: to every process of the group
    _, stderr = run.communicate(timeout=60)
    kept = complete_lines(output)
    assert (run.returncode, stderr.splitlines()) == (130, [
        f"{len(kept)} done, 0 failed, 0 already in {output}, {10 - len(kept)} left for the "
        "next run", "huesift: interrupted"])
    assert all(json.loads(line)["colors"] for line in kept)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:  # the group is empty: no worker nor server stays
        left = [p for p in psutil.process_iter() if _group(p) == run.pid]
        if not left:
            break
        time.sleep(0.05)
    assert left == []


def _group(process):
    try:
        return os.getpgid(process.pid)
    except OSError:
        return None


def test_links_back_up_the_tree_are_walked_once(tmp_path):
    photos = tmp_path / "photos"
    (photos / "a" / "b").mkdir(parents=True)
    for name in ("x.png", "a/y.png", "a/b/z.png"):
        cv2.imwrite(str(photos / name), np.full((3, 4, 3), 200, np.uint8))
    for link in ("up", "up2"):
        (photos / "a" / "b" / link).symlink_to(photos)  # each a way round for ever
    (tmp_path / "outside").mkdir()
    cv2.imwrite(str(tmp_path / "outside" / "w.png"), np.full((3, 4, 3), 90, np.uint8))
    (photos / "more").symlink_to(tmp_path / "outside")  # a real folder met through a link
    for pattern in ["photos/**/*.png", "photos"]:
        out = subprocess.run([sys.executable, "-m", "vantrel_huesift.cli", "batch", pattern,
                              "--output", "r.jsonl", "--jobs", "1", "--quiet", "--colors", "1"],
                             cwd=tmp_path, env=absolute_env(), capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 0, out.stderr
    assert sorted(r["path"] for r in read_lines(tmp_path / "r.jsonl")) == [
        "photos/a/b/z.png", "photos/a/y.png", "photos/more/w.png", "photos/x.png"]


# the allocator's settings every worker starts with
ALLOCATOR = {k: v for k, v in batch.WORKER_ENVIRONMENT.items() if k.startswith("MALLOC_")}


@pytest.mark.parametrize("collecting", [True, False])
def test_the_servers_load_leaves_the_garbage_collector_as_it_found_it(collecting):
    # workers forked with it paused would keep every cycle they make
    code = (f"import gc; gc.{'enable' if collecting else 'disable'}(); "
            f"import {batch.WORKER_PRELOAD[0]}; print(gc.isenabled())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ, MPLBACKEND="Agg"))
    assert (out.returncode, out.stdout) == (0, f"{collecting}\n"), out.stderr


def test_workers_are_forked_from_a_server_with_one_thread(tmp_path):
    import psutil

    for name in ("a.png", "b.png"):
        cv2.imwrite(str(tmp_path / name), cv2.imread(SAMPLE)[:30, :40])
    ours = {k: os.environ.get(k) for k in ALLOCATOR}  # Dask's nanny sets one in its caller
    records = batch.batch_extract_colors(str(tmp_path), jobs=2)
    next(records)
    servers = [p for p in psutil.Process().children() if "forkserver" in " ".join(p.cmdline())]
    workers = {w.pid for s in servers for w in s.children()}
    assert len(servers) == 1 and len(workers) == 2
    # it loaded the engine before forking them, with no thread of any library running
    assert servers[0].num_threads() == 1 and "tintmill" in " ".join(
        m.path for m in servers[0].memory_maps())
    # the allocator's settings were there as the server started, where the C library reads
    # them, and so they are in every worker; the caller's environment is as it was
    assert len(ALLOCATOR) == 2
    for process in [servers[0], *servers[0].children()]:
        assert ALLOCATOR.items() <= process.environ().items()
    assert {k: os.environ.get(k) for k in ALLOCATOR} == ours
    assert len(list(records)) == 1


def test_spawned_workers_start_with_the_allocators_settings(tmp_path, monkeypatch):
    import psutil

    monkeypatch.setenv("HUESIFT_START_METHOD", "spawn")
    for name in ("a.png", "b.png"):
        cv2.imwrite(str(tmp_path / name), cv2.imread(SAMPLE)[:30, :40])
    records = batch.batch_extract_colors(str(tmp_path), jobs=2)
    next(records)
    workers = [p for p in psutil.Process().children() if "spawn_main" in " ".join(p.cmdline())]
    assert len(workers) == 2
    for process in workers:
        assert ALLOCATOR.items() <= process.environ().items()
    assert len(list(records)) == 1

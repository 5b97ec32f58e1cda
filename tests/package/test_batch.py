"""The package around the class: transparency, the batch function, palettes, maps, the report."""

import json
import os
import shutil
import struct
import subprocess

import cv2
import numpy as np
import pytest
from matplotlib import cbook
from PIL import Image

from support import huesift, read_lines, run_python
from vantrel_huesift import batch, maps, palette
from vantrel_huesift.tintmill import ColorExtractor

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))

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
        assert len(consumed) <= count - 1 + 2 * batch.IN_FLIGHT_PER_WORKER
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


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    if os.environ.get("CI"):
        pytest.fail("CI installs Chromium for the report test")
    pytest.skip("no Chromium on this machine")


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


def test_nothing_imports_the_command_line_nor_pyplot_early():
    out = run_python("""
        import sys
        import vantrel_huesift.batch
        print(sorted({"vantrel_huesift.cli", "matplotlib.pyplot"} & set(sys.modules)))
        from vantrel_huesift import charts, demo, files, images, maps, palette, report
        print("vantrel_huesift.cli" in sys.modules)
        import vantrel_huesift.cli
        print("matplotlib" in sys.modules)
    """)
    assert out.splitlines() == ["[]", "False", "False"]

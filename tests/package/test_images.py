import json

import cv2
import numpy as np
import pytest
from PIL import Image, PngImagePlugin

from support import huesift, read_lines
from vantrel_huesift.images import read_image


def with_orientation(path, rgba, orientation, where):
    """An RGBA PNG whose EXIF orientation sits in an eXIf chunk (which OpenCV turns the colours
    by) or in a text chunk (which OpenCV does not read, and Pillow does)."""
    exif = Image.Exif()
    exif[0x0112] = orientation
    if where == "eXIf chunk":
        Image.fromarray(rgba, "RGBA").save(path, exif=exif)
        return
    raw = exif.tobytes()
    info = PngImagePlugin.PngInfo()
    info.add_text("Raw profile type exif", f"\nexif\n{len(raw):8d}\n{raw.hex()}\n")
    Image.fromarray(rgba, "RGBA").save(path, pnginfo=info)


@pytest.mark.parametrize("where", ["eXIf chunk", "text chunk"])
@pytest.mark.parametrize("orientation", [3, 6, 8])
@pytest.mark.parametrize("shape", [(8, 8), (8, 12)])
def test_alpha_turns_upright_with_the_colours(tmp_path, shape, orientation, where):
    rgba = np.zeros(shape + (4,), np.uint8)
    rgba[:, :shape[1] // 2] = (255, 0, 0, 0)  # left half red and transparent, as stored
    rgba[:, shape[1] // 2:] = (0, 0, 255, 255)  # right half blue and opaque
    path = tmp_path / "turned.png"
    with_orientation(path, rgba, orientation, where)
    image, mask = read_image(str(path))
    np.testing.assert_array_equal(image, cv2.imread(str(path)))  # the colours are imread's
    blue = (image == (255, 0, 0)).all(axis=2)
    turned = where == "eXIf chunk" and orientation != 3
    assert image.shape[:2] == (shape[::-1] if turned else shape)
    assert blue.sum() == rgba.shape[0] * rgba.shape[1] // 2
    np.testing.assert_array_equal(mask > 128, blue)
    if shape == (8, 8) and orientation == 6:
        out = huesift("extract", path, "--colors", 1, "--rgb", "--no-preprocessing", "--json")
        assert out.returncode == 0, out.stderr
        assert json.loads(out.stdout) == [{"color": [0, 0, 255], "percentage": 100.0}]


def test_a_file_cut_short_is_an_error_record_and_is_retried(tmp_path):
    red = np.full((120, 160, 3), (0, 0, 255), np.uint8)
    red[::7] = (10, 10, 250)  # something to compress
    photos = tmp_path / "photos"
    photos.mkdir()
    for suffix in (".jpg", ".png"):
        ok, data = cv2.imencode(suffix, red)
        (photos / f"whole{suffix}").write_bytes(data.tobytes())
        (photos / f"cut{suffix}").write_bytes(data.tobytes()[:len(data) * 4 // 10])
    output = tmp_path / "r.jsonl"
    for run in range(2):  # resume does not count a cut file done: it is tried again
        out = huesift("batch", photos, "--output", output, "--jobs", 1, "--quiet", "--colors", 1)
        assert out.stderr.splitlines()[-1] == f"{2 - 2 * run} done, 2 failed, {2 * run} already " \
                                              f"in {output}"
        records = {r["path"].rsplit("/", 1)[1]: r for r in read_lines(output)}
        for name in ("cut.jpg", "cut.png"):
            assert records[name]["error"] == (f"ValueError: Could not load image from "
                                              f"{photos / name}: the file ends before its image "
                                              "does")
        assert records["whole.jpg"]["colors"][0]["percentage"] == 100.0


@pytest.mark.parametrize("alpha, selected", [((255, 200), 255), ((255, 60), 0), ((60, 60), 0),
                                             ((255, 129, 129, 60), 255)])
def test_max_side_keeps_a_pixel_more_than_half_of_which_was_selected(tmp_path, alpha, selected):
    # the alpha's selection is averaged, not the alpha: (255, 60) averages to 157, above the
    # threshold, while only half of the area is opaque
    rgba = np.zeros((1, len(alpha), 4), np.uint8)
    rgba[..., 2], rgba[..., 3] = 255, alpha
    cv2.imwrite(str(tmp_path / "a.png"), rgba)
    image, mask = read_image(str(tmp_path / "a.png"), max_side=1)
    assert image.shape == (1, 1, 3) and (mask > 128).tolist() == [[selected > 128]]

import json
import os
import struct
import threading
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image, PngImagePlugin

from support import huesift, read_lines
from vantrel_huesift import images, messages
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


def with_exif_chunk(bgra, orientation):
    """PNG bytes of any depth (OpenCV's encoder) with an eXIf chunk of this orientation."""
    exif = Image.Exif()
    exif[0x0112] = orientation
    body = b"eXIf" + exif.tobytes().removeprefix(b"Exif\x00\x00")
    chunk = struct.pack(">I", len(body) - 4) + body + struct.pack(">I", zlib.crc32(body))
    data = cv2.imencode(".png", bgra)[1].tobytes()
    return data[:33] + chunk + data[33:]  # after the header chunk


@pytest.mark.parametrize("metadata", ["read by OpenCV", "a turn the colours did not get"])
@pytest.mark.parametrize("orientation", [2, 3, 5, 6, 8])
@pytest.mark.parametrize("depth", [8, 16])
def test_alpha_turns_with_the_colours_at_every_depth(monkeypatch, depth, orientation, metadata):
    top = 2 ** depth - 1
    bgra = np.zeros((6, 6, 4), np.uint16 if depth == 16 else np.uint8)
    bgra[:, 3:] = (top, 0, 0, top)  # right half blue and opaque; the rest red, transparent
    bgra[:, :3] = (0, 0, top, 0)
    bgra[0, 0] = (top, 0, 0, 0x8180 if depth == 16 else 0x81)  # a corner blue, just opaque
    data = with_exif_chunk(bgra, orientation)
    if metadata != "read by OpenCV":  # as a decoder that found what OpenCV's turn missed
        data = with_exif_chunk(bgra, 1)
        monkeypatch.setattr(images, "_orientation", lambda exif: orientation)
    colours, alpha = images.decode(data, "a.png")
    np.testing.assert_array_equal(colours, cv2.imdecode(np.frombuffer(data, np.uint8), 1))
    blue = (colours == (255, 0, 0)).all(axis=2)
    assert blue.sum() == 19 and blue.tolist() == (alpha > 128).tolist()
    assert sorted(np.unique(alpha).tolist()) == [0, 0x81, 255]


@pytest.mark.parametrize("suffix", [".png", ".tiff"])
def test_16_bit_alpha_is_reduced_as_the_colours_were(suffix):
    # PNG keeps the high byte, TIFF rounds: 0x8100 is 129 in one and 128 in the other
    bgra = np.full((2, 3, 4), 0x8100, np.uint16)
    colours, alpha = images.decode(cv2.imencode(suffix, bgra)[1].tobytes(), "a" + suffix)
    assert colours.tolist() == alpha[..., None].repeat(3, axis=2).tolist()
    assert alpha.tolist() == [[129 if suffix == ".png" else 128] * 3] * 2


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


def decoder_talks(folder):
    """A JPEG with a byte before its end marker and a PNG with a bad text chunk, which the
    decoders read with a warning of their own, and a PNG with bad pixels, which libpng refuses."""
    noise = np.random.default_rng(0).integers(0, 256, (40, 50, 3), np.uint8)
    jpeg, png = (cv2.imencode(s, noise)[1].tobytes() for s in (".jpg", ".png"))
    text = b"tEXtComment\x00hi"
    bad_text = struct.pack(">I", len(text) - 4) + text + bytes(4)
    pixels = png.find(b"IDAT") + 20
    (folder / "extra.jpg").write_bytes(jpeg[:-2] + bytes(3) + jpeg[-2:])
    (folder / "text.png").write_bytes(png[:33] + bad_text + png[33:])
    (folder / "pixels.png").write_bytes(png[:pixels] + bytes(8) + png[pixels + 8:])


@pytest.mark.parametrize("command", ["extract", "batch 1", "batch 2", "report"])
def test_decoders_own_text_becomes_a_note_or_the_error(tmp_path, command):
    photos, output = tmp_path / "photos", tmp_path / "r.jsonl"
    photos.mkdir()
    decoder_talks(photos)
    said = {"extra.jpg": "DecoderWarning: Corrupt JPEG data: 2 extraneous bytes before marker "
                         "0xd9", "text.png": "DecoderWarning: libpng warning: tEXt: CRC error"}
    notes = "huesift: note: " + "; ".join(f"{said[n]} ({photos / n})" for n in sorted(said))
    refused = f"Could not load image from {photos / 'pixels.png'}: libpng error: IDAT: incorrect data check"
    if command == "extract":
        for name, expected in [*said.items(), ("pixels.png", None)]:
            out = huesift("extract", photos / name, "--colors", 1)
            assert out.stderr == (f"huesift: note: {expected} ({photos / name})\n" if expected
                                  else f"huesift: error: {refused}\n")
        return
    out = huesift("batch", photos, "--output", output, "--jobs", command[-1] if "batch" in command else 1,
                  "--quiet")
    if command == "report":
        out = huesift("report", output, "--output", tmp_path / "page.html")
        assert out.stderr.splitlines() == [f"report of 3 images written to {tmp_path}/page.html",
                                           notes]
        return
    assert out.stderr.splitlines() == [f"2 done, 1 failed, 0 already in {output}", notes]
    assert {r["path"]: r.get("error") for r in read_lines(output)} == {
        str(photos / "extra.jpg"): None, str(photos / "text.png"): None,
        str(photos / "pixels.png"): f"ValueError: {refused}"}


def test_stderr_captured_on_threads_at_once_is_given_back_whole():
    before = os.fstat(2)
    start, texts = threading.Barrier(8), {}

    def talk(n):
        with messages.library_text() as said:
            start.wait()
            os.write(2, f"thread {n}\n\n  said  this \n".encode())
            start.wait()  # every thread has written before any ends
        texts[n] = said

    # writes that race for one offset lost a thread's text about once in thirty rounds
    for _ in range(100):
        threads = [threading.Thread(target=talk, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert os.path.samestat(os.fstat(2), before)
        # each line once, folded; what the others wrote meanwhile is given to each
        assert [sorted(said) for said in texts.values()] == [
            ["said this"] + [f"thread {m}" for m in range(8)]] * 8

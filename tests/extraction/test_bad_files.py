import os
import struct
import zlib

import numpy as np
import pytest


def png_header(width, height):
    """A PNG whose header claims width x height pixels, followed by a token of data."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(b"\x00" * 64)) + chunk(b"IEND", b""))


@pytest.fixture
def bad_files(tmp_path):
    files = {
        "missing": tmp_path / "missing.png",
        "empty": tmp_path / "empty.png",
        "truncated": tmp_path / "truncated.jpg",
        "directory": tmp_path / "folder.png",
        "text": tmp_path / "notes.png",
        "huge": tmp_path / "huge.png",
    }
    files["empty"].write_bytes(b"")
    files["truncated"].write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01")
    files["directory"].mkdir()
    files["text"].write_text("this is not an image\n" * 10)
    files["huge"].write_bytes(png_header(2_000_000, 2_000_000))
    return {name: str(path) for name, path in files.items()}


NAMES = ["missing", "empty", "truncated", "directory", "text", "huge"]


@pytest.mark.parametrize("name", NAMES)
def test_image_paths(tm, bad_files, name):
    path = bad_files[name]
    for call in (lambda: tm.ColorExtractor().extract_colors(path),
                 lambda: tm.ColorExtractor().find_color_matches(path, {}),
                 lambda: tm.ColorExtractor().analyze_color_similarity(path, {})):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"Could not load image from {path}"


@pytest.mark.parametrize("name", NAMES)
def test_mask_paths(tm, bad_files, name):
    path = bad_files[name]
    image = np.full((4, 4, 3), 80, np.uint8)
    with pytest.raises(ValueError) as info:
        tm.ColorExtractor().extract_colors(image, path)
    assert str(info.value) == f"Could not load mask from {path}"


@pytest.mark.parametrize("path", ["photo\x00.png", "\udcff\udcfe.png", ""])
def test_strange_path_strings(tm, path, tmp_path, monkeypatch):
    # "photo" exists: a name cut at the NUL must not read it.
    monkeypatch.chdir(tmp_path)
    import cv2
    cv2.imwrite("photo.png", np.full((4, 4, 3), 90, np.uint8))
    (tmp_path / "photo").write_bytes((tmp_path / "photo.png").read_bytes())
    for call in (lambda: tm.ColorExtractor().extract_colors(path),
                 lambda: tm.ColorExtractor().extract_colors(np.zeros((4, 4, 3), np.uint8), path),
                 lambda: tm.ColorExtractor().find_color_matches(path, {})):
        with pytest.raises(ValueError, match="^Could not load (image|mask) from "):
            call()


def test_huge_header_is_not_allocated(tm, bad_files):
    import psutil
    before = psutil.Process(os.getpid()).memory_info().rss
    with pytest.raises(ValueError):
        tm.ColorExtractor().extract_colors(bad_files["huge"])
    assert psutil.Process(os.getpid()).memory_info().rss - before < 512 * 2 ** 20

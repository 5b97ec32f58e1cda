import json

import numpy as np
import pytest
from PIL import Image

from support import huesift
from vantrel_huesift.images import read_image


@pytest.mark.parametrize("orientation", [3, 6, 8])
@pytest.mark.parametrize("shape", [(8, 8), (8, 12)])
def test_alpha_turns_upright_with_the_colours(tmp_path, shape, orientation):
    rgba = np.zeros(shape + (4,), np.uint8)
    rgba[:, :shape[1] // 2] = (255, 0, 0, 0)  # left half red and transparent, as stored
    rgba[:, shape[1] // 2:] = (0, 0, 255, 255)  # right half blue and opaque
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = tmp_path / "turned.png"
    Image.fromarray(rgba, "RGBA").save(path, exif=exif)
    image, mask = read_image(str(path))
    blue = (image == (255, 0, 0)).all(axis=2)
    assert image.shape[:2] == (shape if orientation == 3 else shape[::-1])
    assert blue.sum() == rgba.shape[0] * rgba.shape[1] // 2
    np.testing.assert_array_equal(mask > 128, blue)
    if shape == (8, 12) and orientation == 6:
        out = huesift("extract", path, "--colors", 1, "--rgb", "--no-preprocessing", "--json")
        assert out.returncode == 0, out.stderr
        assert json.loads(out.stdout) == [{"color": [0, 0, 255], "percentage": 100.0}]

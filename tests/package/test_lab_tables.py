import cv2
import numpy as np

from vantrel_huesift import lab_tables


def test_the_tables_convert_every_colour_as_opencv_does():
    grid = np.arange(256, dtype=np.uint8)
    for red in range(0, 256, 32):  # 16.7 million colours, a slab at a time
        reds = np.arange(red, red + 32, dtype=np.uint8)
        rgb = np.stack(np.meshgrid(reds, grid, grid, indexing="ij"), axis=-1).reshape(-1, 3)
        expected = cv2.cvtColor(rgb.reshape(-1, 1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3)
        mismatched = np.flatnonzero((lab_tables.rgb_to_lab(rgb) != expected).any(axis=1))
        assert not mismatched.size, rgb[mismatched[:5]]

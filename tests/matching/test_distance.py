import cv2
import numpy as np
import pytest

from support import FULL


def literal_distance(c1, c2):
    lab1 = cv2.cvtColor(np.uint8([[c1]]), cv2.COLOR_RGB2LAB)[0][0]
    lab2 = cv2.cvtColor(np.uint8([[c2]]), cv2.COLOR_RGB2LAB)[0][0]
    return float(np.sqrt(np.sum((lab1.astype(float) - lab2.astype(float)) ** 2)))


@pytest.mark.parametrize("c1, c2, expected", [
    ((10, 20, 30), (10, 20, 30), 0.0),
    ((0, 0, 0), (255, 255, 255), 255.0),
])
def test_known_distances(tm, c1, c2, expected):
    d = tm.ColorExtractor()._color_distance_lab(np.array(c1), np.array(c2))
    assert type(d) is float and d == expected


def test_symmetric_and_equal_to_literal(tm):
    rng = np.random.default_rng(2)
    ext = tm.ColorExtractor()
    for _ in range(50):
        a, b = rng.integers(0, 256, 3), rng.integers(0, 256, 3)
        d = ext._color_distance_lab(a, b)
        assert d == ext._color_distance_lab(b, a) == literal_distance(a, b)


def test_independent_of_configuration(tm):
    a, b = np.array([200, 10, 30]), np.array([20, 100, 230])
    configs = [dict(), dict(lab_space=False, preprocessing=False), dict(n_colors=1)]
    values = {tm.ColorExtractor(**c)._color_distance_lab(a, b) for c in configs}
    assert len(values) == 1


@pytest.mark.parametrize("c1, c2, name", [
    ((255, 0, 0), np.array([0, 0, 255]), "color1"),
    (np.array([255, 0, 0]), [0, 0, 255], "color2"),
])
def test_rejects_non_arrays(tm, c1, c2, name):
    with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
        tm.ColorExtractor()._color_distance_lab(c1, c2)


@pytest.mark.parametrize("c1", [None, np.array([1, 2]), np.array(["a", "b", "c"])])
def test_library_errors_pass_through(tm, c1):
    with pytest.raises(Exception) as ours:
        tm.ColorExtractor()._color_distance_lab(c1, np.array([1, 2, 3]))
    with pytest.raises(Exception) as theirs:
        literal_distance(c1, np.array([1, 2, 3]))
    assert type(ours.value) is type(theirs.value)


def test_float_components_are_truncated(tm):
    ext = tm.ColorExtractor()
    assert ext._color_distance_lab(np.array([10.9, 20.2, 30.99]), np.array([10, 20, 30])) == 0.0


def test_batch_conversion_equals_one_pixel_conversion():
    rng = np.random.default_rng(9)
    colours = rng.integers(0, 256, (200_000, 3), dtype=np.uint8)
    batch = cv2.cvtColor(colours.reshape(-1, 1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3)
    back = cv2.cvtColor(colours.reshape(-1, 1, 3), cv2.COLOR_LAB2RGB).reshape(-1, 3)
    sample = rng.choice(len(colours), 3000, replace=False)
    for i in sample:
        one = colours[i:i + 1].reshape(1, 1, 3)
        assert cv2.cvtColor(one, cv2.COLOR_RGB2LAB)[0][0].tolist() == batch[i].tolist()
        assert cv2.cvtColor(one, cv2.COLOR_LAB2RGB)[0][0].tolist() == back[i].tolist()
    # Every colour, against the batch of itself in another layout and chunking.
    for code in (cv2.COLOR_RGB2LAB, cv2.COLOR_LAB2RGB):
        whole = cv2.cvtColor(colours.reshape(-1, 1, 3), code)
        for start in range(0, len(colours), 7919):
            part = colours[start:start + 1].reshape(1, 1, 3)
            assert (cv2.cvtColor(part, code) == whole[start:start + 1]).all()
        tiles = cv2.cvtColor(colours.reshape(1000, 200, 3), code).reshape(-1, 1, 3)
        assert (tiles == whole).all()

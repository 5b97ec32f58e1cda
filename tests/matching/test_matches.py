import cv2
import numpy as np
import pytest


class PerPixel:
    """Mixin forcing the per-call path through a distance override."""

    def _color_distance_lab(self, color1, color2):
        return type(self).__mro__[2]._color_distance_lab(self, color1, color2)


def slow(tm, **config):
    return type("Slow", (PerPixel, tm.ColorExtractor), {})(**config)


def same_report(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name]) == list(b[name])
        for key in a[name]:
            assert a[name][key] == b[name][key]
            assert type(a[name][key]) is type(b[name][key]), (name, key)


TARGETS = {"red": (255, 0, 0), "sky": [120, 170, 230], "grey": np.array([128, 128, 128]),
           "black": (0, 0, 0)}


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("preprocessing", [True, False])
@pytest.mark.parametrize("masked", [False, True])
def test_native_equals_per_pixel(tm, lab_space, preprocessing, masked):
    rng = np.random.default_rng(int(lab_space) + 2 * int(preprocessing) + 4 * int(masked))
    image = rng.integers(0, 256, (12, 15, 3), dtype=np.uint8)
    image[:3] = 0
    # repeated colours, counted once each by the native report
    image[6:] = rng.integers(0, 256, (4, 3), dtype=np.uint8)[rng.integers(0, 4, (6, 15))]
    mask = rng.choice(np.array([0, 255], np.uint8), (12, 15)) if masked else None
    config = dict(lab_space=lab_space, preprocessing=preprocessing)
    fast = tm.ColorExtractor(**config).find_color_matches(image, TARGETS, mask)
    same_report(fast, slow(tm, **config).find_color_matches(image, TARGETS, mask))


def test_record_types_and_order(tm):
    image = np.full((3, 3, 3), (0, 0, 255), np.uint8)
    report = tm.ColorExtractor(preprocessing=False, lab_space=False).find_color_matches(
        image, {"red": (255, 0, 0), "blue": (0, 0, 255)})
    red = report["red"]
    assert list(report) == ["red", "blue"]
    assert list(red) == ["total_percentage", "close_percentage", "very_close_percentage",
                         "closest_pixel", "min_distance", "similarity_score"]
    assert red == {"total_percentage": 100.0, "close_percentage": 100.0,
                   "very_close_percentage": 100.0, "closest_pixel": (255, 0, 0),
                   "min_distance": 0.0, "similarity_score": 100.0}
    for key in ["total_percentage", "close_percentage", "very_close_percentage", "min_distance",
                "similarity_score"]:
        assert type(red[key]) is np.float64
    assert all(type(c) is int for c in red["closest_pixel"])
    blue = report["blue"]
    assert blue["similarity_score"] == 0 and type(blue["similarity_score"]) is int
    assert blue["total_percentage"] == 0.0 and blue["closest_pixel"] == (255, 0, 0)


def lab_distance(tm, a, b):
    return tm.ColorExtractor()._color_distance_lab(np.array(a), np.array(b))


def colour_at(target, squared):
    """An RGB colour whose 8-bit L*a*b* lies at exactly sqrt(squared) from the target's."""
    grid = np.stack(np.meshgrid(np.arange(0, 256, 3), np.arange(256), np.arange(256),
                                indexing="ij"), axis=-1).reshape(-1, 1, 3).astype(np.uint8)
    lab = cv2.cvtColor(grid, cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.int32)
    t = cv2.cvtColor(np.uint8([[target]]), cv2.COLOR_RGB2LAB)[0][0].astype(np.int32)
    hits = np.flatnonzero(((lab - t) ** 2).sum(axis=1) == squared)
    return tuple(int(v) for v in grid[hits[0], 0])


def test_band_limits_are_strict(tm):
    target = (128, 128, 128)
    at15, at50 = colour_at(target, 225), colour_at(target, 2500)
    assert lab_distance(tm, target, at15) == 15.0 and lab_distance(tm, target, at50) == 50.0
    image = np.array([[at15[::-1], at50[::-1]]], np.uint8)
    for ext in (tm.ColorExtractor(preprocessing=False, lab_space=False),
                slow(tm, preprocessing=False, lab_space=False)):
        report = ext.find_color_matches(image, {"t": target})["t"]
        assert report["very_close_percentage"] == 0.0
        assert report["close_percentage"] == 50.0 and report["total_percentage"] == 50.0
        assert report["min_distance"] == 15.0 and report["similarity_score"] == 70.0


def test_shares_are_ordered(tm):
    image = np.random.default_rng(4).integers(0, 256, (20, 20, 3), dtype=np.uint8)
    report = tm.ColorExtractor().find_color_matches(image, TARGETS)
    for record in report.values():
        assert (record["very_close_percentage"] <= record["close_percentage"]
                <= record["total_percentage"])


def test_black_image_in_rgb_mode(tm):
    ext = tm.ColorExtractor(preprocessing=False, lab_space=False)
    assert ext.find_color_matches(np.zeros((4, 4, 3), np.uint8), {"red": (255, 0, 0)}) == {}
    assert tm.ColorExtractor(preprocessing=False).find_color_matches(
        np.zeros((2, 2, 3), np.uint8), {"black": (0, 0, 0)})["black"]["total_percentage"] == 100.0


def test_closest_pixel_ties_go_to_the_first(tm):
    image = np.array([[[0, 0, 200], [0, 0, 100], [0, 0, 200], [0, 0, 100]]], np.uint8)
    ext = tm.ColorExtractor(preprocessing=False, lab_space=False)
    red = ext.find_color_matches(image, {"t": (150, 0, 0)})["t"]
    d200, d100 = lab_distance(tm, (150, 0, 0), (200, 0, 0)), lab_distance(tm, (150, 0, 0),
                                                                          (100, 0, 0))
    assert red["closest_pixel"] == ((200, 0, 0) if d200 <= d100 else (100, 0, 0))


def test_lab_round_trip(tm):
    image = np.full((2, 2, 3), (40, 90, 160), np.uint8)
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    rgb = cv2.cvtColor(lab, cv2.COLOR_LAB2RGB)[0, 0]
    report = tm.ColorExtractor(preprocessing=False).find_color_matches(image, {"t": (160, 90, 40)})
    assert report["t"]["closest_pixel"] == tuple(int(x) for x in rgb)


def test_empty_selection_and_targets(tm, tmp_path):
    image = np.full((3, 3, 3), 50, np.uint8)
    ext = tm.ColorExtractor()
    assert ext.find_color_matches(image, {"t": (1, 2, 3)}, np.zeros((3, 3), np.uint8)) == {}
    assert ext.find_color_matches(image, {}) == {}
    with pytest.raises(ValueError, match="^Could not load image from "):
        ext.find_color_matches(str(tmp_path / "missing.png"), {})


def test_mask_path_is_loaded(tm, tmp_path):
    image = np.full((4, 4, 3), 50, np.uint8)
    mask = np.zeros((4, 4, 3), np.uint8)
    mask[0] = 255
    path = str(tmp_path / "mask.png")
    cv2.imwrite(path, mask)
    ext = tm.ColorExtractor(preprocessing=False)
    assert ext.find_color_matches(image, {"t": (50, 50, 50)}, path) == ext.find_color_matches(
        image, {"t": (50, 50, 50)}, mask)
    with pytest.raises(ValueError, match="^Could not load mask from "):
        ext.find_color_matches(image, {}, str(tmp_path / "none.png"))


@pytest.mark.parametrize("target", [(1, 2), "red", (1, 2, 3, 4, 5), None])
def test_bad_target_fails_whole_call(tm, target):
    image = np.full((3, 3, 3), 50, np.uint8)
    targets = {"ok": (1, 2, 3), "bad": target}
    with pytest.raises(Exception) as fast:
        tm.ColorExtractor().find_color_matches(image, targets)
    with pytest.raises(Exception) as per_pixel:
        slow(tm).find_color_matches(image, targets)
    assert type(fast.value) is type(per_pixel.value)


def test_argument_types(tm):
    from collections import OrderedDict
    with pytest.raises(TypeError, match="^Argument 'target_colors' has incorrect type"):
        tm.ColorExtractor().find_color_matches("never read.png", OrderedDict())
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        tm.ColorExtractor().find_color_matches([[1, 2, 3]], {})


def test_override_is_called_per_pixel_and_target(tm):
    calls = []

    class Counting(tm.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            calls.append((tuple(color1), tuple(color2)))
            return 1.0

    image = np.array([[[1, 2, 3], [4, 5, 6]]], np.uint8)
    report = Counting(preprocessing=False, lab_space=False).find_color_matches(
        image, {"a": (9, 9, 9), "b": (8, 8, 8)})
    assert calls == [((9, 9, 9), (3, 2, 1)), ((9, 9, 9), (6, 5, 4)),
                     ((8, 8, 8), (3, 2, 1)), ((8, 8, 8), (6, 5, 4))]
    assert report["a"]["similarity_score"] == 98.0


def test_overridden_pixels_of_other_dtype(tm):
    class Floats(tm.ColorExtractor):
        def _extract_pixels(self, image, mask=None):
            return np.array([[10.7, 20.2, 30.9], [200.0, 5.0, 9.0]])

    image = np.zeros((1, 1, 3), np.uint8)
    report = Floats(lab_space=False).find_color_matches(image, {"t": (10, 20, 30)})
    assert report["t"]["min_distance"] == 0.0 and report["t"]["closest_pixel"] == (10, 20, 30)


def test_rebound_cv2_is_called_as_the_steps_say(tm, rebind):
    calls = []

    class Proxy:
        def __getattr__(self, name):
            return getattr(cv2, name)

        def cvtColor(self, image, code):
            calls.append(code)
            return cv2.cvtColor(image, code)

    image = np.array([[[1, 2, 3], [4, 5, 6]], [[7, 8, 9], [10, 11, 12]]], np.uint8)
    expected = tm.ColorExtractor(preprocessing=False).find_color_matches(image, {"t": (9, 9, 9)})
    rebind("cv2", Proxy())
    got = tm.ColorExtractor(preprocessing=False).find_color_matches(image, {"t": (9, 9, 9)})
    assert got == expected
    # feature space, 4 pixels back to RGB, then 2 conversions per distance
    assert calls == [cv2.COLOR_BGR2LAB] + [cv2.COLOR_LAB2RGB] * 4 + [cv2.COLOR_RGB2LAB] * 8

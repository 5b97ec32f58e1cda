import numpy as np
import pytest

IMAGE = np.full((4, 4, 3), 200, np.uint8)


def test_overrides_are_used_by_extract_colors(tm):
    calls = []

    class Traced(tm.ColorExtractor):
        def _preprocess_image(self, image):
            calls.append("preprocess")
            return super()._preprocess_image(image)

        def _convert_to_feature_space(self, image):
            calls.append("feature")
            return super()._convert_to_feature_space(image)

        def _apply_mask(self, image, mask):
            calls.append("mask")
            return super()._apply_mask(image, mask)

        def _extract_pixels(self, image, mask=None):
            calls.append("pixels")
            return super()._extract_pixels(image, mask)

    mask = np.full((4, 4), 255, np.uint8)
    Traced(n_colors=2).extract_colors(IMAGE, mask)
    assert calls == ["preprocess", "feature", "pixels", "mask"]


def test_apply_mask_override_changes_pixels(tm):
    class Blackout(tm.ColorExtractor):
        def _apply_mask(self, image, mask):
            return np.zeros_like(image)

    mask = np.full((4, 4), 255, np.uint8)
    assert Blackout(lab_space=False)._extract_pixels(IMAGE, mask).shape == (0, 3)
    assert Blackout(lab_space=False).extract_colors(IMAGE, mask) == []


def test_instance_attribute_override(tm):
    class Open(tm.ColorExtractor):
        pass

    ext = Open(n_colors=2, preprocessing=False)
    ext._extract_pixels = lambda image, mask: np.zeros((0, 3), np.uint8)
    assert ext.extract_colors(IMAGE) == []


@pytest.mark.parametrize("step, result, given", [
    ("_preprocess_image", [1, 2], "list"),
    ("_convert_to_feature_space", "lab", "str"),
    ("_extract_pixels", (1, 2, 3), "tuple"),
])
def test_wrong_result_type(tm, step, result, given):
    Bad = type("Bad", (tm.ColorExtractor,), {step: lambda self, *args: result})
    with pytest.raises(TypeError) as info:
        Bad().extract_colors(IMAGE)
    assert str(info.value) == f"Cannot convert {given} to numpy.ndarray"


def test_apply_mask_wrong_result_type(tm):
    class Bad(tm.ColorExtractor):
        def _apply_mask(self, image, mask):
            return 3

    with pytest.raises(TypeError, match="^Cannot convert int to numpy.ndarray$"):
        Bad()._extract_pixels(IMAGE, np.zeros((4, 4), np.uint8))


def test_none_result_is_passed_on(tm):
    class Nothing(tm.ColorExtractor):
        def _preprocess_image(self, image):
            return None

    import cv2
    with pytest.raises(cv2.error):
        Nothing().extract_colors(IMAGE)


def test_base_class_direct_call_skips_override(tm):
    class Loud(tm.ColorExtractor):
        def _preprocess_image(self, image):
            raise AssertionError("override called")

    ext = Loud(preprocessing=False)
    assert tm.ColorExtractor._preprocess_image(ext, IMAGE) is IMAGE

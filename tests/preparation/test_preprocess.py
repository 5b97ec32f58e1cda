import cv2
import numpy as np
import pytest


def reference_chain(image):
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
    lab[:, :, 0] = clahe.apply(lab[:, :, 0])
    return cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)


@pytest.fixture
def photo():
    rng = np.random.default_rng(7)
    return rng.integers(0, 256, size=(37, 53, 3), dtype=np.uint8)


def test_equals_opencv_chain_and_keeps_input(tm, photo):
    before = photo.copy()
    out = tm.ColorExtractor()._preprocess_image(photo)
    assert out.shape == photo.shape and out.dtype == np.uint8
    np.testing.assert_array_equal(out, reference_chain(before))
    np.testing.assert_array_equal(photo, before)
    assert out is not photo


@pytest.mark.parametrize("image", [None, np.zeros((2, 2), np.float32), np.zeros(5)])
def test_off_returns_the_same_object(tm, image):
    assert tm.ColorExtractor(preprocessing=False)._preprocess_image(image) is image


def test_keyword_argument(tm, photo):
    out = tm.ColorExtractor()._preprocess_image(image=photo)
    np.testing.assert_array_equal(out, reference_chain(photo))


@pytest.mark.parametrize("value, given", [
    ([[1, 2, 3]], "list"), ((1, 2), "tuple"), ("img.png", "str"), (3, "int"),
])
def test_rejects_non_arrays(tm, value, given):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor(preprocessing=False)._preprocess_image(value)
    assert str(info.value) == (
        f"Argument 'image' has incorrect type (expected numpy.ndarray, got {given})")


def test_rejects_pil_image(tm):
    from PIL import Image
    with pytest.raises(TypeError, match="got Image"):
        tm.ColorExtractor()._preprocess_image(Image.new("RGB", (4, 4)))


@pytest.mark.parametrize("image", [None, np.zeros((4, 4), np.uint8), np.zeros((4, 4, 2), np.uint8)])
def test_opencv_errors_reach_the_caller(tm, image):
    with pytest.raises(cv2.error):
        tm.ColorExtractor()._preprocess_image(image)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"img": None})])
def test_argument_count(tm, args, kwargs):
    with pytest.raises(TypeError):
        tm.ColorExtractor()._preprocess_image(*args, **kwargs)


def test_uses_the_module_cv2(tm, rebind, photo):
    class Recorder:
        def __getattr__(self, name):
            return getattr(cv2, name)

        def bilateralFilter(self, *args):
            calls.append(args[1:])
            return "filtered"

    calls = []
    rebind("cv2", Recorder())
    assert tm.ColorExtractor()._preprocess_image(photo) == "filtered"
    assert calls == [(9, 75, 75)]


def test_feature_space(tm):
    pixel = np.array([[[10, 20, 30]]], np.uint8)
    assert tm.ColorExtractor(lab_space=False)._convert_to_feature_space(pixel).tolist() == [
        [[30, 20, 10]]]
    bw = np.array([[[0, 0, 0], [255, 255, 255], [90, 90, 90]]], np.uint8)
    lab = tm.ColorExtractor()._convert_to_feature_space(bw)
    assert lab.tolist() == [[[0, 128, 128], [255, 128, 128], [lab[0, 2, 0], 128, 128]]]
    assert lab.dtype == np.uint8 and bw[0, 1].tolist() == [255, 255, 255]


def test_feature_space_errors(tm):
    with pytest.raises(cv2.error):
        tm.ColorExtractor()._convert_to_feature_space(None)
    with pytest.raises(TypeError, match="Argument 'image' has incorrect type"):
        tm.ColorExtractor()._convert_to_feature_space([1])

import cv2
import numpy as np
import pytest

IMAGE = np.array([[[10, 20, 30], [40, 50, 60]],
                  [[70, 80, 90], [100, 110, 120]]], np.uint8)


def apply(tm, image, mask):
    return tm.ColorExtractor()._apply_mask(image, mask)


def test_none_mask_is_identity(tm):
    assert apply(tm, IMAGE, None) is IMAGE


@pytest.mark.parametrize("mask, kept", [
    (np.array([[0, 255], [255, 0]], np.uint8), [[False, True], [True, False]]),
    (np.array([[128, 129], [200, 0]], np.uint8), [[False, True], [True, False]]),
    (np.array([[128.5, 128.0], [1e9, -1]], np.float64), [[True, False], [True, False]]),
    (np.array([[True, True], [True, True]]), [[False, False], [False, False]]),
    (np.array([[1, 1], [0, 1]], np.int64), [[False, False], [False, False]]),
])
def test_single_channel(tm, mask, kept):
    before = IMAGE.copy()
    out = apply(tm, IMAGE, mask)
    expected = np.where(np.array(kept)[:, :, None], IMAGE, 0)
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(IMAGE, before)


def test_three_channel_mask(tm):
    # BGR: pure green is inside (grey ~150), pure red (~76) and pure blue (~29) are not.
    mask = np.array([[[0, 255, 0], [0, 0, 255]],
                     [[255, 0, 0], [255, 255, 255]]], np.uint8)
    out = apply(tm, IMAGE, mask)
    assert out[:, :, 0].tolist() == [[10, 0], [0, 100]]


def test_three_channel_equals_single_channel(tm):
    grey = np.array([[0, 255], [255, 255]], np.uint8)
    colour = np.repeat(grey[:, :, None], 3, axis=2)
    np.testing.assert_array_equal(apply(tm, IMAGE, grey), apply(tm, IMAGE, colour))


@pytest.mark.parametrize("mask", [np.zeros((3, 2), np.uint8), np.zeros((2, 2, 2), np.uint8)])
def test_opencv_errors(tm, mask):
    with pytest.raises(cv2.error):
        apply(tm, IMAGE, mask)


@pytest.mark.parametrize("image, mask, name", [
    ([1], None, "image"), (IMAGE, [[255]], "mask"), (IMAGE, "mask.png", "mask"),
])
def test_argument_types(tm, image, mask, name):
    with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
        apply(tm, image, mask)


def test_argument_count(tm):
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        tm.ColorExtractor()._apply_mask(IMAGE)


@pytest.mark.parametrize("shape", [(2, 1), (3, 1), (2, 1, 3, 1)])
def test_broadcast_views_give_the_values_they_show(tm, shape):
    # OpenCV misreads these zero-stride views; the result must be that of a plain copy.
    base = (np.arange(int(np.prod(shape))).reshape(shape) + 1).astype(np.uint8)
    view = np.broadcast_to(base[:1], shape)
    empty = np.zeros((0, 1), np.uint8)
    np.testing.assert_array_equal(apply(tm, view, empty), apply(tm, view.copy(), empty))

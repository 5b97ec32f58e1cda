import cv2
import numpy as np
import pytest


def literal(image, mask=None):
    """The pixel matrix computed with the documented NumPy and OpenCV expressions."""
    if mask is not None:
        grey = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) if mask.ndim == 3 else mask
        binary = ((grey > 128) * 255).astype(np.uint8)
        masked = cv2.bitwise_and(image, image, mask=binary)
        selection = mask > 128
        if len(mask.shape) == 3:
            selection = cv2.cvtColor(selection.astype(np.uint8) * 255, cv2.COLOR_BGR2GRAY) > 128
        pixels = masked[selection]
    else:
        pixels = image.reshape(-1, 3)
    return pixels[~np.all(pixels == 0, axis=1)]


def extract(tm, image, mask=None):
    return tm.ColorExtractor()._extract_pixels(image, mask)


def same(got, expected):
    assert type(got) is type(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


RNG = np.random.default_rng(3)
IMAGE = RNG.integers(0, 3, size=(9, 7, 3), dtype=np.uint8)  # plenty of (0, 0, 0) pixels
MASK2 = RNG.choice(np.array([0, 128, 129, 255], np.uint8), size=(9, 7))
MASK3 = RNG.choice(np.array([0, 255], np.uint8), size=(9, 7, 3))
SPARSE = RNG.integers(0, 2, size=(6, 11, 3), dtype=np.uint8)  # one pixel in eight is black


@pytest.mark.parametrize("image", [
    IMAGE,
    IMAGE[::2, ::3],
    IMAGE[::-1, :, ::-1],
    np.asfortranarray(IMAGE),
    IMAGE.transpose(1, 0, 2),
    np.broadcast_to(IMAGE[:1], (5, 7, 3)),
    IMAGE.reshape(-1, 3),
    IMAGE.reshape(-1, 3)[::2],
    np.zeros((0, 4, 3), np.uint8),
    np.zeros((4, 0, 3), np.uint8),
    np.zeros((3, 3, 3), np.uint8),
    # packed rows, read a word at a pixel: whole, narrowed (rows with room after them), one
    # column, one row, and the first and last pixels of each row black
    SPARSE, SPARSE[:, :6], SPARSE[:, :1], SPARSE[2:3],
    np.pad(SPARSE, ((0, 0), (1, 1), (0, 0))),
])
def test_no_mask_layouts(tm, image):
    same(extract(tm, image), literal(image))


@pytest.mark.parametrize("image", [
    IMAGE.astype(np.float32), IMAGE.astype(">u2"), IMAGE[:, :, :2].copy(),
    np.zeros((4, 6), np.uint8), IMAGE.astype(bool),
])
def test_other_dtypes_and_shapes_follow_numpy(tm, image):
    same(extract(tm, image), literal(image))


def test_zero_size_without_three_columns(tm):
    # NumPy reshapes an empty (0, 4) array to (0, 3): no error, no rows.
    same(extract(tm, np.zeros((0, 4), np.uint8)), literal(np.zeros((0, 4), np.uint8)))


@pytest.mark.parametrize("mask", [MASK2, MASK2.T.copy().T, MASK2.astype(np.float64),
                                  MASK2 > 128, MASK3, MASK3[:, :, ::-1],
                                  np.zeros((9, 7), np.uint8)])
def test_masks(tm, mask):
    same(extract(tm, IMAGE, mask), literal(IMAGE, mask))


def test_result_keeps_row_major_order(tm):
    image = np.arange(1, 13, dtype=np.uint8).reshape(2, 2, 3)
    assert extract(tm, image).tolist() == [[1, 2, 3], [4, 5, 6], [7, 8, 9], [10, 11, 12]]
    mask = np.array([[0, 255], [255, 255]], np.uint8)
    assert extract(tm, image, mask).tolist() == [[4, 5, 6], [7, 8, 9], [10, 11, 12]]


def test_zero_rows_have_three_columns(tm):
    out = extract(tm, np.zeros((2, 2, 3), np.uint8))
    assert out.shape == (0, 3) and out.dtype == np.uint8


def test_subclass_input_gives_subclass(tm):
    class Photo(np.ndarray):
        pass

    image = IMAGE.view(Photo)
    same(extract(tm, image), literal(image))


def test_input_is_not_modified(tm):
    image, mask = IMAGE.copy(), MASK2.copy()
    extract(tm, image, mask)
    np.testing.assert_array_equal(image, IMAGE)
    np.testing.assert_array_equal(mask, MASK2)


def test_lab_black_is_kept(tm):
    lab = tm.ColorExtractor()._convert_to_feature_space(np.zeros((2, 3, 3), np.uint8))
    assert extract(tm, lab).shape == (6, 3)


@pytest.mark.parametrize("mask, message", [
    ("mask.png", "Cannot convert str to numpy.ndarray"),
    ([[255]], "Cannot convert list to numpy.ndarray"),
])
def test_mask_type(tm, mask, message):
    with pytest.raises(TypeError) as info:
        extract(tm, IMAGE, mask)
    assert str(info.value) == message


def test_mask_of_wrong_size(tm):
    with pytest.raises(cv2.error):
        extract(tm, IMAGE, np.zeros((3, 3), np.uint8))


def test_arguments(tm):
    ext = tm.ColorExtractor()
    same(ext._extract_pixels(image=IMAGE, mask=MASK2), literal(IMAGE, MASK2))
    with pytest.raises(TypeError, match="Argument 'image' has incorrect type"):
        ext._extract_pixels([1, 2, 3])
    with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
        ext._extract_pixels(IMAGE, None, None)
    with pytest.raises(TypeError, match="takes at least 1 positional argument "):
        ext._extract_pixels()


class SelectsWithExtraAxis:
    """A masking step that hands back the image with an extra axis."""

    def __init__(self, tm):
        class Sub(tm.ColorExtractor):
            def _apply_mask(self, image, mask):
                return image[:, :, None, :]

        self.extractor = Sub()


@pytest.mark.parametrize("make, image, mask", [
    (lambda tm: tm.ColorExtractor(), IMAGE[:8, :1] + 1, np.full(8, 255, np.uint8)),
    (lambda tm: SelectsWithExtraAxis(tm).extractor, IMAGE + 1, MASK2),
])
def test_malformed_selection_fails_as_numpy_does(tm, make, image, mask):
    # The zero-row filter over anything but N x 3 rows is NumPy's to judge.
    with pytest.raises(IndexError, match="boolean index did not match"):
        make(tm)._extract_pixels(image, mask)


def test_zero_dimensional_mask_reaches_opencv(tm):
    with pytest.raises(cv2.error, match="bitwise_and"):
        extract(tm, IMAGE, np.array(255, np.uint8))


@pytest.mark.parametrize("name", ["np", "cv2"])
def test_rebound_library_takes_the_literal_steps(tm, rebind, name):
    class Proxy:
        """Delegates to the library and counts what is read from it."""

        def __init__(self, library):
            self.library, self.read = library, []

        def __getattr__(self, attr):
            self.read.append(attr)
            return getattr(self.library, attr)

    proxy = Proxy(np if name == "np" else cv2)
    rebind(name, proxy)
    same(extract(tm, IMAGE), literal(IMAGE))
    same(extract(tm, IMAGE, MASK2), literal(IMAGE, MASK2))
    assert proxy.read.count("all" if name == "np" else "bitwise_and") == (2 if name == "np" else 1)
    rebind("np", None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'all'"):
        extract(tm, IMAGE)

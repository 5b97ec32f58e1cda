"""Reading images and masks as the library reads them, with an image's alpha channel as a mask.

    from vantrel_huesift.images import read_image

    image, mask = read_image("logo.png")   # transparent pixels left out through the mask
    colors = extractor.extract_colors(image, mask)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional, Tuple

if TYPE_CHECKING:
    import numpy

# EXIF orientation: the transposition, then the quarter turns counter-clockwise (numpy.rot90)
# that turn the stored pixels upright, as OpenCV and Pillow apply them.
ORIENTATIONS = {2: (False, 0, True), 3: (False, 2, False), 4: (False, 2, True),
                5: (True, 0, False), 6: (False, 3, False), 7: (True, 2, False),
                8: (False, 1, False)}


class MaskSizeError(ValueError):
    """A mask whose size is not the image's: a mask is never stretched to fit an image."""


def imread(path: str, flags: Optional[int] = None) -> Optional["numpy.ndarray"]:
    """cv2.imread, or None for a name no file can have: OpenCV reads a name with a NUL cut
    short, and crashes on one that is not valid UTF-8 (undecodable bytes from the disk)."""
    import cv2

    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return None
    if "\0" in path:
        return None
    return cv2.imread(path) if flags is None else cv2.imread(path, flags)


def read_image(path: str, mask: Optional[str] = None, keep_transparent: bool = False,
               max_side: Optional[int] = None
               ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The image and mask arrays `extract_colors` would read from these paths, with the
    image's transparent pixels (alpha at or below the library's mask threshold) left out unless
    `keep_transparent`. The colours are exactly what `cv2.imread` with default flags gives,
    and the alpha is turned upright with them. A mask of another size raises MaskSizeError.
    With `max_side`, both are then shrunk to fit it (see `shrink`)."""
    image, mask_array = _read_full(path, mask, keep_transparent)
    return shrink(image, mask_array, max_side)


def _read_full(path: str, mask: Optional[str], keep_transparent: bool
               ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    image = imread(path)
    if image is None:
        raise ValueError(f"Could not load image from {path}")
    mask_array = None
    if mask is not None:
        mask_array = imread(mask)
        if mask_array is None:
            raise ValueError(f"Could not load mask from {mask}")
        if mask_array.shape[:2] != image.shape[:2]:
            (h, w), (ih, iw) = mask_array.shape[:2], image.shape[:2]
            raise MaskSizeError(f"the mask {mask} is {w} x {h} pixels and the image {path} "
                                f"{iw} x {ih}: a mask must have the image's size")
    if keep_transparent:
        return image, mask_array
    alpha = alpha_of(path)
    if alpha is None:
        return image, mask_array
    if alpha.shape != image.shape[:2]:
        raise ValueError(f"the alpha channel of {path} does not line up with its colours")
    if mask_array is None:
        return image, alpha
    from .tintmill import MASK_THRESHOLD

    # A black mask pixel fails both of the library's tests for a three-channel mask.
    mask_array = mask_array.copy()
    mask_array[alpha <= MASK_THRESHOLD] = 0
    return image, mask_array


def shrink(image: "numpy.ndarray", mask: Optional["numpy.ndarray"], max_side: Optional[int]
           ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The image, and its mask, shrunk with area averaging so that the longer side is at most
    `max_side` pixels; unchanged when it already fits or `max_side` is None.

    The mask is averaged over the same areas as the colours, so a shrunk pixel is analysed when
    the mask, averaged over its area, passes the library's threshold: for a black-and-white
    mask, when more than half of its area was selected. Nearest-neighbour sampling would pick
    one source pixel per block, from the block's corner, and so shift the mask against the
    colours by up to half a block.
    """
    if max_side is None:
        return image, mask
    if max_side < 1:
        raise ValueError(f"max_side must be at least 1, not {max_side}")
    import cv2

    height, width = image.shape[:2]
    if max(height, width) <= max_side:
        return image, mask
    scale = max_side / max(height, width)
    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    if mask is not None:
        mask = cv2.resize(mask, size, interpolation=cv2.INTER_AREA)
    return image, mask


def alpha_of(path: str) -> Optional["numpy.ndarray"]:
    """The 8-bit alpha channel of an image file, upright as `cv2.imread` turns the colours, or
    None when it has none. A 16-bit alpha is reduced as OpenCV reduces 16-bit colours, to its
    high byte."""
    import cv2
    import numpy as np

    raw = imread(path, cv2.IMREAD_UNCHANGED)
    if raw is None or raw.ndim != 3 or raw.shape[2] not in (2, 4):
        return None
    alpha = raw[:, :, -1]
    if alpha.dtype == np.uint16:
        alpha = (alpha >> 8).astype(np.uint8)
    elif alpha.dtype != np.uint8:
        return None
    return np.ascontiguousarray(upright(alpha, path))


def upright(pixels: "numpy.ndarray", path: str) -> "numpy.ndarray":
    """Pixels read without orientation (IMREAD_UNCHANGED), turned as a default read turns them.

    A default read applies the EXIF orientation after decoding and an unchanged read does not;
    the TIFF decoder applies its orientation tag itself, in both reads.
    """
    import warnings

    import numpy as np
    from PIL import Image

    try:
        with warnings.catch_warnings(), Image.open(path) as image:
            warnings.simplefilter("ignore")  # a very large image is still only read for its tag
            if image.format == "TIFF":
                return pixels
            orientation = image.getexif().get(0x0112)
    except Exception:  # a format Pillow cannot read carries no orientation it could give
        return pixels
    if orientation not in ORIENTATIONS:
        return pixels
    transpose, turns, flip = ORIENTATIONS[orientation]
    if transpose:
        pixels = pixels.T
    pixels = np.rot90(pixels, turns)
    return pixels[:, ::-1] if flip else pixels

"""The reader: image and mask files read as the library reads them, with an image's alpha
channel as a mask.

    from vantrel_huesift.images import read_image

    image, mask = read_image("logo.png")   # transparent pixels left out through the mask
    colors = extractor.extract_colors(image, mask)

Its rules, for every command:

- The colours are exactly what `cv2.imread` gives (OpenCV decodes the file's bytes, with its
  default flags, which turn the pixels upright by the file's orientation).
- The alpha is turned as the colours were: of the turns the file's metadata names and none,
  the first under which the alpha's own colour channels line up with those colours. So the two
  can never disagree, whichever decoder read which metadata.
- The header is read before any decoder runs: its pixel count is checked against a limit
  (the report's thumbnails have one), and a JPEG or PNG that ends before its image does is
  refused, never analysed as if whole.
- OpenCV's log is silenced while it decodes, and what its decoders write on stderr themselves
  is captured (`messages.library_text`): a file it cannot read is an error, said once, in the
  decoder's words where it had any; one it read all the same gets a `messages.DecoderWarning`.
"""

from __future__ import annotations

import itertools
import re
import struct
import threading
import warnings
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, NamedTuple, Optional, Tuple

from . import files, messages

if TYPE_CHECKING:
    import numpy

# EXIF orientation: the transposition, then the quarter turns counter-clockwise (numpy.rot90)
# that turn the stored pixels upright, as OpenCV applies them.
ORIENTATIONS = {2: (False, 0, True), 3: (False, 2, False), 4: (False, 2, True),
                5: (True, 0, False), 6: (False, 3, False), 7: (True, 2, False),
                8: (False, 1, False)}
REDUCED = {1: "IMREAD_COLOR", 2: "IMREAD_REDUCED_COLOR_2", 4: "IMREAD_REDUCED_COLOR_4",
           8: "IMREAD_REDUCED_COLOR_8"}


class MaskSizeError(ValueError):
    """A mask whose size is not the image's: a mask is never stretched to fit an image."""


class TooLargeError(ValueError):
    """An image with more pixels than the reader was allowed, or of a size its header hides."""


class Header(NamedTuple):
    """What a file's first bytes say: its format, size (None where unknown), whether it may
    hold an alpha channel, and whether it is whole as far as its format shows."""

    format: str
    width: Optional[int] = None
    height: Optional[int] = None
    alpha: bool = True
    whole: bool = True

    @property
    def pixels(self) -> Optional[int]:
        return None if self.width is None or self.height is None else self.width * self.height


def header(data: bytes) -> Header:
    """The header of an image file's bytes; Header("unknown") for a format not read here, or
    a header this cannot follow, which is left to OpenCV."""
    try:
        if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
            return _webp(data)
        for magic, read in _HEADERS:
            if data.startswith(magic):
                return read(data)
    except (struct.error, ValueError, IndexError, KeyError):
        pass
    return Header("unknown")


def _png(data: bytes) -> Header:
    width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
    alpha, at = kind in (4, 6), 8
    while at + 8 <= len(data):  # the chunks before the pixels: is there transparency?
        length, name = struct.unpack(">I4s", data[at:at + 8])
        if name == b"IDAT":
            break
        alpha = alpha or name == b"tRNS"
        at += 12 + length
    return Header("png", width, height, alpha, data.rfind(b"IEND\xaeB`\x82") > 0)


_STARTS_OF_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg(data: bytes) -> Header:
    at, width, height = 2, None, None
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            raise ValueError("not a marker")
        marker = data[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        (length,) = struct.unpack(">H", data[at + 2:at + 4])
        if marker in _STARTS_OF_FRAMES:
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
        if marker == 0xDA:  # the scans: the image is whole when its end marker follows them
            # (the entropy-coded data escapes every 0xFF, so 0xFFD9 is only ever the end)
            return Header("jpeg", width, height, False, data.find(b"\xff\xd9", at) > 0)
        at += 2 + length
    return Header("jpeg", width, height, False, False)


def _webp(data: bytes) -> Header:
    (size,) = struct.unpack("<I", data[4:8])
    whole = len(data) >= size + 8
    chunk = data[12:16]
    if chunk == b"VP8X":
        flags = data[20]
        width = int.from_bytes(data[24:27], "little") + 1
        height = int.from_bytes(data[27:30], "little") + 1
        return Header("webp", width, height, bool(flags & 0x10), whole)
    if chunk == b"VP8L":
        (bits,) = struct.unpack("<I", data[21:25])
        return Header("webp", (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1,
                      bool(bits >> 28 & 1), whole)
    if chunk == b"VP8 ":
        width, height = struct.unpack("<HH", data[26:30])
        return Header("webp", width & 0x3FFF, height & 0x3FFF, False, whole)
    return Header("webp", whole=whole)


def _gif(data: bytes) -> Header:
    width, height = struct.unpack("<HH", data[6:10])
    return Header("gif", width, height)


def _bmp(data: bytes) -> Header:
    (size,) = struct.unpack("<I", data[14:18])
    if size == 12:
        width, height, _, bits = struct.unpack("<HHHH", data[18:26])
    else:
        width, height, _, bits = struct.unpack("<iiHH", data[18:30])
    return Header("bmp", abs(width), abs(height), bits == 32)


def _tiff(data: bytes) -> Header:
    order = "<" if data[:2] == b"II" else ">"
    (at,) = struct.unpack(order + "I", data[4:8])
    (count,) = struct.unpack(order + "H", data[at:at + 2])
    size = {}
    for entry in range(count):
        tag, kind, _, value = struct.unpack(order + "HHI4s", data[at + 2 + 12 * entry:
                                                             at + 14 + 12 * entry])
        if tag in (256, 257):
            size[tag] = struct.unpack(order + ("H" if kind == 3 else "I"),
                                      value[:2 if kind == 3 else 4])[0]
    return Header("tiff", size.get(256), size.get(257))


def _pnm(data: bytes) -> Header:
    kind = data[:2]
    text = re.sub(rb"#[^\n]*", b" ", data[2:4096])
    if kind == b"P7":  # PAM: WIDTH and HEIGHT lines
        found = dict(re.findall(rb"(WIDTH|HEIGHT)\s+(\d+)", text))
        return Header("pam", int(found[b"WIDTH"]), int(found[b"HEIGHT"]))
    width, height = (int(v) for v in text.split()[:2])
    return Header("pnm", width, height, False)


def _sun(data: bytes) -> Header:
    width, height = struct.unpack(">II", data[4:12])
    return Header("sun", width, height, False)


def _hdr(data: bytes) -> Header:
    found = re.search(rb"\n\n([-+])Y (\d+) \+X (\d+)", data[:8192])
    if found is None:
        return Header("hdr", alpha=False)
    return Header("hdr", int(found[3]), int(found[2]), False)


_HEADERS = [(b"\x89PNG\r\n\x1a\n", _png), (b"\xff\xd8", _jpeg), (b"GIF8", _gif),
            (b"BM", _bmp), (b"II*\x00", _tiff), (b"MM\x00*", _tiff),
            (b"\x59\xa6\x6a\x95", _sun), (b"#?RADIANCE", _hdr), (b"#?RGBE", _hdr)] + [
    (b"P" + bytes([c]), _pnm) for c in b"1234567"]


# ---- decoding ----------------------------------------------------------------------------

_quiet = threading.Lock()
_quiet_count = 0
_quiet_level = None


@contextmanager
def quiet_opencv() -> Iterator[None]:
    """OpenCV's log silenced meanwhile: the errors it would print are said once, by the
    caller. The level is process-wide; the last thread out restores it."""
    global _quiet_count, _quiet_level
    import cv2

    logging = cv2.utils.logging
    with _quiet:
        if _quiet_count == 0:
            _quiet_level = logging.getLogLevel()
            logging.setLogLevel(logging.LOG_LEVEL_SILENT)
        _quiet_count += 1
    try:
        yield
    finally:
        with _quiet:
            _quiet_count -= 1
            if _quiet_count == 0:
                logging.setLogLevel(_quiet_level)


def decode(data: bytes, name: str, alpha: bool = True, max_pixels: Optional[int] = None,
           reduce: int = 1, what: str = "image"
           ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The colours of an image file's bytes, exactly as `cv2.imread` reads the file (shrunk
    `reduce` times as OpenCV's reduced reads shrink a JPEG), and its 8-bit alpha channel turned
    as the colours were, or None. ValueError ("Could not load image from NAME...") for a file
    that is not an image or not whole; TooLargeError beyond `max_pixels`."""
    import cv2
    import numpy as np

    head = header(data)
    failed = f"Could not load {what} from {name}"
    if not head.whole:
        raise ValueError(f"{failed}: the file ends before its image does")
    if max_pixels is not None and (head.pixels is None or head.pixels > max_pixels):
        size = "" if head.pixels is None else f" of {head.width} x {head.height} pixels"
        raise TooLargeError(f"{name}: an image{size} is beyond the limit of {max_pixels} "
                            "pixels" if size else f"{name}: the image's size cannot be read "
                            "from its header, so it is not decoded here")
    buffer = np.frombuffer(data, np.uint8)
    raw, exif = None, b""
    with quiet_opencv(), messages.library_text() as said:
        colours = cv2.imdecode(buffer, getattr(cv2, REDUCED[reduce]))
        if colours is not None and alpha and head.alpha:
            raw, exif = _unchanged(buffer)
    if colours is None:
        raise ValueError(f"{failed}: {'; '.join(said)}" if said else failed)
    if said:  # read all the same: what the decoder said of it is a note
        warnings.warn(messages.DecoderWarning(name, "; ".join(said)), stacklevel=2)
    if (raw is None or raw.ndim != 3 or raw.shape[2] not in (2, 4)
            or raw.dtype not in (np.uint8, np.uint16)):
        return colours, None
    # 16-bit pixels reduced to 8 as OpenCV reduced the colours: to the high byte (PNG) or
    # rounded (TIFF); then compared exactly, as 8-bit ones are
    reduced = [raw] if raw.dtype == np.uint8 else [
        (raw >> 8).astype(np.uint8), ((raw.astype(np.uint32) * 2 + 257) // 514).astype(np.uint8)]
    for orientation, pixels in itertools.product((_orientation(exif), 1), reduced):
        if _lines_up(upright(pixels, orientation), colours):
            break
    else:
        raise ValueError(f"the alpha channel of {name} does not line up with its colours")
    return colours, np.ascontiguousarray(upright(pixels[:, :, -1], orientation))


def _unchanged(buffer: "numpy.ndarray") -> Tuple[Optional["numpy.ndarray"], bytes]:
    """The stored pixels, alpha included and not turned, and the EXIF block OpenCV found."""
    import cv2

    if not hasattr(cv2, "imdecodeWithMetadata"):  # OpenCV before 4.12: no metadata
        return cv2.imdecode(buffer, cv2.IMREAD_UNCHANGED), b""
    raw, kinds, blocks = cv2.imdecodeWithMetadata(buffer, cv2.IMREAD_UNCHANGED)
    exif = [bytes(block) for kind, block in zip(kinds, blocks)
            if kind == cv2.IMAGE_METADATA_EXIF]
    return raw, exif[0] if exif else b""


def _orientation(exif: bytes) -> int:
    """The orientation tag (0x0112) of an EXIF block, 1 when it has none."""
    starts = [at for at in (exif.find(b"II*\x00"), exif.find(b"MM\x00*")) if at >= 0]
    tiff = exif[min(starts):] if starts else b""
    try:
        order = "<" if tiff[:2] == b"II" else ">"
        (at,) = struct.unpack(order + "I", tiff[4:8])
        (count,) = struct.unpack(order + "H", tiff[at:at + 2])
        for entry in range(count):
            tag, _, _, value = struct.unpack(order + "HHIH", tiff[at + 2 + 12 * entry:
                                                                  at + 12 + 12 * entry])
            if tag == 0x0112:
                return value if value in ORIENTATIONS else 1
    except struct.error:
        pass
    return 1


def _lines_up(raw: "numpy.ndarray", colours: "numpy.ndarray") -> bool:
    """Whether stored 8-bit pixels, turned, are exactly the colours (a size alone would let a
    square image's alpha turn where its colours did not)."""
    import numpy as np

    if raw.shape[:2] != colours.shape[:2]:
        return False
    stored = raw[:, :, :3] if raw.shape[2] == 4 else np.repeat(raw[:, :, :1], 3, axis=2)
    return bool(np.array_equal(stored, colours))


def upright(pixels: "numpy.ndarray", orientation: int) -> "numpy.ndarray":
    """Stored pixels turned as OpenCV turns a file of this EXIF orientation."""
    import numpy as np

    if orientation not in ORIENTATIONS:
        return pixels
    transpose, turns, flip = ORIENTATIONS[orientation]
    if transpose:
        pixels = pixels.swapaxes(0, 1)
    pixels = np.rot90(pixels, turns)
    return pixels[:, ::-1] if flip else pixels


# ---- images and masks as the library reads them -------------------------------------------

def load(path: str, alpha: bool = True, what: str = "image", max_pixels: Optional[int] = None
         ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The colours and alpha of an image file (a regular file or a pipe): see `decode`."""
    try:
        data = files.read_bytes(path)
    except (OSError, ValueError):
        raise ValueError(f"Could not load {what} from {path}") from None
    return decode(data, path, alpha, max_pixels, what=what)


def read_image(path: str, mask: Optional[str] = None, keep_transparent: bool = False,
               max_side: Optional[int] = None
               ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The image and mask arrays `extract_colors` would read from these paths, with the
    image's transparent pixels (alpha at or below the library's mask threshold) left out unless
    `keep_transparent`. A mask of another size raises MaskSizeError. With `max_side`, both are
    then shrunk to fit it (see `shrink`)."""
    image, alpha = load(path, alpha=not keep_transparent)
    mask_array = None
    if mask is not None:
        mask_array, _ = load(mask, alpha=False, what="mask")
        if mask_array.shape[:2] != image.shape[:2]:
            (h, w), (ih, iw) = mask_array.shape[:2], image.shape[:2]
            raise MaskSizeError(f"the mask {mask} is {w} x {h} pixels and the image {path} "
                                f"{iw} x {ih}: a mask must have the image's size")
    if alpha is not None:
        # the alpha is the mask, as it stands, or with the mask's selection
        mask_array = alpha if mask_array is None else selection(mask_array, alpha)
    return shrink(image, mask_array, max_side)


def selection(mask: Optional["numpy.ndarray"], alpha: Optional["numpy.ndarray"]
              ) -> "numpy.ndarray":
    """The pixels the library analyses under a mask (as it reads one: a three-channel mask
    passes both its grey test and its per-channel test) and an alpha channel, as a one-channel
    mask of 255 and 0, which the library reads as the same selection."""
    import cv2
    import numpy as np

    from .tintmill import MASK_THRESHOLD

    chosen = None
    if mask is not None:
        chosen = mask > MASK_THRESHOLD
        if mask.ndim == 3:
            grey = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) > MASK_THRESHOLD
            chosen = grey & (cv2.cvtColor(chosen.astype(np.uint8) * 255, cv2.COLOR_BGR2GRAY)
                             > MASK_THRESHOLD)
    if alpha is not None:
        opaque = alpha > MASK_THRESHOLD
        chosen = opaque if chosen is None else chosen & opaque
    assert chosen is not None
    return chosen.astype(np.uint8) * 255


def shrink(image: "numpy.ndarray", mask: Optional["numpy.ndarray"], max_side: Optional[int]
           ) -> Tuple["numpy.ndarray", Optional["numpy.ndarray"]]:
    """The image, and its mask, shrunk with area averaging so that the longer side is at most
    `max_side` pixels; unchanged when it already fits or `max_side` is None.

    A shrunk pixel is analysed when more than half of its area was selected: the mask's
    selection (see `selection`) is averaged over the same areas as the colours. Averaging the
    mask's values instead would let a faint alpha over most of an area count as a selection.
    Nearest-neighbour sampling would pick one source pixel per block, from the block's corner,
    and so shift the mask against the colours by up to half a block.
    """
    if max_side is None:
        return image, mask
    if max_side < 1:
        raise ValueError(f"max_side must be at least 1, not {max_side}")
    import cv2
    import numpy as np

    height, width = image.shape[:2]
    if max(height, width) <= max_side:
        return image, mask
    scale = max_side / max(height, width)
    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    if mask is not None:
        chosen = (selection(mask, None) > 0).astype(np.float32)
        share = cv2.resize(chosen, size, interpolation=cv2.INTER_AREA)
        mask = (share > 0.5).astype(np.uint8) * 255
    return image, mask

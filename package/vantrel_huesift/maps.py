"""Where a target colour appears: the pixels of each distance band of the match report, in
three colours over a dimmed copy of the photo. The mask threshold and the band limits are the
extension's own (`MASK_THRESHOLD`, `DISTANCE_BANDS`), so that a map counts what the report
counts."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, Iterable, Optional, Sequence, Tuple

import numpy as np

from . import files

# B, G, R, from the outer band in: somewhat close, close, very close
BAND_COLOURS = ((0, 230, 255), (0, 140, 255), (255, 0, 255))
DIM = 0.35


def analysed_pixels(extractor, image: np.ndarray, mask: Optional[np.ndarray], lab_space: bool
                    ) -> Tuple[np.ndarray, np.ndarray]:
    """Where the match report looks, and the L*a*b* values it measures there: the feature
    image's pixels that pixel extraction keeps, after their round trip through RGB."""
    import cv2

    from .tintmill import MASK_THRESHOLD

    feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
    values = feature
    selected = np.ones(feature.shape[:2], bool)
    if mask is not None:
        values = extractor._apply_mask(feature, mask)
        # pixel extraction's selection: a three-channel mask is tested per channel, then as grey
        selected = mask > MASK_THRESHOLD
        if mask.ndim == 3:
            selected = cv2.cvtColor(selected.astype(np.uint8) * 255,
                                    cv2.COLOR_BGR2GRAY) > MASK_THRESHOLD
    selected = selected & ~np.all(values == 0, axis=2)
    rgb = cv2.cvtColor(feature, cv2.COLOR_LAB2RGB) if lab_space else feature
    return selected, cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2LAB)


def band_map(image: np.ndarray, selected: np.ndarray, lab: np.ndarray,
             target: Sequence[int]) -> Tuple[np.ndarray, Tuple[int, int, int]]:
    """The map image and the pixel counts of the three bands (somewhat, close, very close)."""
    import cv2

    from .tintmill import DISTANCE_BANDS

    t = cv2.cvtColor(np.uint8([[target]]), cv2.COLOR_RGB2LAB)[0][0].astype(np.int32)
    d2 = ((lab.astype(np.int32) - t) ** 2).sum(axis=2)
    shown = (image * DIM).astype(np.uint8)
    counts = []
    # squared distances, compared as the report compares them; the outer band is drawn first
    for limit, colour in zip(sorted(DISTANCE_BANDS, reverse=True), BAND_COLOURS):
        band = selected & (d2 < limit * limit)
        shown[band] = colour
        counts.append(int(band.sum()))
    return shown, (counts[0], counts[1], counts[2])


def file_names(targets: Iterable[str]) -> Dict[str, str]:
    """A file name per target: the name with anything but letters, digits, '.', '_' and '-'
    replaced, numbered when two targets come to the same name (as a case-blind disk sees it)."""
    names: Dict[str, str] = {}
    taken = set()
    for target in targets:
        base = re.sub(r"[^A-Za-z0-9._-]", "_", target)
        name, n = f"{base}.png", 1
        while name.lower() in taken:
            n += 1
            name = f"{base}_{n}.png"
        taken.add(name.lower())
        names[target] = name
    return names


def write_maps(extractor, image: np.ndarray, mask: Optional[np.ndarray],
               targets: Dict[str, Sequence[int]], folder: str, lab_space: bool
               ) -> Dict[str, Tuple[int, int, int]]:
    """One PNG per target in `folder`, named by `file_names`; returns each target's band
    counts."""
    import cv2

    Path(folder).mkdir(parents=True, exist_ok=True)
    selected, lab = analysed_pixels(extractor, image, mask, lab_space)
    names = file_names(targets)
    counts = {}
    for name, target in targets.items():
        shown, counts[name] = band_map(image, selected, lab, target)

        def write(file: str) -> None:
            if not cv2.imwrite(file, shown):
                raise OSError(f"could not write {file}")

        files.replace_named(str(Path(folder) / names[name]), write)
    return counts

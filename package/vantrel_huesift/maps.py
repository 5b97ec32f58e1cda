"""Where a target colour appears: the pixels of each distance band of the match report, in
three colours over a dimmed copy of the photo."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, Optional, Sequence, Tuple

import numpy as np

# B, G, R: somewhat close (< 50), close (< 30), very close (< 15)
BAND_COLOURS = ((0, 230, 255), (0, 140, 255), (255, 0, 255))
LIMITS = (2500, 900, 225)  # squared L*a*b* distances, as the report compares them
DIM = 0.35


def analysed_pixels(extractor, image: np.ndarray, mask: Optional[np.ndarray], lab_space: bool
                    ) -> Tuple[np.ndarray, np.ndarray]:
    """Where the match report looks, and the L*a*b* values it measures there: the feature
    image's pixels that pixel extraction keeps, after their round trip through RGB."""
    import cv2

    feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
    values = feature
    selected = np.ones(feature.shape[:2], bool)
    if mask is not None:
        values = extractor._apply_mask(feature, mask)
        selected = mask > 128
        if mask.ndim == 3:
            selected = cv2.cvtColor(selected.astype(np.uint8) * 255, cv2.COLOR_BGR2GRAY) > 128
    selected = selected & ~np.all(values == 0, axis=2)
    rgb = cv2.cvtColor(feature, cv2.COLOR_LAB2RGB) if lab_space else feature
    return selected, cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2LAB)


def band_map(image: np.ndarray, selected: np.ndarray, lab: np.ndarray,
             target: Sequence[int]) -> Tuple[np.ndarray, Tuple[int, int, int]]:
    """The map image and the pixel counts of the three bands (somewhat, close, very close)."""
    import cv2

    t = cv2.cvtColor(np.uint8([[target]]), cv2.COLOR_RGB2LAB)[0][0].astype(np.int32)
    d2 = ((lab.astype(np.int32) - t) ** 2).sum(axis=2)
    shown = (image * DIM).astype(np.uint8)
    counts = []
    for limit, colour in zip(LIMITS, BAND_COLOURS):
        band = selected & (d2 < limit)
        shown[band] = colour
        counts.append(int(band.sum()))
    return shown, (counts[0], counts[1], counts[2])


def file_name(target: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", target) + ".png"


def write_maps(extractor, image: np.ndarray, mask: Optional[np.ndarray],
               targets: Dict[str, Sequence[int]], folder: str, lab_space: bool
               ) -> Dict[str, Tuple[int, int, int]]:
    """One PNG per target in `folder`; returns each target's band counts."""
    import cv2

    Path(folder).mkdir(parents=True, exist_ok=True)
    selected, lab = analysed_pixels(extractor, image, mask, lab_space)
    counts = {}
    for name, target in targets.items():
        shown, counts[name] = band_map(image, selected, lab, target)
        path = str(Path(folder) / file_name(name))
        if not cv2.imwrite(path, shown):
            raise OSError(f"could not write {path}")
    return counts

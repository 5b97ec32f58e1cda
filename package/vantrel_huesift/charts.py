"""Colour charts written to files: the library's chart, and a file name per image of a batch."""

from __future__ import annotations

import hashlib
import os
import warnings
from collections import Counter
from pathlib import Path
from typing import Dict, List

from .files import same_file_key

NAME_MAX = 255  # bytes in one file name, where the file system does not say


def write_chart(extractor, colors: list, path: str) -> str:
    """Draws the colours with the extractor's chart and saves it to `path`; returns the file
    written, which has matplotlib's default suffix when `path` has none. Saving is all this is
    for: the command line and the batch workers draw on the Agg back end, which shows nothing."""
    import matplotlib
    import matplotlib.pyplot as plt

    before = set(plt.get_fignums())
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Agg cannot show; saving is all that is wanted
            extractor.visualize_colors(colors, path)
    finally:
        for number in set(plt.get_fignums()) - before:  # the chart's figure, no one else's
            plt.close(number)
    if os.path.splitext(path)[1][1:]:
        return path
    return path.rstrip(".") + "." + matplotlib.rcParams["savefig.format"]


def fitted(base: str, tail: str, limit: int) -> str:
    """`base + tail`, or when that is longer than `limit` bytes, as much of `base` as fits
    followed by a digest of the whole of it: the same image gets the same name in every run."""
    name = base + tail
    if len(os.fsencode(name)) <= limit:
        return name
    tail = "~" + hashlib.sha256(os.fsencode(base)).hexdigest()[:16] + tail
    return os.fsdecode(os.fsencode(base)[:limit - len(os.fsencode(tail))]) + tail


def chart_names(images: List[str], folder: str = ".") -> Dict[str, str]:
    """A distinct chart file name per image, from its path below the images' common folder,
    short enough for the file system that holds `folder`."""
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = NAME_MAX
    resolved = [Path(same_file_key(image)) for image in images]
    root = Path(os.path.commonpath([str(p.parent) for p in resolved])) if resolved else Path()
    names: Dict[str, str] = {}
    taken = set()
    stems = [p.relative_to(root).with_suffix("") for p in resolved]
    repeated = {stem for stem, count in Counter(stems).items() if count > 1}
    for image, path, stem in zip(images, resolved, stems):
        # a.png and a.jpg side by side keep their suffixes apart
        relative = path.relative_to(root) if stem in repeated else stem
        base = "__".join(relative.parts)
        name, n = fitted(base, "_colors.png", limit), 1
        while name in taken:
            n += 1
            name = fitted(base, f"_{n}_colors.png", limit)
        taken.add(name)
        names[image] = name
    return names

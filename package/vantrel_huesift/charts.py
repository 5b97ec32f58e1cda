"""Colour charts written to files: the library's chart, and a file name per image of a batch.

The chart is the class's own `visualize_colors`, which draws through pyplot's process-wide
current figure: every chart of this package is drawn under one lock, so that threads (a Dask
worker's, say) never draw into each other's figure, and only the figures it made are closed.
"""

from __future__ import annotations

import hashlib
import os
import threading
import warnings
from pathlib import Path
from typing import Dict, List

from . import files

NAME_MAX = 255  # bytes in one file name, where the file system does not say
TAIL = "_colors.png"

_pyplot = threading.Lock()


def write_chart(extractor, colors: list, path: str) -> str:
    """Draws the colours with the extractor's chart and saves it to `path` (written as every
    file is, see `files`: a pipe or a device is written through); returns the file written,
    which has matplotlib's default suffix when `path` is a regular file's name without one.
    Saving is all this is for: the command line and the batch draw on the Agg back end, which
    shows nothing."""
    import matplotlib

    def draw(name: str) -> None:
        import matplotlib.pyplot as plt

        with _pyplot:
            before = set(plt.get_fignums())
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # Agg cannot show; saving is all we want
                    extractor.visualize_colors(colors, name)
            finally:
                for number in set(plt.get_fignums()) - before:  # the chart's, no one else's
                    plt.close(number)

    return files.replace_named(path, draw, "." + matplotlib.rcParams["savefig.format"])


def chart_name(image: str, limit: int = NAME_MAX) -> str:
    """The chart file name of an image: its name's stem, then a digest of its resolved path,
    so that different files get different names in every run, from any folder, and the same
    file the same name; the stem is shortened to fit `limit` bytes."""
    key = files.same_file_key(image)
    tail = "_" + hashlib.sha256(os.fsencode(key)).hexdigest()[:10] + TAIL
    stem = os.fsencode(Path(key).stem)[:max(0, limit - len(tail))]
    return os.fsdecode(stem) + tail


def chart_names(images: List[str], folder: str = ".") -> Dict[str, str]:
    """A distinct chart file name per image (see `chart_name`), short enough for the file
    system that holds `folder`."""
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = NAME_MAX
    names: Dict[str, str] = {}
    taken = set()
    for image in images:
        name, n = chart_name(image, limit), 1
        while name in taken:  # two digests alike: numbered, in the order given
            n += 1
            name = chart_name(image, limit - len(f"_{n}")).replace(TAIL, f"_{n}{TAIL}")
        taken.add(name)
        names[image] = name
    return names

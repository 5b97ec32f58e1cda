"""Runs one colour library over a list of files and prints its times as JSON. Started by
peers.py, in the peers' own venv for a peer and in the project's for huesift, so that no
library shares a process (or its import) with another.

    peer_calls.py TOOL calls LIST   each file in turn, after one call to warm up; the seconds of
                                    each call (imports not timed)
    peer_calls.py TOOL pool LIST    all files over a pool of 2 processes forked after the import,
                                    as the peers' own batch helpers run them; the whole
                                    command is timed by the caller
"""

import json
import sys
import time

COLOURS = 5


def tool(name):
    """A function of a path giving that library's palette of COLOURS colours, default settings."""
    if name == "huesift":
        from vantrel_huesift.tintmill import ColorExtractor

        extractor = ColorExtractor(n_colors=COLOURS)
        return extractor.extract_colors
    if name == "huesift-rgb":
        from vantrel_huesift.tintmill import ColorExtractor

        extractor = ColorExtractor(n_colors=COLOURS, lab_space=False)
        return extractor.extract_colors
    if name == "pylette":  # shrinks every photo to 256 x 256 first (its default)
        from pylette import extract_colors

        return lambda path: extract_colors(image=path, palette_size=COLOURS)
    if name == "haishoku":  # counts colours of a thumbnail
        from haishoku.haishoku import Haishoku

        return Haishoku.getPalette
    if name == "colorthief":  # median cut over every 10th pixel
        from colorthief import ColorThief

        return lambda path: ColorThief(path).get_palette(color_count=COLOURS)
    if name == "fast-colorthief":  # the same in C++
        import fast_colorthief

        return lambda path: fast_colorthief.get_palette(path, color_count=COLOURS)
    raise SystemExit(f"unknown tool {name}")


_palette = None


def _one(path):
    return len(_palette(path))


def main():
    global _palette
    name, mode, listing = sys.argv[1:4]
    with open(listing) as f:
        files = f.read().split("\n")
    _palette = tool(name)
    if mode == "calls":
        _palette(files[0])
        times = []
        for path in files:
            start = time.perf_counter()
            _palette(path)
            times.append(time.perf_counter() - start)
        print(json.dumps(times))
    else:
        import multiprocessing

        with multiprocessing.get_context("fork").Pool(2) as pool:
            done = sum(1 for _ in pool.imap_unordered(_one, files, chunksize=4))
        print(json.dumps(done))


if __name__ == "__main__":
    main()

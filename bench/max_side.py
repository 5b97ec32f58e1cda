"""How far --max-side moves the answer, over the corpus photos: the dominant colours (k-means,
5 colours, the default extractor) and the pixel report of five targets at --max-side 256 and
512 against the full-size analysis, with the time of each.

- colour shift: the share-weighted L*a*b* distance from each full-size colour to the nearest
  colour of the shrunk answer (the library's distance);
- share shift: the percentage points that move when each full-size colour is paired with a
  shrunk one (the pairing of least share-weighted distance): half the sum of |share - share'|;
- report shift: the largest change of a target's close share (below 30) in the pixel report.
"""

import itertools
import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine  # noqa: E402
from corpus import PHOTOS, photo  # noqa: E402

TARGETS = {"red": (200, 30, 40), "navy": (40, 50, 110), "skin": (230, 190, 170),
           "sky": (130, 170, 220), "leaf": (60, 120, 40)}
SIDES = (256, 512)


def shifts(extractor, full, shrunk):
    import numpy as np

    def d(a, b):
        return extractor._color_distance_lab(np.array(a), np.array(b))

    weights = [c["percentage"] for c in full]
    nearest = sum(w * min(d(c["color"], s["color"]) for s in shrunk)
                  for w, c in zip(weights, full)) / sum(weights)
    best = min(itertools.permutations(range(len(shrunk)), min(len(full), len(shrunk))),
               key=lambda p: sum(w * d(full[i]["color"], shrunk[j]["color"])
                                 for i, (w, j) in enumerate(zip(weights, p))))
    moved = sum(abs(full[i]["percentage"] - shrunk[j]["percentage"]) for i, j in enumerate(best))
    return nearest, moved / 2


def main():
    import resource

    from vantrel_huesift.images import shrink
    from vantrel_huesift.tintmill import ColorExtractor

    extractor = ColorExtractor()
    print(f"--max-side against the full-size analysis, {len(PHOTOS)} photos, on {machine()}")
    print("| photo | size | side | colour shift | share shift (points) | report shift (points) "
          "| time | full-size time |")
    print("|---|---|---|---|---|---|---|---|")
    totals = {side: [] for side in SIDES}
    for name in PHOTOS:
        image = photo(name)
        start = time.perf_counter()
        full = extractor.extract_colors(image)
        full_report = extractor.find_color_matches(image, TARGETS)
        full_time = time.perf_counter() - start
        for side in SIDES:
            start = time.perf_counter()
            small, _ = shrink(image, None, side)
            colours = extractor.extract_colors(small)
            report = extractor.find_color_matches(small, TARGETS)
            seconds = time.perf_counter() - start
            colour, share = shifts(extractor, full, colours)
            moved = max(abs(full_report[t]["close_percentage"] - report[t]["close_percentage"])
                        for t in TARGETS)
            totals[side].append((colour, share, moved, seconds, full_time))
            h, w = image.shape[:2]
            print(f"| {name} | {w} x {h} | {side} | {colour:.2f} | {share:.2f} | {moved:.2f} | "
                  f"{seconds:.3f} s | {full_time:.3f} s |")
    for side in SIDES:
        rows = totals[side]
        mean = [sum(r[k] for r in rows) / len(rows) for k in range(5)]
        print(f"| mean | | {side} | {mean[0]:.2f} | {mean[1]:.2f} | {mean[2]:.2f} | "
              f"{mean[3]:.3f} s | {mean[4]:.3f} s |")
        print(f"| largest | | {side} | {max(r[0] for r in rows):.2f} | "
              f"{max(r[1] for r in rows):.2f} | {max(r[2] for r in rows):.2f} | | |")
    for side in SIDES:
        speed = sum(r[4] for r in totals[side]) / sum(r[3] for r in totals[side])
        print(f"speed-up at --max-side {side} (full-size time / shrunk time): {speed:.2f} x")
    print(f"peak RSS {gib(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)}")


if __name__ == "__main__":
    main()

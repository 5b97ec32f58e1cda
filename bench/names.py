"""Naming a million colours against each vocabulary: the first call (which finds the
candidates of the cells it meets), then the median and the worst of several runs, with their
CPU time and the peak RSS of a fresh process. Two sets of colours: uniform random ones (nearly
all distinct, every cell of the L*a*b* cube met) and pixels drawn from the benchmark photos.

The baselines, timed in the same run: the literal search, `_color_distance_lab` from the
colour to every entry and the first least one kept (what `_find_closest_color` does), and
`colour_name` one colour at a time; both per colour on a sample, times a million. Then the other
candidates for the vectorised path, once each against xkcd: scipy's cKDTree (with the ties
settled by a search of the whole table), the whole table's distances in float32 blocks, and a
lookup table over all 16.7 million colours."""

import statistics
import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure  # noqa: E402

COUNT = 1_000_000
RUNS = 7


def colours(kind):
    import cv2
    import numpy as np

    import corpus

    rng = np.random.default_rng(30)
    if kind == "random":
        return rng.integers(0, 256, (COUNT, 3), dtype=np.uint8)
    per = COUNT // len(corpus.PHOTOS)
    parts = []
    for name in corpus.PHOTOS:
        pixels = cv2.cvtColor(corpus.photo(name), cv2.COLOR_BGR2RGB).reshape(-1, 3)
        parts.append(pixels[rng.integers(0, len(pixels), per)])
    return np.concatenate(parts)


def peak_rss():
    """This process's peak resident memory in bytes. Linux's VmHWM starts anew with the
    process's program; getrusage's maxrss would keep the parent's size at the fork."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def _runs(vocabulary, kind):
    from vantrel_huesift import names

    rgb = colours(kind)
    known = names.get_vocabulary(vocabulary)
    before = peak_rss()

    def work():
        times = []
        for _ in range(RUNS):
            start, cpu = time.perf_counter(), time.process_time()
            answer = known.nearest(rgb)
            times.append((time.perf_counter() - start, time.process_time() - cpu))
        return times, before, peak_rss(), answer[0][:2000].tolist()

    return work


def per_colour(vocabulary, kind):
    """Seconds per colour of the literal search and of colour_name, on a sample."""
    import numpy as np

    from vantrel_huesift import names
    from vantrel_huesift.tintmill import ColorExtractor

    known = names.get_vocabulary(vocabulary)
    entries = [np.array(c) for c in known.rgb.tolist()]
    distance = ColorExtractor()._color_distance_lab
    sample = colours(kind)[:max(20, 20_000 // len(known))].tolist()
    start = time.perf_counter()
    literal = []
    for colour in sample:
        target = np.array(colour)
        literal.append(min(range(len(entries)), key=lambda i: distance(target, entries[i])))
    literal_seconds = (time.perf_counter() - start) / len(sample)
    start = time.perf_counter()
    one = [known.names.index(names.colour_name(c, vocabulary)[0]) for c in sample]
    one_seconds = (time.perf_counter() - start) / len(sample)
    return literal_seconds, one_seconds, literal == one, literal


def candidates():
    """The other ways, against xkcd, on the random colours: (what, seconds, same answer)."""
    import numpy as np
    from scipy.spatial import cKDTree

    from vantrel_huesift import names

    known = names.get_vocabulary("xkcd")
    rgb = colours("random")
    expected = known.nearest(rgb)[0]
    table = known._lab.astype(np.int64)
    found = []

    start = time.perf_counter()
    lab = names._lab(rgb).astype(np.int64)
    _, nearest = cKDTree(table).query(lab, k=2, workers=2)
    first = nearest[:, 0].copy()
    squared = [((lab - table[nearest[:, k]]) ** 2).sum(axis=1) for k in (0, 1)]
    tied = np.flatnonzero(squared[0] == squared[1])  # the tree keeps any of equal ones
    for part in np.array_split(tied, len(tied) // 2048 + 1):
        first[part] = ((lab[part, None] - table) ** 2).sum(axis=2).argmin(axis=1)
    found.append(("scipy cKDTree, 2 workers, ties searched", time.perf_counter() - start,
                  np.array_equal(first, expected)))

    start = time.perf_counter()
    points = names._points(names._lab(rgb))
    whole = np.concatenate([(points[s:s + 4096] @ known._weights.T).argmin(axis=1)
                            for s in range(0, len(points), 4096)])
    found.append(("the whole table, float32 blocks", time.perf_counter() - start,
                  np.array_equal(whole, expected)))

    start = time.perf_counter()
    every = np.arange(1 << 24, dtype=np.uint32)
    lookup = np.concatenate([known.nearest(np.stack(
        [part >> 16, part >> 8 & 255, part & 255], axis=1).astype(np.uint8))[0].astype(np.uint16)
        for part in np.array_split(every, 16)])
    built = time.perf_counter() - start
    start = time.perf_counter()
    looked = lookup[(rgb[:, 0].astype(np.uint32) << 16) | (rgb[:, 1].astype(np.uint32) << 8)
                    | rgb[:, 2]]
    found.append((f"lookup table over 16.7 M colours (built in {built:.2f} s, 32 MiB)",
                  time.perf_counter() - start, np.array_equal(looked, expected)))
    return found


def main():
    print(f"naming {COUNT:,} colours, on {machine()}")
    for kind in ("random", "photos"):
        print(f"  {kind} colours")
        for vocabulary in ("xkcd", "css", "basic"):
            _, _, (times, before, rss, head) = measure(_runs, vocabulary, kind)
            first, cpu_first = times[0]
            warm = [t for t, _ in times[1:]]
            median = statistics.median(warm)
            literal, one, same, expected = per_colour(vocabulary, kind)
            print(f"    {vocabulary:5}: first call {first:.3f} s ({cpu_first:.3f} s CPU); then "
                  f"median {median:.3f} s, worst {max(warm):.3f} s (CPU median "
                  f"{statistics.median(c for _, c in times[1:]):.3f} s); peak RSS {gib(rss)} "
                  f"({gib(before)} before naming)")
            print(f"           literal search per colour: {literal * COUNT:,.0f} s for "
                  f"{COUNT:,} ({literal * COUNT / median:,.0f} x the median); colour_name one "
                  f"at a time: {one * COUNT:,.0f} s ({one * COUNT / median:,.0f} x); same "
                  f"names: {same and head[:len(expected)] == expected}")
    print("  other candidates, xkcd, random colours:")
    for what, seconds, same in candidates():
        print(f"    {what}: {seconds:.3f} s, same names: {same}")


if __name__ == "__main__":
    main()

"""extract_colors with k-means over the photo corpus, each photo upscaled to 4000 x 3000
(12 MP), in both feature spaces, with k of 3, 5 and 8: the median and worst time per case,
peak RSS, how often scikit-learn's own call was needed (never, is the goal), and the literal
call timed in the same run for k = 5 (`--literal-all` for every k; that takes an hour;
`--no-literal` for none). Then larger k in L*a*b* (16, 32, 64) beside k = 8 of the same run,
and the photos at their own sizes in L*a*b*, k = 5.

The literal call is extract_colors through the documented steps: the same extractor with the
module's KMeans bound to a subclass of scikit-learn's own, which turns the native k-means off
and leaves every other step alone."""

import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure  # noqa: E402
from corpus import PHOTOS, median, photo  # noqa: E402

TWELVE_MP = (4000, 3000)


def extract(name, size, lab_space, k, literal):
    import warnings

    from sklearn.cluster import KMeans
    from vantrel_huesift import tintmill

    warnings.simplefilter("ignore")
    fits = []
    original = KMeans._check_params_vs_input

    def counted(self, X, *args, **kwargs):  # runs only inside scikit-learn's own fit
        fits.append(len(X))
        return original(self, X, *args, **kwargs)

    KMeans._check_params_vs_input = counted
    if literal:
        class Literal(KMeans):  # not the loaded class: the native path stands down
            pass

        tintmill.KMeans = Literal
    image = photo(name, size)
    ext = tintmill.ColorExtractor(n_colors=k, lab_space=lab_space)
    return lambda: (ext.extract_colors(image), len(fits))


def main():
    literal_all = "--literal-all" in sys.argv
    literal_none = "--no-literal" in sys.argv
    print(f"k-means extract_colors over {len(PHOTOS)} photos at 4000 x 3000, on {machine()}")
    for lab_space in (True, False):
        space = "L*a*b*" if lab_space else "RGB"
        for k in (3, 5, 8):
            times, literal_times, peaks, fallbacks, same = [], [], [], 0, True
            for name in PHOTOS:
                seconds, rss, (records, fits) = measure(extract, name, TWELVE_MP, lab_space, k,
                                                        False)
                times.append(seconds)
                peaks.append(rss)
                fallbacks += fits > 0
                line = f"    {name:12} {seconds:6.2f} s  {gib(rss)}"
                if (k == 5 or literal_all) and not literal_none:
                    literal, _, (expected, _) = measure(extract, name, TWELVE_MP, lab_space, k,
                                                        True)
                    literal_times.append(literal)
                    same &= records == expected
                    line += f"   literal {literal:6.1f} s ({literal / seconds:5.1f} x)"
                print(line, flush=True)
            summary = (f"  {space:6} k = {k}: median {median(times):.2f} s, worst "
                       f"{max(times):.2f} s ({max(times) / median(times):.2f} x the median), "
                       f"peak RSS {gib(max(peaks))}, scikit-learn's own call {fallbacks} times")
            if literal_times:
                ratios = [lit / t for lit, t in zip(literal_times, times)]
                summary += (f"; literal median {median(literal_times):.1f} s, speed-up median "
                            f"{median(ratios):.1f} x, least {min(ratios):.1f} x; identical "
                            f"records: {same}")
            print(summary, flush=True)
    print("  larger k, L*a*b*: median and worst, and the ratio of the medians to k = 8's")
    eights = None
    for k in (8, 16, 32, 64):
        times = [measure(extract, name, TWELVE_MP, True, k, False)[0] for name in PHOTOS]
        eights = eights or median(times)
        print(f"    k = {k:2}: median {median(times):6.2f} s, worst {max(times):6.2f} s, "
              f"{median(times) / eights:5.2f} x k = 8", flush=True)
    print("  at their own sizes, L*a*b*, k = 5:")
    times = []
    for name in PHOTOS:
        seconds, rss, _ = measure(extract, name, None, True, 5, False)
        times.append(seconds)
        shape = photo(name).shape
        print(f"    {name:12} {shape[1]:4} x {shape[0]:<4} {seconds:6.3f} s  {gib(rss)}")
    print(f"  median {median(times):.3f} s, worst {max(times):.3f} s")


if __name__ == "__main__":
    main()

"""extract_colors with k-means against the literal call it stands for, at 12 MP and 0.3 MP.

The baseline is extract_colors through the documented steps: the same extractor with the
module's KMeans bound to a subclass of scikit-learn's own, which turns the native k-means off
and leaves every other step alone.
"""

import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, sample, upscaled  # noqa: E402


def extract(image_name, literal):
    from vantrel_huesift import tintmill

    if literal:
        class Literal(tintmill.KMeans):  # not the loaded class: the native path stands down
            pass

        tintmill.KMeans = Literal
    image = upscaled() if image_name == "12 MP" else sample()
    ext = tintmill.ColorExtractor(n_colors=5)
    return lambda: ext.extract_colors(image)


def main():
    print(f"k-means extract_colors, n_colors 5, on {machine()}")
    for name in ("12 MP", "0.3 MP"):
        ours, ours_rss, records = measure(extract, name, False)
        literal, literal_rss, expected = measure(extract, name, True)
        print(f"  {name:7} native   {ours:8.2f} s   peak RSS {gib(ours_rss)}")
        print(f"  {name:7} literal  {literal:8.2f} s   peak RSS {gib(literal_rss)}")
        print(f"  {name:7} speed-up {literal / ours:8.1f} x   identical records: "
              f"{records == expected}")


if __name__ == "__main__":
    main()

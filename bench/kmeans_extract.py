"""extract_colors with k-means on a 12-megapixel photo, against scikit-learn's KMeans alone."""

import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, upscaled  # noqa: E402


def library():
    from vantrel_huesift.tintmill import ColorExtractor
    image = upscaled()
    return lambda: ColorExtractor(n_colors=5).extract_colors(image)


def baseline():
    from sklearn.cluster import KMeans
    from vantrel_huesift.tintmill import ColorExtractor
    ext = ColorExtractor(n_colors=5)
    pixels = ext._extract_pixels(ext._convert_to_feature_space(ext._preprocess_image(upscaled())))
    return lambda: KMeans(n_clusters=5, random_state=42, n_init=10).fit_predict(pixels) is None


def own_steps():
    """The library's own work around the clustering, timed step by step."""
    import time

    import numpy as np
    from vantrel_huesift.tintmill import ColorExtractor
    ext = ColorExtractor(n_colors=5)
    image = upscaled()
    labels = np.random.default_rng(0).integers(0, 5, image.shape[0] * image.shape[1])

    def run():
        times = {}
        start = time.perf_counter()
        feature = ext._convert_to_feature_space(ext._preprocess_image(image))
        times["preprocessing and feature space"] = time.perf_counter() - start
        start = time.perf_counter()
        ext._extract_pixels(feature)
        times["pixel matrix"] = time.perf_counter() - start
        start = time.perf_counter()
        ext._calculate_percentages(labels)
        times["percentages"] = time.perf_counter() - start
        return times
    return run


def main():
    print(f"k-means extract_colors, 4000 x 3000, on {machine()}")
    ours, ours_rss, records = measure(library)
    kmeans_only, base_rss, _ = measure(baseline)
    print(f"  extract_colors         {ours:8.2f} s   peak RSS {gib(ours_rss)}")
    print(f"  KMeans.fit_predict     {kmeans_only:8.2f} s   peak RSS {gib(base_rss)} (whole run)")
    print(f"  ratio                  {ours / kmeans_only:8.3f}")
    print(f"  difference             {(ours - kmeans_only) / ours * 100:8.2f} % of the total "
          "(KMeans itself varies by several % between runs)")
    _, _, steps = measure(own_steps)
    own = sum(steps.values())
    for name, seconds in steps.items():
        print(f"    {name:32} {seconds:7.3f} s")
    print(f"  the library's own steps {own:7.3f} s = {own / ours * 100:.2f} % of extract_colors")
    print(f"  colours: {records}")


if __name__ == "__main__":
    main()

"""extract_colors with k-means on a 12-megapixel photo, against scikit-learn's KMeans alone."""

import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, upscaled  # noqa: E402


def library():
    from vantrel_huesift.tintmill import ColorExtractor
    return ColorExtractor(n_colors=5).extract_colors(upscaled())


def baseline():
    from sklearn.cluster import KMeans
    from vantrel_huesift.tintmill import ColorExtractor
    ext = ColorExtractor(n_colors=5)
    image = upscaled()
    pixels = ext._extract_pixels(ext._convert_to_feature_space(ext._preprocess_image(image)))
    start = time.perf_counter()
    KMeans(n_clusters=5, random_state=42, n_init=10).fit_predict(pixels)
    return time.perf_counter() - start


def main():
    print(f"k-means extract_colors, 4000 x 3000, on {machine()}")
    ours, ours_rss, records = measure(library)
    _, base_rss, kmeans_only = measure(baseline)
    print(f"  extract_colors         {ours:8.2f} s   peak RSS {gib(ours_rss)}")
    print(f"  KMeans.fit_predict     {kmeans_only:8.2f} s   peak RSS {gib(base_rss)} (whole run)")
    print(f"  ratio                  {ours / kmeans_only:8.3f}")
    print(f"  library overhead       {(ours - kmeans_only) / ours * 100:8.2f} % of the total")
    print(f"  colours: {records}")


if __name__ == "__main__":
    main()

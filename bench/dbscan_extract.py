"""extract_colors with DBSCAN on a 12-megapixel photo, and the literal scikit-learn call on a
76 800-pixel crop with its labels compared."""

import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, sample, upscaled  # noqa: E402


def library_12mp(lab_space):
    from vantrel_huesift.tintmill import ColorExtractor
    image = upscaled()
    return lambda: ColorExtractor(algorithm="dbscan", lab_space=lab_space).extract_colors(image)


def crop_pixels():
    from vantrel_huesift.tintmill import ColorExtractor
    ext = ColorExtractor(algorithm="dbscan")
    image = sample()[100:340, 100:420]  # 240 x 320 = 76 800 pixels
    return ext._extract_pixels(ext._convert_to_feature_space(ext._preprocess_image(image)))


def library_crop():
    from vantrel_huesift.tintmill import ColorExtractor
    pixels = crop_pixels()
    return lambda: ColorExtractor(n_colors=10 ** 6)._cluster_colors_dbscan(pixels)[1]


def literal_crop():
    from sklearn.cluster import DBSCAN
    from sklearn.preprocessing import StandardScaler
    pixels = crop_pixels()

    def run():
        scaled = StandardScaler().fit_transform(pixels)
        return DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(scaled)
    return run


def main():
    import numpy as np
    print(f"DBSCAN, on {machine()}")
    for lab_space in (True, False):
        seconds, rss, records = measure(library_12mp, lab_space)
        space = "L*a*b*" if lab_space else "RGB"
        print(f"  extract_colors 4000 x 3000 ({space:6}) {seconds:8.2f} s   peak RSS {gib(rss)}")
        print(f"    {records}")
    ours, ours_rss, ours_labels = measure(library_crop)
    theirs, theirs_rss, their_labels = measure(literal_crop)
    print(f"  76 800-pixel crop, library            {ours:8.2f} s   peak RSS {gib(ours_rss)}")
    print(f"  76 800-pixel crop, scikit-learn       {theirs:8.2f} s   peak RSS {gib(theirs_rss)}")
    print(f"  ratio (scikit-learn / library)        {theirs / ours:8.1f}")
    print(f"  labels identical: {bool(np.array_equal(ours_labels, their_labels))}")


if __name__ == "__main__":
    main()

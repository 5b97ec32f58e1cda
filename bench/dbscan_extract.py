"""extract_colors with DBSCAN: the sample photo at 12 and 0.3 megapixels, uniform noise, and a
few hundred pixels, in both feature spaces; the literal scikit-learn call on a 76 800-pixel
crop with its labels compared.

With HUESIFT_BASELINE_SITE naming the install folder of another build (for instance
`pip install --no-deps --target build/site-baseline <older checkout>`), each case is timed
on it too, in the same run, and the ratio printed; noise that would take that build more
than a few minutes is timed on it at a smaller size."""

import os
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, sample, upscaled  # noqa: E402

BASELINE = os.environ.get("HUESIFT_BASELINE_SITE")


def extractor(site, lab_space, preprocessing=True):
    if site:
        sys.path.insert(0, site)
    from vantrel_huesift.tintmill import ColorExtractor
    return ColorExtractor(algorithm="dbscan", lab_space=lab_space, preprocessing=preprocessing)


def noise(side):
    import numpy as np
    return np.random.default_rng(0).integers(0, 256, (side, side, 3), dtype=np.uint8)


IMAGES = {
    "sample photo 4000 x 3000": (upscaled, True),
    "sample photo 640 x 480": (sample, True),
    "uniform noise 3464 x 3464": (lambda: noise(3464), False),
    "uniform noise 300 x 300": (lambda: noise(300), False),
    "uniform noise 20 x 15": (lambda: noise(20)[:15], False),
}


def run_extract(site, name, lab_space):
    make, preprocessing = IMAGES[name]
    image = make()
    ext = extractor(site, lab_space, preprocessing)
    return lambda: ext.extract_colors(image)


def crop_pixels():
    ext = extractor(None, True)
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
    for name in IMAGES:
        for lab_space in (True, False):
            space = "L*a*b*" if lab_space else "RGB"
            seconds, rss, records = measure(run_extract, None, name, lab_space)
            line = f"  {name:26} {space:6} {seconds:8.3f} s   peak RSS {gib(rss)}"
            slow = name.startswith("uniform noise 3464") or (name.startswith("uniform noise 300")
                                                            and not lab_space)
            if BASELINE and not slow:
                base, base_rss, base_records = measure(run_extract, BASELINE, name, lab_space)
                line += (f"   baseline {base:8.3f} s, {gib(base_rss)}: {base / seconds:6.1f} x"
                         f"{'' if base_records == records else '   RECORDS DIFFER'}")
            print(line)
            print(f"    {records[:3]}")
    ours, ours_rss, ours_labels = measure(library_crop)
    theirs, theirs_rss, their_labels = measure(literal_crop)
    print(f"  76 800-pixel crop, library            {ours:8.2f} s   peak RSS {gib(ours_rss)}")
    print(f"  76 800-pixel crop, scikit-learn       {theirs:8.2f} s   peak RSS {gib(theirs_rss)}")
    print(f"  ratio (scikit-learn / library)        {theirs / ours:8.1f}")
    print(f"  labels identical: {bool(np.array_equal(ours_labels, their_labels))}")


if __name__ == "__main__":
    main()

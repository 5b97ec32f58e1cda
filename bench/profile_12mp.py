"""Where a 12 MP extract_colors call goes, at 1 and 2 threads (threadpoolctl's limit, which
OpenCV's calls and the native cores follow): each step of the chain, timed through the
extractor's own step methods on the corpus at 4000 x 3000, L*a*b*, k = 5; the median and worst
over the photos per step, and the whole call beside the sum of its parts. The OpenCV calls
inside preprocessing are timed alone too, with cv2.setNumThreads, as they are the part that
no change of ours can shrink."""

import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import machine, measure  # noqa: E402
from corpus import PHOTOS, median, photo  # noqa: E402

STEPS = ["read (cv2.imread)", "_preprocess_image", "_convert_to_feature_space",
         "_extract_pixels", "_cluster_colors_kmeans", "_calculate_percentages",
         "extract_colors, whole"]
OPENCV = ["cvtColor BGR2LAB", "CLAHE", "cvtColor LAB2BGR", "bilateralFilter"]


def steps(name, threads):
    import os
    import tempfile
    import warnings

    import cv2
    from threadpoolctl import threadpool_limits
    from vantrel_huesift import tintmill

    warnings.simplefilter("ignore")
    image = photo(name, (4000, 3000))
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "photo.png")
    cv2.imwrite(path, image)

    def run():
        times = {}

        def timed(label, f, *args):
            start = time.perf_counter()
            result = f(*args)
            times[label] = time.perf_counter() - start
            return result

        with threadpool_limits(threads):
            cv2.setNumThreads(threads)
            ext = tintmill.ColorExtractor(n_colors=5)
            ext.extract_colors(cv2.resize(image, (400, 300)))  # thread pools started, untimed
            timed("read (cv2.imread)", cv2.imread, path)
            pre = timed("_preprocess_image", ext._preprocess_image, image)
            feature = timed("_convert_to_feature_space", ext._convert_to_feature_space, pre)
            pixels = timed("_extract_pixels", ext._extract_pixels, feature)
            _, labels = timed("_cluster_colors_kmeans", ext._cluster_colors_kmeans, pixels)
            timed("_calculate_percentages", ext._calculate_percentages, labels)
            timed("extract_colors, whole", ext.extract_colors, image)
            lab = timed("cvtColor BGR2LAB", cv2.cvtColor, image, cv2.COLOR_BGR2LAB)
            clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
            lab[:, :, 0] = timed("CLAHE", clahe.apply, lab[:, :, 0])
            back = timed("cvtColor LAB2BGR", cv2.cvtColor, lab, cv2.COLOR_LAB2BGR)
            timed("bilateralFilter", cv2.bilateralFilter, back, 9, 75, 75)
        os.unlink(path)
        os.rmdir(folder)
        return times
    return run


def main():
    print(f"a 12 MP call step by step, L*a*b*, k = 5, {len(PHOTOS)} photos, on {machine()}")
    figures = {1: [], 2: []}
    for name in PHOTOS:
        for threads in (1, 2):
            figures[threads].append(measure(steps, name, threads)[2])
    for threads, runs in figures.items():
        print(f"  {threads} thread{'s' if threads > 1 else ''}: median (worst) seconds")
        parts = 0.0
        for label in STEPS + OPENCV:
            values = [r[label] for r in runs]
            if label in STEPS[1:-1]:
                parts += median(values)
            indent = "      " if label in OPENCV else "    "
            print(f"{indent}{label:32} {median(values):7.3f} ({max(values):7.3f})")
        print(f"    sum of the steps' medians after the read   {parts:7.3f}")


if __name__ == "__main__":
    main()

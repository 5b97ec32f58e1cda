import threading

import cv2
import numpy as np
from matplotlib import cbook

SAMPLE = cv2.imread(str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False)))
TARGETS = {"black": (0, 0, 0), "skin": (230, 190, 170), "navy": (40, 50, 110)}


def photos():
    crops = []
    for i in range(8):
        y, x = 40 * i, 30 * i
        crops.append(np.ascontiguousarray(SAMPLE[y:y + 120, x:x + 140]))
    return crops


def work(ext, image):
    return (ext.extract_colors(image), ext.find_color_matches(image, TARGETS),
            ext.analyze_color_similarity(image, {"black": (0, 0, 0)}))


def test_eight_threads_share_one_extractor(tm):
    for ext in (tm.ColorExtractor(3), tm.ColorExtractor(3, "dbscan", lab_space=False)):
        images = photos()
        serial = [work(ext, image) for image in images]
        results = [None] * len(images)
        errors = []

        def run(i):
            try:
                results[i] = work(ext, images[i])
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(images))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert results == serial

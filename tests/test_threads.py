import threading

import cv2
import numpy as np
from matplotlib import cbook

SAMPLE_PATH = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
SAMPLE = cv2.imread(SAMPLE_PATH)
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


def threads_seen(run):
    """The most threads this process had at once, beyond those it had before, while `run` ran
    (native cores drop the GIL). Counted by id, so a thread of an earlier test that ends
    meanwhile cannot hide a new one."""
    import psutil
    me, seen, done = psutil.Process(), [0], threading.Event()

    def watch():
        while not done.is_set():
            seen.append(len({t.id for t in me.threads()} - before) - 1)  # less the watcher

    watcher = threading.Thread(target=watch)
    before = {t.id for t in me.threads()}
    watcher.start()
    try:
        run()
    finally:
        done.set()
        watcher.join()
    return max(seen)


def test_native_threads_follow_scikit_learns_controls(tm):
    """One thread policy for every native core: threadpoolctl and OMP_NUM_THREADS, as for
    scikit-learn's own loops; records never depend on it."""
    from threadpoolctl import threadpool_limits
    from support import run_python
    image = cv2.resize(SAMPLE, (2000, 1500))
    found = {}
    for algorithm in ("kmeans", "dbscan"):
        ext = tm.ColorExtractor(5, algorithm, lab_space=False)
        records = [ext.extract_colors(image)]  # OpenCV's own pool starts on first use
        for limit in (1, 2):
            with threadpool_limits(limit):
                extra = threads_seen(lambda: records.append(ext.extract_colors(image)))
            assert extra == limit - 1, (algorithm, limit)
        assert records[1] == records[2] == records[0]
        found[algorithm] = records[0]
    out = run_python(f"""
        import os, cv2
        os.environ["OMP_NUM_THREADS"] = "8"
        from vantrel_huesift import tintmill
        image = cv2.resize(cv2.imread({SAMPLE_PATH!r}), (2000, 1500))
        print({{a: tintmill.ColorExtractor(5, a, lab_space=False).extract_colors(image)
               for a in ("kmeans", "dbscan")}})
    """)
    assert out.strip() == str(found)

"""Repeated calls, valid and raising, must not grow Python blocks, memory or descriptors."""

import copy
import gc
import os
import pickle
import sys

import matplotlib.pyplot as plt
import numpy as np
import psutil
import pytest

from support import FULL

# Counts of the release build: a sanitizer's allocator keeps freed memory in quarantine.
pytestmark = pytest.mark.skipif(os.environ.get("HUESIFT_SANITIZED") == "1",
                                reason="leak loops measure the release build")

PROCESS = psutil.Process(os.getpid())
RNG = np.random.default_rng(0)
IMAGE = RNG.integers(0, 256, (16, 16, 3), dtype=np.uint8)
MASK = RNG.choice(np.array([0, 255], np.uint8), (16, 16))
MASK3 = np.repeat(MASK[:, :, None], 3, axis=2)
PIXELS = RNG.integers(0, 256, (60, 3), dtype=np.uint8)
LABELS = RNG.integers(-1, 4, 500)
RECORDS = [{"color": (200, 30, 30), "percentage": 60.0},
           {"color": (20, 20, 220), "percentage": 40.0}]
TARGETS = {"red": (255, 0, 0), "navy": [20, 20, 120]}


def snapshot():
    gc.collect()
    return (sys.getallocatedblocks(), PROCESS.memory_full_info().uss,
            len(os.listdir("/proc/self/fd")))


def growth(fn, calls):
    before = snapshot()
    for _ in range(calls):
        fn()
    after = snapshot()
    return tuple(a - b for a, b in zip(after, before))


def assert_flat(fn, calls):
    for _ in range(min(100, calls)):  # caches of the libraries fill on first use
        fn()
    for attempt in range(4):
        n = calls * 2 ** attempt
        blocks, uss, fds = growth(fn, n)
        # A reference leaked per call grows by at least one block a call.
        if blocks < max(100, n // 2) and uss < 4 * 2 ** 20 and fds == 0:
            return
    pytest.fail(f"growth after {calls * 8} calls: {blocks} blocks, {uss} bytes, {fds} fds")


def raises(fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except Exception:
            return
        raise AssertionError("expected an exception")
    return call


def operations(tm):
    ext = tm.ColorExtractor(n_colors=1000, preprocessing=False)
    pre = tm.ColorExtractor(n_colors=1000)
    rgb = tm.ColorExtractor(n_colors=1000, lab_space=False)
    saved = ext.__reduce__()[2]
    ops = {
        "construct": lambda: tm.ColorExtractor(3, "dbscan", True, False),
        "construct raises": raises(tm.ColorExtractor, "x"),
        "construct bad algorithm": raises(tm.ColorExtractor, 3, 5),
        "reduce": ext.__reduce__,
        "setstate": lambda: tm.ColorExtractor().__setstate__(saved),
        "setstate raises": raises(tm.ColorExtractor().__setstate__, saved[:2]),
        "unpickle": lambda: tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor,
                                                             ext.__reduce__()[1][1], saved),
        "unpickle raises": raises(tm.__pyx_unpickle_ColorExtractor, int, 1, None),
        "pickle round trip": lambda: pickle.loads(pickle.dumps(ext)),
        "deepcopy": lambda: copy.deepcopy(ext),
        "preprocess": lambda: pre._preprocess_image(IMAGE),
        "preprocess raises": raises(pre._preprocess_image, None),
        "feature space": lambda: ext._convert_to_feature_space(IMAGE),
        "feature space raises": raises(ext._convert_to_feature_space, [1]),
        "apply mask": lambda: ext._apply_mask(IMAGE, MASK3),
        "apply mask raises": raises(ext._apply_mask, IMAGE, MASK[:3]),
        "extract pixels": lambda: ext._extract_pixels(IMAGE, MASK),
        "extract pixels fallback": lambda: ext._extract_pixels(IMAGE.astype(np.float32)),
        "extract pixels raises": raises(ext._extract_pixels, IMAGE, "mask"),
        "kmeans shortcut": lambda: ext._cluster_colors_kmeans(PIXELS),
        "kmeans raises": raises(ext._cluster_colors_kmeans, None),
        "percentages": lambda: ext._calculate_percentages(LABELS),
        "percentages fallback": lambda: ext._calculate_percentages(LABELS.astype(float)),
        "percentages raises": raises(ext._calculate_percentages, "labels"),
        "extract colors": lambda: ext.extract_colors(IMAGE, MASK),
        "extract colors raises": raises(tm.ColorExtractor(algorithm="x").extract_colors, IMAGE),
        "distance": lambda: ext._color_distance_lab(np.array([1, 2, 3]), np.array([9, 9, 9])),
        "distance raises": raises(ext._color_distance_lab, (1, 2, 3), None),
        "closest": lambda: ext._find_closest_color((1, 2, 3), RECORDS),
        "closest raises": raises(ext._find_closest_color, [1, 2, 3], RECORDS),
        "similarity": lambda: rgb.analyze_color_similarity(IMAGE, {"red": (255, 0, 0)}),
        "similarity raises": raises(ext.analyze_color_similarity, IMAGE, {"red": [255, 0, 0]}),
        "matches native": lambda: ext.find_color_matches(IMAGE, TARGETS, MASK),
        "matches raises": raises(ext.find_color_matches, IMAGE, {"bad": (1, 2)}),
    }
    if FULL:
        ops["device"] = lambda: tm.get_compute_device("auto")
        ops["device raises"] = raises(tm.get_compute_device, "force")
    return ops


@pytest.mark.parametrize("name", list(operations(__import__("vantrel_huesift.tintmill",
                                                            fromlist=["x"]))))
def test_no_growth(tm, name):
    assert_flat(operations(tm)[name], 500)


def test_chart_no_growth(tm):
    ext = tm.ColorExtractor()

    def chart():
        ext.visualize_colors(RECORDS)
        plt.close("all")

    assert_flat(chart, 60)


def test_dbscan_no_growth(tm):
    ext = tm.ColorExtractor()
    pixels = np.repeat(PIXELS, 2, axis=0)
    assert_flat(lambda: ext._cluster_colors_dbscan(pixels), 10)
    assert_flat(raises(ext._cluster_colors_dbscan, np.zeros((0, 3), np.uint8)), 10)

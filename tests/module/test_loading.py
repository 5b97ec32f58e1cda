import gc
import json

import numpy
import pytest
import cv2
import matplotlib.pyplot
import sklearn.cluster
import sklearn.preprocessing
import typing
import warnings
from PIL import Image

from support import FULL, cpu_only, full_only, run_python

GPU_STUBS = """
import sys, types
cupy = types.ModuleType("cupy")
cuml = types.ModuleType("cuml")
cluster = types.ModuleType("cuml.cluster")
class KMeans: pass
class DBSCAN: pass
cluster.KMeans = KMeans
cluster.DBSCAN = DBSCAN
cuml.cluster = cluster
sys.modules.update({"cupy": cupy, "cuml": cuml, "cuml.cluster": cluster})
"""

COMMON_NAMES = ["ColorExtractor", "np", "cv2", "KMeans", "DBSCAN", "StandardScaler",
                "euclidean_distances", "List", "Tuple", "Optional", "Union", "Dict", "Image",
                "plt"]
GPU_NAMES = ["warnings", "GPU_AVAILABLE", "cp", "KMeansGPU", "DBSCANGPU", "get_compute_device"]
# The engine's rules, published last for the package's Python code that must agree with them.
RULE_NAMES = ["MASK_THRESHOLD", "DISTANCE_BANDS", "STATE_FIELDS", "SKLEARN_RELEASES"]


def test_names_are_bound_in_loading_order():
    # A fresh interpreter: tests that rebind names change the namespace's order.
    out = run_python("""
        from vantrel_huesift import tintmill
        print(" ".join(name for name in vars(tintmill) if not name.startswith("__")))
        print("__pyx_unpickle_ColorExtractor" in vars(tintmill))
    """)
    names, restore = out.splitlines()
    assert names.split() == COMMON_NAMES + (GPU_NAMES if FULL else []) + RULE_NAMES
    assert restore == "True"


def test_names_are_bound_to_their_libraries(tm):
    assert tm.np is numpy
    assert tm.cv2 is cv2
    assert tm.plt is matplotlib.pyplot
    assert tm.KMeans is sklearn.cluster.KMeans
    assert tm.DBSCAN is sklearn.cluster.DBSCAN
    assert tm.StandardScaler is sklearn.preprocessing.StandardScaler
    assert tm.Image is Image
    assert tm.Dict is typing.Dict and tm.Union is typing.Union
    assert (tm.MASK_THRESHOLD, tm.DISTANCE_BANDS) == (128, (15, 30, 50))
    assert tm.ColorExtractor.__module__ == "vantrel_huesift.tintmill"
    assert tm.ColorExtractor.__qualname__ == "ColorExtractor"
    # The state keeps the originals to compare against, and shows them to the collector.
    held = gc.get_referents(tm)
    for kept in (numpy, cv2, numpy.unique, sklearn.cluster.DBSCAN.fit_predict,
                 sklearn.preprocessing.StandardScaler.partial_fit, tm.ColorExtractor):
        assert any(obj is kept for obj in held)


@full_only
def test_gpu_names_without_gpu_libraries(tm):
    assert tm.warnings is warnings
    assert tm.GPU_AVAILABLE is False
    assert tm.cp is None and tm.KMeansGPU is None and tm.DBSCANGPU is None


@cpu_only
def test_cpu_profile_has_no_gpu_names(tm):
    for name in GPU_NAMES:
        assert not hasattr(tm, name)


@full_only
@pytest.mark.parametrize("mode, expected", [
    ("never", "cpu"), ("auto", "cpu"), (None, "cpu"), (True, "cpu"), ("FORCE", "cpu"), (3, "cpu"),
])
def test_cpu_form_table(tm, mode, expected):
    assert tm.get_compute_device(mode) == expected


@full_only
def test_cpu_form_force_raises(tm):
    with pytest.raises(RuntimeError) as info:
        tm.get_compute_device("force")
    assert str(info.value) == "GPU forced but not available"
    assert tm.get_compute_device(mode="never") == "cpu"


@full_only
@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), ((), {"device": "x"})])
def test_get_compute_device_arguments(tm, args, kwargs):
    with pytest.raises(TypeError):
        tm.get_compute_device(*args, **kwargs)


@full_only
def test_gpu_form_with_gpu_libraries():
    out = run_python("""
        import json, warnings
        from vantrel_huesift import tintmill as tm
        table = {repr(m): tm.get_compute_device(m)
                 for m in ["auto", "force", "never", None, "NEVER", "Force", False]}
        ext = tm.ColorExtractor()
        never = tm.ColorExtractor(use_gpu="never")
        none = tm.ColorExtractor(use_gpu=None)
        tm.GPU_AVAILABLE = 0
        try:
            tm.get_compute_device("force")
            forced = None
        except RuntimeError as e:
            forced = str(e)
        after = tm.get_compute_device("auto")
        print(json.dumps({"flag": tm.GPU_AVAILABLE is not None, "cp": tm.cp.__name__,
                          "kmeans": tm.KMeansGPU.__name__, "dbscan": tm.DBSCANGPU.__name__,
                          "table": table, "state": ext.__reduce__()[2],
                          "never": never.__reduce__()[2], "none": none.__reduce__()[2],
                          "forced": forced, "after": after}))
    """, GPU_STUBS)
    got = json.loads(out)
    assert got["cp"] == "cupy" and got["kmeans"] == "KMeans" and got["dbscan"] == "DBSCAN"
    assert got["table"] == {"'auto'": "cuda", "'force'": "cuda", "'never'": "cpu",
                            "None": "cuda", "'NEVER'": "cuda", "'Force'": "cuda",
                            "False": "cuda"}
    assert got["state"] == ["kmeans", "cuda", True, 5, True, True, "auto"]
    assert got["never"] == ["kmeans", "cpu", True, 5, True, False, "never"]
    assert got["none"] == ["kmeans", "cuda", True, 5, True, True, None]
    assert got["forced"] == "GPU forced but not available"
    assert got["after"] == "cpu"


@full_only
@pytest.mark.parametrize("stubs", [
    GPU_STUBS + "del cluster.DBSCAN\n",
    GPU_STUBS + "sys.modules['cuml.cluster'] = None\n",
    "import sys\nsys.modules['cupy'] = None\n",
])
def test_probe_failure_binds_none(stubs):
    out = run_python("""
        from vantrel_huesift import tintmill as tm
        print(tm.GPU_AVAILABLE, tm.cp, tm.KMeansGPU, tm.DBSCANGPU, tm.get_compute_device("auto"))
    """, stubs)
    assert out.split() == ["False", "None", "None", "None", "cpu"]


RAISING_FINDER = """
import sys
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "cupy":
            raise RuntimeError("CUDA driver exploded")
        return None
sys.meta_path.insert(0, Finder())
"""


def test_probe_lets_other_errors_through():
    out = run_python("""
        try:
            from vantrel_huesift import tintmill
            print("loaded", hasattr(tintmill, "GPU_AVAILABLE"))
        except RuntimeError as e:
            print("failed", e)
    """, RAISING_FINDER)
    # The CPU-only profile never probes, so it loads.
    assert out.strip() == ("failed CUDA driver exploded" if FULL else "loaded False")


def test_import_fails_without_pillow():
    out = run_python("""
        try:
            from vantrel_huesift import tintmill
            print("loaded")
        except ImportError as e:
            print(type(e).__name__)
    """, "import sys\nsys.modules['PIL'] = None\n")
    assert out.strip() == "ModuleNotFoundError"

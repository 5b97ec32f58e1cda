import numpy as np
import pytest
from sklearn.cluster import KMeans

from support import DeviceArray, FakeCupy, full_only, gpu_extractor


def test_few_pixels_shortcut_labels_every_pixel(tm):
    pixels = np.array([[9, 9, 9], [1, 2, 3], [9, 9, 9], [1, 2, 3], [9, 9, 9]], np.uint8)
    colors, labels = tm.ColorExtractor(8)._cluster_colors_kmeans(pixels)
    assert colors.dtype == np.uint8 and colors.tolist() == [[1, 2, 3], [9, 9, 9]]
    assert labels.ndim == 1 and labels.tolist() == [1, 0, 1, 0, 1]
    assert tm.ColorExtractor(8)._calculate_percentages(labels) == [40.0, 60.0]


def test_exactly_n_colors_runs_kmeans(tm):
    pixels = np.array([[0, 0, 0], [10, 10, 10], [200, 200, 200]], np.uint8)
    colors, labels = tm.ColorExtractor(3)._cluster_colors_kmeans(pixels)
    expected = KMeans(n_clusters=3, random_state=42, n_init=10).fit(pixels)
    np.testing.assert_array_equal(colors, expected.cluster_centers_)
    np.testing.assert_array_equal(labels, expected.labels_)
    assert len(labels) == 3


def test_matches_sklearn_and_is_repeatable(tm):
    pixels = np.random.default_rng(1).integers(0, 256, size=(500, 3), dtype=np.uint8)
    first = tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)
    second = tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)
    ref = KMeans(n_clusters=4, random_state=42, n_init=10)
    ref_labels = ref.fit_predict(pixels)
    for got in (first, second):
        np.testing.assert_array_equal(got[0], ref.cluster_centers_)
        np.testing.assert_array_equal(got[1], ref_labels)


@pytest.mark.parametrize("n_colors", [0, -2])
def test_non_positive_n_colors_reaches_sklearn(tm, n_colors):
    pixels = np.ones((4, 3), np.uint8)
    with pytest.raises(Exception) as ours:
        tm.ColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    with pytest.raises(Exception) as theirs:
        KMeans(n_clusters=n_colors, random_state=42, n_init=10).fit_predict(pixels)
    assert type(ours.value) is type(theirs.value) and str(ours.value) == str(theirs.value)


def test_uses_module_kmeans(tm, rebind):
    made = []

    class Fake:
        def __init__(self, **kwargs):
            made.append(kwargs)
            self.cluster_centers_ = "centres"

        def fit_predict(self, pixels):
            return "labels"

    rebind("KMeans", Fake)
    assert tm.ColorExtractor(2)._cluster_colors_kmeans(np.ones((3, 3), np.uint8)) == (
        "centres", "labels")
    assert made == [{"n_clusters": 2, "random_state": 42, "n_init": 10}]


@pytest.mark.parametrize("value", [[[1, 2, 3]], "pixels", 5])
def test_argument_type(tm, value):
    with pytest.raises(TypeError, match="^Argument 'pixels' has incorrect type"):
        tm.ColorExtractor()._cluster_colors_kmeans(value)


def test_none_pixels(tm):
    with pytest.raises(TypeError, match="has no len"):
        tm.ColorExtractor()._cluster_colors_kmeans(None)


# ---- the GPU path, with stand-ins ---------------------------------------------------------

class RecordingKMeans:
    made = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        RecordingKMeans.made.append(self)

    def fit_predict(self, pixels):
        self.pixels = pixels
        self.cluster_centers_ = DeviceArray((2, 3))
        self.cluster_centers_[:] = 7.5
        return np.zeros(len(pixels), np.int32).view(DeviceArray)


@pytest.fixture
def fake_gpu(rebind):
    cp = FakeCupy()
    RecordingKMeans.made = []
    rebind("cp", cp)
    rebind("KMeansGPU", RecordingKMeans)
    rebind("GPU_AVAILABLE", True)
    return cp


@full_only
def test_gpu_kmeans_calls(tm, fake_gpu):
    pixels = np.random.default_rng(0).integers(0, 256, size=(20, 3), dtype=np.uint8)
    colors, labels = gpu_extractor(tm, n_colors=2)._cluster_colors_kmeans(pixels)
    (made,) = RecordingKMeans.made
    assert made.kwargs == {"n_clusters": 2, "random_state": 42, "max_iter": 100}
    assert type(made.pixels) is DeviceArray
    np.testing.assert_array_equal(made.pixels, pixels)
    assert type(colors) is np.ndarray and type(labels) is np.ndarray
    assert colors.tolist() == [[7.5] * 3] * 2 and labels.tolist() == [0] * 20
    assert fake_gpu.calls == ["asarray", "asnumpy", "asnumpy"]


@full_only
def test_gpu_few_pixels_shortcut(tm, fake_gpu):
    pixels = np.array([[5, 5, 5], [1, 1, 1], [5, 5, 5]], np.uint8)
    colors, labels = gpu_extractor(tm, n_colors=4)._cluster_colors_kmeans(pixels)
    assert type(colors) is np.ndarray and colors.tolist() == [[1, 1, 1], [5, 5, 5]]
    assert type(labels) is np.ndarray and labels.tolist() == [1, 0, 1]
    assert fake_gpu.calls == ["unique", "asnumpy", "asnumpy"]
    assert RecordingKMeans.made == []


@full_only
def test_gpu_extractor_without_gpu_libraries_fails(tm):
    with pytest.raises(AttributeError):
        gpu_extractor(tm, n_colors=2)._cluster_colors_kmeans(np.ones((5, 3), np.uint8))


@full_only
def test_extract_colors_on_gpu(tm, fake_gpu):
    image = np.full((4, 4, 3), 90, np.uint8)
    records = gpu_extractor(tm, n_colors=2, lab_space=False,
                            preprocessing=False).extract_colors(image)
    assert records == [{"color": (7, 7, 7), "percentage": 100.0}]

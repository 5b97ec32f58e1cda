import cv2
import numpy as np
import pytest
from matplotlib import cbook
from sklearn.cluster import DBSCAN
from sklearn.preprocessing import StandardScaler

from support import DeviceArray, FakeCupy, followed_sklearn, full_only, gpu_extractor


def literal_labels(pixels):
    scaled = StandardScaler().fit_transform(pixels)
    return DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(scaled)


def literal_centres(pixels, labels):
    return np.array([np.mean(pixels[labels == label], axis=0)
                     for label in np.unique(labels) if label != -1])


def dbscan(tm, pixels, n_colors=10 ** 6):
    return tm.ColorExtractor(n_colors)._cluster_colors_dbscan(pixels)


def blobs(rng, n, k, spread):
    centres = rng.integers(0, 256, (k, 3))
    points = centres[rng.integers(0, k, n)] + rng.normal(0, spread, (n, 3))
    return np.clip(points, 0, 255).astype(np.uint8)


RNG = np.random.default_rng(11)
SAMPLE = cv2.imread(str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False)))
PHOTO_LAB = cv2.cvtColor(SAMPLE[300:380, 150:250], cv2.COLOR_BGR2LAB).reshape(-1, 3)
PHOTO_RGB = cv2.cvtColor(SAMPLE[100:160, 300:400], cv2.COLOR_BGR2RGB).reshape(-1, 3)
CASES = {
    "49 rows": RNG.integers(0, 256, (49, 3), dtype=np.uint8),
    "uniform 4000": RNG.integers(0, 256, (4000, 3), dtype=np.uint8),
    "blobs 4000": blobs(RNG, 4000, 4, 12),
    "tight blobs 12345": blobs(RNG, 12345, 6, 4),
    "wide blobs 3000": blobs(RNG, 3000, 3, 30),
    "coarse lattice": (RNG.integers(0, 6, (3000, 3)) * 40).astype(np.uint8),
    "fine lattice": (RNG.integers(100, 104, (2500, 3))).astype(np.uint8),
    "duplicates": np.repeat(RNG.integers(0, 256, (40, 3), dtype=np.uint8), 60, axis=0),
    "gaussian": np.clip(RNG.normal(128, 40, (5000, 3)), 0, 255).astype(np.uint8),
    "one flat channel": np.column_stack([RNG.integers(0, 256, 3000), np.full(3000, 9),
                                         RNG.integers(0, 256, 3000)]).astype(np.uint8),
    "photo lab": PHOTO_LAB,
    "photo rgb": PHOTO_RGB,
    # Channel 0 has scale exactly 2, so colours one step apart lie exactly at eps.
    "distance exactly eps": np.column_stack([np.repeat([1, 4, 5, 6, 9], [10, 20, 30, 20, 10]),
                                             np.full(90, 7), np.full(90, 200)]).astype(np.uint8),
    "one step apart, apart": np.repeat([[100, 7, 7], [101, 7, 7]], 60, axis=0).astype(np.uint8),
    # Two dense colours a little over eps apart along the diagonal, where a grid cell whose
    # own diagonal reached past eps would hold both.
    "diagonal pair just apart": np.vstack([np.repeat([[66, 66, 66], [90, 90, 90]], 200, axis=0),
                                           RNG.integers(200, 256, (400, 3))]).astype(np.uint8),
    # Enough distinct colours for the box bounds; on and off their cell boundaries.
    "uniform 20000": RNG.integers(0, 256, (20000, 3), dtype=np.uint8),
    "steps of 4, 20000": (RNG.integers(0, 64, (20000, 3)) * 4).astype(np.uint8),
    "dense core, sparse halo": np.vstack([blobs(RNG, 15000, 3, 6),
                                          RNG.integers(0, 256, (6000, 3))]).astype(np.uint8),
}


@pytest.mark.parametrize("name", list(CASES))
def test_labels_and_centres_equal_scikit_learn(tm, name):
    pixels = CASES[name]
    expected = literal_labels(pixels)
    colors, labels = dbscan(tm, pixels)
    assert labels.dtype == expected.dtype
    np.testing.assert_array_equal(labels, expected)
    centres = literal_centres(pixels, expected)
    if len(centres):
        np.testing.assert_array_equal(colors, centres)
    else:
        assert colors.shape == (0,) and colors.dtype == np.float64


def random_rows(rng, kind, n):
    if kind == "lattice":  # many exact ties between lattice offsets
        step, low = int(rng.integers(1, 60)), int(rng.integers(0, 200))
        return low + step * rng.integers(0, int(rng.integers(1, 6)), (n, 3))
    if kind == "near pair":  # two colours one step apart, with some jitter
        a = rng.integers(0, 255, 3)
        b = a + np.eye(3, dtype=int)[rng.integers(0, 3)]
        return np.where(rng.random((n, 1)) < 0.5, a, b) + rng.integers(0, 2, (n, 3))
    if kind == "blobs":
        return blobs(rng, n, int(rng.integers(1, 8)), rng.uniform(0.5, 30))
    return np.clip(rng.normal(rng.uniform(0, 255, 3), rng.uniform(1, 80, 3), (n, 3)), 0, 255)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["lattice", "near pair", "blobs", "gaussian"])
def test_random_inputs_equal_scikit_learn(tm, kind, seed):
    rng = np.random.default_rng([seed, len(kind)])
    n = int(rng.integers(50, 6000)) if seed % 2 else int(rng.integers(5000, 12000))
    pixels = np.clip(random_rows(rng, kind, n), 0, 255).astype(np.uint8)
    np.testing.assert_array_equal(dbscan(tm, pixels)[1], literal_labels(pixels))


def test_layouts_give_the_same_labels(tm):
    pixels = CASES["blobs 4000"]
    expected = literal_labels(pixels)
    for view in (pixels[::-1][::-1], np.asfortranarray(pixels), pixels.T.copy().T):
        np.testing.assert_array_equal(dbscan(tm, view)[1], expected)
    strided = np.repeat(pixels, 2, axis=0)[::2]
    np.testing.assert_array_equal(dbscan(tm, strided)[1], expected)


def test_border_point_goes_to_the_first_cluster(tm):
    # Two dense clusters and one point between them, within eps of both.
    a = np.tile([60, 128, 128], (80, 1))
    b = np.tile([90, 128, 128], (80, 1))
    far = np.tile([250, 250, 10], (80, 1))
    spread = RNG.integers(0, 256, (200, 3))
    pixels = np.vstack([a, b, far, spread, [[75, 128, 128]]]).astype(np.uint8)
    expected = literal_labels(pixels)
    np.testing.assert_array_equal(dbscan(tm, pixels)[1], expected)


def test_at_least_fifty_identical_rows(tm):
    pixels = np.tile(np.array([12, 200, 77], np.uint8), (50, 1))
    colors, labels = dbscan(tm, pixels)
    assert colors.tolist() == [[12.0, 200.0, 77.0]] and labels.tolist() == [0] * 50
    colors, labels = dbscan(tm, pixels[:49])
    assert colors.shape == (0,) and labels.tolist() == [-1] * 49


def five_clusters():
    colours = [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
    sizes = [100, 500, 300, 50, 400]
    return np.vstack([np.tile(c, (s, 1)) for c, s in zip(colours, sizes)]).astype(np.uint8)


def test_reduction_keeps_the_largest_in_size_order(tm):
    colors, labels = dbscan(tm, five_clusters(), n_colors=3)
    assert colors.tolist() == [[255, 0, 0], [255, 255, 255], [0, 255, 0]]
    # Labels are renumbered by size rank, so label i is the cluster of centre i.
    sizes = np.bincount(labels)
    assert sizes.tolist() == [500, 400, 300, 100, 50]
    assert tm.ColorExtractor(3)._calculate_percentages(labels)[:3] == [
        500 / 1350 * 100, 400 / 1350 * 100, 300 / 1350 * 100]


def test_reduction_through_extract_colors(tm):
    image = five_clusters()[:, ::-1].reshape(-1, 1, 3).copy()  # BGR column image
    records = tm.ColorExtractor(3, "dbscan", preprocessing=False,
                                lab_space=False).extract_colors(image)
    # The black cluster is dropped as (0, 0, 0) rows; each share is of all clustered pixels.
    assert records == [{"color": (255, 0, 0), "percentage": 40.0},
                       {"color": (255, 255, 255), "percentage": 32.0},
                       {"color": (0, 255, 0), "percentage": 24.0}]


def test_no_reduction_at_exactly_n_colors(tm):
    colors, labels = dbscan(tm, five_clusters(), n_colors=5)
    assert colors.tolist() == [[0, 0, 0], [255, 0, 0], [0, 255, 0], [0, 0, 255],
                               [255, 255, 255]]
    np.testing.assert_array_equal(labels, literal_labels(five_clusters()))


@pytest.mark.parametrize("n_colors, kept", [
    (0, []),
    (-2, [[255, 0, 0], [255, 255, 255], [0, 255, 0]]),
    (-5, []),
    (1, [[255, 0, 0]]),
])
def test_slice_rules(tm, n_colors, kept):
    colors, _ = dbscan(tm, five_clusters(), n_colors=n_colors)
    assert colors.tolist() == kept


def test_reduction_ties_follow_numpy_argsort(tm):
    colours = [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255)]
    pixels = np.vstack([np.tile(c, (60, 1)) for c in colours]).astype(np.uint8)
    colors, _ = dbscan(tm, pixels, n_colors=2)
    order = np.argsort([60, 60, 60, 60])[::-1][:2]
    assert colors.tolist() == np.array(colours, float)[order].tolist()


def test_rebound_classes_are_called_as_written(tm, rebind):
    calls = []

    class Scaler(StandardScaler):
        def fit_transform(self, X, y=None, **kwargs):
            calls.append(("scale", len(X)))
            return super().fit_transform(X)

    class Clusterer(DBSCAN):
        def __init__(self, eps=0.5, min_samples=5):
            calls.append(("dbscan", eps, min_samples))
            super().__init__(eps=eps, min_samples=min_samples)

    pixels = CASES["blobs 4000"]
    rebind("StandardScaler", Scaler)
    rebind("DBSCAN", Clusterer)
    colors, labels = dbscan(tm, pixels)
    assert calls == [("scale", 4000), ("dbscan", 0.5, 50)]
    np.testing.assert_array_equal(labels, literal_labels(pixels))


# (The scaler's fit calls partial_fit in the releases the native fit follows.)
@pytest.mark.parametrize("cls, name", [
    (StandardScaler, "fit"), pytest.param(StandardScaler, "partial_fit", marks=followed_sklearn),
    (DBSCAN, "fit"), (DBSCAN, "fit_predict")])
def test_patched_methods_are_called(tm, monkeypatch, cls, name):
    pixels = CASES["blobs 4000"]
    expected = literal_labels(pixels)
    calls = []
    original = getattr(cls, name)

    def patched(self, *args, **kwargs):
        calls.append(name)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(cls, name, patched)
    np.testing.assert_array_equal(dbscan(tm, pixels)[1], expected)
    assert name in calls


def test_rebound_dbscan_reduction(tm, rebind):
    class Fixed:
        def __init__(self, **kwargs):
            pass

        def fit_predict(self, X):
            return np.array([5, 5, 7, -1, 9, 9, 9])

    rebind("DBSCAN", Fixed)
    pixels = np.array([[1, 1, 1], [3, 3, 3], [10, 10, 10], [0, 0, 0], [20, 20, 20],
                       [20, 20, 20], [20, 20, 20]], np.uint8)
    colors, labels = dbscan(tm, pixels, n_colors=2)
    assert colors.tolist() == [[20, 20, 20], [2, 2, 2]]
    assert labels.tolist() == [1, 1, 2, -1, 0, 0, 0]


@pytest.mark.parametrize("mean, scale", [
    (None, 1e300), (None, 1e-300), (None, float("nan")), (1e9, None), (-1.0, None),
])
def test_scaler_values_8_bit_rows_cannot_give(tm, monkeypatch, mean, scale):
    """A patched fit leaves numbers no fit over bytes produces: the literal steps run."""
    original = StandardScaler.fit

    def fit(self, X, y=None, sample_weight=None):
        original(self, X)
        self.mean_ = np.full(3, mean) if mean is not None else self.mean_
        self.scale_ = np.full(3, scale) if scale is not None else self.scale_
        return self

    monkeypatch.setattr(StandardScaler, "fit", fit)
    pixels = CASES["blobs 4000"]

    def outcome(run):
        try:
            return run().tolist()
        except ValueError as e:  # NaN reaches scikit-learn's own check
            return str(e)

    scaler = StandardScaler().fit(pixels)
    expected = outcome(lambda: DBSCAN(eps=0.5, min_samples=50).fit_predict(
        scaler.transform(pixels)))
    assert outcome(lambda: dbscan(tm, pixels)[1]) == expected


def test_rebound_numpy_is_used(tm, rebind):
    rebind("np", None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'unique'"):
        dbscan(tm, CASES["blobs 4000"])


def test_non_byte_pixels_take_scikit_learn(tm):
    pixels = CASES["blobs 4000"].astype(np.float32)
    np.testing.assert_array_equal(dbscan(tm, pixels)[1], literal_labels(pixels))


def test_errors_pass_through(tm):
    with pytest.raises(ValueError) as ours:
        dbscan(tm, np.zeros((0, 3), np.uint8))
    with pytest.raises(ValueError) as theirs:
        StandardScaler().fit(np.zeros((0, 3), np.uint8))
    assert str(ours.value) == str(theirs.value)
    with pytest.raises(TypeError, match="^Argument 'pixels' has incorrect type"):
        tm.ColorExtractor()._cluster_colors_dbscan([[1, 2, 3]])


def test_extract_colors_dbscan_on_photo(tm):
    crop = SAMPLE[200:320, 100:260]
    ext = tm.ColorExtractor(algorithm="dbscan")
    records = ext.extract_colors(crop)
    assert records == ext.extract_colors(crop)
    assert 1 <= len(records) <= 5
    assert abs(sum(r["percentage"] for r in records) - 100) <= 0.05


# ---- the GPU path, with stand-ins ---------------------------------------------------------

class RecordingDBSCAN:
    made = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        RecordingDBSCAN.made.append(self)

    def fit_predict(self, scaled):
        self.scaled = scaled
        return np.asarray(self.labels).view(DeviceArray)


@full_only
def test_gpu_dbscan(tm, rebind):
    cp = FakeCupy()
    rebind("cp", cp)
    rebind("DBSCANGPU", RecordingDBSCAN)
    RecordingDBSCAN.made = []
    pixels = five_clusters()
    RecordingDBSCAN.labels = literal_labels(pixels)
    colors, labels = gpu_extractor(tm, n_colors=3)._cluster_colors_dbscan(pixels)
    (made,) = RecordingDBSCAN.made
    assert made.kwargs == {"eps": 0.5, "min_samples": 50}
    mean, std = pixels.mean(axis=0), pixels.std(axis=0)
    np.testing.assert_array_equal(made.scaled, (pixels - mean) / (std + 1e-8))
    # No reduction on the GPU: every cluster, in label order.
    assert type(colors) is np.ndarray and type(labels) is np.ndarray
    assert colors.tolist() == [[0, 0, 0], [255, 0, 0], [0, 255, 0], [0, 0, 255],
                               [255, 255, 255]]
    np.testing.assert_array_equal(labels, RecordingDBSCAN.labels)


@full_only
def test_gpu_dbscan_all_noise(tm, rebind):
    rebind("cp", FakeCupy())
    rebind("DBSCANGPU", RecordingDBSCAN)
    RecordingDBSCAN.labels = np.full(10, -1)
    colors, labels = gpu_extractor(tm)._cluster_colors_dbscan(np.ones((10, 3), np.uint8))
    assert colors.shape == (0,) and labels.tolist() == [-1] * 10


@full_only
def test_gpu_dbscan_without_libraries(tm):
    with pytest.raises(AttributeError):
        gpu_extractor(tm)._cluster_colors_dbscan(np.ones((60, 3), np.uint8))

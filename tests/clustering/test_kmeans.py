import numpy as np
import pytest
from sklearn.cluster import KMeans

from support import DeviceArray, FakeCupy, followed_sklearn, full_only, gpu_extractor


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
    np.testing.assert_allclose(colors, expected.cluster_centers_, rtol=0, atol=1e-9)
    np.testing.assert_array_equal(labels, expected.labels_)
    assert len(labels) == 3


def test_matches_sklearn_and_is_repeatable(tm):
    pixels = np.random.default_rng(1).integers(0, 256, size=(500, 3), dtype=np.uint8)
    first = tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)
    second = tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)
    ref = KMeans(n_clusters=4, random_state=42, n_init=10)
    ref_labels = ref.fit_predict(pixels)
    np.testing.assert_array_equal(first[0], second[0])
    for got in (first, second):
        np.testing.assert_allclose(got[0], ref.cluster_centers_, rtol=0, atol=1e-9)
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


# ---- the native k-means against scikit-learn ----------------------------------------------

def photo_pixels(crop, lab_space, preprocessing, masked):
    import cv2
    from matplotlib import cbook
    from vantrel_huesift import tintmill
    image = cv2.imread(str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False)))[crop]
    ext = tintmill.ColorExtractor(lab_space=lab_space, preprocessing=preprocessing)
    mask = None
    if masked:
        mask = np.zeros(image.shape[:2], np.uint8)
        mask[::2, 5:] = 255
    return ext._extract_pixels(ext._convert_to_feature_space(ext._preprocess_image(image)), mask)


RNG = np.random.default_rng(5)
PHOTO = [
    (np.s_[0:60, 0:80], True, True, False, 5),
    (np.s_[100:220, 150:250], False, True, True, 5),
    (np.s_[300:350, 200:400], True, False, True, 8),
    (np.s_[0:200, 0:300], False, False, False, 3),
]
# Found by search: in one of its runs a cluster empties and takes the pixel farthest from its
# centre. The pixels' order matters (it steers the seeding), so it is spelt out.
RELOCATED = np.array([[9, 115, 9], [123, 35, 9], [176, 121, 9], [130, 113, 9], [31, 138, 9],
                      [127, 109, 9], [221, 192, 9], [244, 235, 9], [218, 168, 9], [253, 166, 9],
                      [84, 142, 9], [242, 106, 9], [242, 5, 9], [152, 216, 9], [170, 203, 9],
                      [83, 130, 9], [153, 80, 9], [3, 214, 9], [158, 208, 9]], np.uint8)[[
    ord(c) - ord("a") for c in (
    "gniidisdsginsndjndsnnsnniajgrsinjssmnnngnsniinnngqsgieidgnsnnnngsenainisngrgnisngdigrg"
    "nnngagknjdiirngsniasnsgqnsdoisgnscsnshsinmkiegdnsiandgcinnsrgjrsnncrgisnggisninsgsnssq"
    "jnigdnansnimsininsggsggjngsidgamrsdonjiijsapcmigrgimiisgiqsqgsignsddjimniajgsaiggddggr"
    "rinnncsksernkgqgsngsjenigsimmgnjsigmnjngiqggiomsngnasignnigngsinsndigsnjncningsocginfg"
    "sginisnignngnaggnninssgrssmnindinsnneagneneianogjsdsnnasgnninnlgnjiainninsssssigdnsgns"
    "dmasnnjnnngsisiiiannnsrndenmnnnognnnnndmsdsigssnnniinsninnjgnsndngsgsgoigsinnnnnsgrisi"
    "agiisjnisddgnnnsrngisnsiindgnisagsnnignnadmisinggsannaniinianimssrsednsnrnmssiginsngds"
    "rnnsnnqsgirnirsrarcmdggsnmgnsngjngseisjssjnrsggnrsigimgmonsnjcinssrngsngngmdnisnmrijgn"
    "ainrrjmnnarqcngnrggnigrgidjnngiissnsdnnnqngnnrganggnsagimnisggsgsogrnggrineoqsgnamjnsi"
    "ndenjlsingrnmrngnsiinsnsgggnngngagggiiisinngdiaggisnininnarngssnssrgsmncsnggisnsnrensg"
    "gsdnnmnggagrisnnigmsirnsndsggrgnnmsgrgidhgnnnirgsnirgadsagsrgiinnisrninsarisgnisnicnrg"
    "nnsrnsiognngniinsgimnninnnnssngisssdrnimssmdiisidjonlsigaonnsgnqosniinmggincansnnijags"
    "rdgnnngnlnmnsgignggigggnndggjisssmnnrgsgnggangmingnnssgngnsggnjngsnngbjsnnnoondgdssnjr"
    "rgsnigdiggnismmnsmeonsiinngiajagsogegigmaiagagcsroeglgdinognnndiosnsnqsnsnnnignangnssn"
    "ndrsgnngasnggnirgsigsngnnnoiijirningsnjsgssdsrssgsqnnrigsginssngegganmmgjminngnmmgigir"
    "imnrshinrsgagngsgngnmnninlnignsnigsigniignjnignsssginrngiensgsnspignggeinnggirnannmnsn"
    "niqmingnnnngmlssjigsnisnrnssgiimgndnisgnihnsssngsrgiginjjssosnnananngiagsngarrgnrsajin"
    "nrnnsnssgnnngssigmagnggqrgsnnnignismgnsgaigjjssninmsgsgisgggngiinnnimminjndgiajgsisinn"
    "qniiagmnsnionidsekrinnrnmsnniosngssdkssdinmsdsinnndjnijnsisgsnggggongjmgnisnmamnininri"
    "jgnrainngisngscgani"
    )]]
SYNTHETIC = {  # ties and near-ties: lattices, duplicates, fewer colours than clusters
    "uniform": (RNG.integers(0, 256, (3000, 3), dtype=np.uint8), 4),
    "lattice": ((RNG.integers(0, 4, (2000, 3)) * 60).astype(np.uint8), 7),
    "two-level lattice": (RNG.integers(0, 2, (700, 3), dtype=np.uint8), 6),
    "repeated palette": (RNG.integers(0, 256, (6, 3), dtype=np.uint8)[RNG.integers(0, 6, 1200)], 5),
    "fewer colours than clusters": (np.repeat(RNG.integers(0, 256, (3, 3), dtype=np.uint8), 300, 0), 5),
    "one colour": (np.full((600, 3), 7, np.uint8), 3),
    "one cluster": (RNG.integers(0, 256, (800, 3), dtype=np.uint8), 1),
    "twelve clusters": (RNG.integers(0, 256, (5000, 3), dtype=np.uint8), 12),
    "strided": (RNG.integers(0, 256, (900, 6), dtype=np.uint8)[:, ::2], 4),
    "relocated cluster": (RELOCATED, 7),
    # many clusters: the assignment's bounds and its pass over every centre
    "forty clusters": (RNG.integers(0, 256, (4000, 3), dtype=np.uint8), 40),
    "sixty-four clusters on a lattice": ((RNG.integers(0, 6, (3000, 3)) * 51).astype(np.uint8), 64),
}


def kmeans_outcome(run):
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        colors, labels = run()
    return colors, labels, [(w.category, str(w.message)) for w in caught]


@pytest.fixture
def constructed(monkeypatch):
    """Counts the KMeans fits scikit-learn runs: the native path runs none."""
    made = []
    original = KMeans._check_params_vs_input

    def check(self, X, *args, **kwargs):
        made.append(len(X))
        return original(self, X, *args, **kwargs)

    monkeypatch.setattr(KMeans, "_check_params_vs_input", check)
    return made


@followed_sklearn
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", [f"photo {i}" for i in range(len(PHOTO))] + list(SYNTHETIC))
def test_native_equals_scikit_learn(tm, constructed, case, threads):
    from threadpoolctl import threadpool_limits
    if case.startswith("photo"):
        crop, lab_space, preprocessing, masked, k = PHOTO[int(case.split()[1])]
        pixels = photo_pixels(crop, lab_space, preprocessing, masked)
    else:
        pixels, k = SYNTHETIC[case]
    with threadpool_limits(threads):
        colors, labels, warned = kmeans_outcome(
            lambda: tm.ColorExtractor(k)._cluster_colors_kmeans(pixels))
        assert not constructed  # never scikit-learn's own call
        ref = KMeans(n_clusters=k, random_state=42, n_init=10)
        _, ref_labels, ref_warned = kmeans_outcome(lambda: (None, ref.fit_predict(pixels)))
    assert labels.dtype == ref_labels.dtype and labels.tolist() == ref_labels.tolist()
    used = np.unique(labels)
    assert colors.shape == (k, 3) and np.abs(colors - ref.cluster_centers_)[used].max() <= 1e-9
    # With fewer colours than clusters, scikit-learn moves the empty ones by rounding noise
    # (every pixel lies on its centre); exactly, they stay on the heaviest cluster's centre,
    # after every cluster in use, where no record can show them.
    empty = np.setdiff1d(np.arange(k), used)
    heaviest = np.argmax(np.bincount(labels, minlength=k))
    assert (empty > used.max()).all() and (colors[empty] == colors[heaviest]).all()
    assert warned == ref_warned


def binary(seed):
    return np.random.default_rng(seed).integers(0, 2, (120, 3), dtype=np.uint8)


# 300, 35 and 3 pixels of three colours (RGB), shuffled: with more clusters than 256, and than
# colours, scikit-learn's own answer depends on its thread count.
PLANTED_RGB = [(200, 30, 40), (20, 90, 220), (250, 250, 10)]
PLANTED = np.repeat(np.array(PLANTED_RGB, np.uint8), [300, 35, 3], axis=0)[
    np.random.default_rng(3).permutation(338)]


@pytest.mark.parametrize("pixels, k", [
    # scikit-learn breaks these ties by its rounding: equal potentials of different seeds,
    # a colour equally far from two later centres, equal inertias
    (binary(1), 4), (binary(32), 4),
    (SYNTHETIC["lattice"][0][:300], 7),
    (SYNTHETIC["fewer colours than clusters"][0], 5),
    (SYNTHETIC["repeated palette"][0], 5),
    (PLANTED, 257),
])
@followed_sklearn
@pytest.mark.parametrize("threads", [1, 2, 8])
def test_native_is_exact_arithmetic(tm, pixels, k, threads):
    from exact_kmeans import exact_kmeans
    from threadpoolctl import threadpool_limits
    with threadpool_limits(threads):
        colors, labels = tm.ColorExtractor(k)._cluster_colors_kmeans(pixels)
    expected_colors, expected_labels = exact_kmeans(pixels, k)
    assert labels.tolist() == expected_labels.tolist()
    assert colors.tolist() == expected_colors.tolist()  # each the nearest double to its mean


@followed_sklearn
@pytest.mark.parametrize("threads", [1, 2, 8])
def test_any_number_of_clusters_stays_native(tm, constructed, threads):
    from sklearn.exceptions import ConvergenceWarning
    from threadpoolctl import threadpool_limits
    image = PLANTED[None, :, ::-1]  # a row of BGR pixels
    ext = tm.ColorExtractor(n_colors=257, preprocessing=False, lab_space=False)
    with threadpool_limits(threads), pytest.warns(ConvergenceWarning, match=(
            r"^Number of distinct clusters \(3\) found smaller than n_clusters \(257\)")):
        records = ext.extract_colors(image)
    assert constructed == []
    assert records == [{"color": c, "percentage": p}
                       for c, p in zip(PLANTED_RGB, [88.76, 10.36, 0.89])]


@followed_sklearn
def test_threads_share_large_inputs_alike(tm):
    """From about two million pixels on, threads find the distinct colours, a part each:
    labels and centres stay those of one thread."""
    from threadpoolctl import threadpool_limits
    rng = np.random.default_rng(11)
    palette = rng.integers(0, 256, (3000, 3), dtype=np.uint8)
    pixels = palette[rng.integers(0, len(palette), (1 << 21) + 3)]
    outcomes = []
    for threads in (1, 2, 8):
        with threadpool_limits(threads):
            outcomes.append(tm.ColorExtractor(5)._cluster_colors_kmeans(pixels))
    for colors, labels in outcomes[1:]:
        assert np.array_equal(labels, outcomes[0][1]) and np.array_equal(colors, outcomes[0][0])


def test_native_follows_rebinding(tm, rebind, monkeypatch, constructed):
    pixels = SYNTHETIC["uniform"][0]
    expected = KMeans(n_clusters=4, random_state=42, n_init=10).fit_predict(pixels)
    del constructed[:]
    monkeypatch.setattr(KMeans, "fit_predict", lambda self, X: KMeans.fit(self, X).labels_)
    assert tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)[1].tolist() == expected.tolist()
    assert len(constructed) == 1  # a patched method takes the literal call
    rebind("np", None)  # the literal call does not need NumPy; the native one does
    monkeypatch.setattr(KMeans, "fit_predict", KMeans.__dict__["fit_predict"])
    assert tm.ColorExtractor(4)._cluster_colors_kmeans(pixels)[1].tolist() == expected.tolist()
    assert len(constructed) == 2


def test_unknown_scikit_learn_takes_the_literal_call():
    from support import run_python
    out = run_python("""
        import numpy as np, sklearn, sklearn.cluster
        sklearn.__version__ = "0.1"
        made = []
        KMeans = sklearn.cluster.KMeans
        original = KMeans._check_params_vs_input
        KMeans._check_params_vs_input = lambda self, X: made.append(len(X)) or original(self, X)
        from vantrel_huesift import tintmill
        tintmill.ColorExtractor(2)._cluster_colors_kmeans(np.arange(30, dtype=np.uint8).reshape(10, 3))
        print(len(made))
    """)
    assert out.strip() == "1"


@followed_sklearn
def test_a_near_tie_is_decided_exactly(tm):
    """Built so that one colour's distances to the two final centres differ by 5e-10 of about
    600: below what floating point can order, so the exact comparison decides."""
    from fractions import Fraction
    from exact_kmeans import exact_kmeans
    rows = [(86, 21387), (101, 72525), (126, 1), (153, 772826), (166, 94447)]
    pixels = np.concatenate([np.tile([[v, 50, 60]], (w, 1)) for v, w in rows]).astype(np.uint8)
    pixels = pixels[np.random.default_rng(0).permutation(len(pixels))]
    colors, labels = tm.ColorExtractor(2)._cluster_colors_kmeans(pixels)
    assert labels.tolist() == exact_kmeans(pixels, 2)[1].tolist()
    probe = np.flatnonzero(pixels[:, 0] == 126)[0]
    values = pixels[:, 0].astype(np.int64)
    centres = [Fraction(int(values[labels == j].sum()), int((labels == j).sum())) for j in (0, 1)]
    own, other = centres[labels[probe]], centres[1 - labels[probe]]
    assert 0 < (126 - other) ** 2 - (126 - own) ** 2 < Fraction(1, 10 ** 9)


@followed_sklearn
def test_large_photos_stay_native(tm, constructed):
    """At 12 MP, where float margins once sent one configuration in ten to scikit-learn's own
    call (a colour within 1e-10 of the line between two centres, relative to their norms):
    this one among them."""
    import os
    import cv2
    import sklearn.datasets
    path = os.path.join(os.path.dirname(sklearn.datasets.__file__), "images", "china.jpg")
    image = cv2.resize(cv2.imread(path), (4000, 3000))
    colors, labels = tm.ColorExtractor(8)._cluster_colors_kmeans(
        tm.ColorExtractor()._extract_pixels(
            cv2.cvtColor(tm.ColorExtractor()._preprocess_image(image), cv2.COLOR_BGR2LAB), None))
    assert constructed == [] and len(labels) == 12_000_000 and len(np.unique(labels)) == 8

import warnings

import cv2
import numpy as np
import pytest
from matplotlib import cbook

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))


def fixed_clusters(tm, colors, labels, **config):
    class Fixed(tm.ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            return colors, labels

    config.setdefault("preprocessing", False)
    return Fixed(**config)


IMAGE = np.full((2, 2, 3), 77, np.uint8)


def test_records_are_plain_and_sorted_stably(tm):
    colors = np.array([[10.7, 10, 10], [20, 20, 20], [30, 30, 30]])
    ext = fixed_clusters(tm, colors, np.array([0, 1, 1, 2]), lab_space=False)
    result = ext.extract_colors(IMAGE)
    assert result == [{"color": (20, 20, 20), "percentage": 50.0},
                      {"color": (10, 10, 10), "percentage": 25.0},
                      {"color": (30, 30, 30), "percentage": 25.0}]
    for record in result:
        assert list(record) == ["color", "percentage"]
        assert type(record["percentage"]) is float
        assert all(type(c) is int for c in record["color"])


def test_lab_centre_conversion_drops_fractions(tm):
    ext = fixed_clusters(tm, np.array([[255.9, 128.6, 127.2]]), np.array([0, 0, 0, 0]))
    expected = cv2.cvtColor(np.uint8([[[255, 128, 127]]]), cv2.COLOR_LAB2RGB)[0][0]
    assert ext.extract_colors(IMAGE) == [{"color": tuple(int(c) for c in expected),
                                          "percentage": 100.0}]


@pytest.mark.parametrize("centre, lab_space, expected", [
    # float noise of a flat cluster's mean counts as the whole number it misses
    (np.array([35.99999999999997, 8.0, 242.99999999999997]), False, (36, 8, 243)),
    (np.array([254.99999999999997, 255.00000000000003, -1e-13]), False, (255, 255, 0)),
    (np.array([255.99999999999997, 128.0, 127.99999999999999]), True, (255, 128, 128)),
    # a genuine fraction is dropped
    (np.array([35.99999996, 8.00000002, 243.5]), False, (35, 8, 243)),
    # cuML's float32 centres drift further
    (np.array([35.9995, 7.5, 243.0004], np.float32), False, (36, 7, 243)),
    (np.array([35.99, 7.5, 243.01], np.float32), False, (35, 7, 243)),
])
def test_whole_centres_keep_their_value(tm, centre, lab_space, expected):
    ext = fixed_clusters(tm, centre[None], np.array([0, 0, 0, 0]), lab_space=lab_space)
    if lab_space:
        lab = np.uint8([[expected]])
        expected = tuple(int(c) for c in cv2.cvtColor(lab, cv2.COLOR_LAB2RGB)[0][0])
    assert ext.extract_colors(IMAGE) == [{"color": expected, "percentage": 100.0}]


FLAT = np.zeros((30, 40, 3), np.uint8)
FLAT[:, :25] = (243, 8, 36)  # BGR
FLAT[:, 25:] = (255, 255, 255)
FLAT[:6, :6] = (90, 160, 20)


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("masked", [False, True])
def test_flat_colours_agree_on_every_path(tm, rebind, lab_space, masked):
    """Clusters of one exact colour: the native k-means, scikit-learn's own and DBSCAN give the
    colour itself (in L*a*b*, its round trip), wherever their float means land."""
    from sklearn.cluster import KMeans
    mask = np.full(FLAT.shape[:2], 255, np.uint8) if masked else None
    if masked:
        mask[:, 30:] = 0
    expected = set()
    for bgr in ((243, 8, 36), (255, 255, 255), (90, 160, 20)):
        rgb = np.uint8([[bgr[::-1]]])
        if lab_space:
            rgb = cv2.cvtColor(cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB), cv2.COLOR_LAB2RGB)
        expected.add(tuple(int(c) for c in rgb[0][0]))
    runs = [tm.ColorExtractor(3, lab_space=lab_space, preprocessing=False).extract_colors(FLAT, mask)]

    class Literal(KMeans):  # not the loaded class: scikit-learn's own call
        pass

    rebind("KMeans", Literal)
    runs.append(tm.ColorExtractor(3, lab_space=lab_space, preprocessing=False)
                .extract_colors(FLAT, mask))
    assert runs[0] == runs[1]
    assert {r["color"] for r in runs[0]} == expected


def test_percentages_are_rounded(tm):
    ext = fixed_clusters(tm, np.array([[1, 1, 1], [2, 2, 2], [3, 3, 3]], float),
                         np.array([0, 1, 2]), lab_space=False)
    assert [r["percentage"] for r in ext.extract_colors(IMAGE)] == [33.33, 33.33, 33.33]


def test_zip_stops_at_the_shorter(tm):
    ext = fixed_clusters(tm, np.array([[1, 1, 1]], float), np.array([0, 1, 1]), lab_space=False)
    assert ext.extract_colors(IMAGE) == [{"color": (1, 1, 1), "percentage": 33.33}]


@pytest.mark.parametrize("result, error, message", [
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    ((np.ones((1, 3)),), ValueError, "not enough values to unpack (expected 2, got 1)"),
    ((np.ones((1, 3)), [0, 0]), TypeError, "Cannot convert list to numpy.ndarray"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_clustering_result_checks(tm, result, error, message):
    class Odd(tm.ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            return result

    with pytest.raises(error) as info:
        Odd(preprocessing=False).extract_colors(IMAGE)
    assert str(info.value) == message


def test_list_pair_is_accepted(tm):
    ext = fixed_clusters(tm, [[5, 5, 5]], np.array([0]), lab_space=False)
    with pytest.raises(AttributeError):  # a list of centres has no astype in RGB mode
        ext.extract_colors(IMAGE)
    ext = fixed_clusters(tm, [[255, 128, 128]], np.array([0]))
    assert ext.extract_colors(IMAGE) == [{"color": (255, 255, 255), "percentage": 100.0}]


def test_missing_files(tm, tmp_path):
    missing = str(tmp_path / "none.png")
    with pytest.raises(ValueError) as info:
        tm.ColorExtractor().extract_colors(missing, str(tmp_path / "mask.png"))
    assert str(info.value) == f"Could not load image from {missing}"
    good = str(tmp_path / "ok.png")
    cv2.imwrite(good, IMAGE)
    with pytest.raises(ValueError) as info:
        tm.ColorExtractor().extract_colors(good, missing)
    assert str(info.value) == f"Could not load mask from {missing}"


def test_mask_path_is_loaded_with_three_channels(tm, tmp_path):
    image = np.zeros((4, 4, 3), np.uint8)
    image[:2] = (0, 0, 255)
    image[2:] = (255, 0, 0)
    mask = np.zeros((4, 4, 3), np.uint8)
    mask[:2] = 255
    path = str(tmp_path / "mask.png")
    cv2.imwrite(path, mask)
    result = tm.ColorExtractor(2, preprocessing=False, lab_space=False).extract_colors(image, path)
    assert result == [{"color": (255, 0, 0), "percentage": 100.0}]


@pytest.mark.parametrize("image, given", [([[1, 2, 3]], "list"), (7, "int"), (b"x.png", "bytes")])
def test_image_type(tm, image, given):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor().extract_colors(image)
    assert str(info.value) == f"Cannot convert {given} to numpy.ndarray"


def test_image_type_checked_after_mask(tm, tmp_path):
    with pytest.raises(ValueError, match="Could not load mask"):
        tm.ColorExtractor().extract_colors([1], str(tmp_path / "missing.png"))


def test_empty_selection_returns_before_algorithm(tm):
    mask = np.zeros((2, 2), np.uint8)
    assert tm.ColorExtractor(algorithm="sift").extract_colors(IMAGE, mask) == []
    assert tm.ColorExtractor(algorithm=None, preprocessing=False, lab_space=False).extract_colors(
        np.zeros((3, 3, 3), np.uint8)) == []


@pytest.mark.parametrize("algorithm, text", [("sift", "sift"), ("KMeans", "KMeans"),
                                             (None, "None"), ("", "")])
def test_unknown_algorithm(tm, algorithm, text):
    with pytest.raises(ValueError) as info:
        tm.ColorExtractor(algorithm=algorithm).extract_colors(IMAGE)
    assert str(info.value) == f"Unknown algorithm: {text}"


def test_algorithm_dispatch_uses_method_lookup(tm):
    class Spy(tm.ColorExtractor):
        def _cluster_colors_dbscan(self, pixels):
            return np.array([[1.0, 2.0, 3.0]]), np.zeros(len(pixels), int)

    assert Spy(algorithm="dbscan", lab_space=False).extract_colors(IMAGE) == [
        {"color": (1, 2, 3), "percentage": 100.0}]


def test_few_pixels_end_to_end(tm):
    image = np.array([[[3, 2, 1], [3, 2, 1], [3, 2, 1], [9, 9, 9], [9, 9, 9]]], np.uint8)
    result = tm.ColorExtractor(8, preprocessing=False, lab_space=False).extract_colors(image)
    assert result == [{"color": (1, 2, 3), "percentage": 60.0},
                      {"color": (9, 9, 9), "percentage": 40.0}]


def test_arguments(tm):
    with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
        tm.ColorExtractor().extract_colors(IMAGE, None, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'img'"):
        tm.ColorExtractor().extract_colors(img=IMAGE)
    assert tm.ColorExtractor(1).extract_colors(image=IMAGE, mask=None)[0]["percentage"] == 100.0


def test_sample_photo_is_deterministic(tm):
    ext = tm.ColorExtractor(5)
    first = ext.extract_colors(SAMPLE)
    assert first == ext.extract_colors(cv2.imread(SAMPLE))
    assert len(first) == 5
    assert abs(sum(r["percentage"] for r in first) - 100) <= 0.05
    shares = [r["percentage"] for r in first]
    assert shares == sorted(shares, reverse=True)


def test_sample_photo_rgb_with_mask(tm):
    image = cv2.imread(SAMPLE)
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[: image.shape[0] // 2] = 255
    result = tm.ColorExtractor(3, lab_space=False).extract_colors(image, mask)
    assert len(result) == 3 and result == tm.ColorExtractor(3, lab_space=False).extract_colors(
        image, mask)



@pytest.mark.parametrize("override", ["none", "percentages", "clustering", "instance"])
@pytest.mark.parametrize("case", range(6))
def test_shares_agree_with_the_steps(tm, override, case):
    """Shares counted from the colours for a ColorExtractor itself equal the steps taken one by
    one; an override of either step sees what the steps hand each other. Cases 4 and 5: three
    colours for eight clusters (labels left without pixels), and fewer pixels than clusters."""
    rng = np.random.default_rng(case)
    image = rng.integers(0, 4, (23, 17, 3), dtype=np.uint8) * 60
    n_colors = 2 + case
    if case == 4:
        image = np.repeat(FLAT, 2, axis=0)
    elif case == 5:
        image = image[:2, :3]
    mask = (rng.random(image.shape[:2]) < 0.8).astype(np.uint8) * 255 if case % 2 else None
    config = dict(n_colors=n_colors, preprocessing=False, lab_space=case < 2)
    seen = []

    class Stepwise(tm.ColorExtractor):
        def _calculate_percentages(self, labels):
            seen.append(labels)
            return super()._calculate_percentages(labels)

    class Clustering(tm.ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            seen.append(pixels)
            return super()._cluster_colors_kmeans(pixels)

    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        expected = Stepwise(**config).extract_colors(image, mask)
    labels = seen.pop()
    ext = {"none": tm.ColorExtractor, "percentages": Stepwise, "clustering": Clustering,
           "instance": Stepwise}[override](**config)
    if override == "instance":
        ext._calculate_percentages = lambda given: seen.append(given) or [100.0]
    with warnings.catch_warnings(record=True) as given_warnings:
        warnings.simplefilter("always")
        result = ext.extract_colors(image, mask)
    if override == "instance":
        assert [r["percentage"] for r in result] == [100.0]
    else:
        assert result == expected
    assert [str(w.message) for w in given_warnings] == [str(w.message) for w in expected_warnings]
    assert len(seen) == (override != "none")
    if override in ("percentages", "instance"):
        assert np.array_equal(seen[0], labels)
    elif override == "clustering":
        assert len(seen[0]) == len(labels)

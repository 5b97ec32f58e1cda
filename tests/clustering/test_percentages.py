import numpy as np
import pytest


def literal(labels):
    unique_labels, counts = np.unique(labels, return_counts=True)
    valid_counts = counts[unique_labels != -1]
    return (valid_counts / np.sum(valid_counts) * 100).tolist()


@pytest.mark.parametrize("labels, expected", [
    ([0, 0, 1, 1, 1, 1, 2, 2], [25.0, 50.0, 25.0]),
    ([-1, -1, 0, 1], [50.0, 50.0]),
    ([1, 1, 3], [2 / 3 * 100, 1 / 3 * 100]),
    ([-1, -1], []),
    ([], []),
    ([0, 1, 2], [33.33333333333333] * 3),
    ([0] * 29 + [1] * 71, [28.999999999999996, 71.0]),
])
def test_shares(tm, labels, expected):
    got = tm.ColorExtractor()._calculate_percentages(np.array(labels, dtype=np.int64))
    assert type(got) is list and all(type(x) is float for x in got)
    assert got == expected


def test_exact_arithmetic_order(tm):
    got = tm.ColorExtractor()._calculate_percentages(np.array([0, 1, 2]))
    assert got[0] == (1 / 3) * 100 and got[0] != 100 / 3


RNG = np.random.default_rng(5)
BASE = RNG.integers(-1, 6, size=997)


@pytest.mark.parametrize("labels", [
    BASE.astype(np.int8), BASE.astype(np.int16), BASE.astype(np.int32), BASE.astype(">i4"),
    BASE[::3], BASE[::-1], np.abs(BASE).astype(np.uint8), np.abs(BASE).astype(np.uint64),
    BASE.astype(np.float64), BASE.astype(bool), BASE.reshape(-1, 1), BASE.astype(object),
    np.array([2 ** 40, -1, 2 ** 40, 3]), np.array([-7, -1, 0]),
    RNG.integers(-1, 300, size=2001),  # the first labels counted four ways, the others one
    np.array(["a", "b", "a"]),
])
def test_native_counts_equal_numpy(tm, labels):
    assert tm.ColorExtractor()._calculate_percentages(labels) == literal(labels)


def test_none_labels_reach_numpy(tm):
    # None passes the argument check and NumPy treats it as one object label.
    assert tm.ColorExtractor()._calculate_percentages(None) == literal(None) == [100.0]


def test_argument_type(tm):
    with pytest.raises(TypeError, match="^Argument 'labels' has incorrect type "
                                        r"\(expected numpy.ndarray, got list\)$"):
        tm.ColorExtractor()._calculate_percentages([0, 1])


@pytest.mark.parametrize("result, ok", [([50.0], True), (None, True), ((50.0,), False)])
def test_override_result_type(tm, result, ok):
    class Shares(tm.ColorExtractor):
        def _calculate_percentages(self, labels):
            return result

    image = np.full((3, 3, 3), 100, np.uint8)
    ext = Shares(2, preprocessing=False, lab_space=False)
    if ok and result is not None:
        assert ext.extract_colors(image) == [{"color": (100, 100, 100), "percentage": 50.0}]
    elif ok:
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            ext.extract_colors(image)
    else:
        with pytest.raises(TypeError, match="^Expected list, got tuple$"):
            ext.extract_colors(image)



def test_rebound_numpy_is_used(tm, rebind, monkeypatch):
    calls = []
    original = np.unique
    monkeypatch.setattr(np, "unique", lambda *a, **k: calls.append(k) or original(*a, **k))
    assert tm.ColorExtractor()._calculate_percentages(np.array([0, 1, 1, 1])) == [25.0, 75.0]
    assert calls == [{"return_counts": True}]
    rebind("np", None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'unique'"):
        tm.ColorExtractor()._calculate_percentages(np.array([0, 1]))

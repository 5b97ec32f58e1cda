"""Every entry point on arrays of any dtype and layout: a clean exception, or the answer it
gives for the same values in a plain C-contiguous array."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

settings.register_profile("ci", derandomize=True, max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("dev", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=max(1, int(os.environ.get("HUESIFT_FUZZ_EXAMPLES")
                                                           or 1)),
                          deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("long" if os.environ.get("HUESIFT_FUZZ_EXAMPLES") else
                      "ci" if os.environ.get("CI") else "dev")

DTYPES = st.sampled_from([np.uint8, np.uint8, np.uint8, np.int16, ">u2", np.float16, np.float32,
                          np.float64, np.complex64, np.bool_, np.int64, object])


class Sub(np.ndarray):
    pass


@st.composite
def arrays(draw, shapes):
    dtype = np.dtype(draw(DTYPES))
    shape = draw(shapes)
    if dtype == object:
        base = np.empty(shape, dtype=object)
        base[...] = draw(st.integers(0, 255))
    else:
        base = draw(hnp.arrays(dtype, shape, elements=hnp.from_dtype(
            dtype, allow_nan=False, allow_infinity=False) if dtype.kind in "fc" else None))
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "strided", "broadcast",
                                   "readonly", "unaligned", "subclass"]))
    if layout == "fortran":
        return np.asfortranarray(base)
    if layout == "reversed" and base.ndim:
        return base[::-1]
    if layout == "strided" and base.ndim:
        return np.repeat(base, 2, axis=0)[::2]
    if layout == "broadcast" and base.ndim and base.shape[0]:
        return np.broadcast_to(base[:1], base.shape)
    if layout == "readonly":
        base = base.copy()
        base.flags.writeable = False
        return base
    if layout == "unaligned" and dtype != object and base.size:
        raw = np.zeros(base.nbytes + 1, np.uint8)[1:]
        out = raw.view(dtype).reshape(base.shape)
        out[...] = base
        return out
    if layout == "subclass" and base.ndim:
        # (A 0-d subclass stays an array under NumPy's operators where a plain one becomes a
        # scalar, so NumPy itself treats the two differently.)
        return base.view(Sub)
    return base


def image_shapes():
    channels = st.sampled_from([1, 2, 3, 3, 3, 4, 5])
    return st.one_of(
        st.tuples(st.integers(0, 6), st.integers(0, 6), channels),
        st.tuples(st.integers(0, 8), channels),
        st.tuples(st.integers(0, 5)),
        st.just(()),
        st.tuples(st.integers(0, 3), st.integers(0, 3), st.just(3), st.integers(1, 2)),
    )


def outcome(fn, *args):
    before = [np.array(a, copy=True) for a in args if isinstance(a, np.ndarray)]
    try:
        result = "ok", fn(*args)
    except Exception as e:
        result = "error", type(e)
    after = [a for a in args if isinstance(a, np.ndarray)]
    for old, new in zip(before, after):  # inputs are never written to
        assert old.dtype == new.dtype
        np.testing.assert_array_equal(old, new)
    return result


def plain(value):
    """The same values as a plain, C-contiguous, writeable, aligned array of the same shape."""
    return np.array(value, order="C") if isinstance(value, np.ndarray) else value


def same(a, b):
    assert a[0] == b[0], (a, b)
    if a[0] == "error":
        assert a[1] is b[1]
        return
    equal(a[1], b[1])


def equal(x, y):
    if isinstance(x, tuple):
        assert isinstance(y, tuple) and len(x) == len(y)
        for u, v in zip(x, y):
            equal(u, v)
    elif isinstance(x, np.ndarray):
        assert x.dtype == y.dtype and x.shape == y.shape
        np.testing.assert_array_equal(x, y)
    elif isinstance(x, dict):
        assert list(x) == list(y)
        for k in x:
            assert x[k] == y[k]
    else:
        assert x == y


@pytest.fixture(scope="module")
def ext():
    from vantrel_huesift.tintmill import ColorExtractor
    return ColorExtractor(n_colors=100, preprocessing=False, lab_space=False)


@given(image=arrays(image_shapes()))
def test_extract_pixels(ext, image):
    same(outcome(ext._extract_pixels, image), outcome(ext._extract_pixels, plain(image)))


@given(image=arrays(image_shapes()), mask=arrays(image_shapes()))
def test_masks(ext, image, mask):
    same(outcome(ext._extract_pixels, image, mask),
         outcome(ext._extract_pixels, plain(image), plain(mask)))
    same(outcome(ext._apply_mask, image, mask),
         outcome(ext._apply_mask, plain(image), plain(mask)))


@given(image=arrays(image_shapes()))
def test_conversions(ext, image):
    same(outcome(ext._convert_to_feature_space, image),
         outcome(ext._convert_to_feature_space, plain(image)))


@given(labels=arrays(st.one_of(st.tuples(st.integers(0, 30)), st.tuples(st.integers(0, 4),
                                                                         st.integers(0, 4)))))
def test_percentages(ext, labels):
    same(outcome(ext._calculate_percentages, labels),
         outcome(ext._calculate_percentages, plain(labels)))


@given(a=arrays(st.sampled_from([(3,), (2,), (4,), (1, 3), ()])),
       b=arrays(st.sampled_from([(3,), (3,), (1, 1, 3)])))
def test_distance(ext, a, b):
    same(outcome(ext._color_distance_lab, a, b),
         outcome(ext._color_distance_lab, plain(a), plain(b)))


@given(image=arrays(image_shapes()),
       target=st.one_of(st.tuples(*[st.integers(-5, 300)] * 3), st.lists(st.integers(0, 255),
                                                                         max_size=4)))
def test_match_report(ext, image, target):
    same(outcome(ext.find_color_matches, image, {"t": target}),
         outcome(ext.find_color_matches, plain(image), {"t": target}))


@given(pixels=arrays(st.tuples(st.integers(0, 80), st.sampled_from([3, 3, 2]))))
@settings(max_examples=25)
def test_clustering(ext, pixels):
    same(outcome(ext._cluster_colors_kmeans, pixels),
         outcome(ext._cluster_colors_kmeans, plain(pixels)))


ANYTHING = st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=5), st.binary(),
                     st.lists(st.integers(), max_size=3), st.tuples(st.integers()),
                     st.dictionaries(st.text(max_size=3), st.integers(), max_size=2))


@given(args=st.lists(ANYTHING, max_size=4))
def test_arbitrary_arguments(ext, args):
    from vantrel_huesift import tintmill
    methods = [ext._preprocess_image, ext._convert_to_feature_space, ext._apply_mask,
               ext._extract_pixels, ext._cluster_colors_kmeans, ext._calculate_percentages,
               ext.extract_colors, ext._color_distance_lab, ext._find_closest_color,
               ext.analyze_color_similarity, ext.find_color_matches, ext.__setstate__,
               tintmill.ColorExtractor, tintmill.__pyx_unpickle_ColorExtractor]
    for method in methods:
        try:
            method(*args)
        except Exception:
            pass

import sys
import warnings

import pytest

from support import FULL, full_only

FIELDS = 7 if FULL else 4


def state(extractor):
    reduced = extractor.__reduce__()
    return (reduced[2] if len(reduced) == 3 else reduced[1][2])[:FIELDS]


def expected_state(n_colors=5, algorithm="kmeans", preprocessing=True, lab_space=True,
                   use_gpu="auto"):
    if FULL:
        return (algorithm, "cpu", lab_space, n_colors, preprocessing, False, use_gpu)
    return (algorithm, lab_space, n_colors, preprocessing)


def test_defaults(tm):
    assert state(tm.ColorExtractor()) == expected_state()


class Index:
    def __index__(self):
        return 6


@pytest.mark.parametrize("n_colors, stored", [
    (3.9, 3), (-3.9, -3), (True, 1), (0, 0), (-7, -7), (2147483647, 2147483647),
    (-2147483648, -2147483648), (Index(), 6),
])
def test_n_colors_conversion(tm, n_colors, stored):
    assert state(tm.ColorExtractor(n_colors))[2 if not FULL else 3] == stored


@pytest.mark.parametrize("n_colors, error, message", [
    ("5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([5], TypeError, "an integer is required"),
    (2147483648, OverflowError, "value too large to convert to int"),
    (-2147483649, OverflowError, "value too large to convert to int"),
    (2 ** 80, OverflowError, "value too large to convert to int"),
])
def test_n_colors_rejected(tm, n_colors, error, message):
    with pytest.raises(error) as info:
        tm.ColorExtractor(n_colors)
    assert str(info.value) == message


def test_truth_values(tm):
    ext = tm.ColorExtractor(preprocessing=0, lab_space="")
    assert state(ext) == expected_state(preprocessing=False, lab_space=False)
    ext = tm.ColorExtractor(preprocessing=[1], lab_space=object())
    assert state(ext) == expected_state()


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_truth_test_errors_propagate(tm):
    with pytest.raises(ZeroDivisionError, match="no truth"):
        tm.ColorExtractor(lab_space=BadBool())


class MyStr(str):
    pass


@pytest.mark.parametrize("kwargs, name, given", [
    ({"algorithm": 1}, "algorithm", "int"),
    ({"algorithm": MyStr("kmeans")}, "algorithm", "MyStr"),
    ({"algorithm": b"kmeans"}, "algorithm", "bytes"),
] + ([({"use_gpu": 1}, "use_gpu", "int"), ({"use_gpu": MyStr("auto")}, "use_gpu", "MyStr")]
     if FULL else []))
def test_text_arguments_are_exact_str(tm, kwargs, name, given):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor(**kwargs)
    assert str(info.value) == (
        f"Argument '{name}' has incorrect type (expected str, got {given})")


def test_unknown_and_none_algorithm_are_stored(tm):
    assert state(tm.ColorExtractor(algorithm="meanshift")) == expected_state(algorithm="meanshift")
    assert state(tm.ColorExtractor(algorithm=None)) == expected_state(algorithm=None)


def test_conversion_order(tm):
    # n_colors is converted before the algorithm's type is checked.
    with pytest.raises(TypeError, match="an integer is required"):
        tm.ColorExtractor("x", 1)
    with pytest.raises(ZeroDivisionError):
        tm.ColorExtractor(5, 1, BadBool())


@pytest.mark.parametrize("args, kwargs, message", [
    ((5, "kmeans", True, True, "auto", 1), {},
     "__init__() takes at most 5 positional arguments (6 given)" if FULL else
     "__init__() takes at most 4 positional arguments (6 given)"),
    ((), {"colours": 5}, "__init__() got an unexpected keyword argument 'colours'"),
    ((5,), {"n_colors": 6}, "__init__() got multiple values for keyword argument 'n_colors'"),
])
def test_argument_errors(tm, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor(*args, **kwargs)
    assert str(info.value) == message


def test_cpu_profile_has_no_use_gpu(tm):
    if FULL:
        assert state(tm.ColorExtractor(use_gpu="never")) == expected_state(use_gpu="never")
    else:
        with pytest.raises(TypeError, match="unexpected keyword argument 'use_gpu'"):
            tm.ColorExtractor(use_gpu="never")
        with pytest.raises(TypeError):
            tm.ColorExtractor(5, "kmeans", True, True, "auto")


def test_fresh_instance(tm):
    fresh = tm.ColorExtractor.__new__(tm.ColorExtractor)
    if FULL:
        assert state(fresh) == (None, None, False, 0, False, False, None)
    else:
        assert state(fresh) == (None, False, 0, False)


def test_fields_are_not_attributes(tm):
    ext = tm.ColorExtractor()
    for name in ["n_colors", "algorithm", "preprocessing", "lab_space", "device"]:
        with pytest.raises(AttributeError):
            getattr(ext, name)
    with pytest.raises(AttributeError):
        ext.extra = 1
    assert not hasattr(ext, "__dict__")
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(ext)


def test_class_is_immutable_and_subclassable(tm):
    if sys.version_info >= (3, 10):  # heap types can be made immutable from 3.10 on
        with pytest.raises(TypeError):
            tm.ColorExtractor.extract_colors = None

    class Sub(tm.ColorExtractor):
        pass

    sub = Sub(3)
    sub.note = "kept"
    assert state(sub) == expected_state(n_colors=3)
    assert sub.__dict__ == {"note": "kept"}


def test_reinit(tm):
    ext = tm.ColorExtractor(8, "dbscan", False, False)
    with pytest.raises(TypeError):
        ext.__init__(3, 7)
    assert state(ext) == expected_state(8, "dbscan", False, False)
    ext.__init__(2)
    assert state(ext) == expected_state(2)


def test_docstring(tm):
    doc = tm.ColorExtractor.__init__.__doc__
    assert doc.startswith("Initialize ColorExtractor with robust color extraction capabilities.")
    assert "n_colors: Number of dominant colors to extract" in doc
    assert ("use_gpu: GPU usage mode ('auto', 'force', 'never')" in doc) == FULL


# ---- the device decision (full profile) -----------------------------------------------

@full_only
def test_never_does_not_ask(tm, rebind):
    calls = []
    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", lambda mode: calls.append(mode) or "cuda")
    assert state(tm.ColorExtractor(use_gpu="never"))[1:] == ("cpu", True, 5, True, False, "never")
    assert calls == []
    tm.ColorExtractor(use_gpu=None)
    tm.ColorExtractor(use_gpu="Never")
    assert calls == [None, "Never"]


@full_only
@pytest.mark.parametrize("result, device, compute", [
    ("cuda", "cuda", True), ("cpu", "cpu", False), ("tpu", "tpu", True), (None, None, True),
])
def test_device_follows_rebound_function(tm, rebind, result, device, compute):
    rebind("GPU_AVAILABLE", 1)
    rebind("get_compute_device", lambda mode: result)
    ext = tm.ColorExtractor()
    assert state(ext)[1] == device and state(ext)[5] is compute


@full_only
def test_force_without_gpu_libraries_is_quiet(tm):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert state(tm.ColorExtractor(use_gpu="force"))[1] == "cpu"


def boom(mode):
    raise ValueError("no device here")


@full_only
def test_failed_decision_warns(tm, rebind):
    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", boom)
    with pytest.warns(UserWarning) as record:
        ext = tm.ColorExtractor()
    assert [str(w.message) for w in record] == [
        "GPU not available, falling back to CPU: no device here"]
    assert state(ext)[1] == "cpu" and state(ext)[5] is False


@full_only
def test_wrong_result_type_warns(tm, rebind):
    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", lambda mode: 42)
    with pytest.warns(UserWarning, match="^GPU not available, falling back to CPU: "
                                         "Expected str, got int$"):
        tm.ColorExtractor()


@full_only
def test_forced_failure_raises_with_context(tm, rebind):
    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", boom)
    with pytest.raises(RuntimeError) as info:
        tm.ColorExtractor(use_gpu="force")
    assert str(info.value) == "GPU forced but not available: no device here"
    assert isinstance(info.value.__context__, ValueError)


@full_only
def test_warning_as_error(tm, rebind):
    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", boom)
    ext = tm.ColorExtractor(use_gpu="never")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as info:
            ext.__init__(4)
    assert isinstance(info.value.__context__, ValueError)
    # The fields of step 2 hold the new values; the device ones keep the old.
    assert state(ext) == ("kmeans", "cpu", True, 4, True, False, "auto")


@full_only
def test_base_exceptions_are_not_caught(tm, rebind):
    def interrupt(mode):
        raise KeyboardInterrupt

    rebind("GPU_AVAILABLE", True)
    rebind("get_compute_device", interrupt)
    with pytest.raises(KeyboardInterrupt):
        tm.ColorExtractor()


@full_only
def test_deleted_global_is_a_name_error(tm, monkeypatch):
    monkeypatch.delattr(tm, "GPU_AVAILABLE")
    with pytest.raises(NameError, match="GPU_AVAILABLE"):
        tm.ColorExtractor()

import copy
import pickle

import pytest

from support import FULL, cpu_only, full_only

CHECKSUM = 0xf3713aa if FULL else 0x95a985b
ACCEPTED = [0xf3713aa, 0x5a43bad, 0x8fee90d] if FULL else [0x95a985b, 0x5abda51, 0x3daa32e]
FIELDS = 7 if FULL else 4


def make_state(algorithm="kmeans", device="cpu", lab_space=True, n_colors=5, preprocessing=True,
               use_gpu_compute=False, use_gpu_param="auto"):
    if FULL:
        return (algorithm, device, lab_space, n_colors, preprocessing, use_gpu_compute,
                use_gpu_param)
    return (algorithm, lab_space, n_colors, preprocessing)


class Sub:
    pass


def fields(ext):
    return ext.__reduce__()[2][:FIELDS]


def test_n_colors_entry_converts_as_int_does(tm):
    class Index:  # int() falls back to __index__
        def __index__(self):
            return 6

    ext = tm.ColorExtractor()
    ext.__setstate__(make_state(n_colors=Index()))
    assert fields(ext)[3 if FULL else 2] == 6


def test_reduce_of_default(tm):
    reduced = tm.ColorExtractor().__reduce__()
    assert reduced == (tm.__pyx_unpickle_ColorExtractor, (tm.ColorExtractor, CHECKSUM, None),
                       make_state())
    assert type(reduced[2][3 if FULL else 2]) is int


def test_state_fields_name_the_entries(tm):
    full = ("algorithm", "device", "lab_space", "n_colors", "preprocessing", "use_gpu_compute",
            "use_gpu_param")
    assert tm.STATE_FIELDS == (full if FULL else ("algorithm", "lab_space", "n_colors",
                                                  "preprocessing"))
    state = tm.ColorExtractor(n_colors=9, preprocessing=False).__reduce__()[2]
    named = dict(zip(tm.STATE_FIELDS, state))
    assert (named["n_colors"], named["preprocessing"], len(state)) == (9, False, FIELDS)


def test_reduce_of_fresh_instance_is_inline(tm):
    fresh = tm.ColorExtractor.__new__(tm.ColorExtractor)
    inline = make_state(None, None, False, 0, False, False, None)
    assert fresh.__reduce__() == (tm.__pyx_unpickle_ColorExtractor,
                                  (tm.ColorExtractor, CHECKSUM, inline))


@pytest.mark.parametrize("copier", [
    lambda e: pickle.loads(pickle.dumps(e)),
    lambda e: pickle.loads(pickle.dumps(e, protocol=0)),
    copy.copy,
    copy.deepcopy,
])
def test_round_trip(tm, copier):
    ext = tm.ColorExtractor(8, "dbscan", lab_space=False)
    restored = copier(ext)
    assert type(restored) is tm.ColorExtractor
    assert fields(restored) == fields(ext) == make_state("dbscan", lab_space=False, n_colors=8)


def test_fresh_instance_round_trip(tm):
    fresh = tm.ColorExtractor.__new__(tm.ColorExtractor)
    assert pickle.loads(pickle.dumps(fresh)).__reduce__() == fresh.__reduce__()


def test_restore_runs_no_constructor(tm, monkeypatch):
    data = pickle.dumps(tm.ColorExtractor(3))
    if FULL:
        monkeypatch.setattr(tm, "get_compute_device", lambda mode: 1 / 0)
        monkeypatch.setattr(tm, "GPU_AVAILABLE", True)
    assert fields(pickle.loads(data)) == make_state(n_colors=3)


def test_pickle_names_the_module_functions(tm):
    data = pickle.dumps(tm.ColorExtractor())
    assert b"vantrel_huesift.tintmill" in data
    assert b"__pyx_unpickle_ColorExtractor" in data and b"ColorExtractor" in data


@pytest.mark.parametrize("checksum", ACCEPTED)
def test_accepted_checksums(tm, checksum):
    ext = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, checksum, make_state(n_colors=9))
    assert fields(ext) == make_state(n_colors=9)


@pytest.mark.parametrize("checksum, text", [(1, "0x1"), (0xABCDEF, "0xabcdef"), (-5, "0x-5")])
def test_rejected_checksum(tm, checksum, text):
    with pytest.raises(pickle.PickleError) as info:
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, checksum, None)
    if FULL:
        expected = (f"Incompatible checksums ({text} vs (0xf3713aa, 0x5a43bad, 0x8fee90d) = "
                    "(algorithm, device, lab_space, n_colors, preprocessing, use_gpu_compute, "
                    "use_gpu_param))")
    else:
        expected = (f"Incompatible checksums ({text} vs (0x95a985b, 0x5abda51, 0x3daa32e) = "
                    "(algorithm, lab_space, n_colors, preprocessing))")
    assert str(info.value) == expected


def test_other_profile_checksum_is_rejected(tm):
    other = 0x95a985b if FULL else 0xf3713aa
    with pytest.raises(pickle.PickleError):
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, other, None)


@pytest.mark.parametrize("checksum, error", [
    ("abc", TypeError), (None, TypeError), (2 ** 70, OverflowError),
])
def test_checksum_conversion(tm, checksum, error):
    with pytest.raises(error):
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, checksum, None)


@pytest.mark.parametrize("bad_type", [int, 5, None, "ColorExtractor", object, type, Sub])
def test_restore_refuses_other_types(tm, bad_type):
    with pytest.raises(TypeError):
        tm.__pyx_unpickle_ColorExtractor(bad_type, CHECKSUM, make_state())


def test_restore_argument_errors(tm):
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM)
    ext = tm.__pyx_unpickle_ColorExtractor(__pyx_type=tm.ColorExtractor,
                                           __pyx_checksum=CHECKSUM, __pyx_state=None)
    assert type(ext) is tm.ColorExtractor


@pytest.mark.parametrize("state, given", [([], "list"), ("abc", "str"), (5, "int")])
def test_state_must_be_exact_tuple(tm, state, given):
    with pytest.raises(TypeError) as info:
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM, state)
    assert str(info.value) == f"Expected tuple, got {given}"
    ext = tm.ColorExtractor()
    with pytest.raises(TypeError) as info:
        ext.__setstate__(state)
    assert str(info.value) == f"Expected tuple, got {given}"


def test_tuple_subclass_state_is_rejected(tm):
    class T(tuple):
        pass

    with pytest.raises(TypeError, match="^Expected tuple, got T$"):
        tm.ColorExtractor().__setstate__(T(make_state()))


def test_setstate_none(tm):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor().__setstate__(None)
    assert str(info.value) == "'NoneType' object is not subscriptable"


def test_setstate_assigns_in_order(tm):
    ext = tm.ColorExtractor()
    short = make_state("dbscan", n_colors=2)[:3 if FULL else 2]
    with pytest.raises(IndexError, match="tuple index out of range"):
        ext.__setstate__(short)
    assert fields(ext)[0] == "dbscan"
    assert fields(ext)[3 if FULL else 2] == 5  # n_colors not reached yet


@pytest.mark.parametrize("index, value, error, message", [
    (0, 5, TypeError, "Expected str, got int"),
    (0, b"k", TypeError, "Expected str, got bytes"),
] + ([
    (1, 1.5, TypeError, "Expected str, got float"),
    (6, ["auto"], TypeError, "Expected str, got list"),
    (3, "5", TypeError, "an integer is required"),
    (3, 2 ** 31, OverflowError, "value too large to convert to int"),
    (3, 10 ** 100, OverflowError, "value too large to convert to int"),
] if FULL else [
    (2, "5", TypeError, "an integer is required"),
    (2, 2 ** 31, OverflowError, "value too large to convert to int"),
]))
def test_entry_types(tm, index, value, error, message):
    state = list(make_state())
    state[index] = value
    with pytest.raises(error) as info:
        tm.ColorExtractor().__setstate__(tuple(state))
    assert str(info.value) == message


def test_odd_values_are_stored(tm):
    state = make_state("sift", "quantum", 0, -5, [], 1, "sometimes")
    ext = tm.ColorExtractor()
    ext.__setstate__(state + ("ignored", "extra"))
    expected = make_state("sift", "quantum", False, -5, False, True, "sometimes")
    assert fields(ext) == expected


def test_subclass_dict_travels(tm):
    class Named(tm.ColorExtractor):
        pass

    globals()["Named"] = Named
    Named.__qualname__ = "Named"
    try:
        ext = Named(4)
        ext.label = "sky"
        reduced = ext.__reduce__()
        assert reduced[1] == (Named, CHECKSUM, None)
        assert reduced[2] == make_state(n_colors=4) + ({"label": "sky"},)
        restored = pickle.loads(pickle.dumps(ext))
        assert type(restored) is Named and restored.label == "sky"
        assert fields(restored) == make_state(n_colors=4)
    finally:
        del globals()["Named"]


def test_subclass_dict_update_errors_propagate(tm):
    class Sub(tm.ColorExtractor):
        pass

    with pytest.raises(ValueError):
        Sub().__setstate__(make_state() + ([(1, 2, 3)],))
    with pytest.raises(TypeError):
        Sub().__setstate__(make_state() + (5,))


@full_only
def test_gpu_extractor_restored_without_gpu_keeps_its_device(tm):
    state = make_state(device="cuda", use_gpu_compute=True)
    ext = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM, state)
    assert fields(ext) == state


@cpu_only
def test_cpu_profile_inline_form(tm):
    ext = tm.ColorExtractor(algorithm=None)
    assert ext.__reduce__() == (tm.__pyx_unpickle_ColorExtractor,
                                (tm.ColorExtractor, CHECKSUM, (None, True, 5, True)))


def test_reduce_reads_the_restore_function_late(tm, monkeypatch):
    marker = object()
    monkeypatch.setattr(tm, "__pyx_unpickle_ColorExtractor", marker)
    assert tm.ColorExtractor().__reduce__()[0] is marker

import pickle
import sys

import numpy as np
import pytest
from sklearn.utils._param_validation import InvalidParameterError

from support import FULL

CHECKSUM = 0xf3713aa if FULL else 0x95a985b


def state(**fields):
    values = dict(algorithm="kmeans", device="cpu", lab_space=True, n_colors=5,
                  preprocessing=True, use_gpu_compute=False, use_gpu_param="auto")
    values.update(fields)
    if not FULL:
        return tuple(values[k] for k in ("algorithm", "lab_space", "n_colors", "preprocessing"))
    return tuple(values.values())


class Crafted:
    """Pickles as a call of the restore function with the given arguments."""

    def __init__(self, tm, *args):
        self.tm, self.args = tm, args

    def __reduce__(self):
        return getattr(self.tm, "__pyx_unpickle_ColorExtractor"), self.args


def nested(depth):
    value = ()
    for _ in range(depth):
        value = (value,)
    return value


class S(str):
    pass


HOSTILE_ARGS = [
    (int, CHECKSUM, None),
    (object, CHECKSUM, None),
    ("ColorExtractor", CHECKSUM, None),
    (None, CHECKSUM, None),
    (type, CHECKSUM, None),
    (np.ndarray, CHECKSUM, None),
]


@pytest.mark.parametrize("index", range(len(HOSTILE_ARGS)))
def test_crafted_streams_with_bad_types(tm, index):
    data = pickle.dumps(Crafted(tm, *HOSTILE_ARGS[index]))
    with pytest.raises(TypeError):
        pickle.loads(data)


@pytest.mark.parametrize("bad_state", [
    state(algorithm=S("kmeans")),
    state(n_colors=10 ** 1000),
    state(n_colors=nested(10_000)),
    state(n_colors=-2 ** 63),
    (),
    ("kmeans",),
    (b"kmeans",) * 8,
    nested(50_000),
])
def test_crafted_streams_with_bad_states(tm, bad_state):
    with pytest.raises((TypeError, OverflowError, IndexError)):
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM, bad_state)
    ext = tm.ColorExtractor()
    with pytest.raises((TypeError, OverflowError, IndexError)):
        ext.__setstate__(bad_state)


@pytest.mark.parametrize("checksum", [10 ** 30, -10 ** 30, 2 ** 63, "0xf3713aa", 1.5j])
def test_hostile_checksums(tm, checksum):
    with pytest.raises((TypeError, OverflowError, pickle.PickleError)):
        tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, checksum, None)


def test_float_checksum_is_truncated(tm):
    ext = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, float(CHECKSUM) + 0.5, None)
    assert type(ext) is tm.ColorExtractor


def test_extra_entries_are_ignored_without_dict(tm):
    ext = tm.ColorExtractor()
    ext.__setstate__(state(n_colors=7) + ({"x": 1}, object(), nested(100)))
    assert ext.__reduce__()[2][3 if FULL else 2] == 7


def test_subclass_dict_update_that_raises(tm):
    class Hostile(tm.ColorExtractor):
        pass

    class Exploding:
        def keys(self):
            raise RuntimeError("nope")

    with pytest.raises(RuntimeError, match="nope"):
        Hostile().__setstate__(state() + (Exploding(),))


def test_subclass_whose_dict_lookup_raises(tm):
    class Odd(tm.ColorExtractor):
        def __getattribute__(self, name):
            if name == "__dict__":
                raise ValueError("hidden")
            return super().__getattribute__(name)

    with pytest.raises(ValueError, match="hidden"):
        Odd().__reduce__()
    with pytest.raises(ValueError, match="hidden"):
        Odd().__setstate__(state() + ({},))


def test_odd_but_valid_fields_fail_only_in_use(tm):
    image = np.random.default_rng(0).integers(0, 256, (30, 30, 3), dtype=np.uint8)
    odd = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM,
                                           state(device="quantum", n_colors=-5))
    with pytest.raises(InvalidParameterError):
        odd.extract_colors(image)
    dbscan = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM,
                                              state(algorithm="dbscan", n_colors=-5))
    assert isinstance(dbscan.extract_colors(image), list)
    weird = tm.__pyx_unpickle_ColorExtractor(tm.ColorExtractor, CHECKSUM, state(algorithm="x"))
    with pytest.raises(ValueError, match="^Unknown algorithm: x$"):
        weird.extract_colors(image)


def test_deep_recursion_in_state_does_not_crash(tm):
    deep = nested(sys.getrecursionlimit() * 3)
    with pytest.raises(TypeError):
        tm.ColorExtractor().__setstate__((deep,) + state()[1:])

import copy
import hashlib
import re

import numpy as np
import pytest

import vantrel_huesift
from vantrel_huesift import names
from vantrel_huesift.tintmill import ColorExtractor


def distance(a, b):
    return ColorExtractor()._color_distance_lab(np.array(a), np.array(b))


def test_the_vocabularies_are_matplotlibs_tables_as_pinned():
    # A release of matplotlib that changed a table would change names: pinned here.
    pinned = {"css": (148, "4435d4e9c4f6cc51"), "xkcd": (949, "efb792a6494c14f2"),
              "basic": (11, "5552674138809df3")}
    for name, (size, digest) in pinned.items():
        vocabulary = names.get_vocabulary(name)
        entries = repr(list(zip(vocabulary.names, vocabulary.rgb.tolist())))
        assert (len(vocabulary), hashlib.sha256(entries.encode()).hexdigest()[:16]) == (
            size, digest)
    assert names.get_vocabulary(" CSS ") is names.get_vocabulary("css")
    assert names.get_vocabulary("basic").names == names.BASIC


# (vocabulary, colour, its name, another entry exactly as near, which comes later)
@pytest.mark.parametrize("vocabulary, rgb, name, tied", [
    ("css", (255, 0, 0), "red", None),
    ("css", (38, 34, 43), "black", None),
    ("css", (0, 255, 255), "aqua", "cyan"),  # the same colour twice
    ("css", (128, 128, 128), "gray", "grey"),
    ("css", (252, 246, 236), "oldlace", "seashell"),  # both at sqrt(5)
    ("xkcd", (104, 137, 197), "faded blue", None),
    ("xkcd", (21, 176, 26), "green", None),
    ("xkcd", (1, 255, 7), "fluro green", "bright green"),  # its own colour: equal L*a*b*
    ("xkcd", (255, 254, 16), "bright yellow", "yellow"),  # both at 1
    ("basic", (255, 0, 0), "red", None),
    ("basic", (104, 137, 197), "grey", None),
    ("basic", (202, 147, 174), "grey", "pink"),  # both at sqrt(989)
    ("basic", (41, 40, 11), "black", "brown"),
])
def test_planted_names_and_ties_to_the_first_entry(vocabulary, rgb, name, tied):
    known = names.get_vocabulary(vocabulary)
    expected = distance(rgb, known.colour(name))
    assert vantrel_huesift.colour_name(rgb, vocabulary) == (name, expected)
    assert names.colour_name(list(rgb), vocabulary) == (name, expected)
    if tied is not None:
        assert distance(rgb, known.colour(tied)) == expected
        assert known.index(name) < known.index(tied)


@pytest.mark.parametrize("vocabulary", names.VOCABULARIES)
def test_many_colours_at_once_are_named_as_one_at_a_time(vocabulary):
    known = names.get_vocabulary(vocabulary)
    rng = np.random.default_rng(30)
    rgb = np.concatenate([rng.integers(0, 256, (40_000, 3)), known.rgb]).astype(np.uint8)
    indices, distances = known.nearest(rgb)
    lab = names._lab(rgb).astype(np.int32)
    squared = np.concatenate([((part[:, None] - known._lab) ** 2).sum(axis=2).min(axis=1)
                              for part in np.array_split(lab, 20)])
    assert np.array_equal(distances, np.sqrt(squared))
    assert (distances[-len(known):] == 0).all()  # each entry, or an earlier one alike
    assert (indices[-len(known):] <= np.arange(len(known))).all()
    entries = [{"color": tuple(c)} for c in known.rgb.tolist()]
    extractor = ColorExtractor()
    for colour, index, far in list(zip(rgb.tolist(), indices.tolist(), distances.tolist()))[::997]:
        assert names.colour_name(colour, vocabulary) == (known.names[index], far)
        # the library's own search, which keeps the first of equally near entries
        closest, nearness = extractor._find_closest_color(tuple(colour), entries)
        assert (closest is entries[index], nearness) == (True, far)
    image = rgb[:12].reshape(2, 2, 3, 3)
    assert [a.shape for a in known.nearest(image)] == [(2, 2, 3), (2, 2, 3)]


def test_name_colours_returns_named_copies():
    records = [{"color": (38, 34, 43), "percentage": 48.19},
               {"color": [233, 198, 175], "percentage": 14.25, "name": "old"}]
    before = copy.deepcopy(records)
    named = vantrel_huesift.name_colours(records, vocabulary="basic")
    assert named == [{"color": (38, 34, 43), "percentage": 48.19, "name": "black"},
                     {"color": [233, 198, 175], "percentage": 14.25, "name": "white"}]
    assert list(named[0]) == ["color", "percentage", "name"]
    assert records == before and named[1]["color"] is not records[1]["color"]
    assert names.name_colours([]) == []


@pytest.mark.parametrize("vocabulary, query, expected", [
    ("xkcd", "Light  Blue", "light blue"), ("xkcd", "lightblue", "lightblue"),
    ("xkcd", "CloudyBlue", "cloudy blue"), ("css", "light blue", "lightblue"),
    ("css", "NAVY", "navy"), ("basic", " grey ", "grey"),
    ("basic", "gren", "unknown colour name 'gren' in vocabulary 'basic'; did you mean 'green'?"),
    ("xkcd", "robins egg",
     "unknown colour name 'robins egg' in vocabulary 'xkcd'; did you mean \"robin's egg\"?"),
    ("css", "zzzz", "unknown colour name 'zzzz' in vocabulary 'css'"),
    ("xkcd", "d arkgreen",
     "ambiguous colour name 'd arkgreen' in vocabulary 'xkcd': 'darkgreen' or 'dark green'"),
    ("xkcdd", "red", "unknown vocabulary 'xkcdd'; did you mean 'xkcd'?"),
    ("rainbow", "red", "unknown vocabulary 'rainbow'; the vocabularies: css, xkcd, basic"),
])
def test_names_as_queries_and_the_nearest_spelling(vocabulary, query, expected):
    if expected.startswith(("unknown", "ambiguous")):
        with pytest.raises(names.ColourNameError, match=f"^{re.escape(expected)}$"):
            names.get_vocabulary(vocabulary).colour(query)
        return
    known = names.get_vocabulary(vocabulary)
    assert known.names[known.index(query)] == expected
    assert known.colour(query) == tuple(known.rgb[known.names.index(expected)].tolist())


@pytest.mark.parametrize("rgb", [(1, 2), (1, 2, 256), (1.5, 2, 3), (-1, 0, 0), "red", None,
                                 [[1, 2, 3], [4, 5]], (True, False, True), float("nan")])
def test_bad_colours_are_refused(rgb):
    with pytest.raises(ValueError, match="^(a colour must be three|colours must be whole)"):
        names.colour_name(rgb)

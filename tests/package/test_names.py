import copy
import hashlib
import html
import json
import os
import re
import subprocess

import cv2
import numpy as np
import pytest

import vantrel_huesift
from support import chromium, huesift
from vantrel_huesift import batch, names, report, search
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
    ("css", "Faded Blue",
     "unknown colour name 'Faded Blue' in vocabulary 'css'; it is a name of 'xkcd'"),
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


# Planted colours and their names in each vocabulary, ties to the first entry among them:
# aqua before cyan, gray before grey, oldlace before seashell; fluro green before bright green,
# bright yellow before yellow; basic grey before pink, black before brown.
PLANTED = {
    (0, 255, 255): ("aqua", "cyan", "white"),
    (128, 128, 128): ("gray", "medium grey", "grey"),
    (252, 246, 236): ("oldlace", "very light pink", "white"),
    (104, 137, 197): ("steelblue", "faded blue", "grey"),
    (255, 0, 0): ("red", "fire engine red", "red"),
    (1, 255, 7): ("lime", "fluro green", "yellow"),
    (255, 254, 16): ("yellow", "bright yellow", "yellow"),
    (21, 176, 26): ("limegreen", "green", "green"),
    (202, 147, 174): ("rosybrown", "light mauve", "grey"),
    (41, 40, 11): ("black", "dark brown", "black"),
}


def page_names(page):
    """The names each card of a report shows, by colour, as headless Chromium renders it."""
    probe = ("<script>document.body.insertAdjacentHTML('beforeend', '<pre id=\"out\">' + "
             "JSON.stringify(Array.from(document.querySelectorAll('.card'), c => Array.from("
             "c.querySelectorAll('[data-rgb]'), s => [s.dataset.rgb, s.querySelector('b')"
             ".textContent]))) + '</pre>');</script></body>")
    probed = page.with_name("probe.html")
    probed.write_text(page.read_text().replace("</body>", probe))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtimes
    dom = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                          "--dump-dom", probed.as_uri()], capture_output=True, text=True,
                         timeout=120, check=True, env=env).stdout
    cards = json.loads(html.unescape(dom.rsplit('<pre id="out">', 1)[1].split("</pre>")[0]))
    return [{tuple(map(int, rgb.split(","))): name for rgb, name in card} for card in cards]


@pytest.mark.parametrize("vocabulary", names.VOCABULARIES)
def test_a_colour_has_one_name_on_every_path(tmp_path, vocabulary):
    expected = {rgb: called[names.VOCABULARIES.index(vocabulary)]
                for rgb, called in PLANTED.items()}
    # colour i on i + 1 rows: ten colours of distinct shares, which k-means in RGB keeps exact
    rows = [rgb[::-1] for i, rgb in enumerate(PLANTED) for _ in range(i + 1)]
    cv2.imwrite(str(tmp_path / "planted.png"), np.uint8(rows)[:, None].repeat(2, axis=1))
    options = ["--rgb", "--no-preprocessing", "--colors", 10, "--names", vocabulary]
    out = huesift("extract", tmp_path / "planted.png", *options, "--json", "--palette",
                  tmp_path / "p.gpl")
    extracted = json.loads(out.stdout)
    assert {tuple(c["color"]): c["name"] for c in extracted} == expected, out.stderr
    shares = {tuple(c["color"]): c["percentage"] for c in extracted}
    assert [line.split("\t")[1] for line in (tmp_path / "p.gpl").read_text().splitlines()[4:]] == [
        f"{c['name']} {c['percentage']:.2f}%" for c in extracted]
    for rgb, name in expected.items():
        assert vantrel_huesift.colour_name(rgb, vocabulary)[0] == name
    assert vantrel_huesift.name_colours(extracted, vocabulary) == extracted

    output = tmp_path / "r.jsonl"
    [made] = batch.batch_extract_colors(str(tmp_path / "planted.png"), ColorExtractor(
        10, preprocessing=False, lab_space=False), jobs=1, names=vocabulary, output=str(output))
    assert json.loads(json.dumps(made["colors"])) == extracted and made["vocabulary"] == vocabulary
    # the same record without its names, and with another vocabulary's: named alike
    stored = json.loads(output.read_text())
    bare = {**stored, "colors": [{k: c[k] for k in ("color", "percentage")}
                                 for c in stored["colors"]]}
    other = names.VOCABULARIES[names.VOCABULARIES.index(vocabulary) - 1]
    elsewhere = {**stored, "colors": vantrel_huesift.name_colours(bare["colors"], other),
                 "vocabulary": other}
    output.write_text("".join(json.dumps(r) + "\n" for r in (stored, bare, elsewhere)))
    for name in set(expected.values()):
        hits = search.search(str(output), search.NameQuery(name.upper(), vocabulary)).hits
        share = sum(shares[rgb] for rgb, called in expected.items() if called == name)
        assert [(h.line, h.score) for h in hits] == [(n, round(share, 2)) for n in (1, 2, 3)]

    assert report.write_report(output, str(tmp_path / "page.html"), vocabulary=vocabulary) == 3
    assert page_names(tmp_path / "page.html") == [expected] * 3
    strip = vantrel_huesift.swatches(made)._repr_html_()
    assert [m[0] for m in re.findall(r'title="([^"]*) (#[0-9a-f]{6}) ', strip)] == [
        html.escape(c["name"]) for c in extracted]

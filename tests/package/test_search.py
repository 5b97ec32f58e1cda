import json

import numpy as np
import pytest

from support import huesift
from vantrel_huesift import search
from vantrel_huesift.tintmill import ColorExtractor

Q, FAR = (200, 30, 40), (0, 255, 0)
NEAR = (205, 40, 40)  # within 15 of Q, and not at 0


def distance(a, b):
    return ColorExtractor()._color_distance_lab(np.array(a), np.array(b))


def line(path, colours, **extra):
    """A record in the layout huesift batch writes; a colour (c, p, name) holds a name."""
    return json.dumps({"path": path, "resolved_path": "/x/" + path, "colors": [
        {"color": list(c), "percentage": p, **({"name": n[0]} if n and n[0] else {})}
        for c, p, *n in colours], **extra})


# Planted: B and H share the best score and distance, so the file's order decides; I's shares
# add to 30.299999999999997, which counts as 30.30; A, D and C tie at 30.00 and C's nearest
# colour is not Q itself.
COLOUR_LINES = [
    line("A", [(Q, 30.0), (FAR, 70.0)]),
    line("B", [(FAR, 50.0), (NEAR, 30.0), (Q, 20.0)]),
    line("C", [(NEAR, 30.0), (FAR, 70.0)]),
    line("D", [(Q, 30.0), (FAR, 70.0)]),
    json.dumps({"path": "E", "resolved_path": "/x/E", "error": "ValueError: gone"}),
    line("F", []),
    line("G", [(FAR, 100.0)]),
    "",
    '{"path": "a.png", "colors": null}',
    # not the batch's layout: keys in another order, a name with escapes, an unknown field
    json.dumps({"colors": [{"percentage": 40.0, "color": list(Q)}, {"color": list(NEAR),
                "percentage": 10.0}], "extra": 1, "path": "H\u00e9"}),
    line("I", [(Q, 10.1), (NEAR, 20.2)]),
    "not json",
]


@pytest.fixture
def colours_file(tmp_path):
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join(COLOUR_LINES))  # no final newline
    return path


@pytest.mark.parametrize("jobs", [1, 3])
def test_colour_search_ranks_by_the_share_within(colours_file, monkeypatch, jobs):
    monkeypatch.setattr(search, "PARALLEL_BYTES", 1)  # three processes even for a small file
    found = search.search(str(colours_file), search.ColourQuery(Q, 15), top=5, jobs=jobs)
    near = round(distance(Q, NEAR), 2)
    assert 0 < near <= 15
    assert [(h.path, h.score, h.nearest, h.distance, h.line) for h in found.hits] == [
        ("B", 50.0, Q, 0.0, 2), ("H\u00e9", 50.0, Q, 0.0, 10), ("I", 30.3, Q, 0.0, 11),
        ("A", 30.0, Q, 0.0, 1), ("D", 30.0, Q, 0.0, 4)]
    assert found[1:] == (7, 2, [9, 12], 1, 1)  # scored, unreadable, their lines, failed, empty
    everything = search.search(str(colours_file), search.ColourQuery(Q, 15), top=100, jobs=jobs)
    assert [h.path for h in everything.hits][5:] == ["C"]  # G scores 0: not a hit
    assert everything.hits[5].nearest == NEAR and everything.hits[5].distance == near
    # within 0, only Q itself counts
    exact = search.search(str(colours_file), search.ColourQuery(Q, 0), top=3)
    assert [(h.path, h.score) for h in exact.hits] == [("H\u00e9", 40.0), ("A", 30.0),
                                                       ("D", 30.0)]


GREEN, LIGHTER, RED = (21, 176, 26), (0, 200, 0), (255, 0, 0)  # basic: green, green, red

# Planted for basic's "green": a name a record holds in basic counts as it stands (N3's red, so
# named by hand), names of another vocabulary do not (N4's), and a colour without one is named
# by its colour (N1, N5, N7); N1 and N7 tie, and N1's nearest colour is green's own.
NAMED_LINES = [
    line("N1", [(GREEN, 30.0), (RED, 70.0)]),
    line("N2", [(GREEN, 20.0, "green"), (LIGHTER, 40.0, "green"), (RED, 40.0, "red")],
         vocabulary="basic"),
    line("N3", [(RED, 50.0, "green"), (RED, 50.0, "red")], vocabulary="basic"),
    line("N4", [(GREEN, 40.0, "limegreen"), (RED, 60.0, "grey")], vocabulary="css"),
    line("N5", [(GREEN, 10.0), (RED, 90.0, "red")], vocabulary="basic"),
    line("N6", [(RED, 100.0)]),
    line("N7", [(LIGHTER, 30.0), (RED, 70.0)]),
]


def test_name_search_ranks_by_the_share_so_named(tmp_path, monkeypatch):
    monkeypatch.setattr(search, "PARALLEL_BYTES", 1)
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join(NAMED_LINES) + "\n")
    for jobs in (1, 3):
        found = search.search(str(path), search.NameQuery("Green", "basic"), top=10, jobs=jobs)
        assert [(h.path, h.score, h.nearest) for h in found.hits] == [
            ("N2", 60.0, GREEN), ("N3", 50.0, RED), ("N4", 40.0, GREEN), ("N1", 30.0, GREEN),
            ("N7", 30.0, LIGHTER), ("N5", 10.0, GREEN)]
        assert found.hits[4].distance == round(distance(GREEN, LIGHTER), 2)
    # css's green is another colour, and no palette colour's nearest name
    none = search.search(str(path), search.NameQuery("green"), top=2)
    assert [(h.path, h.score) for h in none.hits] == [("N1", 0.0), ("N2", 0.0)]
    out = huesift("search", path, "--named", "limegreen", "--vocabulary", "css", "--top", "2")
    assert out.stdout.splitlines()[1:] == ["  1   60.00%  #00c800     10.68  N2",
                                           "  2   40.00%  #15b01a     25.40  N4"]
    out = huesift("search", path, "--named", "purple", "--top", "1")  # basic by default
    assert out.stderr == ("huesift: note: no image has a colour named 'purple' in vocabulary "
                          "'basic'; the nearest are listed\n")


def match(close, distance, very=0.0, total=None):
    return {"total_percentage": close if total is None else total, "close_percentage": close,
            "very_close_percentage": very, "closest_pixel": [1, 2, 3],
            "min_distance": distance, "similarity_score": 0}


TARGET_LINES = [
    line("T1", [(Q, 100.0)], targets={"brand": list(Q)},
         matches={"brand": match(40.0, 3.0, very=5.0)}),
    line("T2", [(Q, 100.0)], targets={"brand": list(Q), "café": list(FAR)},
         matches={"brand": match(40.0, 1.0, very=1.0), "café": match(7.0, 2.0)}),
    line("T3", [(Q, 100.0)]),
    line("T4", [(Q, 100.0)], targets={"other": list(Q)}, matches={"other": match(90.0, 0.0)}),
    # a name given twice: JSON keeps the last, and so does the search
    line("T5", [(Q, 100.0)], targets={"brand": list(Q)}, matches={"brand": match(1.0, 9.0)})
    .replace('"matches": {', '"matches": {"brand": ' + json.dumps(match(99.0, 0.0)) + ", "),
]


@pytest.mark.parametrize("band, order", [("close", ["T2", "T1", "T5"]),
                                         ("very-close", ["T1", "T2"])])
def test_target_search_ranks_by_a_stored_band(tmp_path, band, order):
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join(TARGET_LINES) + "\n")
    found = search.search(str(path), search.TargetQuery("brand", band))
    assert [h.path for h in found.hits] == order
    assert (found.records, found.without) == (3, 2)
    assert search.search(str(path), search.TargetQuery("café")).hits[0][:2] == (7.0, 2.0)


@pytest.mark.parametrize("lines, args, message", [
    (COLOUR_LINES, ["--color", "200,30"], "bad colour '200,30': expected R,G,B with values 0 "
                                          "to 255, #rrggbb or a colour name"),
    (COLOUR_LINES, ["--color", "gren"], "unknown colour name 'gren' in vocabulary 'css'; did "
                                        "you mean 'green'?"),
    (COLOUR_LINES, ["--color", "faded blue"], "unknown colour name 'faded blue' in vocabulary "
                                              "'css'; it is a name of 'xkcd'"),
    (COLOUR_LINES, ["--named", "gren", "--vocabulary", "basic"], "unknown colour name 'gren' in "
                                                                 "vocabulary 'basic'; did you "
                                                                 "mean 'green'?"),
    (COLOUR_LINES, ["--named", "green", "--vocabulary", "bsic"], "unknown vocabulary 'bsic'; "
                                                                 "did you mean 'basic'?"),
    (COLOUR_LINES, ["--named", "green", "--within", "3"], "--within belongs to --color"),
    (TARGET_LINES, ["--target", "brand", "--vocabulary", "css"], "--vocabulary belongs to "
                                                                 "--named and --color"),
    (COLOUR_LINES, ["--color", "#c81e2"], "bad colour '#c81e2'"),
    (COLOUR_LINES, ["--color", "1,2,3", "--band", "close"], "--band belongs to --target"),
    (COLOUR_LINES, ["--color", "1,2,3", "--within", "-1"], "--within must be a distance of 0"),
    (COLOUR_LINES, ["--color", "1,2,3", "--within", "x"], "argument --within: invalid float"),
    (COLOUR_LINES, ["--target", "brand"], "no record holds target reports: run huesift batch "
                                          "with --target or --targets"),
    (TARGET_LINES, ["--target", "x"], "no record holds a target named 'x'; the targets there: "
                                      "'brand'"),
    (TARGET_LINES, ["--target", "brand", "--within", "3"], "--within belongs to --color"),
    (TARGET_LINES, ["--target", "brand", "--top", "0"], "--top must be at least 1"),
    (None, ["--color", "1,2,3"], "results not found"),
])
def test_search_mistakes_are_one_line(tmp_path, lines, args, message):
    path = tmp_path / "r.jsonl"
    if lines is not None:
        path.write_text("\n".join(lines))
    out = huesift("search", path, *args)
    assert out.returncode == 2 and out.stdout == ""
    assert out.stderr.startswith("huesift: error: ") and message in out.stderr
    assert len(out.stderr.splitlines()) == 1


def test_search_command_prints_rows_and_one_line_of_skipped(colours_file):
    out = huesift("search", colours_file, "--color", "#c81e28", "--top", "2")
    assert out.returncode == 0
    assert out.stdout.splitlines() == [
        "  #    score  nearest  distance  path",
        "  1   50.00%  #c81e28      0.00  B",
        "  2   50.00%  #c81e28      0.00  H\u00e9"]
    assert out.stderr == (f"huesift: {colours_file}: skipped 2 unreadable lines (9, 12), "
                          "1 failed image, 1 without colours\n")
    out = huesift("search", colours_file, "--color", "200,30,40", "--top", "1", "--json")
    assert json.loads(out.stdout) == [{"rank": 1, "path": "B", "resolved_path": "/x/B",
                                       "score": 50.0, "nearest": list(Q), "distance": 0.0,
                                       "line": 2}]


def test_when_no_image_scores_the_nearest_are_listed(tmp_path):
    red, crimson, teal, navy = (255, 0, 0), (220, 20, 60), (0, 128, 128), (0, 0, 128)
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join([line("teal", [(teal, 100.0)]), line("crimson", [(crimson, 100.0)]),
                               line("navy", [(navy, 100.0)])]) + "\n")
    out = huesift("search", path, "--color", "Red", "--top", "2")  # CSS's red, #ff0000
    assert out.returncode == 0
    assert out.stderr == ("huesift: note: no image has a colour within 15 of #ff0000; the "
                          "nearest are listed\n")
    near = [round(distance(red, c), 2) for c in (crimson, teal, navy)]
    assert 15 < near[0] < near[1] < near[2]
    assert out.stdout.splitlines()[1:] == [f"  1    0.00%  #dc143c  {near[0]:>8.2f}  crimson",
                                           f"  2    0.00%  #008080  {near[1]:>8.2f}  teal"]

"""The parsers of what users and other tools write: records, colour strings, targets files.
Generated inputs: what is written reads back the same, and anything else is one line of
error, never a traceback."""

import json
import tempfile
import warnings
from pathlib import Path

import msgspec
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vantrel_huesift import colours, palette, records

BYTE = st.integers(0, 255)
RGB = st.tuples(BYTE, BYTE, BYTE)
SHARE = st.floats(0, 100).map(lambda x: round(x, 2))
TEXT = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12)
NAMES = st.text(st.characters(whitelist_categories=["L", "N"]), min_size=1, max_size=10)
JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False)
                    | st.text(max_size=5), lambda inner: st.lists(inner, max_size=3)
                    | st.dictionaries(st.text(max_size=5), inner, max_size=3), max_leaves=8)


def one_line(error):
    text = str(error)
    assert text and "\n" not in text and "Traceback" not in text
    return text


@st.composite
def batch_records(draw):
    """A record as the batch makes it: the engine's tuples, in the layout's order."""
    record = {"path": draw(TEXT), "resolved_path": "/" + draw(TEXT)}
    if draw(st.booleans()):
        record["error"] = draw(TEXT)
        return record
    record["colors"] = draw(st.lists(st.fixed_dictionaries(
        {"color": RGB, "percentage": SHARE}, optional={"name": TEXT}), max_size=4))
    targets = draw(st.dictionaries(NAMES, RGB, max_size=3))
    if targets:
        record["targets"] = targets
        record["matches"] = {name: {
            "total_percentage": draw(SHARE), "close_percentage": draw(SHARE),
            "very_close_percentage": draw(SHARE), "closest_pixel": draw(RGB),
            "min_distance": draw(st.floats(0, 400)), "similarity_score": draw(SHARE)}
            for name in targets}
    if draw(st.booleans()):
        record["chart_error"] = draw(TEXT)
    return record


@given(batch_records())
def test_records_round_trip_through_their_line(record):
    text = records.line(record)
    assert text.endswith(b"\n") and text.count(b"\n") == 1
    assert list(json.loads(text)) == [k for k in records.FIELDS if k in record]
    decoded = records.decode(text)
    assert json.loads(msgspec.json.encode(decoded)) == json.loads(text)
    assert decoded == records.convert(record) == records.decode(text.rstrip(b"\n"))


@given(JSON | st.binary(max_size=40).map(lambda b: {"raw": b.decode("latin-1")})
       | batch_records().flatmap(lambda r: st.sampled_from(list(r)).map(
           lambda key: {**r, key: None})))
def test_anything_else_is_one_line_of_what_is_wrong(value):
    for text in (json.dumps(value).encode(), json.dumps(value).encode()[:-1]):
        try:
            records.decode(text)
        except records.NotARecord as e:
            one_line(e)


@given(RGB, st.sampled_from(["{},{},{}", " {} , {} ,{} "]))
def test_colour_strings_read_back(rgb, layout):
    assert colours.parse_colour(layout.format(*rgb)) == rgb
    assert colours.parse_colour(colours.hex_of(rgb)) == rgb
    assert colours.parse_colour(colours.hex_of(rgb).upper()) == rgb
    assert colours.parse_target(f"a b={rgb[0]},{rgb[1]},{rgb[2]}") == ("a b", rgb)


@given(st.text(max_size=20))
def test_other_colour_strings_are_one_line_errors(text):
    for parse in (colours.parse_colour, colours.parse_target):
        try:
            parse(text)
        except ValueError as e:
            assert one_line(e).startswith("bad ")


def css_forms(rgb, alpha):
    """The ways CSS writes one 8-bit colour, with an alpha of `alpha` (1: none)."""
    r, g, b = rgb
    a = f"{alpha:.4g}"
    percent = " ".join(f"{c / 255 * 100!r}%" for c in rgb)
    forms = [f"rgb({r} {g} {b} / {a})", f"rgba({r}, {g}, {b}, {a})", f"rgb({percent} / {a})",
             f"color(srgb {r / 255!r} {g / 255!r} {b / 255!r} / {a})"]
    if alpha == 1:
        forms += [colours.hex_of(rgb), colours.hex_of(rgb).upper(), f"rgb({r},{g},{b})"]
    elif round(alpha * 255) / 255 == alpha:
        forms.append(colours.hex_of(rgb) + f"{round(alpha * 255):02x}")
    return forms


@given(RGB, st.sampled_from([1, 0.5, 0, 128 / 255]))
def test_css_colours_read_as_8_bit_srgb_their_alpha_dropped_with_a_note(rgb, alpha):
    for form in css_forms(rgb, alpha):
        with warnings.catch_warnings(record=True) as noted:
            warnings.simplefilter("always")
            assert colours.css_colour(form, "--x") == rgb, form
        notes = [str(n.message) for n in noted if issubclass(n.category, colours.ColourNote)]
        assert notes == ([] if alpha == 1 else [f"--x: alpha {alpha:.3g} dropped; targets are "
                                                "opaque"]), form


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=40)
@given(st.lists(st.tuples(NAMES, RGB), min_size=1, max_size=5, unique_by=lambda t: t[0]),
       st.sampled_from(palette.FORMATS))
def test_targets_files_read_back(named, suffix):
    entries = [{"color": rgb, "percentage": 1.0} for _, rgb in named]
    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / f"t{suffix}")
        palette.write_palette(entries, path)
        found = palette.read_palette(path)
        written = [rgb for _, rgb in named]  # named by hex code, but in CSS by number
        assert list(found.values()) == (written if suffix == ".css" else list(dict.fromkeys(
            written)))
        # a CSS file of other tools: named properties, any colour syntax
        css = Path(folder) / "other.css"
        css.write_text(":root {" + "".join(f"--{name}: {css_forms(rgb, 1)[0]};"
                                           for name, rgb in named) + "}")
        assert palette.read_palette(str(css)) == dict(named)


@settings(max_examples=60)
@given(st.binary(max_size=60) | st.text(max_size=60).map(str.encode),
       st.sampled_from(palette.FORMATS))
def test_any_targets_file_is_read_or_refused_in_one_line(data, suffix):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / f"t{suffix}"
        path.write_bytes(data)
        try:
            found = palette.read_palette(str(path))
        except palette.PaletteError as e:
            one_line(e)
        else:
            assert found and all(isinstance(v, tuple) and len(v) == 3 for v in found.values())

import matplotlib.pyplot as plt
import numpy as np
import pytest
from PIL import Image

RECORDS = [{"color": (200, 30, 30), "percentage": 61.6},
           {"color": (20, 120, 220), "percentage": 33.3},
           {"color": (10, 200, 10), "percentage": 5.1}]


@pytest.fixture(autouse=True)
def close_figures():
    plt.close("all")
    yield
    plt.close("all")


def reference_png(records, path):
    fig, ax = plt.subplots(1, 1, figsize=(12, 2))
    start = 0
    for info in records:
        width = info["percentage"] / 100.0
        ax.barh(0, width, left=start, height=0.8, color=[c / 255.0 for c in info["color"]],
                edgecolor="white", linewidth=1)
        if width > 0.05:
            ax.text(start + width / 2, 0, f"{info['percentage']:.1f}%", ha="center",
                    va="center", fontweight="bold")
        start += width
    ax.set_xlim(0, 1)
    ax.set_ylim(-0.5, 0.5)
    ax.set_xlabel("Color Distribution")
    ax.set_title("Extracted Colors with Percentages")
    ax.set_yticks([])
    plt.tight_layout()
    plt.savefig(path, dpi=300, bbox_inches="tight")
    plt.close(fig)


def test_saved_png(tm, tmp_path):
    path = tmp_path / "chart.png"
    tm.ColorExtractor().visualize_colors(RECORDS, str(path))
    ref = tmp_path / "ref.png"
    reference_png(RECORDS, str(ref))
    with Image.open(path) as ours, Image.open(ref) as theirs:
        assert ours.size == theirs.size
        assert ours.info["dpi"] == pytest.approx((300, 300), abs=0.01)
        pixels = np.asarray(ours.convert("RGB")).reshape(-1, 3)
    for record in RECORDS:
        assert (pixels == record["color"]).all(axis=1).sum() > 1000


def test_drawn_artists(tm):
    records = RECORDS + [{"color": (0, 0, 0), "percentage": 5.0},
                         {"color": (255, 255, 255), "percentage": 99.95}]
    tm.ColorExtractor().visualize_colors(records)
    fig = plt.gcf()
    (ax,) = fig.axes
    assert len(ax.patches) == 5
    assert [t.get_text() for t in ax.texts] == ["61.6%", "33.3%", "5.1%", "100.0%"]
    first = ax.patches[0]
    assert first.get_width() == pytest.approx(0.616) and first.get_height() == 0.8
    assert tuple(first.get_facecolor()[:3]) == pytest.approx((200 / 255, 30 / 255, 30 / 255))
    assert ax.patches[1].get_x() == pytest.approx(0.616)
    assert ax.get_xlim() == (0, 1) and ax.get_ylim() == (-0.5, 0.5)
    assert ax.get_title() == "Extracted Colors with Percentages"
    assert ax.get_xlabel() == "Color Distribution" and list(ax.get_yticks()) == []
    assert tuple(fig.get_size_inches()) == (12, 2)
    assert plt.get_fignums() == [fig.number]  # left open


def test_label_format(tm):
    tm.ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 33.33}])
    assert [t.get_text() for t in plt.gca().texts] == ["33.3%"]


def test_empty_list_makes_no_figure(tm, tmp_path):
    assert tm.ColorExtractor().visualize_colors([], str(tmp_path / "x.png")) is None
    assert plt.get_fignums() == [] and list(tmp_path.iterdir()) == []


def test_empty_save_path_saves_nothing_but_shows(tm, tmp_path, monkeypatch, rebind):
    shown = []
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    tm.ColorExtractor().visualize_colors(RECORDS, "")
    assert list(tmp_path.iterdir()) == [] and shown == [True]


@pytest.mark.parametrize("colors, save_path, name, given", [
    (tuple(RECORDS), None, "colors", "tuple"),
    (None, None, "colors", "NoneType"),
    (RECORDS, 5, "save_path", "int"),
])
def test_argument_types(tm, colors, save_path, name, given):
    with pytest.raises(TypeError) as info:
        tm.ColorExtractor().visualize_colors(colors, save_path)
    assert str(info.value) == (f"Argument '{name}' has incorrect type "
                               f"(expected {'list' if name == 'colors' else 'str'}, got {given})")
    assert plt.get_fignums() == []


def test_path_objects_are_rejected(tm, tmp_path):
    with pytest.raises(TypeError, match="Argument 'save_path' has incorrect type"):
        tm.ColorExtractor().visualize_colors(RECORDS, tmp_path / "x.png")


def test_bad_record_leaves_figure_open(tm):
    with pytest.raises(KeyError):
        tm.ColorExtractor().visualize_colors([RECORDS[0], {"color": (1, 2, 3)}])
    assert len(plt.get_fignums()) == 1


def test_savefig_error_skips_show(tm, tmp_path, monkeypatch):
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    with pytest.raises(Exception):
        tm.ColorExtractor().visualize_colors(RECORDS, str(tmp_path / "x.unknownformat"))
    assert shown == []


def test_uses_the_module_plt(tm, rebind):
    class Recorder:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(plt, name)

    calls = []
    rebind("plt", Recorder())
    tm.ColorExtractor().visualize_colors(RECORDS)
    assert calls == ["subplots", "tight_layout", "show"]

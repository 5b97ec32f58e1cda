import math

import numpy as np
import pytest

RECORDS = [{"color": (200, 30, 30), "percentage": 60.0},
           {"color": (20, 20, 220), "percentage": 40.0}]


def test_closest_color(tm):
    ext = tm.ColorExtractor()
    record, distance = ext._find_closest_color((200, 30, 30), RECORDS)
    assert record is RECORDS[0] and distance == 0.0 and type(distance) is float
    record, _ = ext._find_closest_color((0, 0, 255), RECORDS)
    assert record is RECORDS[1]


def test_ties_go_to_the_first_record(tm):
    records = [{"color": (5, 5, 5), "percentage": 1.0}, {"color": (5, 5, 5), "percentage": 2.0}]
    record, _ = tm.ColorExtractor()._find_closest_color((0, 0, 0), records)
    assert record is records[0]


def test_empty_and_single(tm):
    assert tm.ColorExtractor()._find_closest_color((1, 2, 3), []) == (None, math.inf)
    only = [{"color": (255, 255, 255), "percentage": 100.0}]
    record, distance = tm.ColorExtractor()._find_closest_color((0, 0, 0), only)
    assert record is only[0] and distance == 255.0


@pytest.mark.parametrize("target, colors, name", [
    ([255, 0, 0], RECORDS, "target_color"),
    (None, RECORDS, "target_color"),
    ((255, 0, 0), tuple(RECORDS), "image_colors"),
    ((255, 0, 0), None, "image_colors"),
])
def test_closest_color_argument_types(tm, target, colors, name):
    with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
        tm.ColorExtractor()._find_closest_color(target, colors)


def test_closest_color_uses_distance_override(tm):
    class Reverse(tm.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            return -float(np.sum(np.abs(color1 - color2)))

    record, distance = Reverse()._find_closest_color((200, 30, 30), RECORDS)
    assert record is RECORDS[1] and distance == -380.0


def test_missing_color_key(tm):
    with pytest.raises(KeyError):
        tm.ColorExtractor()._find_closest_color((1, 2, 3), [{"percentage": 5.0}])


def fixed(tm, records, distance=None):
    class Fixed(tm.ColorExtractor):
        def extract_colors(self, image, mask=None):
            return records

        if distance is not None:
            def _find_closest_color(self, target_color, image_colors):
                return image_colors[0], distance

    return Fixed()


def test_worked_example(tm):
    records = [{"color": (1, 2, 3), "percentage": 40.0}]
    result = fixed(tm, records, 12.5).analyze_color_similarity(None, {"t": (0, 0, 0)})
    assert result == {"t": {"percentage": 30.0, "similarity": 75.0, "closest_color": (1, 2, 3),
                            "distance": 12.5, "found_directly": False}}
    assert list(result["t"]) == ["percentage", "similarity", "closest_color", "distance",
                                 "found_directly"]


@pytest.mark.parametrize("distance, threshold, percentage, similarity, direct", [
    (50.0, 50.0, 0.0, 0, False),
    (50.5, 50.0, 0, 0, False),
    (9.99, 5.0, 0, 0, True),
    (0.0, 50.0, 40.0, 100.0, True),
    (10.0, 20, 20.0, 50.0, False),
    (12, 50.0, 30.4, 76.0, False),  # an override's int distance is rounded as it is
])
def test_threshold_rules(tm, distance, threshold, percentage, similarity, direct):
    records = [{"color": (1, 2, 3), "percentage": 40.0}]
    got = fixed(tm, records, distance).analyze_color_similarity(
        None, {"t": (0, 0, 0)}, similarity_threshold=threshold)["t"]
    assert got["percentage"] == percentage and type(got["percentage"]) is type(percentage)
    assert got["similarity"] == similarity and type(got["similarity"]) is type(similarity)
    assert got["found_directly"] is direct and got["distance"] == round(distance, 2)
    assert type(got["distance"]) is type(distance)


def test_zero_threshold_at_zero_distance(tm):
    records = [{"color": (1, 2, 3), "percentage": 40.0}]
    with pytest.raises(ZeroDivisionError):
        fixed(tm, records, 0.0).analyze_color_similarity(None, {"t": (0, 0, 0)}, None, 0)


def test_real_image_and_key_order(tm):
    image = np.zeros((10, 10, 3), np.uint8)
    image[:6] = (0, 0, 255)   # red, BGR
    image[6:] = (255, 0, 0)   # blue
    ext = tm.ColorExtractor(2, preprocessing=False, lab_space=False)
    result = ext.analyze_color_similarity(image, {"blue": (0, 0, 255), "red": (255, 0, 0),
                                                  "green": (0, 255, 0)})
    assert list(result) == ["blue", "red", "green"]
    assert result["red"] == {"percentage": 60.0, "similarity": 100.0,
                             "closest_color": (255, 0, 0), "distance": 0.0,
                             "found_directly": True}
    assert result["blue"]["percentage"] == 40.0
    assert result["green"]["similarity"] == 0 and type(result["green"]["similarity"]) is int


def test_empty_results(tm, tmp_path):
    black = np.zeros((4, 4, 3), np.uint8)
    ext = tm.ColorExtractor(preprocessing=False, lab_space=False)
    assert ext.analyze_color_similarity(black, {"red": (255, 0, 0)}) == {}
    assert tm.ColorExtractor().analyze_color_similarity(np.full((4, 4, 3), 9, np.uint8), {}) == {}
    with pytest.raises(ValueError, match="Could not load image from "):
        tm.ColorExtractor().analyze_color_similarity(str(tmp_path / "no.png"), {})


@pytest.mark.parametrize("targets, threshold, error", [
    ({"red": [255, 0, 0]}, 50.0, TypeError),
    ([("red", (255, 0, 0))], 50.0, TypeError),
    (None, 50.0, TypeError),
    ({"red": (255, 0, 0)}, "far", TypeError),
])
def test_argument_errors(tm, targets, threshold, error):
    image = np.full((4, 4, 3), 120, np.uint8)
    with pytest.raises(error):
        tm.ColorExtractor(1).analyze_color_similarity(image, targets,
                                                      similarity_threshold=threshold)


def test_dict_subclass_is_rejected(tm):
    from collections import OrderedDict
    with pytest.raises(TypeError, match="^Argument 'target_colors' has incorrect type "
                                        r"\(expected dict, got collections.OrderedDict\)$"):
        tm.ColorExtractor().analyze_color_similarity(None, OrderedDict())

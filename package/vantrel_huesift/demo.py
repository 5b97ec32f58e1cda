"""Extract the dominant colours of matplotlib's sample photo; print them and write the chart."""

import json
import os

from matplotlib import cbook

from .cli import make_extractor, build_parser, write_chart

CHART = os.path.join("demo", "grace_hopper_colors.png")


def main() -> None:
    path = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
    extractor = make_extractor(build_parser().parse_args(["extract", path]))
    colors = extractor.extract_colors(path)
    os.makedirs(os.path.dirname(CHART), exist_ok=True)
    write_chart(extractor, colors, CHART)
    print(json.dumps({"image": path, "colors": colors}, indent=2))
    print(f"chart written to {CHART}")


if __name__ == "__main__":
    main()

"""Extract the dominant colours of matplotlib's sample photo and print them as JSON."""

import json

from matplotlib import cbook

from vantrel_huesift import ColorExtractor


def main() -> None:
    path = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
    colors = ColorExtractor(n_colors=5).extract_colors(path)
    print(json.dumps({"image": path, "colors": colors}, indent=2))


if __name__ == "__main__":
    main()

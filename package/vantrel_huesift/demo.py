"""Extract the dominant colours of matplotlib's sample photo; print them and write the chart."""

import json
import os

CHART = os.path.join("demo", "grace_hopper_colors.png")


def main() -> None:
    import matplotlib

    matplotlib.use("Agg")  # the chart goes to a file; no window is opened
    from matplotlib import cbook

    from .charts import write_chart
    from .tintmill import ColorExtractor

    path = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
    extractor = ColorExtractor()
    colors = extractor.extract_colors(path)
    os.makedirs(os.path.dirname(CHART), exist_ok=True)
    write_chart(extractor, colors, CHART)
    print(json.dumps({"image": path, "colors": colors}, indent=2))
    print(f"chart written to {CHART}")


if __name__ == "__main__":
    main()

"""Runs every benchmark; each prints its figures and its ratio to a baseline of the same run."""

import runpy
import sys

NAMES = ["peers", "profile_12mp", "match_report", "dbscan_extract", "batch", "kmeans_extract", "search", "report_sort",
         "batch_targets", "max_side", "names"]

if __name__ == "__main__":
    here = __file__.rsplit("/", 1)[0]
    for name in sys.argv[1:] or NAMES:
        runpy.run_path(f"{here}/{name}.py", run_name="__main__")
        print()

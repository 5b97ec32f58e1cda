"""huesift search over a million synthetic records of five colours each: time and the peak
memory of the command's whole process tree; the baseline is the plain way, every line parsed
with json.loads and scored with NumPy, timed in the same run on the same file."""

import json
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, run_watched  # noqa: E402

RECORDS = 1_000_000
QUERY = (200, 30, 40)


def write_records(path, count):
    """Records in the layout huesift batch writes, with random colours and shares."""
    rng = random.Random(0)
    with open(path, "w") as out:
        for i in range(count):
            shares = sorted((rng.random() for _ in range(5)), reverse=True)
            total = sum(shares)
            colours = ", ".join(
                f'{{"color": [{rng.randrange(256)}, {rng.randrange(256)}, {rng.randrange(256)}], '
                f'"percentage": {round(s / total * 100, 2)!r}}}' for s in shares)
            name = f"photos/set{i // 1000:04}/img{i:07}.jpg"
            out.write(f'{{"path": "{name}", "resolved_path": "/data/{name}", '
                      f'"colors": [{colours}]}}\n')


def plain(path):
    """The baseline: json.loads per line, NumPy per block of 10 000 records."""
    import cv2
    import numpy as np

    query = cv2.cvtColor(np.uint8([[QUERY]]), cv2.COLOR_RGB2LAB)[0, 0].astype(np.int64)
    best = []

    def score(records):
        rgb = np.uint8([[c["color"] for c in r["colors"]] for r in records])
        shares = np.array([[c["percentage"] for c in r["colors"]] for r in records])
        lab = cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).astype(np.int64)
        within = np.sqrt(((lab - query) ** 2).sum(axis=2)) <= 15
        scores = (shares * within).sum(axis=1)
        top = np.argsort(-scores, kind="stable")[:10]
        best.extend((scores[i], records[i]["path"]) for i in top)

    with open(path, "rb") as lines:
        block = []
        for line in lines:
            block.append(json.loads(line))
            if len(block) == 10_000:
                score(block)
                block = []
        if block:
            score(block)
    return sorted(best, key=lambda b: -b[0])[:10]


def main():
    print(f"huesift search, {RECORDS:,} records of 5 colours, on {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "results.jsonl")
        write_records(path, RECORDS)
        print(f"  file: {os.path.getsize(path) / 2 ** 20:.0f} MiB")
        command = [sys.executable, "-m", "vantrel_huesift.cli", "search", path, "--color",
                   ",".join(map(str, QUERY)), "--json"]
        figures = {}
        for jobs in (2, 1):
            seconds, peak, cpu, out = run_watched(command + ["--jobs", str(jobs)])
            figures[jobs] = seconds
            print(f"  --jobs {jobs}: {seconds:6.2f} s ({cpu:.2f} s of CPU), peak RSS of all its "
                  f"processes {gib(peak)}")
        found = [(r["score"], r["path"]) for r in json.loads(out.stdout)]
        start, cpu = time.perf_counter(), time.process_time()
        baseline = plain(path)
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
        same = [p for _, p in baseline] == [p for _, p in found]
        print(f"  baseline (json.loads per line, NumPy per block): {seconds:6.2f} s "
              f"({cpu:.2f} s of CPU; the same top 10: {same})")
        print(f"  ratio baseline / --jobs 2: {seconds / figures[2]:.1f} x, "
              f"/ --jobs 1: {seconds / figures[1]:.1f} x")


if __name__ == "__main__":
    main()

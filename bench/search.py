"""huesift search over a million synthetic records of five colours each: by a colour
(`--color`) and by a colour name (`--named green --vocabulary basic`, on records without names,
which the search names itself, and on the same records with their names stored, as `batch
--names basic` writes them). Each is run several times: the median and the worst time, its CPU
time and the peak memory of the command's whole process tree. The baselines, timed in the same
run on the same file: the plain way, every line parsed with json.loads and scored with NumPy;
and for the names, `--color` itself."""

import json
import os
import random
import statistics
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, run_watched  # noqa: E402

RECORDS = 1_000_000
QUERY = (200, 30, 40)
RUNS = 3


def write_records(path, count, names=None):
    """Records in the layout huesift batch writes, with random colours and shares; with a
    vocabulary, each colour's name in it too."""
    rng = random.Random(0)
    rgb = [(rng.randrange(256), rng.randrange(256), rng.randrange(256))
           for _ in range(5 * count)]
    shares = []
    for _ in range(count):
        drawn = sorted((rng.random() for _ in range(5)), reverse=True)
        shares.extend(round(s / sum(drawn) * 100, 2) for s in drawn)
    called = None
    if names is not None:
        from vantrel_huesift.names import get_vocabulary

        known = get_vocabulary(names)
        called = [known.names[i] for i in known.nearest(rgb)[0].tolist()]
    with open(path, "w") as out:
        for i in range(count):
            colours = ", ".join(
                f'{{"color": [{r}, {g}, {b}], "percentage": {shares[j]!r}'
                + (f', "name": "{called[j]}"}}' if called else "}")
                for j, (r, g, b) in enumerate(rgb[5 * i:5 * i + 5], 5 * i))
            name = f"photos/set{i // 1000:04}/img{i:07}.jpg"
            vocabulary = f', "vocabulary": "{names}"' if names else ""
            out.write(f'{{"path": "{name}", "resolved_path": "/data/{name}", '
                      f'"colors": [{colours}]{vocabulary}}}\n')


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


def timed(label, command):
    """Runs the command RUNS times; prints and returns the median, and the answer."""
    runs = [run_watched(command) for _ in range(RUNS)]
    seconds = [r[0] for r in runs]
    cpu = statistics.median(r[2] for r in runs)
    peak = max(r[1] for r in runs)
    print(f"  {label:<44} median {statistics.median(seconds):6.2f} s, worst {max(seconds):6.2f} s"
          f" ({cpu:.2f} s of CPU), peak RSS of all its processes {gib(peak)}")
    return statistics.median(seconds), [(r["score"], r["path"]) for r in json.loads(
        runs[0][3].stdout)]


def main():
    print(f"huesift search, {RECORDS:,} records of 5 colours, on {machine()}, "
          f"load {os.getloadavg()[0]:.2f}")
    with tempfile.TemporaryDirectory() as tmp:
        path, named = os.path.join(tmp, "results.jsonl"), os.path.join(tmp, "named.jsonl")
        write_records(path, RECORDS)
        write_records(named, RECORDS, "basic")
        print(f"  files: {os.path.getsize(path) / 2 ** 20:.0f} MiB, with names "
              f"{os.path.getsize(named) / 2 ** 20:.0f} MiB")
        search = [sys.executable, "-m", "vantrel_huesift.cli", "search"]
        colour = ["--color", ",".join(map(str, QUERY)), "--json"]
        green = ["--named", "green", "--vocabulary", "basic", "--json"]
        figures, answers = {}, {}
        for key, label, command in [
                ("colour 2", "--color, --jobs 2", search + [path] + colour + ["--jobs", "2"]),
                ("colour 1", "--color, --jobs 1", search + [path] + colour + ["--jobs", "1"]),
                ("named 2", "--named, names not stored, --jobs 2",
                 search + [path] + green + ["--jobs", "2"]),
                ("named 1", "--named, names not stored, --jobs 1",
                 search + [path] + green + ["--jobs", "1"]),
                ("stored 2", "--named, names stored, --jobs 2",
                 search + [named] + green + ["--jobs", "2"]),
                ("stored 1", "--named, names stored, --jobs 1",
                 search + [named] + green + ["--jobs", "1"])]:
            figures[key], answers[key] = timed(label, command)
        start, cpu = time.perf_counter(), time.process_time()
        baseline = plain(path)
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
        same = [p for _, p in baseline] == [p for _, p in answers["colour 2"]]
        print(f"  baseline (json.loads per line, NumPy per block): {seconds:6.2f} s "
              f"({cpu:.2f} s of CPU; the same top 10: {same})")
        print(f"  ratio baseline / --color --jobs 2: {seconds / figures['colour 2']:.1f} x, "
              f"/ --jobs 1: {seconds / figures['colour 1']:.1f} x")
        ratios = {key: (figures[f"{key} 2"] / figures["colour 2"],
                        figures[f"{key} 1"] / figures["colour 1"]) for key in ("named", "stored")}
        print("  ratio --named / --color, --jobs 2 and 1: names not stored {:.2f} x, {:.2f} x; "
              "stored {:.2f} x, {:.2f} x".format(*ratios["named"], *ratios["stored"]))
        print(f"  --named, stored names and names not stored: the same top 10: "
              f"{answers['named 2'] == answers['stored 2'] == answers['named 1']}")


if __name__ == "__main__":
    main()

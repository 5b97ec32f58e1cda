"""huesift batch, fresh processes, start-up included: 200 photos of 600 x 512 (the ten of the
corpus, twenty files each) and a batch of 2, at --jobs 2 against --jobs 1 timed in the same
run; where the time goes at start-up and per image; and the memory of the batch function over
1 000 against 10 000 tiny images. Named alone (bench/batch.py long), 10 000 photos of 600 x 512
in one command beside 200 of them: the rate and the memory over a long batch.

HUESIFT_BENCH_RUNS sets the runs of each command (default 3 for 200 photos, 5 for 2)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure, run_watched  # noqa: E402
from corpus import PHOTOS, median, photo, photo_folder  # noqa: E402

RUNS = int(os.environ.get("HUESIFT_BENCH_RUNS", "0"))


def batch(folder, jobs, output, runs, method=None):
    """(wall seconds, CPU seconds of the whole process tree, peak RSS of the tree) per run;
    `method` starts the workers another way ("spawn": each loads the engine itself)."""
    figures = []
    env = dict(os.environ, **({"HUESIFT_START_METHOD": method} if method else {}))
    for _ in range(runs):
        if os.path.exists(output):
            os.unlink(output)
        seconds, peak, cpu, _ = run_watched([sys.executable, "-m", "vantrel_huesift.cli",
                                             "batch", folder, "--jobs", str(jobs), "--output",
                                             output, "--quiet"], env=env)
        figures.append((seconds, cpu, peak))
    return figures


def report(label, count, figures, baselines=()):
    walls = [f[0] for f in figures]
    line = (f"  {label:28} median {median(walls):6.2f} s ({count / median(walls):5.1f} images/s), "
            f"worst {max(walls):6.2f} s, CPU median {median([f[1] for f in figures]):6.2f} s, "
            f"peak RSS {gib(max(f[2] for f in figures))}")
    for name, baseline in baselines:
        line += f"; {median([f[0] for f in baseline]) / median(walls):.2f} x {name}"
    print(line)


def throughput():
    print(f"huesift batch, fresh processes, start-up included, on {machine()}; "
          f"load {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = photo_folder(tmp, 200 // len(PHOTOS), (600, 512))
        two = os.path.join(tmp, "two")
        os.mkdir(two)
        for name in sorted(os.listdir(folder))[:2]:
            shutil.copy(os.path.join(folder, name), two)
        output = os.path.join(tmp, "out.jsonl")
        for count, source, runs in [(200, folder, RUNS or 3), (2, two, RUNS or 5)]:
            print(f"  {count} photos of 600 x 512, {runs} runs each")
            one = batch(source, 1, output, runs)
            report("--jobs 1 (in process)", count, one)
            spawned = batch(source, 2, output, runs, "spawn")
            report("--jobs 2, workers spawned", count, spawned, [("--jobs 1", one)])
            report("--jobs 2, forked (default)", count, batch(source, 2, output, runs),
                   [("--jobs 1", one), ("spawned", spawned)])


def importing(code, runs=5):
    """The least wall and CPU seconds of a fresh interpreter running `code`."""
    wall = cpu = float("inf")
    for _ in range(runs):
        before, start = os.times(), time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True,
                       env=dict(os.environ, MPLBACKEND="Agg"))
        after = os.times()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, after.children_user + after.children_system - before.children_user
                  - before.children_system)
    return f"{wall:6.3f} s wall, {cpu:6.2f} s CPU"


def startup():
    """Where a worker's start-up goes: the interpreter, the package, the engine and the
    libraries it loads (-X importtime, cumulative, the largest)."""
    print(f"start-up (least of 5 fresh interpreters); load {os.getloadavg()[0]:.1f}")
    for label, code in [("python itself", "pass"),
                        ("the command line (the parent)", "import vantrel_huesift.cli"),
                        ("a worker: the engine and its libraries",
                         "import vantrel_huesift.batch, vantrel_huesift.tintmill"),
                        ("the same as the fork server loads them",
                         "import vantrel_huesift.preload")]:
        print(f"  {label:42} {importing(code)}")
    out = subprocess.run([sys.executable, "-X", "importtime", "-c",
                          "import vantrel_huesift.tintmill"], capture_output=True, text=True,
                         env=dict(os.environ, MPLBACKEND="Agg")).stderr
    cumulative = {m[2].strip(): int(m[1]) for m in re.finditer(
        r"import time:\s+\d+ \|\s+(\d+) \|(\s+\S+)", out)}
    for name in ["numpy", "cv2", "scipy.stats", "sklearn.cluster", "matplotlib.pyplot",
                 "vantrel_huesift.tintmill"]:
        if name in cumulative:
            print(f"  import {name:35} {cumulative[name] / 1e6:6.3f} s wall, one run")


def per_image_steps():
    """Where one image's time goes in a worker: one thread, the corpus photos at 600 x 512."""
    os.environ["OMP_NUM_THREADS"] = "1"
    import cv2

    from vantrel_huesift import batch, images, records
    from vantrel_huesift.tintmill import ColorExtractor

    cv2.setNumThreads(1)
    with tempfile.TemporaryDirectory() as tmp:
        files = []
        for name in PHOTOS:
            files.append(os.path.join(tmp, f"{name}.jpg"))
            cv2.imwrite(files[-1], photo(name, (600, 512)), [cv2.IMWRITE_JPEG_QUALITY, 95])
        data = {f: open(f, "rb").read() for f in files}
        record = batch.with_resolved_path(batch.process_one(ColorExtractor(), files[0]))
    extractor, unprocessed = ColorExtractor(), ColorExtractor(preprocessing=False)
    decoded = {f: images.decode(data[f], f)[0] for f in files}
    prepared = {f: extractor._preprocess_image(decoded[f]) for f in files}
    steps = [("decode (the reader)", lambda f: images.decode(data[f], f)),
             ("_preprocess_image", lambda f: extractor._preprocess_image(decoded[f])),
             ("extract_colors of the preprocessed image", lambda f: unprocessed.extract_colors(
                 prepared[f])),
             ("extract_colors, whole", lambda f: extractor.extract_colors(decoded[f])),
             ("the record's line", lambda f: records.line(record))]

    def run():
        least = {}
        for label, step in steps:
            for _ in range(3):
                start = time.process_time()
                for f in files:
                    step(f)
                spent = (time.process_time() - start) / len(files)
                least[label] = min(least.get(label, spent), spent)
        return least
    return run


def per_image():
    _, rss, least = measure(per_image_steps)
    print(f"per image in a worker, ms of CPU on one thread (least of 3 rounds over the corpus "
          f"at 600 x 512); load {os.getloadavg()[0]:.1f}")
    for label, seconds in least.items():
        print(f"  {label:42} {seconds * 1000:8.3f}")
    print(f"  (process peak RSS {gib(rss)})")


def tiny_batch(folder):
    """All records of the batch function over a folder, at 2 jobs; only the count is kept."""
    from vantrel_huesift.batch import batch_extract_colors

    def run():
        import psutil

        count = largest = 0
        for _ in batch_extract_colors(folder, jobs=2):
            count += 1
            if count % 100 == 0:  # the workers, forked from the server: grandchildren
                for child in psutil.Process().children(recursive=True):
                    try:
                        largest = max(largest, child.memory_info().rss)
                    except psutil.NoSuchProcess:
                        pass
        return count, largest
    return run


def memory():
    import cv2
    import numpy as np
    print(f"batch_extract_colors over tiny images (8 x 8), 2 jobs, on {machine()}")
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        figures = {}
        for count in (1000, 10000):
            folder = os.path.join(tmp, str(count))
            os.mkdir(folder)
            for i in range(count):
                cv2.imwrite(os.path.join(folder, f"{i:05}.png"),
                            rng.integers(0, 256, (8, 8, 3), dtype=np.uint8))
            seconds, rss, (done, children) = measure(tiny_batch, folder)
            figures[count] = rss
            print(f"  {count:6} images: {seconds:7.2f} s, {done} records, peak RSS of the "
                  f"caller {gib(rss)}, largest worker {gib(children)}")
        print(f"  peak RSS at 10 000 / at 1 000: {figures[10000] / figures[1000]:.3f}")


def long():
    """10 000 photos in one command against 200: the rate once start-up is spread thin, and
    whether the tree's memory stays flat. About a quarter of an hour on 2 cores."""
    print(f"huesift batch --jobs 2 over many photos of 600 x 512, one run each, on {machine()}; "
          f"load {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = photo_folder(tmp, 10000 // len(PHOTOS), (600, 512))
        names = sorted(os.listdir(folder))
        short = os.path.join(tmp, "short")
        os.mkdir(short)
        for name in names[::len(names) // 200]:
            os.link(os.path.join(folder, name), os.path.join(short, name))
        output = os.path.join(tmp, "out.jsonl")
        for source in (short, folder):
            count = len(os.listdir(source))
            figures = batch(source, 2, output, 1)
            with open(output, "rb") as lines:
                written = sum(1 for _ in lines)
            report(f"{count} photos ({written} records)", count, figures)


PARTS = {"throughput": throughput, "startup": startup, "per_image": per_image,
         "memory": memory}
ALONE = {"long": long}

if __name__ == "__main__":
    # run from run.py, every part; alone, the parts named (bench/batch.py startup per_image)
    chosen = ([a for a in sys.argv[1:] if a in PARTS or a in ALONE]
              if __file__.endswith(sys.argv[0]) else [])
    for part in chosen or PARTS:
        {**PARTS, **ALONE}[part]()

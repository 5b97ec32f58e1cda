"""huesift batch throughput on 200 photos of 600 x 512 (the ten of the corpus, twenty files
each), at 1 and at 2 jobs, start-up included; and the memory of the batch function over 1 000
against 10 000 tiny images."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, measure  # noqa: E402
from corpus import PHOTOS, photo_folder  # noqa: E402


def run(folder, jobs, output):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vantrel_huesift.cli", "batch", folder, "--jobs",
                    str(jobs), "--output", output, "--quiet"], check=True)
    return time.perf_counter() - start


def main():
    print(f"huesift batch, 200 photos of 600 x 512, on {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = photo_folder(tmp, 200 // len(PHOTOS), (600, 512))
        rates = {}
        for jobs in (1, 2):
            seconds = run(folder, jobs, os.path.join(tmp, f"out{jobs}.jsonl"))
            rates[jobs] = 200 / seconds
            print(f"  --jobs {jobs}: {seconds:7.2f} s, {rates[jobs]:6.2f} images/s")
        print(f"  speed-up at 2 jobs: {rates[2] / rates[1]:.2f} x")


def tiny_batch(folder):
    """All records of the batch function over a folder, at 2 jobs; only the count is kept."""
    from vantrel_huesift.batch import batch_extract_colors

    def run():
        import resource
        count = sum(1 for _ in batch_extract_colors(folder, jobs=2))
        children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        return count, children
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
            print(f"  {count:6} images: {seconds:7.2f} s, {done} records, peak RSS "
                  f"{gib(rss)} (largest worker {gib(children)})")
        print(f"  peak RSS at 10 000 / at 1 000: {figures[10000] / figures[1000]:.3f}")


if __name__ == "__main__":
    main()
    memory()

"""huesift batch throughput on 200 copies of the sample photo, at 1 and at 2 jobs."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import SAMPLE, machine  # noqa: E402


def run(folder, jobs, output):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vantrel_huesift.cli", "batch", folder, "--jobs",
                    str(jobs), "--output", output, "--quiet"], check=True)
    return time.perf_counter() - start


def main():
    print(f"huesift batch, 200 images of 512 x 600, on {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "photos")
        os.mkdir(folder)
        for i in range(200):
            shutil.copy(SAMPLE, os.path.join(folder, f"photo{i:03}.jpg"))
        rates = {}
        for jobs in (1, 2):
            seconds = run(folder, jobs, os.path.join(tmp, f"out{jobs}.jsonl"))
            rates[jobs] = 200 / seconds
            print(f"  --jobs {jobs}: {seconds:7.2f} s, {rates[jobs]:6.2f} images/s")
        print(f"  speed-up at 2 jobs: {rates[2] / rates[1]:.2f} x")


if __name__ == "__main__":
    main()

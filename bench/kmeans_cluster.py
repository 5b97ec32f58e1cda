"""The k-means clustering step alone (_cluster_colors_kmeans on the L*a*b* pixels of a photo
upscaled to 4000 x 3000), this build against another one given by its site folder, timed in
the same run, call after call interleaved: the median and worst per photo and k, and the
ratio of the medians.

    PYTHONPATH=build/site-full python bench/kmeans_cluster.py BASELINE_SITE \\
        [--photos china,coffee,hubble,grace_hopper] [--k 8,64] [--repeats 3]

Each build runs in its own long-lived process, which prepares each photo's pixels once."""

import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import machine  # noqa: E402
from corpus import PHOTOS, median, photo  # noqa: E402

TWELVE_MP = (4000, 3000)


def serve():
    """A worker: reads `name k` lines, answers with the seconds one call took."""
    import warnings

    from vantrel_huesift import tintmill

    warnings.simplefilter("ignore")
    pixels = {}
    for line in sys.stdin:
        name, k = line.split()
        ext = tintmill.ColorExtractor(n_colors=int(k), lab_space=True)
        if name not in pixels:
            image = photo(name, TWELVE_MP)
            pixels[name] = ext._extract_pixels(
                ext._convert_to_feature_space(ext._preprocess_image(image)))
        start = time.perf_counter()
        ext._cluster_colors_kmeans(pixels[name])
        print(json.dumps(time.perf_counter() - start), flush=True)


def worker(site):
    env = dict(os.environ, PYTHONPATH=site)
    return subprocess.Popen([sys.executable, __file__, "--serve"], env=env, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)


def main():
    if "--serve" in sys.argv:
        return serve()
    parser = argparse.ArgumentParser()
    parser.add_argument("baseline", help="the baseline build's site folder")
    parser.add_argument("--photos", default="china,coffee,hubble,grace_hopper")
    parser.add_argument("--k", default="8,64")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    photos = args.photos.split(",")
    assert all(name in PHOTOS for name in photos)
    ks = [int(k) for k in args.k.split(",")]
    this = os.environ.get("PYTHONPATH", "")
    workers = {"baseline": worker(args.baseline), "this": worker(this)}
    times = {(who, name, k): [] for who in workers for name in photos for k in ks}
    print(f"_cluster_colors_kmeans at 4000 x 3000, L*a*b*, on {machine()}; baseline "
          f"{args.baseline}, this {this}", flush=True)
    for repeat in range(args.repeats):
        for name in photos:
            for k in ks:
                order = list(workers) if repeat % 2 == 0 else list(reversed(workers))
                for who in order:
                    workers[who].stdin.write(f"{name} {k}\n")
                    workers[who].stdin.flush()
                    times[who, name, k].append(json.loads(workers[who].stdout.readline()))
    for w in workers.values():
        w.stdin.close()
        w.wait()
    for k in ks:
        ratios = []
        for name in photos:
            base, new = times["baseline", name, k], times["this", name, k]
            ratios.append(median(base) / median(new))
            print(f"  k = {k:3} {name:12} baseline median {median(base):6.2f} s worst "
                  f"{max(base):6.2f} s   this median {median(new):6.2f} s worst "
                  f"{max(new):6.2f} s   {ratios[-1]:5.2f} x", flush=True)
        print(f"  k = {k:3}: speed-up median {median(ratios):.2f} x, least {min(ratios):.2f} x",
              flush=True)


if __name__ == "__main__":
    main()

"""Instructions and CPU time of single warm calls of the native paths, for comparing two
builds on a busy machine: valgrind's callgrind counts the instructions a call executes, which
no other process's load can disturb. Each call runs on one thread (OMP_NUM_THREADS=1), after
a warm-up call, in a fresh process.

    make bench BENCH=native_instructions
    BASELINE=/path/to/other/site make bench BENCH=native_instructions   # and the ratio to it

BASELINE names a folder that holds another build of the package (`build/site-full` of
another checkout, say): each call is counted there too, in the same run."""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from corpus import photo  # noqa: E402

TARGETS = {"navy": (40, 50, 110), "skin": (230, 190, 170), "red": (255, 0, 0),
           "white": (255, 255, 255), "green": (40, 160, 60)}


def prepared(name, size, lab_space=True):
    from vantrel_huesift import tintmill
    ext = tintmill.ColorExtractor(lab_space=lab_space)
    return ext._extract_pixels(ext._convert_to_feature_space(
        ext._preprocess_image(photo(name, size))), None)


def workload(name):
    """(warm-up call, measured call) of one workload."""
    import numpy as np
    from vantrel_huesift import tintmill
    tiny = np.random.default_rng(0).integers(0, 256, (400, 3), dtype=np.uint8)
    if name == "kmeans":
        pixels = prepared("china", (4000, 3000))
        ext = tintmill.ColorExtractor(n_colors=5)
        return (lambda: ext._cluster_colors_kmeans(tiny),
                lambda: ext._cluster_colors_kmeans(pixels))
    if name == "kmeans-300":
        pixels = prepared("grace_hopper", None)
        ext = tintmill.ColorExtractor(n_colors=300)
        return (lambda: ext._cluster_colors_kmeans(tiny[:350]),
                lambda: ext._cluster_colors_kmeans(pixels))
    if name == "dbscan":
        pixels = prepared("grace_hopper", (1000, 1000))
        ext = tintmill.ColorExtractor(algorithm="dbscan")
        return (lambda: ext._cluster_colors_dbscan(tiny),
                lambda: ext._cluster_colors_dbscan(pixels))
    if name == "matches":
        image = photo("grace_hopper", (4000, 3000))
        ext = tintmill.ColorExtractor(preprocessing=False)
        return (lambda: ext.find_color_matches(image[:20, :20], TARGETS),
                lambda: ext.find_color_matches(image, TARGETS))
    raise SystemExit(f"unknown workload {name}")


WORKLOADS = {
    "kmeans": "_cluster_colors_kmeans, china at 12 MP, L*a*b*, k = 5",
    "dbscan": "_cluster_colors_dbscan, grace_hopper at 1 MP, L*a*b*",
    "matches": "find_color_matches, grace_hopper at 12 MP, 5 targets, no preprocessing",
}


def child(name):
    import warnings
    warnings.simplefilter("ignore")
    warm, measured = workload(name)
    warm()
    os.getppid()  # callgrind dumps its counts here, and again after the call
    start = time.process_time()
    measured()
    seconds = time.process_time() - start
    os.getppid()
    print(f"cpu {seconds}")


def run(site, name, counted):
    env = dict(os.environ, PYTHONPATH=site, OMP_NUM_THREADS="1", PYTHONHASHSEED="0")
    command = [sys.executable, __file__, "--child", name]
    if not counted:
        out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
        return float(out.split()[-1])
    with tempfile.TemporaryDirectory() as folder:
        dump = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=os_getppid*",
                        f"--callgrind-out-file={dump}"] + command, env=env, check=True,
                       capture_output=True)
        # The second dump holds the measured call alone.
        with open(dump + ".2") as counts:
            return next(int(line.split()[1]) for line in counts if line.startswith("summary:"))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    site = os.environ.get("PYTHONPATH", os.path.join(here, "..", "build", "site-full"))
    baseline = os.environ.get("BASELINE")
    names = [a for a in sys.argv[1:] if a in WORKLOADS] or list(WORKLOADS)
    print("instructions of one warm call (callgrind), and CPU seconds of it, one thread")
    for name in names:
        line = f"  {WORKLOADS[name]}:"
        ours = run(site, name, True)
        cpu = min(run(site, name, False) for _ in range(3))
        line += f" {ours / 1e6:,.1f} M instructions, {cpu:.3f} s CPU (least of 3)"
        if baseline:
            theirs = run(baseline, name, True)
            base_cpu = min(run(baseline, name, False) for _ in range(3))
            line += (f"; baseline {theirs / 1e6:,.1f} M, {base_cpu:.3f} s: "
                     f"{ours / theirs:.4f} x the instructions, {cpu / base_cpu:.3f} x the CPU")
        print(line, flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        main()

"""huesift beside the peers, in one run: Pylette, haishoku, colorthief and fast-colorthief from
a venv of their own (build/peers-venv, made on first use), each library in processes of its
own. Five colours, default settings, files read from disk by every library:

- one call, imports not timed, over the corpus at 4000 x 3000 (12 MP) and at 640 x 480
  (0.3 MP): the median and worst per library, and huesift's ratio to each;
- a batch of 200 photos of 600 x 512 over 2 processes, interpreter start-up included:
  `huesift batch --jobs 2` (exact, and with --max-side 256) against each peer in a pool of 2
  forked after its import, one thread per process (the peers' best here).

The peers shrink or sample each photo (Pylette to 256 x 256, haishoku to a thumbnail,
colorthief every 10th pixel); huesift analyses every pixel unless told --max-side.

HUESIFT_BENCH_RUNS sets the runs of each batch (default 3), HUESIFT_BENCH_PHOTOS the photos in it
(default 200: start-up weighs more the fewer there are). HUESIFT_BENCH_ONLY=batch runs only the
batches."""

import json
import os
import subprocess
import sys
import tempfile
import time

import cv2

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import machine  # noqa: E402
from corpus import PHOTOS, median, photo, photo_folder  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VENV = os.path.join(HERE, "..", "build", "peers-venv")
PEERS = ["pylette", "haishoku", "colorthief", "fast-colorthief"]
# The releases measured; pinned so that figures from different days compare.
PACKAGES = ["pylette==6.0.0", "haishoku==1.1.8", "colorthief==0.2.1", "fast-colorthief==0.0.5"]
RUNS = int(os.environ.get("HUESIFT_BENCH_RUNS", "0")) or 3
BATCH = int(os.environ.get("HUESIFT_BENCH_PHOTOS", "0")) or 200


def peers_python():
    python = os.path.join(VENV, "bin", "python")
    stamp = os.path.join(VENV, ".installed-" + "-".join(PACKAGES).replace("==", "_"))
    if not os.path.exists(stamp):
        subprocess.run([sys.executable, "-m", "venv", "--clear", VENV], check=True)
        subprocess.run([python, "-m", "pip", "install", "--quiet", *PACKAGES], check=True)
        open(stamp, "w").close()
    return python


def python_for(name, peers):
    return sys.executable if name.startswith("huesift") else peers


def calls(name, python, files, tmp):
    listing = os.path.join(tmp, "list.txt")
    with open(listing, "w") as f:
        f.write("\n".join(files))
    out = subprocess.run([python, os.path.join(HERE, "peer_calls.py"), name, "calls", listing],
                         check=True, capture_output=True, text=True,
                         env=dict(os.environ, MPLBACKEND="Agg")).stdout
    return json.loads(out.strip().splitlines()[-1])


def timed(command, env=None):
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True,
                          env=dict(os.environ, MPLBACKEND="Agg", **(env or {})))
    seconds = time.perf_counter() - start
    if done.returncode:
        raise SystemExit(f"{' '.join(command)} failed:\n{done.stderr}")
    return seconds


def single_calls(peers, tmp):
    for label, size in [("12 MP (4000 x 3000)", (4000, 3000)), ("0.3 MP (640 x 480)", (640, 480))]:
        files = []
        for name in PHOTOS:
            files.append(os.path.join(tmp, f"{name}_{size[0]}.jpg"))
            cv2.imwrite(files[-1], photo(name, size), [cv2.IMWRITE_JPEG_QUALITY, 95])
        print(f"  one call, {label}, {len(files)} photos; load {os.getloadavg()[0]:.1f}")
        times = {}
        for name in ["huesift", "huesift-rgb", *PEERS]:
            times[name] = calls(name, python_for(name, peers), files, tmp)
        ours = median(times["huesift"])
        for name, values in times.items():
            line = f"    {name:16} median {median(values):8.4f} s, worst {max(values):8.4f} s"
            if not name.startswith("huesift"):
                line += f"   huesift L*a*b* takes {ours / median(values):6.2f} x its median"
            print(line, flush=True)
        for f in files:
            os.unlink(f)


def batches(peers, tmp):
    folder = photo_folder(tmp, max(1, BATCH // len(PHOTOS)), (600, 512))
    files = sorted(os.path.join(folder, f) for f in os.listdir(folder))
    listing = os.path.join(tmp, "batch.txt")
    with open(listing, "w") as f:
        f.write("\n".join(files))
    output = os.path.join(tmp, "out.jsonl")
    one_thread = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    commands = {
        "huesift batch --jobs 2": ([sys.executable, "-m", "vantrel_huesift.cli", "batch", folder,
                                    "--jobs", "2", "--output", output, "--quiet"], None),
        "huesift ... --max-side 256": ([sys.executable, "-m", "vantrel_huesift.cli", "batch",
                                        folder, "--jobs", "2", "--max-side", "256", "--output",
                                        output, "--quiet"], None),
    }
    for name in PEERS:
        commands[f"{name}, pool of 2"] = ([peers, os.path.join(HERE, "peer_calls.py"), name,
                                           "pool", listing], one_thread)
    print(f"  a batch of {len(files)} photos of 600 x 512 over 2 processes, start-up included, "
          f"{RUNS} runs, interleaved; load {os.getloadavg()[0]:.1f}")
    walls = {label: [] for label in commands}
    for _ in range(RUNS):
        for label, (command, env) in commands.items():
            if os.path.exists(output):
                os.unlink(output)
            walls[label].append(timed(command, env))
    ours = median(walls["huesift batch --jobs 2"])
    for label, values in walls.items():
        rate = len(files) / median(values)
        line = (f"    {label:28} median {median(values):6.2f} s ({rate:5.1f} images/s), best "
                f"{len(files) / min(values):5.1f} images/s")
        if not label.startswith("huesift"):
            line += f"   huesift's rate is {median(values) / ours:5.2f} x this"
        print(line, flush=True)


def main():
    peers = peers_python()
    print(f"huesift beside its peers, five colours, on {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        if os.environ.get("HUESIFT_BENCH_ONLY") != "batch":
            single_calls(peers, tmp)
        batches(peers, tmp)


if __name__ == "__main__":
    main()

"""huesift batch over the ten corpus photos, three copies each, with five targets against the
same batch without targets, in the same run: one job, three rounds taking turns. Then the same
per image in this process, by CPU time, without the command's start-up."""

import os
import sys
import tempfile

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import gib, machine, run_watched  # noqa: E402
from corpus import PHOTOS, median, path, photo_folder  # noqa: E402

TARGETS = ["red=200,30,40", "navy=40,50,110", "skin=230,190,170", "sky=130,170,220",
           "leaf=60,120,40"]
COPIES = 3
ROUNDS = 3


def main():
    print(f"huesift batch, {len(PHOTOS)} photos x {COPIES}, --jobs 1, on {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = photo_folder(tmp, COPIES)
        base = [sys.executable, "-m", "vantrel_huesift.cli", "batch", folder, "--jobs", "1",
                "--quiet"]
        runs = {"no targets": [], "5 targets": []}
        peaks = dict.fromkeys(runs, 0)
        cpus = {label: [] for label in runs}
        # interleaved rounds, so that what else the machine does weighs on both alike
        for round_ in range(ROUNDS):
            for label, extra in [("no targets", []), ("5 targets", sum(
                    (["--target", t] for t in TARGETS), []))]:
                output = os.path.join(tmp, f"{label.replace(' ', '_')}_{round_}.jsonl")
                seconds, peak, cpu, _ = run_watched(base + ["--output", output] + extra)
                runs[label].append(seconds)
                cpus[label].append(cpu)
                peaks[label] = max(peaks[label], peak)
        for label, times in runs.items():
            print(f"  {label:10}: fastest {min(times):6.2f} s, median {median(times):6.2f} s "
                  f"({len(PHOTOS) * COPIES / min(times):5.2f} images/s), CPU "
                  f"{min(cpus[label]):.2f} s at least, peak RSS {gib(peaks[label])}")
        fastest = min(runs["5 targets"]) / min(runs["no targets"])
        print(f"  ratio with / without targets: fastest {fastest:.3f}, "
              f"median {median(runs['5 targets']) / median(runs['no targets']):.3f}, CPU "
              f"{min(cpus['5 targets']) / min(cpus['no targets']):.3f}")



def per_image():
    import time

    from vantrel_huesift.batch import process_one
    from vantrel_huesift.cli import parse_target
    from vantrel_huesift.tintmill import ColorExtractor

    extractor = ColorExtractor()
    targets = dict(parse_target(t) for t in TARGETS)
    images = [path(name) for name in PHOTOS]
    for image in images:  # warm: libraries loaded, files cached
        process_one(extractor, image, targets=targets)
    cpu = {"no targets": [], "5 targets": []}
    for _ in range(ROUNDS):
        for label, chosen in [("no targets", None), ("5 targets", targets)]:
            start = time.process_time()
            for image in images:
                process_one(extractor, image, targets=chosen)
            cpu[label].append((time.process_time() - start) / len(images))
    for label, times in cpu.items():
        print(f"  in process, {label:10}: {min(times) * 1000:6.1f} ms of CPU per image (least "
              f"of {ROUNDS} rounds)")
    print(f"  ratio with / without targets, per image: "
          f"{min(cpu['5 targets']) / min(cpu['no targets']):.3f}")


if __name__ == "__main__":
    main()
    per_image()

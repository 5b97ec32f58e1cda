"""Shared helpers: the benchmark photos, and timing a function in a fresh process."""

import multiprocessing
import platform
import resource
import time

import cv2
from matplotlib import cbook

SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))


def sample():
    return cv2.imread(SAMPLE)


def upscaled(width=4000, height=3000):
    """The sample photo as a 12-megapixel image."""
    return cv2.resize(sample(), (width, height))


def _child(prepare, args, queue):
    work = prepare(*args)  # imports and inputs, not timed
    start = time.perf_counter()
    result = work()
    seconds = time.perf_counter() - start
    queue.put((seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, result))


def measure(prepare, *args):
    """(seconds, peak RSS in bytes, result) of prepare(*args)(), in a new process; only the
    returned callable is timed."""
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    process = context.Process(target=_child, args=(prepare, args, queue))
    process.start()
    seconds, rss, result = queue.get()
    process.join()
    return seconds, rss, result


def machine():
    return f"{platform.machine()}, {multiprocessing.cpu_count()} cores, {platform.python_version()}"


def gib(n):
    return f"{n / 2 ** 30:.2f} GiB"

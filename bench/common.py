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


def tree_rss(pid):
    """The resident memory of a process and all its descendants, in bytes (0 once it ended)."""
    import psutil

    try:
        root = psutil.Process(pid)
        processes = [root] + root.children(recursive=True)
    except psutil.NoSuchProcess:
        return 0
    total = 0
    for process in processes:
        try:
            total += process.memory_info().rss
        except psutil.NoSuchProcess:
            pass
    return total


def tree_cpu(pid, seen):
    """Notes in `seen` the CPU seconds (user and system) of a process and each descendant, the
    largest seen of each: processes that a child reaps, and not the command, count too."""
    import psutil

    try:
        root = psutil.Process(pid)
        processes = [root] + root.children(recursive=True)
    except psutil.NoSuchProcess:
        return
    for process in processes:
        try:
            times = process.cpu_times()
        except psutil.NoSuchProcess:
            continue
        seen[process.pid] = max(seen.get(process.pid, 0.0), times.user + times.system)


def run_watched(command, **kwargs):
    """(seconds, peak RSS of the process tree in bytes, CPU seconds of the tree, completed
    process) of a command, its memory and CPU sampled every 20 ms. The CPU time, user and
    system, is what the command cost whatever else the machine was doing."""
    import subprocess

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    peak, seen = 0, {}
    while process.poll() is None:
        peak = max(peak, tree_rss(process.pid))
        tree_cpu(process.pid, seen)
        time.sleep(0.02)
    seconds = time.perf_counter() - start
    out, err = process.communicate()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # what the command's own process waited for, or what the samples saw, if more
    cpu = max(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
              sum(seen.values()))
    if process.returncode:
        raise RuntimeError(err.decode())
    return seconds, peak, cpu, subprocess.CompletedProcess(command, process.returncode, out, err)

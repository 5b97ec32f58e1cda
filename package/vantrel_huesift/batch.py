"""Dominant colours of many images from Python: one record per image, as each completes.

    from vantrel_huesift.batch import batch_extract_colors

    for record in batch_extract_colors(["photos/", "more/**/*.jpg"], jobs=2, progress=True):
        print(record["path"], record.get("colors") or record["error"])

Records are the JSON lines of `huesift batch`: ``{"path": ..., "colors": [...]}`` or
``{"path": ..., "error": "ValueError: ..."}``. Only a few images per worker are in flight at a
time, so a batch of any size runs in flat memory.
"""

from __future__ import annotations

import glob
import itertools
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, Optional, Union

from .files import same_file_key
from .images import alpha_of, imread, read_image  # noqa: F401 (their home before images)

if TYPE_CHECKING:
    from .tintmill import ColorExtractor

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".jp2", ".ppm",
                  ".pgm", ".pbm", ".pnm", ".sr", ".ras", ".exr", ".hdr", ".pic"}

# Tasks kept in flight per worker: enough to keep it busy, few enough to stay flat.
IN_FLIGHT_PER_WORKER = 4


class NoImagesError(ValueError):
    """A path, folder or pattern that names no file."""


def find_images(paths: Iterable[str]) -> Iterator[str]:
    """The images under files, folders (searched recursively) and globs, each once, named as
    the caller wrote them, in the order given (a folder's files sorted)."""
    seen = set()

    def fresh(path: Path) -> bool:
        key = same_file_key(str(path))
        if key in seen:
            return False
        seen.add(key)
        return True

    def tree(root: Path) -> Iterator[Path]:
        for path in sorted(root.rglob("*")):
            if path.is_file() and path.suffix.lower() in IMAGE_SUFFIXES:
                yield path

    for text in paths:
        path = Path(text)
        if path.is_dir():
            candidates: Iterable[Path] = tree(path)
        elif path.is_file():
            candidates = [path]
        else:
            matches = sorted(glob.glob(text, recursive=True))
            if not matches:
                raise NoImagesError(f"no such file, folder or pattern: {text}")
            candidates = itertools.chain.from_iterable(
                tree(Path(m)) if Path(m).is_dir() else [Path(m)] for m in matches
                if Path(m).is_dir() or Path(m).is_file())
        for candidate in candidates:
            if fresh(candidate):
                yield str(candidate)


def process_one(extractor: "ColorExtractor", image: str, chart: Optional[str] = None,
                keep_transparent: bool = False) -> Dict[str, Any]:
    """One image of a batch: its record, or its error; never raises."""
    try:
        pixels, mask = read_image(image, keep_transparent=keep_transparent)
        colors = extractor.extract_colors(pixels, mask)
        if chart:
            from .charts import write_chart

            write_chart(extractor, colors, chart)
        return {"path": image, "colors": colors}
    except Exception as e:  # one bad image never stops the batch
        return {"path": image, "error": f"{type(e).__name__}: {e}"}


_thread_limits = None  # kept alive for the life of a worker process


def _one_thread_per_worker() -> None:
    """Worker processes share the cores: each runs its libraries on one thread."""
    import cv2
    from threadpoolctl import threadpool_limits

    cv2.setNumThreads(1)
    global _thread_limits
    _thread_limits = threadpool_limits(1)


def _local(extractor, todo: Iterator[str], charts, jobs: int, keep: bool) -> Iterator[dict]:
    if jobs <= 1:
        for image in todo:
            yield process_one(extractor, image, charts.get(image), keep)
        return
    import multiprocessing
    from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait

    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context,
                             initializer=_one_thread_per_worker) as pool:
        pending = set()
        for image in itertools.islice(todo, jobs * IN_FLIGHT_PER_WORKER):
            pending.add(pool.submit(process_one, extractor, image, charts.get(image), keep))
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                yield future.result()
                # one image in for each one out, taken only as the caller asks for more
                for image in itertools.islice(todo, 1):
                    pending.add(pool.submit(process_one, extractor, image, charts.get(image),
                                            keep))


def _dask(extractor, todo: Iterator[str], charts, scheduler, keep: bool) -> Iterator[dict]:
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise ImportError("a Dask scheduler needs Dask: pip install 'vantrel-huesift[dask]'")
    client = scheduler if isinstance(scheduler, Client) else Client(scheduler)
    try:
        workers = max(1, len(client.scheduler_info().get("workers", {})))
        submit = lambda image: client.submit(  # noqa: E731
            process_one, extractor, image, charts.get(image), keep, pure=False)
        running = as_completed([submit(i) for i in itertools.islice(
            todo, workers * IN_FLIGHT_PER_WORKER)])
        for future in running:
            for image in itertools.islice(todo, 1):
                running.add(submit(image))
            record = future.result()
            future.release()
            yield record
    finally:
        if client is not scheduler:
            client.close()


def run_batch(images: Iterable[str], extractor: Optional["ColorExtractor"] = None,
              jobs: Optional[int] = None, scheduler: Any = None, progress: bool = False,
              keep_transparent: bool = False, charts: Optional[Dict[str, str]] = None,
              total: Optional[int] = None) -> Iterator[Dict[str, Any]]:
    """The records of images already found; `charts` maps an image to its chart file."""
    from tqdm import tqdm

    from .tintmill import ColorExtractor

    extractor = ColorExtractor() if extractor is None else extractor
    todo = iter(images)
    charts = charts or {}
    if scheduler is not None:
        records = _dask(extractor, todo, charts, scheduler, keep_transparent)
    else:
        records = _local(extractor, todo, charts, jobs or os.cpu_count() or 1, keep_transparent)
    with tqdm(total=total, unit="img", disable=not progress) as bar:
        for record in records:
            bar.update(1)
            yield record


def batch_extract_colors(paths: Union[str, Iterable[str]],
                         extractor: Optional["ColorExtractor"] = None,
                         jobs: Optional[int] = None, scheduler: Any = None,
                         progress: bool = False, keep_transparent: bool = False
                         ) -> Iterator[Dict[str, Any]]:
    """Yields one record per image, in the order the images complete.

    Args:
        paths: files, folders (searched recursively) and globs; each file is analysed once.
        extractor: the ColorExtractor to use (default ``ColorExtractor()``).
        jobs: worker processes (default: the number of cores; 1 runs in this process).
        scheduler: a Dask scheduler address or ``dask.distributed.Client`` to run on instead.
        progress: show a progress bar.
        keep_transparent: count pixels that an alpha channel makes transparent.
    """
    images = find_images([paths] if isinstance(paths, str) else paths)
    return run_batch(images, extractor, jobs, scheduler, progress, keep_transparent)

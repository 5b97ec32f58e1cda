"""Dominant colours of many images from Python: one record per image, as each completes.

    from vantrel_huesift.batch import batch_extract_colors

    if __name__ == "__main__":  # worker processes import the main script again
        for record in batch_extract_colors(["photos/", "more/**/*.jpg"], jobs=2):
            print(record["path"], record.get("colors") or record["error"])

Records are the JSON lines of `huesift batch` (`records`): the path as it was given, the file's
resolved absolute path, then its colours or its error: ``{"path": ..., "resolved_path": ...,
"colors": [...]}`` or ``{"path": ..., "resolved_path": ..., "error": "ValueError: ..."}``. With
target colours, a record also holds the targets, ``"targets": {name: (R, G, B)}``, and
``"matches"``, the `find_color_matches` report of the image for them. With names, each colour
holds its ``"name"`` and the record the ``"vocabulary"`` they are from. A chart that could not
be written adds ``"chart_error"`` beside the colours.

This module holds the batch's own logic: what one image's record is, and how a run goes. The
images are found by `sources`, read by `images`, analysed by worker processes of `pool` (or
on a Dask cluster), and appended to a results file by `results`.
"""

from __future__ import annotations

import copy
import os
import warnings
from typing import (TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Mapping, NamedTuple,
                    Optional, Sequence, Tuple, Union)

from . import messages, names as naming, pool
from .colours import Targets, check_targets
from .files import same_file_key
from .images import read_image
from .results import ResultsFile
from .sources import check_sources, find_images

if TYPE_CHECKING:
    from .tintmill import ColorExtractor

__all__ = ["batch_extract_colors", "run_batch", "process_one", "analyse", "read_image",
           "name_records"]

# How a worker gets its extractor: the extractor itself, or the constructor's arguments, so that
# a parent that has not imported the engine need not import it to start a batch.
Recipe = Union["ColorExtractor", Dict[str, Any]]

# Worker processes share the cores: each runs its libraries on one thread, set before they
# load; charts are written to files, on the Agg back end. The engine is loaded once, before the
# workers are forked (see `pool`).
# glibc's allocator, left to itself, hands each image's large buffers back to the system and
# faults them in again for the next image (a thousand page faults, about 1 ms of a 600 x 512
# photo's 28). A worker does the same work image after image, so it keeps buffers up to 32 MiB
# and up to 256 MiB of free heap for the next; larger ones (a 12 MP photo's) still go back.
# Read as the fork server starts, so every worker forked from it has them; other C libraries
# ignore them.
WORKER_ENVIRONMENT = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1",
                      "MKL_NUM_THREADS": "1", "MPLBACKEND": "Agg",
                      "MALLOC_MMAP_THRESHOLD_": str(32 << 20),
                      "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}
WORKER_PRELOAD = ("vantrel_huesift.preload",)


def warm_up() -> None:
    """Starts loading what workers need, in the background, ahead of a batch."""
    pool.start(WORKER_ENVIRONMENT, WORKER_PRELOAD)


def build(recipe: Recipe) -> "ColorExtractor":
    if not isinstance(recipe, dict):
        return recipe
    from .tintmill import ColorExtractor

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the device decision's warning: said by the parent
        return ColorExtractor(**recipe)


def _unprocessed_twin(extractor: "ColorExtractor") -> Optional["ColorExtractor"]:
    """A copy of the extractor with preprocessing off, to be given images it has preprocessed
    already; None when there is nothing to share (preprocessing is off) or when a subclass
    preprocesses its own way, which the copy would apply a second time."""
    from .tintmill import STATE_FIELDS, ColorExtractor

    if type(extractor)._preprocess_image is not ColorExtractor._preprocess_image:
        return None
    preprocessing = STATE_FIELDS.index("preprocessing")  # the layout differs between profiles
    reduced = extractor.__reduce__()
    if len(reduced) < 3 or not isinstance(reduced[2], tuple):  # no state to change
        return None
    state = list(reduced[2])
    if not state[preprocessing]:
        return None
    state[preprocessing] = False
    twin = copy.copy(extractor)
    twin.__setstate__(tuple(state))
    return twin


def analyse(extractor: "ColorExtractor", image: Any, mask: Any = None,
            targets: Optional[Targets] = None) -> Tuple[list, Optional[dict]]:
    """The colours of an image array and, with targets, its `find_color_matches` report. Both
    run the same preparation; its costly first step, preprocessing, is done once and the
    prepared image handed to both, which gives exactly the answers of the two separate calls."""
    if not targets:
        return extractor.extract_colors(image, mask), None
    twin = _unprocessed_twin(extractor)
    if twin is None:
        return (extractor.extract_colors(image, mask),
                extractor.find_color_matches(image, dict(targets), mask))
    prepared = extractor._preprocess_image(image)
    return twin.extract_colors(prepared, mask), twin.find_color_matches(prepared, dict(targets),
                                                                        mask)


def process_one(extractor: "ColorExtractor", image: str, chart: Optional[str] = None,
                keep_transparent: bool = False, mask: Optional[str] = None,
                targets: Optional[Targets] = None, max_side: Optional[int] = None
                ) -> Dict[str, Any]:
    """One image of a batch: its record, or its error; never raises. A chart that cannot be
    written costs the record its chart only: the colours are kept, with a `chart_error`."""
    try:
        pixels, mask_array = read_image(image, mask, keep_transparent, max_side)
        colors, matches = analyse(extractor, pixels, mask_array, targets)
    except Exception as e:  # one bad image never stops the batch
        return {"path": image, "error": f"{type(e).__name__}: {e}"}
    record: Dict[str, Any] = {"path": image, "colors": colors}
    if targets:
        record["targets"] = dict(targets)
        record["matches"] = matches
    if chart:
        try:
            from .charts import write_chart

            write_chart(extractor, colors, chart)
        except Exception as e:
            record["chart_error"] = f"{type(e).__name__}: {e}"
    return record


# An image, its chart file, and targets of its own in place of the run's (None: the run's).
Task = Tuple[str, Optional[str], Optional[Targets]]


class Settings(NamedTuple):
    """What every image of a run shares; a task adds the image's own chart and targets."""

    keep_transparent: bool = False
    mask: Optional[str] = None
    targets: Optional[Targets] = None
    max_side: Optional[int] = None

    def run(self, extractor: "ColorExtractor", task: Task) -> Dict[str, Any]:
        image, chart, own_targets = task
        return process_one(extractor, image, chart, self.keep_transparent, self.mask,
                           self.targets if own_targets is None else own_targets, self.max_side)


Work = Tuple["ColorExtractor", Settings]
Outcome = Tuple[Dict[str, Any], List[messages.Said]]


def _start(state: Tuple[Recipe, Settings]) -> Work:
    """A worker process's set-up: the engine imported once, its libraries on one thread."""
    import cv2

    recipe, settings = state
    extractor = build(recipe)
    cv2.setNumThreads(1)
    return extractor, settings


def _analysed(work: Work, task: Task) -> Outcome:
    extractor, settings = work
    return messages.captured(settings.run, extractor, task)


def _lost(task: Task, how: str) -> Outcome:
    return {"path": task[0], "error": f"worker process died: {how}"}, []


def _on_dask(work: Work, task: Task) -> Outcome:
    # a cluster's worker threads share the warnings machinery: its warnings stay in its log
    extractor, settings = work
    return settings.run(extractor, task), []


def name_records(records: List[Dict[str, Any]], vocabulary: str) -> List[Dict[str, Any]]:
    """Copies of batch records with each colour's name in `vocabulary` and the record's
    "vocabulary" after its colours; a record without colours (an error) is left as it is. All
    the colours are named at once: naming costs little per colour, but something per call."""
    known = naming.get_vocabulary(vocabulary).name
    colours = [c for record in records if "colors" in record for c in record["colors"]]
    named = iter(naming.name_colours(colours, known))
    result = []
    for record in records:
        if "colors" not in record:
            result.append(record)
            continue
        copy = {}
        for key, value in record.items():
            if key == "vocabulary":
                continue
            copy[key] = [next(named) for _ in value] if key == "colors" else value
            if key == "colors":
                copy["vocabulary"] = known
        result.append(copy)
    return result


RENAMED_AT_ONCE = 256  # records named in one call, between appends to the file


def renamed(results: ResultsFile, places: List[Tuple[int, int]], vocabulary: str
            ) -> Iterator[Dict[str, Any]]:
    """The records of a results file at `places` (a plan's `unnamed`), named in `vocabulary`:
    their images are not analysed again, since names follow from the colours alone."""
    places = list(places)
    for start in range(0, len(places), RENAMED_AT_ONCE):
        yield from name_records(list(results.records_at(places[start:start + RENAMED_AT_ONCE])),
                                vocabulary)


def with_resolved_path(record: Dict[str, Any]) -> Dict[str, Any]:
    """The record with the file's resolved absolute path after the path as it was given."""
    path = record["path"]
    rest = {k: v for k, v in record.items() if k != "path"}
    return {"path": path, "resolved_path": same_file_key(path), **rest}


def run_batch(images: Iterable[str], extractor: Optional[Recipe] = None,
              jobs: Optional[int] = None, scheduler: Any = None, progress: bool = False,
              keep_transparent: bool = False, charts: Optional[Dict[str, str]] = None,
              total: Optional[int] = None, mask: Optional[str] = None,
              targets: Optional[Targets] = None, max_side: Optional[int] = None,
              own_targets: Optional[Dict[str, Targets]] = None, names: Optional[str] = None
              ) -> Iterator[Dict[str, Any]]:
    """The records of images already found; `extractor` is a ColorExtractor or the arguments
    to make one with (workers make it: the engine is not imported here first), `charts` maps an
    image to its chart file, `mask` is a mask file applied to every image (an image of another
    size gets an error), `own_targets` maps an image to targets it gets in place of `targets`,
    and `names` is the vocabulary the colours are named in, here (None: no names). An image's
    warnings are issued here again as `messages.Note`s."""
    from tqdm import tqdm

    recipe: Recipe = {} if extractor is None else extractor
    charts, own_targets = charts or {}, own_targets or {}
    todo = ((image, charts.get(image), own_targets.get(image)) for image in images)
    settings = Settings(keep_transparent, mask, targets, max_side)
    jobs = jobs or os.cpu_count() or 1
    outcomes: Iterator[Outcome]
    if scheduler is not None:
        outcomes = pool.on_dask(todo, scheduler, _start_on_dask, (recipe, settings), _on_dask,
                                _lost)
    elif jobs <= 1:
        outcomes = _in_process(todo, recipe, settings)
    else:
        outcomes = pool.imap(todo, jobs, _start, (recipe, settings), _analysed, _lost,
                             WORKER_ENVIRONMENT, WORKER_PRELOAD)
    registry: Dict[Any, Any] = {}
    with tqdm(total=total, unit="img", disable=not progress) as bar:
        for record, said in outcomes:
            bar.update(1)
            messages.reissue(said, record["path"], registry)
            if names is not None:
                [record] = name_records([record], names)
            yield with_resolved_path(record)


def _in_process(todo: Iterable[Task], recipe: Recipe, settings: Settings) -> Iterator[Outcome]:
    work = None  # the engine is loaded for the first image: a run may have none left to do
    for task in todo:
        if work is None:
            work = (build(recipe), settings)
        yield _analysed(work, task)


def _start_on_dask(state: Tuple[Recipe, Settings]) -> Work:
    recipe, settings = state
    return build(recipe), settings


def batch_extract_colors(paths: Union[str, Iterable[str]],
                         extractor: Optional["ColorExtractor"] = None,
                         jobs: Optional[int] = None, scheduler: Any = None,
                         progress: bool = False, keep_transparent: bool = False,
                         mask: Optional[str] = None,
                         targets: Optional[Mapping[str, Sequence[int]]] = None,
                         max_side: Optional[int] = None,
                         output: Optional[str] = None,
                         names: Optional[str] = None) -> Iterator[Dict[str, Any]]:
    """Yields one record per image, in the order the images complete.

    Args:
        paths: files, folders (searched recursively) and globs; each file is analysed once.
            Every one is checked before any work starts.
        extractor: the ColorExtractor to use (default ``ColorExtractor()``).
        jobs: worker processes (default: the number of cores; 1 runs in this process). A
            script that starts them needs ``if __name__ == "__main__":`` around the batch.
        scheduler: a Dask scheduler address or ``dask.distributed.Client`` to run on instead.
        progress: show a progress bar.
        keep_transparent: count pixels that an alpha channel makes transparent.
        mask: a mask file for every image; an image of another size gets an error record.
        targets: target colours by name, ``{"brand": (200, 16, 46)}``: each record then holds
            them and ``"matches"``, the image's `find_color_matches` report for them.
        max_side: shrink each image (and mask) with area averaging so that its longer side is
            at most this many pixels, before the analysis: faster, and approximate (the README
            says how far colours and shares move). None analyses every pixel.
        output: a results file to append each record to, as ``huesift batch --output`` does:
            images it holds already are skipped (resumed), and it is held by this run alone
            until the records run out or the generator is closed.
        names: a vocabulary ("css", "xkcd" or "basic"): each colour of each record then holds
            its ``"name"`` in it, and the record ``"vocabulary"``. With `output`, a record the
            file holds without those names is named from its colours and yielded again,
            appended in its place; its image is not analysed again.
    """
    checked = check_targets(targets)
    vocabulary = None if names is None else naming.vocabulary_name(names)
    if max_side is not None and (not isinstance(max_side, int) or max_side < 1):
        raise ValueError(f"max_side must be a whole number of pixels, at least 1, not {max_side!r}")
    sources = [paths] if isinstance(paths, str) else list(paths)
    check_sources(sources)
    images = find_images(sources)
    options = dict(jobs=jobs, scheduler=scheduler, progress=progress,
                   keep_transparent=keep_transparent, mask=mask, targets=checked,
                   max_side=max_side, names=vocabulary)
    if output is None:
        return run_batch(images, extractor, **options)  # type: ignore[arg-type]
    # taken now: a run that holds it stops this one
    results = ResultsFile(output, checked, vocabulary)
    return _appended(results, list(images), extractor, options)


def _appended(results: ResultsFile, images: List[str], extractor: Optional[Recipe],
              options: Dict[str, Any]) -> Iterator[Dict[str, Any]]:
    with results:
        plan = results.plan(images)
        if options["names"] is not None:
            for record in renamed(results, plan.unnamed, options["names"]):
                results.append(record)
                yield record
        for record in run_batch(plan.todo, extractor, total=len(plan.todo),
                                own_targets=plan.own_targets, **options):
            results.append(record)
            yield record

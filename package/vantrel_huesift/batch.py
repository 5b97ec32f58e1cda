"""Dominant colours of many images from Python: one record per image, as each completes.

    from vantrel_huesift.batch import batch_extract_colors

    if __name__ == "__main__":  # worker processes import the main script again
        for record in batch_extract_colors(["photos/", "more/**/*.jpg"], jobs=2):
            print(record["path"], record.get("colors") or record["error"])

Records are the JSON lines of `huesift batch`: the path as it was given, the file's resolved
absolute path, then its colours or its error: ``{"path": ..., "resolved_path": ...,
"colors": [...]}`` or ``{"path": ..., "resolved_path": ..., "error": "ValueError: ..."}``. With
target colours, a record also holds the targets, ``"targets": {name: (R, G, B)}``, and
``"matches"``, the `find_color_matches` report of the image for them. A chart that could not
be written adds ``"chart_error"`` beside the colours. Only a few images per worker are in
flight at a time, so a batch of any size runs in flat memory; a worker that dies (killed for
memory, say) costs the image it was on, which gets an error record, and a new worker takes
over.
"""

from __future__ import annotations

import copy
import glob
import itertools
import json
import numbers
import os
import stat
from collections import deque
from pathlib import Path
from typing import (TYPE_CHECKING, Any, Deque, Dict, Iterable, Iterator, List, Mapping,
                    NamedTuple, Optional, Sequence, Set, Tuple, Union)

from .files import new_beside, same_file_key
from .images import alpha_of, imread, read_image  # noqa: F401 (their home before images)

if TYPE_CHECKING:
    from .tintmill import ColorExtractor

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".jp2", ".ppm",
                  ".pgm", ".pbm", ".pnm", ".sr", ".ras", ".exr", ".hdr", ".pic"}

# Images sent ahead to each worker: one at work and one waiting keep it busy, and a worker that
# dies has started only the first of its images.
IN_FLIGHT_PER_WORKER = 2


class NoImagesError(ValueError):
    """A path, folder or pattern that names no file."""


class WorkerStartError(RuntimeError):
    """A worker process that died before it could take an image."""


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


Targets = Dict[str, Tuple[int, int, int]]


def check_targets(targets: Optional[Mapping[str, Sequence[int]]]) -> Optional[Targets]:
    """Target colours as a batch takes them: names to three whole numbers from 0 to 255."""
    if targets is None:
        return None
    if not isinstance(targets, Mapping):
        raise TypeError(f"targets must map names to (R, G, B), not {type(targets).__name__}")
    checked: Targets = {}
    for name, rgb in targets.items():
        if not isinstance(name, str):
            raise TypeError(f"a target's name must be text, not {name!r}")
        try:
            values = () if isinstance(rgb, (str, bytes)) else tuple(rgb)
        except TypeError:
            values = ()
        if len(values) != 3 or not all(isinstance(c, numbers.Integral) and not isinstance(
                c, bool) and 0 <= c <= 255 for c in values):
            raise ValueError(f"target {name!r}: {rgb!r} is not three whole numbers from 0 to 255")
        checked[name] = (int(values[0]), int(values[1]), int(values[2]))
    return checked


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


class Settings(NamedTuple):
    """What every image of a run shares; a task adds the image's own chart and targets."""

    keep_transparent: bool = False
    mask: Optional[str] = None
    targets: Optional[Targets] = None
    max_side: Optional[int] = None

    def run(self, extractor: "ColorExtractor", task: "Task") -> Dict[str, Any]:
        image, chart, own_targets = task
        return process_one(extractor, image, chart, self.keep_transparent, self.mask,
                           self.targets if own_targets is None else own_targets, self.max_side)


# An image, its chart file, and targets of its own in place of the run's (None: the run's).
Task = Tuple[str, Optional[str], Optional[Targets]]


_thread_limits = None  # kept alive for the life of a worker process


def _one_thread_per_worker() -> None:
    """Worker processes share the cores: each runs its libraries on one thread."""
    import cv2
    from threadpoolctl import threadpool_limits

    cv2.setNumThreads(1)
    global _thread_limits
    _thread_limits = threadpool_limits(1)


_READY = "ready"


def _worker(conn) -> None:
    """A worker process: its settings, then one image at a time in and its record out, until
    None comes or the pipe closes."""
    import signal

    import matplotlib

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's: it stops its workers
    matplotlib.use("Agg")  # charts are written to files; no window is ever opened
    _one_thread_per_worker()
    extractor, settings = conn.recv()
    conn.send(_READY)
    while True:
        try:
            task = conn.recv()
        except EOFError:
            return
        if task is None:
            return
        conn.send(settings.run(extractor, task))


class _Worker:
    """A worker process, its pipe, and the images sent to it, the one it is on first."""

    def __init__(self, context, setup: tuple):
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_worker, args=(child,), daemon=True)
        self.process.start()
        child.close()
        self.images: Deque[Task] = deque()
        self.ready = False
        self.conn.send(setup)

    def stop(self) -> None:
        if self.images:  # nothing it is on is wanted any more
            self.process.terminate()
        else:
            try:
                self.conn.send(None)
            except OSError:
                pass
        self.process.join(10)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.conn.close()


def _ended(worker: _Worker, context, setup: tuple, returned: Deque[Task]):
    """A dead worker's last records, an error record for the image it died on, and a new worker
    in its place; the images it had not started go back to the front of the queue."""
    while True:  # what it sent before it died is still in the pipe
        try:
            if not worker.conn.poll():
                break
            message = worker.conn.recv()
        except (EOFError, OSError):
            break
        if message == _READY:
            worker.ready = True
        else:
            worker.images.popleft()
            yield message
    worker.process.join(10)
    if worker.process.is_alive():  # a pipe broken under a live process: end it all the same
        worker.process.kill()
        worker.process.join()
    worker.conn.close()
    code = worker.process.exitcode or 0
    how = f"signal {-code}" if code < 0 else f"exit status {code}"
    if not worker.ready:
        raise WorkerStartError(f"a worker process could not start ({how}): see its error above")
    if worker.images:
        lost = worker.images.popleft()
        returned.extendleft(reversed(worker.images))
        yield {"path": lost[0], "error": f"worker process died: {how}"}
    return _Worker(context, setup)


def _local(extractor, todo: Iterator[Task], jobs: int, settings: Settings) -> Iterator[dict]:
    if jobs <= 1:
        for task in todo:
            yield settings.run(extractor, task)
        return
    first = next(todo, None)
    if first is None:  # no worker is started for nothing
        return
    todo = itertools.chain([first], todo)
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context("spawn")
    setup = (extractor, settings)
    workers = [_Worker(context, setup) for _ in range(jobs)]
    returned: Deque[Task] = deque()  # images a dead worker never started
    more = True
    try:
        while True:
            # images go out only as the caller takes records
            for i, worker in enumerate(workers):
                while len(worker.images) < IN_FLIGHT_PER_WORKER and (returned or more):
                    task = returned.popleft() if returned else next(todo, None)
                    if task is None:
                        more = False
                        break
                    try:
                        worker.conn.send(task)
                    except OSError:  # it has died
                        returned.appendleft(task)
                        workers[i] = yield from _ended(worker, context, setup, returned)
                        break
                    worker.images.append(task)
            watched = [w for w in workers if w.images]
            if not watched:
                return
            ready = set(wait([w.conn for w in watched] + [w.process.sentinel for w in watched]))
            for i, worker in enumerate(workers):
                if worker.process.sentinel in ready:
                    workers[i] = yield from _ended(worker, context, setup, returned)
                elif worker.conn in ready:
                    try:
                        message = worker.conn.recv()
                    except (EOFError, OSError):
                        workers[i] = yield from _ended(worker, context, setup, returned)
                        continue
                    if message == _READY:
                        worker.ready = True
                    else:
                        worker.images.popleft()
                        yield message
    finally:
        for worker in workers:
            worker.stop()


def _dask(extractor, todo: Iterator[Task], scheduler, settings: Settings) -> Iterator[dict]:
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise ImportError("a Dask scheduler needs Dask: pip install 'vantrel-huesift[dask]'")
    client = scheduler if isinstance(scheduler, Client) else Client(scheduler)
    images = {}
    try:
        workers = max(1, len(client.scheduler_info().get("workers", {})))

        def submit(task):
            future = client.submit(settings.run, extractor, task, pure=False)
            images[future.key] = task[0]
            return future

        running = as_completed([submit(t) for t in itertools.islice(
            todo, workers * IN_FLIGHT_PER_WORKER)])
        for future in running:
            for task in itertools.islice(todo, 1):
                running.add(submit(task))
            image = images.pop(future.key)
            try:
                record = future.result()
            except Exception as e:  # a task the cluster gave up on, its workers having died
                record = {"path": image, "error": f"{type(e).__name__}: {e}"}
            future.release()
            yield record
    finally:
        if client is not scheduler:
            client.close()


def with_resolved_path(record: Dict[str, Any]) -> Dict[str, Any]:
    """The record with the file's resolved absolute path after the path as it was given."""
    path = record["path"]
    rest = {k: v for k, v in record.items() if k != "path"}
    return {"path": path, "resolved_path": same_file_key(path), **rest}


def run_batch(images: Iterable[str], extractor: Optional["ColorExtractor"] = None,
              jobs: Optional[int] = None, scheduler: Any = None, progress: bool = False,
              keep_transparent: bool = False, charts: Optional[Dict[str, str]] = None,
              total: Optional[int] = None, mask: Optional[str] = None,
              targets: Optional[Targets] = None, max_side: Optional[int] = None,
              own_targets: Optional[Dict[str, Targets]] = None) -> Iterator[Dict[str, Any]]:
    """The records of images already found; `charts` maps an image to its chart file, `mask`
    is a mask file applied to every image (an image of another size gets an error), and
    `own_targets` maps an image to targets it gets in place of `targets`."""
    from tqdm import tqdm

    from .tintmill import ColorExtractor

    extractor = ColorExtractor() if extractor is None else extractor
    charts, own_targets = charts or {}, own_targets or {}
    todo = ((image, charts.get(image), own_targets.get(image)) for image in images)
    settings = Settings(keep_transparent, mask, targets, max_side)
    if scheduler is not None:
        records = _dask(extractor, todo, scheduler, settings)
    else:
        records = _local(extractor, todo, jobs or os.cpu_count() or 1, settings)
    with tqdm(total=total, unit="img", disable=not progress) as bar:
        for record in records:
            bar.update(1)
            yield with_resolved_path(record)


def batch_extract_colors(paths: Union[str, Iterable[str]],
                         extractor: Optional["ColorExtractor"] = None,
                         jobs: Optional[int] = None, scheduler: Any = None,
                         progress: bool = False, keep_transparent: bool = False,
                         mask: Optional[str] = None,
                         targets: Optional[Mapping[str, Sequence[int]]] = None,
                         max_side: Optional[int] = None) -> Iterator[Dict[str, Any]]:
    """Yields one record per image, in the order the images complete.

    Args:
        paths: files, folders (searched recursively) and globs; each file is analysed once.
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
    """
    checked = check_targets(targets)
    if max_side is not None and (not isinstance(max_side, int) or max_side < 1):
        raise ValueError(f"max_side must be a whole number of pixels, at least 1, not {max_side!r}")
    images = find_images([paths] if isinstance(paths, str) else paths)
    return run_batch(images, extractor, jobs, scheduler, progress, keep_transparent, mask=mask,
                     targets=checked, max_side=max_side)


# ---- the results file ------------------------------------------------------------------

class ResultsInUseError(Exception):
    """A results file that another run holds."""


def record_key(record: Any) -> Optional[str]:
    """The file a record is about: its resolved path, or for a record written without one, its
    path resolved from the current folder; None for anything that is not a record."""
    if not isinstance(record, dict):
        return None
    if isinstance(record.get("resolved_path"), str):
        return record["resolved_path"]
    if isinstance(record.get("path"), str):
        try:
            return same_file_key(record["path"])
        except (OSError, ValueError):
            return None
    return None


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


def _locked(path: str) -> int:
    """The file, opened to append and locked for this process alone."""
    import fcntl

    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o666)
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            raise OSError(0, "not a regular file", path)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise ResultsInUseError(f"{path} is in use by another run; it stays locked until "
                                    "that run ends") from None
        # The holder may have renamed a rewritten file to this name after it was opened here:
        # then the lock to take is the new file's.
        try:
            if os.path.samestat(os.fstat(fd), os.stat(path)):
                return fd
        except FileNotFoundError:
            pass
        os.close(fd)


class ResultsFile:
    """A batch's JSON lines file, held by one run at a time and resumed where others stopped.

    Opening takes an exclusive advisory lock (flock) on the file, held until `close` or until
    the process ends, however it ends; a second run on the same file, by any name or link,
    gets ResultsInUseError. Then it reads what earlier runs left. Every complete line stays as
    it is. A last line without a newline stays too, the newline added, when it is complete
    JSON; anything else there, the remains of a run killed mid-write, is appended to
    OUTPUT.rejected, never deleted, and cut from the file (`set_aside` counts its bytes).

    `done` holds the files whose last record has colours and, when the run asks for
    `targets`, the match report of each of them (the same name and colour). A file whose last
    record is an error is tried again; once its new record is written the old one is
    superseded, and `close` removes superseded records by writing the file anew beside the old
    one and renaming it over it (over a link's target, for a link; the file's mode is kept). So
    each file ends with one final record, and a run that is killed loses none.

    A record with colours but without some of the targets is stale: its file is analysed again,
    for the run's targets and the record's own (`kept_targets`), and the new record supersedes
    it once written: it holds all that the old one held, but a target the run gives another
    colour under the same name.
    """

    def __init__(self, path: str, targets: Optional[Targets] = None):
        self.path = str(path)
        self.rejected = self.path + ".rejected"
        self.targets = dict(targets or {})
        self.done: Set[str] = set()
        self.kept_targets: Dict[str, Targets] = {}  # a stale record's targets
        self.set_aside = 0
        self._errors: Dict[str, Tuple[int, int]] = {}  # a file's last record, an error: bytes
        self._stale: Dict[str, Tuple[int, int]] = {}  # its last record, without some targets
        self._target_sets: Dict[str, Targets] = {}  # one copy of each set of targets seen
        self._superseded: List[Tuple[int, int]] = []
        self._fd = _locked(self.path)
        try:
            self._read()
        except BaseException:
            os.close(self._fd)
            raise

    def __enter__(self) -> "ResultsFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _read(self) -> None:
        start = 0
        with open(self._fd, "rb", closefd=False) as lines:
            for line in lines:
                if not line.endswith(b"\n"):
                    self._last_line(line, start)
                    break
                self._note(line, start)
                start += len(line)

    def _note(self, line: bytes, start: int) -> None:
        try:
            record = json.loads(line)
        except (ValueError, RecursionError):
            return
        key = record_key(record)
        if key is None:
            return
        self._supersede(key, record)
        if "error" in record:
            self._errors[key] = (start, start + len(line))
            self.done.discard(key)
        elif "colors" in record:
            held = self._targets_of(record)
            if all(held.get(name) == rgb for name, rgb in self.targets.items()):
                self.done.add(key)
            else:
                self.done.discard(key)
                self._stale[key] = (start, start + len(line))
                self.kept_targets[key] = held

    def _targets_of(self, record: Dict[str, Any]) -> Targets:
        """The targets whose report a record holds, one shared copy for the records that hold
        the same ones; none for a record whose targets or report are not well formed."""
        targets, matches = record.get("targets"), record.get("matches")
        if not isinstance(targets, dict) or not isinstance(matches, dict) or not targets:
            return {}
        try:
            checked = check_targets(targets)
        except (TypeError, ValueError):
            return {}
        assert checked is not None
        return self._target_sets.setdefault(json.dumps(sorted(checked.items())), checked)

    def _supersede(self, key: Optional[str], record: Dict[str, Any]) -> None:
        """Marks for removal the error record of the file `record` is about, and its stale
        record once `record` holds what the run asked of it."""
        if key is None:
            return
        previous = self._errors.pop(key, None)
        if previous is not None:
            self._superseded.append(previous)
        if key in self._stale and "colors" in record:
            held = self._targets_of(record)
            # what the run asked of the record: its own targets, a name it redefines replaced
            wanted = {**self.kept_targets[key], **self.targets}
            if all(held.get(name) == rgb for name, rgb in wanted.items()):
                self._superseded.append(self._stale.pop(key))
                del self.kept_targets[key]

    def _last_line(self, line: bytes, start: int) -> None:
        try:
            json.loads(line)
        except (ValueError, RecursionError):
            fd = os.open(self.rejected, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC,
                         0o666)
            try:
                _write_all(fd, line + b"\n")
                os.fsync(fd)
            finally:
                os.close(fd)
            os.ftruncate(self._fd, start)  # only once the line is safe in OUTPUT.rejected
            self.set_aside = len(line)
            return
        _write_all(self._fd, b"\n")
        self._note(line + b"\n", start)

    def append(self, record: Dict[str, Any]) -> None:
        """Writes one record, whole, at the end of the file."""
        _write_all(self._fd, (json.dumps(record) + "\n").encode())
        self._supersede(record_key(record), record)

    def close(self) -> None:
        if self._fd < 0:
            return
        try:
            if self._superseded:
                self._rewrite()
        finally:
            os.close(self._fd)
            self._fd = -1

    def _rewrite(self) -> None:
        import fcntl

        try:
            fd, temporary = new_beside(self.path)
        except OSError:  # a folder that cannot be written: the superseded records stay
            return
        try:
            # Locked before it takes the file's name, so that no other run gets in between.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            position = 0
            for start, end in sorted(self._superseded) + [(os.fstat(self._fd).st_size, 0)]:
                while position < start:
                    chunk = os.pread(self._fd, min(start - position, 1 << 20), position)
                    if not chunk:
                        break
                    _write_all(fd, chunk)
                    position += len(chunk)
                position = end
            os.fsync(fd)
            os.replace(temporary, os.path.realpath(self.path))
        except BaseException:
            os.close(fd)
            os.unlink(temporary)
            raise
        os.close(self._fd)
        self._fd = fd
        self._superseded = []

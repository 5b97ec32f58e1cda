"""A batch's results file: one JSON line per image, held by one run at a time, resumed where
others stopped, and never losing a finished record.

    with ResultsFile("results.jsonl", targets) as results:
        plan = results.plan(images)            # what is left to do
        for record in run(plan.todo):
            results.append(record)

- A run holds an exclusive advisory lock (flock) on the file from start to end; the system
  releases it when the run ends, however it ends. A second run on the same file, by any name or
  link, gets ResultsInUseError and changes nothing.
- Every complete line stays as it is. A last line without its newline stays too, the newline
  added, when it is complete JSON; anything else there, the remains of a run killed mid-write,
  is appended to OUTPUT.rejected, never deleted, and cut from the file.
- An image is done when its last record has colours and the report of each of the run's
  targets (the same name and colour). An image whose last record is an error is tried again;
  only a new record for the same image retires the error record. A record with colours but
  without some of the targets is stale: the image is analysed again for the run's targets and
  the record's own, and the new record retires it once written. Retired records are removed
  when the run ends, by writing the file anew beside the old one and renaming it over it (over
  a link's target, for a link; the file's mode kept), so a run that is killed loses none.
- A run that asks for names in a vocabulary also wants each colour's name from it. A record
  that holds the rest but not those names (no names, or another vocabulary's) is not done
  either, but its image need not be analysed again: names follow from the colours alone.
  The plan lists such records (`unnamed`); the run names their colours and appends the named
  record, which retires the unnamed one as a new record retires a stale one.
"""

from __future__ import annotations

import os
import stat
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Set, Tuple

from . import files, records
from .colours import Targets


class ResultsInUseError(Exception):
    """A results file that another run holds."""


class Plan(NamedTuple):
    """What a run has left to do: the images, in order; the targets an image keeps from its
    stale record (with the run's); how many were done already, and among those, the records
    that lack only names (their places in the file, in file order)."""

    todo: List[str]
    own_targets: Dict[str, Targets]
    already: int
    unnamed: List[Tuple[int, int]]


def record_key(record: records.Record) -> Optional[str]:
    """The file a record is about: its resolved path, or for a record written without one, its
    path resolved from the current folder."""
    if isinstance(record.resolved_path, str):
        return record.resolved_path
    try:
        return files.same_file_key(record.path)
    except (OSError, ValueError):
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
    """A batch's JSON lines file, opened for one run: see the module's rules."""

    def __init__(self, path: str, targets: Optional[Mapping[str, Tuple[int, int, int]]] = None,
                 vocabulary: Optional[str] = None):
        self.path = str(path)
        self.rejected = self.path + ".rejected"
        self.targets = dict(targets or {})
        self.vocabulary = vocabulary  # of the names the run asks for; None: none
        self.done: Set[str] = set()
        self.kept_targets: Dict[str, Targets] = {}  # a stale record's targets
        self.set_aside = 0
        self._errors: Dict[str, Tuple[int, int]] = {}  # a file's last record, an error: bytes
        self._stale: Dict[str, Tuple[int, int]] = {}  # its last record, without some targets
        self._unnamed: Dict[str, Tuple[int, int]] = {}  # its last record, lacking only names
        self._superseded: List[Tuple[int, int]] = []
        self._fd = _locked(self.path)
        try:
            files.remove_strays(self.path)  # a rewrite's, by a run killed outright
            self._read()
        except BaseException:
            os.close(self._fd)
            raise

    def __enter__(self) -> "ResultsFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def plan(self, images: List[str]) -> Plan:
        """The images not done yet, in order, and the targets each keeps from its record."""
        keys = {image: files.same_file_key(image) for image in images}
        todo = [image for image in images if keys[image] not in self.done]
        own = {image: {**self.kept_targets[keys[image]], **self.targets} for image in todo
               if keys[image] in self.kept_targets}
        unnamed = sorted({self._unnamed[key] for key in keys.values() if key in self._unnamed})
        return Plan(todo, own, len(images) - len(todo), unnamed)

    def records_at(self, places: List[Tuple[int, int]]) -> Iterator[Dict[str, Any]]:
        """The records at these places of the file (`Plan.unnamed`'s), as dicts."""
        import json

        for start, end in places:
            yield json.loads(os.pread(self._fd, end - start, start))

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
            record = records.decode(line)
        except records.NotARecord:  # kept as it is, and retires nothing
            return
        key = record_key(record)
        if key is None:
            return
        self._supersede(key, record)
        self._unnamed.pop(key, None)  # this record, the newer, decides
        if record.failed:
            self._errors[key] = (start, start + len(line))
            self.done.discard(key)
            return
        held = record.held_targets()
        if all(held.get(name) == rgb for name, rgb in self.targets.items()):
            self.done.add(key)
            if not record.named(self.vocabulary):
                self._unnamed[key] = (start, start + len(line))
        else:
            self.done.discard(key)
            self._stale[key] = (start, start + len(line))
            self.kept_targets[key] = held

    def _supersede(self, key: str, record: records.Record) -> None:
        """Marks for removal the error record of the image `record` is about, and its stale
        record once `record` holds what the run asked of it."""
        previous = self._errors.pop(key, None)
        if previous is not None:
            self._superseded.append(previous)
        if record.failed or not record.named(self.vocabulary):
            return
        held = record.held_targets()
        if key in self._stale:
            # what the run asked of the record: its own targets, a name it redefines replaced
            wanted = {**self.kept_targets[key], **self.targets}
            if all(held.get(name) == rgb for name, rgb in wanted.items()):
                self._superseded.append(self._stale.pop(key))
                del self.kept_targets[key]
        if key in self._unnamed and all(held.get(name) == rgb
                                        for name, rgb in self.targets.items()):
            self._superseded.append(self._unnamed.pop(key))

    def _last_line(self, line: bytes, start: int) -> None:
        import json

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
        _write_all(self._fd, records.line(record))
        made = records.of(record)
        key = record_key(made)
        if key is not None:
            self._supersede(key, made)

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
        try:
            fd, temporary = files.new_beside(self.path)  # locked before it takes the name
        except OSError:  # a folder that cannot be written: the superseded records stay
            return
        try:
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

"""The pool: worker processes that do a batch's tasks, and how each lives and dies.

- Workers start before the parent imports anything heavy. They are forked from a fork server
  that has loaded the engine once, with its libraries on one thread each, set before they load:
  the server has a single thread when it forks, so no library's threads or locks are lost in a
  worker (OpenBLAS and OpenCV would otherwise start threads as they load). Where there is no
  fork server, each worker is started fresh ("spawn") and loads the engine itself. The parent
  sends each one how to set itself up (`setup(state)`), then tasks, a few at a time, so that a
  batch of any size runs in flat memory.
- A worker that dies at any moment costs at most the task it was on, which gets `lost(task,
  how)` in place of its result; the tasks it had not started go back to the queue, and a new
  worker takes its place. One that dies while it is still starting costs nothing and is
  replaced too; only START_TRIES such deaths in a row, with no worker started meanwhile, stop
  the pool with WorkerStartError. A setup that raises does so in every worker: its error
  stops the pool at once, in its own words.
- Workers ignore SIGINT, and end quietly on SIGTERM: the command line turns either into an
  exception in the parent, which stops its workers, those at work by SIGKILL, the others by
  closing their pipe, and the fork server (`stop_server`). A worker whose parent is gone exits
  quietly, at its next message. The fork server and each worker start with SIGINT blocked, so
  that Ctrl-C (sent to the whole process group) never ends one with a traceback while it loads:
  the server ignores it once loaded, a worker as soon as it runs.
- Each worker has a pipe of its own, so that one killed while it writes corrupts nothing of the
  others'. (pebble's pool shares one pipe and one lock among all workers: a worker killed
  while it holds them stalls the others, and one that dies before it has taken a task breaks
  the whole pool.)

On a Dask cluster (`on_dask`), the cluster's own workers do the tasks; a task the cluster
gives up on gets `lost` too.
"""

from __future__ import annotations

import itertools
import os
from collections import deque
from contextlib import contextmanager
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Sequence

START_TRIES = 3  # deaths in a row of workers still starting before the pool stops
IN_FLIGHT_PER_WORKER = 2  # tasks sent to a worker: one at work, one waiting
START_METHOD = "forkserver"  # where there is one; "spawn" elsewhere, or without a preload

_READY, _DONE, _FAILED = "ready", "done", "failed"


class WorkerStartError(RuntimeError):
    """Worker processes that could not start."""


def _worker(conn, environ: Dict[str, str]) -> None:
    """A worker process: `environ` set before anything is loaded, its set-up, then one task at a
    time in and its result out, until None comes or the pipe closes."""
    import signal

    # Ctrl-C is the parent's to act on: it stops us. SIGTERM keeps its default, a quiet end:
    # sent to the whole group, the parent acts on it before it sees us gone. SIGINT was
    # blocked since the fork (see `_sigint_blocked`): ignored now, it is let through.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    os.environ.update(environ)
    try:
        try:
            setup, state, run = conn.recv()
            work = setup(state)
        except Exception as e:
            conn.send((_FAILED, f"{type(e).__name__}: {e}"))
            return
        conn.send((_READY, None))
        while True:
            task = conn.recv()
            if task is None:
                return
            conn.send((_DONE, run(work, task)))
    except (EOFError, OSError):  # the parent is gone: nothing to say, no one to say it to
        return


class _Worker:
    """A worker process, its pipe, and the tasks sent to it, the one it is on first."""

    def __init__(self, context: Any, setup: tuple, environ: Dict[str, str]):
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_worker, args=(child, environ), daemon=True)
        self.tasks: Deque[Any] = deque()
        self.ready = False
        self.failed: Optional[str] = None
        try:
            method = context.get_start_method()
            if method == "spawn" or _server_loaded():
                # Over in a moment: Ctrl-C waits for it. Taken halfway, it would leave the
                # server, or the process it forks, waiting for what we had not sent yet, to
                # say so on our stderr. Started here, a process inherits the mask, and the
                # environment, which the C library reads as it starts.
                with _environment(environ if method == "spawn" else {}), _sigint_blocked():
                    self.process.start()
            else:  # the server may be loading still: Ctrl-C acts here while it waits
                self.process.start()
            if method != "spawn":
                _note_loaded()
            child.close()
            self.conn.send(setup)
        except BaseException:  # Ctrl-C before the pool holds it: it is not left behind
            if self.process.pid is not None:
                self.process.kill()
                self.process.join()
            self.conn.close()
            raise

    def take(self, message: Any) -> Optional[tuple]:
        """A message from the worker: its result and the task it was for, or None."""
        kind, value = message
        if kind == _READY:
            self.ready = True
        elif kind == _FAILED:
            self.failed = value
        else:
            return self.tasks.popleft(), value
        return None

    def stop(self) -> None:
        if self.tasks:  # nothing it is on is wanted any more
            self.process.kill()
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

    def how_it_ended(self) -> str:
        code = self.process.exitcode or 0
        return f"signal {-code}" if code < 0 else f"exit status {code}"


@contextmanager
def _sigint_blocked() -> Iterator[None]:
    """SIGINT held back on this thread meanwhile, and in a process started meanwhile, which
    inherits the mask, until that process lets it through. One that arrives meanwhile is raised
    as the block ends: none is lost."""
    import signal
    import threading
    from multiprocessing import resource_tracker

    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    # started first: starting it lets SIGINT through again on this thread
    resource_tracker.ensure_running()
    # The mask holds only this thread: another thread of this process (a library's) may take
    # the signal, and Python would then raise it here, halfway through starting a process. So
    # it is noted meanwhile, and raised once the process has started.
    noted: List[Any] = []
    previous = signal.getsignal(signal.SIGINT)
    held = threading.current_thread() is threading.main_thread()
    if held:
        signal.signal(signal.SIGINT, lambda *received: noted.append(received))
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        if held:
            signal.signal(signal.SIGINT, previous)
        signal.pthread_sigmask(signal.SIG_SETMASK, before)
        if noted and callable(previous):
            previous(*noted[0])
        elif noted and previous == signal.SIG_DFL:
            os.kill(os.getpid(), signal.SIGINT)


@contextmanager
def _environment(environ: Dict[str, str]) -> Iterator[None]:
    """os.environ with `environ` set, for a process started meanwhile; then as it was."""
    saved = {name: os.environ.get(name) for name in environ}
    os.environ.update(environ)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def start(environ: Optional[Dict[str, str]] = None, preload: Sequence[str] = ()) -> Any:
    """The context workers are started from; with a `preload`, the fork server, started now
    (if it is not running) with `environ` and `preload` loaded, so that workers are forked with
    them loaded. Call it early: the server loads them while the caller goes on."""
    import multiprocessing

    method = os.environ.get("HUESIFT_START_METHOD") or START_METHOD
    if method not in multiprocessing.get_all_start_methods() or not preload:
        method = "spawn"
    context = multiprocessing.get_context(method)
    if method == "forkserver":
        import atexit
        from multiprocessing import forkserver

        with _environment(environ or {}), _sigint_blocked():
            context.set_forkserver_preload(list(preload))
            forkserver.ensure_running()
        # Left to notice our exit itself, the server would then tear its libraries down for a
        # fifth of a second, holding our standard output open meanwhile (a pipe's reader waits
        # for it); stopped, it ends at once. Registered once, however many batches start.
        global _server_owner
        _server_owner = os.getpid()
        atexit.unregister(_stop_at_exit)
        atexit.register(_stop_at_exit)
    return context


_server_owner: Optional[int] = None  # the process that started the fork server


def _stop_at_exit() -> None:
    if os.getpid() == _server_owner:  # not in a process forked from it, whose server it is not
        stop_server()


_loaded: Optional[int] = None  # the fork server that has forked a worker: it has loaded


def _server_pid() -> Optional[int]:
    from multiprocessing import forkserver

    return getattr(forkserver._forkserver, "_forkserver_pid", None)


def _server_loaded() -> bool:
    """Whether the running fork server has loaded what it preloads."""
    pid = _server_pid()
    return pid is not None and pid == _loaded


def _note_loaded() -> None:
    global _loaded
    _loaded = _server_pid()


def stop_server() -> None:
    """Stops the fork server this process started, at once, even while it is still loading:
    after an interrupt, nothing of the pool's is left running. A later batch starts another."""
    import signal
    from multiprocessing import forkserver

    global _loaded
    _loaded = None
    server = forkserver._forkserver
    pid = _server_pid()
    if pid is None:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    stop = getattr(server, "_stop", None)  # reaps it and forgets it (Python 3.9 and later)
    if stop is not None:
        try:
            stop()
        except (ChildProcessError, OSError):  # reaped or gone already
            pass


def imap(tasks: Iterator[Any], jobs: int, setup: Callable[[Any], Any], state: Any,
         run: Callable[[Any, Any], Any], lost: Callable[[Any, str], Any],
         environ: Optional[Dict[str, str]] = None, preload: Sequence[str] = ()
         ) -> Iterator[Any]:
    """`run(setup(state), task)` for each task, in `jobs` worker processes, in the order the
    results come; the results of tasks whose worker died are `lost(task, how)`. `environ` is
    set in each worker before it loads anything (thread counts, say); the modules of `preload`
    are loaded once, in the fork server, and each worker forked from it (see `start`)."""
    first = next(tasks, None)
    if first is None:  # no worker is started for nothing
        return
    from multiprocessing.connection import wait

    payload = (setup, state, run)
    queue: Deque[Any] = deque([first])  # tasks taken from `tasks` and not yet sent
    workers: List[Optional[_Worker]] = [None] * jobs
    start_failures = 0

    def ended(i: int) -> Iterator[Any]:
        """The results a dead worker sent before it died, then `lost` for the task it was on;
        the tasks it had not started go back to the front of the queue."""
        nonlocal start_failures
        worker = workers[i]
        assert worker is not None
        workers[i] = None
        while True:
            try:
                if not worker.conn.poll():
                    break
                done = worker.take(worker.conn.recv())
            except (EOFError, OSError):
                break
            if done is not None:
                yield done[1]
        worker.process.join(10)
        if worker.process.is_alive():  # a pipe broken under a live process: end it all the same
            worker.process.kill()
            worker.process.join()
        worker.conn.close()
        how = worker.how_it_ended()
        if worker.failed is not None:
            raise WorkerStartError(f"a worker process could not start: {worker.failed}")
        if not worker.ready:
            start_failures += 1
            if start_failures >= START_TRIES:
                raise WorkerStartError(
                    f"worker processes could not start ({how}), {start_failures} times in a "
                    "row; a script that starts them needs `if __name__ == \"__main__\":` "
                    "around the batch")
        elif worker.tasks:
            yield lost(worker.tasks.popleft(), how)
        queue.extendleft(reversed(worker.tasks))

    try:
        while True:
            # tasks go out only as the caller takes results, one to each worker in turn
            for depth in range(1, IN_FLIGHT_PER_WORKER + 1):
                for i in range(jobs):
                    worker = workers[i]
                    if worker is not None and len(worker.tasks) >= depth:
                        continue
                    if not queue:
                        task = next(tasks, None)
                        if task is None:
                            break
                        queue.append(task)
                    if worker is None:
                        # a fork server that died since is started again as the first was
                        context = start(environ, preload)
                        worker = workers[i] = _Worker(context, payload, environ or {})
                    try:
                        worker.conn.send(queue[0])
                    except OSError:  # it has died: what it held goes back, itself replaced
                        yield from ended(i)
                        continue
                    worker.tasks.append(queue.popleft())
            busy = [w for w in workers if w is not None and w.tasks]
            if not busy:
                return
            ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy]))
            for i, worker in enumerate(workers):
                if worker is None:
                    continue
                if worker.process.sentinel in ready:
                    yield from ended(i)
                elif worker.conn in ready:
                    try:
                        done = worker.take(worker.conn.recv())
                    except (EOFError, OSError):
                        yield from ended(i)
                        continue
                    if worker.ready:
                        start_failures = 0
                    if worker.failed is not None:
                        yield from ended(i)
                    elif done is not None:
                        yield done[1]
    finally:
        for worker in workers:
            if worker is not None:
                worker.stop()


def _on_dask_task(run: Callable[[Any, Any], Any], setup: Callable[[Any], Any], state: Any,
                  task: Any) -> Any:
    return run(setup(state), task)


def on_dask(tasks: Iterator[Any], scheduler: Any, setup: Callable[[Any], Any], state: Any,
            run: Callable[[Any, Any], Any], lost: Callable[[Any, str], Any]) -> Iterator[Any]:
    """As `imap`, on a Dask cluster: `scheduler` is an address or a Client."""
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise ImportError("a Dask scheduler needs Dask: pip install 'vantrel-huesift[dask]'")
    client = scheduler if isinstance(scheduler, Client) else Client(scheduler)
    sent = {}
    try:
        workers = max(1, len(client.scheduler_info().get("workers", {})))

        def submit(task: Any) -> Any:
            future = client.submit(_on_dask_task, run, setup, state, task, pure=False)
            sent[future.key] = task
            return future

        running = as_completed([submit(t) for t in itertools.islice(
            tasks, workers * IN_FLIGHT_PER_WORKER)])
        for future in running:
            for task in itertools.islice(tasks, 1):
                running.add(submit(task))
            task = sent.pop(future.key)
            try:
                result = future.result()
            except Exception as e:  # a task the cluster gave up on, its workers having died
                result = lost(task, f"{type(e).__name__}: {e}")
            future.release()
            yield result
    finally:
        if client is not scheduler:
            client.close()

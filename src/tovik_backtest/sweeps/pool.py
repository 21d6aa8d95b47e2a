"""The local process pool of a sweep.

Each worker is a fresh interpreter that takes one run at a time, so an interrupt has
nothing queued to finish, and a worker that dies loses only the run it was carrying
out. Workers ignore SIGINT (a terminal sends it to the whole process group): stopping
them is the parent's job, and it terminates them at once (on SIGTERM too). A worker
whose parent is gone ends at once, so no run writes into the output after the sweep.
"""

from __future__ import annotations

import ctypes
import inspect
import multiprocessing
import os
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from multiprocessing.connection import Connection, wait
from typing import Any

from tovik_backtest.errors import SweepError
from tovik_backtest.sweeps.backends import RunJob, run_one
from tovik_backtest.sweeps.table import empty_row

__all__ = ["UNGUARDED_EXIT", "WorkerPool", "die_with_parent", "exit_if_importing_main", "run_on_pool"]

# Exit status of a worker whose import of the main script started a sweep of its own.
UNGUARDED_EXIT = 86

_DIED = "the worker process running this run died (exit or crash in native code)"
_STOP_GRACE_S = 2.0


def exit_if_importing_main() -> None:
    """End this process when it is a spawned worker importing the parent's main script.

    A script that calls ``sweep()`` without ``if __name__ == "__main__":`` runs the call
    again in every worker while the worker imports it. The worker ends with
    UNGUARDED_EXIT instead, and the parent turns that into one clear error.
    """
    # Only multiprocessing's start-up of a spawned or forkserver child runs module code
    # under the name __mp_main__ (before parent_process() is even set).
    frame = inspect.currentframe()
    while frame is not None:
        if frame.f_code.co_name == "<module>" and frame.f_globals.get("__name__") == "__mp_main__":
            raise SystemExit(UNGUARDED_EXIT)
        frame = frame.f_back


def _unguarded_error() -> SweepError:
    main = sys.modules.get("__main__")
    script = getattr(main, "__file__", None) or "the main script"
    return SweepError(
        f"the worker processes re-ran the sweep while importing {script}: put the sweep "
        "call under 'if __name__ == \"__main__\":' so that local_processes workers can import "
        "the script without starting it again"
    )


_PR_SET_PDEATHSIG = 1  # prctl option: the signal this process gets when its parent ends


def _prctl_death_signal(parent_pid: int) -> bool:
    """Ask Linux to SIGKILL this process when its parent ends; False where it cannot."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) != 0:
            return False
    except (OSError, AttributeError):
        return False
    if os.getppid() != parent_pid:  # the parent ended before the request was made
        os._exit(1)
    return True


def _watch_parent(parent_pid: int) -> None:
    # The parent's end closes the pipe behind multiprocessing's sentinel (or, without one,
    # this process is handed to another parent): either way the run has no one to report to.
    sentinel = getattr(multiprocessing.parent_process(), "sentinel", None)
    if sentinel is not None:
        wait([sentinel])
    else:
        while os.getppid() == parent_pid:
            time.sleep(0.2)
    os._exit(1)


def die_with_parent(parent_pid: int, *, prctl: bool = True) -> None:
    """End this process (a worker) as soon as the process that started it ends, even in the
    middle of a run: through the kernel where it can (Linux), else a watching thread."""
    if prctl and _prctl_death_signal(parent_pid):
        return
    threading.Thread(target=_watch_parent, args=(parent_pid,), daemon=True,
                     name="tovik-parent-watch").start()


def _serve(conn: Connection, parent_pid: int) -> None:
    """A worker's loop: one run job in, its row out, until told to stop."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    die_with_parent(parent_pid)
    conn.send("ready")
    while True:
        try:
            job = conn.recv()
        except EOFError:  # the parent is gone
            return
        if job is None:
            return
        try:
            conn.send(run_one(job))
        except OSError:  # the parent is gone
            return


@contextmanager
def _sigint_ignored() -> Iterator[None]:
    # Spawned while SIGINT is ignored, a worker ignores it from its first instruction on
    # (CPython keeps an inherited SIG_IGN), so a Ctrl-C during its start-up prints nothing.
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class _Worker:
    def __init__(self, context: Any) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, os.getpid()), daemon=True,
                                       name="tovik-sweep-worker")
        with _sigint_ignored():
            self.process.start()
        child.close()
        self.ready = False
        self.job: RunJob | None = None

    def give(self, job: RunJob) -> bool:
        try:
            self.conn.send(job)
        except OSError:
            return False
        self.job = job
        return True

    def stop(self) -> None:
        try:
            self.conn.send(None)
        except OSError:
            pass


def _stop_all(workers: list[_Worker], *, at_once: bool) -> None:
    """End every worker: politely when idle, by SIGTERM (then SIGKILL) when ``at_once``."""
    with _sigint_ignored():  # a second Ctrl-C must not leave processes behind
        for w in workers:
            if at_once:
                w.process.terminate()
            else:
                w.stop()
        for w in workers:
            w.process.join(_STOP_GRACE_S)
            if w.process.is_alive():
                w.process.kill()
                w.process.join()
            w.conn.close()
            w.process.close()


def run_on_pool(processes: int, jobs: list[RunJob],
                on_row: Callable[[dict[str, Any]], None]) -> None:
    """Carry out ``jobs`` on ``processes`` workers, handing each row to ``on_row``.

    An interrupt (KeyboardInterrupt) ends every worker at once and propagates; the runs
    then in progress are not reported.
    """
    with WorkerPool(processes) as pool:
        pool.run(jobs, on_row)


class WorkerPool:
    """Worker processes kept between calls of ``run`` (a search hands them a batch at a
    time); leaving the ``with`` block ends them, at once when it is left by an error."""

    def __init__(self, processes: int) -> None:
        # Fresh interpreters: forking a process that runs threads (the matcher's, a progress
        # display's) can deadlock the child.
        self.context = multiprocessing.get_context("spawn")
        self.processes = processes
        self.workers: list[_Worker] = []

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, kind: Any, *_: Any) -> None:
        _stop_all(self.workers, at_once=kind is not None)
        self.workers = []

    def run(self, jobs: list[RunJob], on_row: Callable[[dict[str, Any]], None]) -> None:
        _run_jobs(self.context, self.processes, self.workers, jobs, on_row)


def _run_jobs(context: Any, processes: int, workers: list[_Worker], jobs: list[RunJob],
              on_row: Callable[[dict[str, Any]], None]) -> None:
    queue = deque(jobs)
    while queue or any(w.job is not None for w in workers):
        idle = sum(1 for w in workers if w.job is None)
        for _ in range(min(processes - len(workers), len(queue) - idle)):
            workers.append(_Worker(context))
        for w in workers:
            if w.ready and w.job is None and queue:
                job = queue.popleft()
                if not w.give(job):
                    queue.appendleft(job)  # it died; its sentinel says so below
        by_handle: dict[Any, _Worker] = {}
        for w in workers:
            by_handle[w.conn] = w
            by_handle[w.process.sentinel] = w
        for handle in wait(list(by_handle)):
            w = by_handle[handle]
            if w not in workers:
                continue
            if handle is w.conn or w.conn.poll():
                if _receive(w, on_row):
                    continue
            _bury(w, on_row)
            workers.remove(w)


def _receive(w: _Worker, on_row: Callable[[dict[str, Any]], None]) -> bool:
    """Take the worker's message; False when the worker has gone."""
    try:
        message = w.conn.recv()
    except (EOFError, OSError):
        return False
    if message == "ready":
        w.ready = True
    else:
        w.job = None
        on_row(message)
    return True


def _bury(w: _Worker, on_row: Callable[[dict[str, Any]], None]) -> None:
    w.process.join(_STOP_GRACE_S)
    code = w.process.exitcode
    if not w.ready:
        if code == UNGUARDED_EXIT:
            raise _unguarded_error()
        raise SweepError(f"a worker process exited with code {code} while starting, before any "
                         "run; see the error it printed above")
    if w.job is not None:
        on_row(empty_row(w.job.index, w.job.params, f"{_DIED}, exit code {code}"))
    w.conn.close()
    w.process.close()

"""How a process is stopped from outside: Ctrl-C (SIGINT) and SIGTERM both end up as a
KeyboardInterrupt in the main thread, so a run or a sweep stops the same way for either,
keeps what it finished, and the command exits with 128 + the signal's number."""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any

__all__ = [
    "Terminated",
    "deferred_interrupts",
    "exit_status",
    "ignored_interrupts",
    "stop_text",
    "terminate_as_interrupt",
]


class Terminated(KeyboardInterrupt):
    """The process was sent SIGTERM (by ``kill``, ``timeout``, a scheduler or systemd)."""

    def __init__(self, message: str = "terminated by SIGTERM") -> None:
        super().__init__(message)


def exit_status(stop: BaseException) -> int:
    """The exit status of a command that ``stop`` ended: 128 + the signal's number."""
    return 128 + (signal.SIGTERM if isinstance(stop, Terminated) else signal.SIGINT)


def stop_text(stop: BaseException) -> str:
    """What a stopped run's summary says of its stop."""
    if isinstance(stop, Terminated):
        return "Terminated: the run was sent SIGTERM"
    if isinstance(stop, KeyboardInterrupt):
        return "KeyboardInterrupt: the run was interrupted (Ctrl-C)"
    return f"{type(stop).__name__}: {stop}"


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM raises Terminated in the main thread while the block runs.

    Only where SIGTERM still has its default action (which ends the process at once,
    finished work unsaved): a handler the host installed is left alone, and so is any
    thread other than the main one (which cannot set handlers)."""
    if not _in_main_thread() or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return
    signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


@contextmanager
def deferred_interrupts() -> Iterator[None]:
    """Hold Ctrl-C and SIGTERM back while the block runs (a few renames, a clean-up),
    then deliver the first one that came to the handler that was in place, so the block
    is never left half done and the signal does what it would have done."""
    if not _in_main_thread():
        yield
        return
    came: list[int] = []

    def hold(signum: int, frame: FrameType | None) -> None:
        if not came:
            came.append(signum)

    previous: dict[int, Any] = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if handler is signal.SIG_IGN or handler is None:
            continue  # ignored (or set outside Python): nothing to hold back
        previous[signum] = signal.signal(signum, hold)
    try:
        yield
    finally:
        for held, handler in previous.items():
            signal.signal(held, handler)
    if came:
        signal.raise_signal(came[0])


@contextmanager
def ignored_interrupts(*, restore: bool = True) -> Iterator[None]:
    """Ctrl-C and SIGTERM are not heeded while the block runs (a stopped command's last
    line), nor after it unless ``restore`` (a process on its way out): they would only
    turn that line into a traceback, or the exit status into death by signal."""
    if not _in_main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, signal.SIG_IGN) for signum in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        if restore:
            for signum, handler in previous.items():
                signal.signal(signum, handler if handler is not None else signal.SIG_DFL)

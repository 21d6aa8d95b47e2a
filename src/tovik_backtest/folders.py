"""Folders of results written whole or not at all.

Everything is written into a new folder beside the target, named ``.<name>.saving-<random>``,
and renamed onto the target at the end: a reader (or the next run) sees the earlier
folder or the new one, never a mix. A folder of earlier results is replaced only when
the caller says so, and a folder holding anything else is never touched.
"""

from __future__ import annotations

import os
import secrets
import shutil
from collections.abc import Callable
from pathlib import Path

from tovik_backtest.errors import BacktestError
from tovik_backtest.stops import deferred_interrupts

__all__ = ["RESULT_MARKS", "check_target", "holds_results", "remove_leftovers", "write_whole"]

# Files of which any one makes a folder a run's results.
RESULT_MARKS = ("summary.json", "reports.jsonl")
_SAVING = ".saving-"
_OLD = ".replaced-"


def holds_results(folder: Path) -> bool:
    """Whether ``folder`` holds a run's results, or only folders that each hold one (runs
    saved side by side)."""
    if any((folder / name).is_file() for name in RESULT_MARKS):
        return True
    entries = list(folder.iterdir()) if folder.is_dir() else []
    return bool(entries) and all(
        e.is_dir() and not e.is_symlink() and any((e / name).is_file() for name in RESULT_MARKS) for e in entries
    )


def check_target(folder: Path, *, overwrite: bool, flag: str = "overwrite") -> None:
    """Refuse a target the results could not be written to as a whole: a file, a folder
    of earlier results unless ``overwrite``, a folder holding other files in any case."""
    if folder.is_symlink():
        raise BacktestError(f"{folder} is a symbolic link; give the folder it points to")
    if folder.exists() and not folder.is_dir():
        raise BacktestError(f"{folder} is a file, not a folder; choose a new or empty folder")
    if not folder.is_dir() or not any(folder.iterdir()):
        return
    if not holds_results(folder):
        raise BacktestError(f"{folder} holds files that are not a run's results; choose a new or empty folder")
    if not overwrite:
        raise BacktestError(
            f"{folder} holds the results of another run; choose a new or empty folder, or give {flag} to replace them"
        )


def _sibling(target: Path, kind: str) -> Path:
    # A fresh name beside the target (mkdir refuses one that exists).
    while True:
        path = target.parent / f".{target.name}{kind}{secrets.token_hex(4)}"
        try:
            path.mkdir()
        except FileExistsError:
            continue
        return path


def write_whole(target: str | os.PathLike[str], write: Callable[[Path], None], *, overwrite: bool = True) -> Path:
    """Call ``write(folder)`` on a new folder beside ``target`` and rename it onto ``target``.

    ``target`` may be missing or empty; with ``overwrite`` it may also hold earlier
    results, which the new ones replace. When ``write`` raises (Ctrl-C included) the new
    folder is removed and ``target`` is left as it was."""
    final = Path(target)
    check_target(final, overwrite=overwrite)
    final.parent.mkdir(parents=True, exist_ok=True)
    fresh = _sibling(final, _SAVING)
    try:
        write(fresh)
    except BaseException:
        with deferred_interrupts():
            shutil.rmtree(fresh, ignore_errors=True)
        raise
    with deferred_interrupts():
        try:
            _put_in_place(fresh, final, overwrite)
        except BaseException:
            shutil.rmtree(fresh, ignore_errors=True)
            raise
    return final


def _put_in_place(fresh: Path, final: Path, overwrite: bool) -> None:
    try:
        os.rename(fresh, final)  # onto a missing or empty folder
        return
    except OSError:
        if not final.is_dir():
            raise
    check_target(final, overwrite=overwrite)  # it may have been filled meanwhile
    old = _sibling(final, _OLD)
    os.rename(final, old)  # the empty placeholder is replaced
    try:
        os.rename(fresh, final)
    except BaseException:
        os.rename(old, final)
        raise
    shutil.rmtree(old, ignore_errors=True)


def remove_leftovers(folder: Path) -> None:
    """Remove what saves cut off by a kill left in ``folder``: half-written new folders and
    replaced ones whose removal did not finish."""
    if not folder.is_dir():
        return
    for path in folder.iterdir():
        if path.name.startswith(".") and (_SAVING in path.name or _OLD in path.name) and path.is_dir():
            shutil.rmtree(path, ignore_errors=True)

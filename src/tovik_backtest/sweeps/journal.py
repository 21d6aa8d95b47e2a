"""What a sweep keeps in its output folder so that an interrupted one can be resumed.

``sweep.json`` describes the sweep (what makes it this sweep, and whether its table is
partial); ``runs.jsonl`` gets one line per finished run the moment it finishes, so even
a sweep that is killed outright loses only the runs in progress.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

from tovik_backtest.errors import SweepError

__all__ = ["ABOUT", "JOURNAL", "Journal", "check_same_sweep", "plain", "run_key"]

ABOUT = "sweep.json"
JOURNAL = "runs.jsonl"
# The fields of sweep.json that make two sweeps the same one, in the order they are named.
IDENTITY = ("strategy", "instruments", "start", "end", "backfill_start", "backfill_end", "grid",
            "space", "seed", "contract_sizes", "capital", "costs", "allow_missing", "fills",
            "sampler", "objective", "trials", "batch", "walk_forward", "window")


def plain(value: Any) -> Any:
    """``value`` as it reads back from JSON (values JSON lacks become their repr)."""
    return json.loads(json.dumps(value, ensure_ascii=False, default=repr))


def run_key(params: Mapping[str, Any], seed: int) -> str:
    """What identifies a run within its sweep. JSON keeps 1, 1.0 and true apart."""
    return json.dumps({"params": plain(dict(params)), "seed": seed}, sort_keys=True,
                      ensure_ascii=False)


def write_about(folder: Path, about: Mapping[str, Any], name: str = ABOUT) -> None:
    tmp = folder / (name + ".tmp")
    tmp.write_text(json.dumps(about, ensure_ascii=False, indent=2, default=repr), encoding="utf-8")
    os.replace(tmp, folder / name)


def check_same_sweep(folder: Path, identity: Mapping[str, Any], *, about: str = ABOUT,
                     journal: str = JOURNAL, what: str = "sweep") -> None:
    """Refuse to resume into ``folder`` unless it holds this very sweep (or search: ``what``,
    kept in the files ``about`` and ``journal``)."""
    path = folder / about
    if not path.is_file() or not (folder / journal).is_file():
        raise SweepError(f"output folder {folder} holds no {what} to resume (no {about} and "
                         f"{journal}); drop resume to start a new {what} there")
    try:
        saved = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise SweepError(f"cannot read {path} to resume it: {exc}") from None
    mine = plain(dict(identity))
    for name in IDENTITY:
        if _text(saved.get(name)) != _text(mine.get(name)):
            raise SweepError(
                f"output folder {folder} holds a different {what} ({name} was "
                f"{_short(saved.get(name))}, now {_short(mine.get(name))}); resume it with its "
                "own arguments or choose a new output folder"
            )


def _text(value: Any) -> str:
    # As text, 1, 1.0 and true stay three values.
    return json.dumps(value, ensure_ascii=False, sort_keys=True)


def _short(value: Any) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 80 else text[:77] + "..."


class Journal:
    """``runs.jsonl``: the rows of finished runs, each with the seed it ran with."""

    def __init__(self, folder: Path) -> None:
        self.path = folder / JOURNAL

    def read(self) -> dict[str, dict[str, Any]]:
        """Finished rows by run key; a line cut short by a kill is skipped."""
        rows: dict[str, dict[str, Any]] = {}
        if not self.path.is_file():
            return rows
        text = self.path.read_text(encoding="utf-8")
        if text and not text.endswith("\n"):
            # The last line lost its end to a kill: the next row starts a line of its own.
            with self.path.open("a", encoding="utf-8") as f:
                f.write("\n")
        for line in text.splitlines():
            try:
                row = json.loads(line)
                rows[run_key(row["params"], row["seed"])] = row
            except (ValueError, KeyError, TypeError):
                continue
        return rows

    def append(self, row: Mapping[str, Any], seed: int) -> None:
        line = json.dumps({**row, "seed": seed}, ensure_ascii=False, default=repr)
        with self.path.open("a", encoding="utf-8") as f:
            f.write(line + "\n")
            f.flush()

    def rows_for(self, combos: Sequence[Mapping[str, Any]], seed: int
                 ) -> dict[int, dict[str, Any]]:
        """The finished rows of this grid by run index, with the grid's own values."""
        done = self.read()
        found: dict[int, dict[str, Any]] = {}
        for index, params in enumerate(combos):
            row = done.get(run_key(params, seed))
            if row is not None:
                row = {k: v for k, v in row.items() if k != "seed"}
                found[index] = {**row, "run": index, "params": dict(params)}
        return found

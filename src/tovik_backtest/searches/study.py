"""One Optuna study of a search: trials asked a batch at a time, run in parallel, told in
trial order.

What the sampler proposes depends only on the seed and on the trials told before it
asks, never on which run finished first, so the same seed gives the same trials on any
number of workers. Before each batch the sampler is made afresh from the seed and the
batch's position, so a study resumed from its storage asks what it would have asked in
one go. Each finished run's row is written to the trials journal the moment it comes
back; a resumed study runs again only the trials of its last batch that have no row.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

import optuna
from optuna.trial import TrialState

from tovik_backtest.searches.choices import SAMPLERS
from tovik_backtest.searches.objective import Objective, figures_of
from tovik_backtest.searches.space import Space
from tovik_backtest.sweeps.backends import RunJob

__all__ = ["SAMPLERS", "TrialJournal", "make_sampler", "run_study"]

# Rows are kept lean: the figures of the table, not the equity curve.
_HEAVY = ("days", "equity", "trips", "overall")


def make_sampler(kind: str, space: Space, seed: int, batch_index: int) -> optuna.samplers.BaseSampler:
    """The sampler for one batch, seeded from the search's seed and the batch's position."""
    batch_seed = (seed * 1_000_003 + batch_index) % (2**32)
    if kind == "tpe":
        return optuna.samplers.TPESampler(seed=batch_seed)
    if kind == "random":
        return optuna.samplers.RandomSampler(seed=batch_seed)
    # the grid is walked in one order fixed by the seed alone; told trials are skipped
    return _Grid(space.grid(), seed=seed % (2**32))


class _Grid(optuna.samplers.GridSampler):
    """The grid sampler without its stop of an exhausted study: that stop works only
    inside ``Study.optimize``, and the trial budget here is capped at the grid's size."""

    def after_trial(self, study: optuna.Study, trial: Any, state: TrialState, values: Any) -> None:
        return None


class TrialJournal:
    """``trials.jsonl``: one line per finished trial run, written as it finishes."""

    def __init__(self, path: Path | None) -> None:
        self.path = path
        self.rows: dict[tuple[str, int], dict[str, Any]] = {}
        if path is not None and path.is_file():
            text = path.read_text(encoding="utf-8")
            if text and not text.endswith("\n"):
                with path.open("a", encoding="utf-8") as f:
                    f.write("\n")  # a line cut short by a kill: the next starts its own
            for line in text.splitlines():
                try:
                    row = json.loads(line)
                    self.rows[(row["study"], row["trial"])] = row
                except (ValueError, KeyError, TypeError):
                    continue

    def add(self, row: dict[str, Any]) -> None:
        self.rows[(row["study"], row["trial"])] = row
        if self.path is not None:
            with self.path.open("a", encoding="utf-8") as f:
                f.write(json.dumps(row, ensure_ascii=False, default=repr) + "\n")
                f.flush()


def _scored(row: dict[str, Any], study: str, objective: Objective) -> dict[str, Any]:
    """The row of one finished trial with its objective's value (or why it has none)."""
    out = {k: v for k, v in row.items() if k not in _HEAVY}
    out["study"], out["trial"] = study, row["run"]
    if row.get("error") is None:
        figures = figures_of(row["overall"], [v for _, v in row["days"]], row["trips"])
        out.update({k: figures[k] for k in ("sortino", "calmar", "profit_factor")})
        out["value"], out["why"] = objective.score({**row["overall"], **figures})
    else:
        out["value"], out["why"] = None, row["error"]
    return out


def run_study(
    *,
    storage: Any,
    name: str,
    space: Space,
    objective: Objective,
    sampler: str,
    seed: int,
    trials: int,
    batch: int,
    job: Callable[[int, dict[str, Any]], RunJob],
    execute: Callable[[list[RunJob], Callable[[dict[str, Any]], None]], None],
    journal: TrialJournal,
    on_row_kept: Callable[[], None] | None = None,
) -> optuna.Study:
    """Run study ``name`` up to ``trials`` trials; ``job(trial, params)`` is the run of a
    trial, ``execute(jobs, on_row)`` carries runs out on the back-end and
    ``on_row_kept()`` is called after each finished run's row is in the journal."""
    study = optuna.create_study(storage=storage, study_name=name, direction="maximize",
                                load_if_exists=True)
    while True:
        known = study.get_trials(deepcopy=False)
        waiting = [(t.number, dict(t.params)) for t in known if t.state == TrialState.RUNNING]
        if not waiting:
            left = trials - len(known)
            if left <= 0:
                return study
            study.sampler = make_sampler(sampler, space, seed, len(known) // batch)
            asked = [study.ask(space.distributions) for _ in range(min(batch, left))]
            waiting = [(t.number, dict(t.params)) for t in asked]
        todo = [job(number, params) for number, params in waiting
                if (name, number) not in journal.rows]

        def on_row(row: dict[str, Any]) -> None:
            journal.add(_scored(row, name, objective))
            if on_row_kept is not None:
                on_row_kept()

        execute(todo, on_row)
        for number, _ in waiting:  # in trial order, whichever run finished first
            row = journal.rows[(name, number)]
            if row["value"] is None:
                study.tell(number, state=TrialState.FAIL)
            else:
                study.tell(number, row["value"])

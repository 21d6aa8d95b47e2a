"""A search from start to end: its arguments checked, the cache filled, the studies run
on the sweep's back-ends, the walk-forward folds scored out of sample, the tables saved.

The output folder holds ``search.json`` (what was searched, and whether it finished),
``study.log`` (Optuna's journal storage: every trial asked and told), ``trials.jsonl``
(one line per finished run, written as it finishes), ``trials.csv`` and, with
walk-forward, ``folds.csv``, ``equity.csv`` (the out-of-sample equity stitched together)
and ``folds/<k>/`` with each out-of-sample run's result.
"""

from __future__ import annotations

import logging
import os
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import optuna
import polars as pl
from optuna.storages import JournalStorage
from optuna.storages.journal import JournalFileBackend

from tovik_backtest.config import RunConfig, config_of
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError, describe
from tovik_backtest.searches.choices import SAMPLERS
from tovik_backtest.searches.folds import Fold, check_window, cut_folds
from tovik_backtest.searches.objective import Objective, figures_of
from tovik_backtest.searches.result import SearchResult, stitch, trials_table
from tovik_backtest.searches.space import Space, parse_space
from tovik_backtest.searches.study import TrialJournal, run_study
from tovik_backtest.stops import Terminated, deferred_interrupts, terminate_as_interrupt
from tovik_backtest.sweeps.backends import RunJob
from tovik_backtest.sweeps.cache import precache
from tovik_backtest.sweeps.driver import check_backend, check_out, identity_of, open_backend, shared_config
from tovik_backtest.sweeps.journal import check_same_sweep, plain, write_about
from tovik_backtest.sweeps.pool import exit_if_importing_main
from tovik_backtest.sweeps.refs import StrategyRef

__all__ = ["ABOUT", "SearchInterrupted", "search"]

ABOUT = "search.json"
STORAGE = "study.log"
JOURNAL = "trials.jsonl"


class SearchInterrupted(KeyboardInterrupt):
    """A search stopped by an interrupt; ``table`` holds the trials told so far. With an
    output folder, ``search(..., resume=True)`` with the same arguments goes on."""

    def __init__(self, table: pl.DataFrame, total: int, out: Path | None, *, terminated: bool = False) -> None:
        how = "terminated (SIGTERM)" if terminated else "interrupted"
        super().__init__(f"search {how} after {table.height} of {total} trials")
        self.table, self.done, self.total, self.out = table, table.height, total, out
        self.terminated = terminated  # stopped by SIGTERM rather than Ctrl-C


def _check_counts(trials: Any, batch: Any, sampler: Any, walk_forward: Any) -> None:
    for name, value in (("trials", trials), ("batch", batch)):
        if type(value) is not int or value < 1:
            raise BacktestError(f"{name} must be a whole number of at least 1, not {describe(value)}")
    if sampler not in SAMPLERS:
        raise BacktestError(f"sampler must be one of {', '.join(SAMPLERS)}, not {sampler!r}")
    if walk_forward is not None and (type(walk_forward) is not int or walk_forward < 1):
        raise BacktestError(f"walk_forward must be a whole number of folds >= 1 (or None), not "
                            f"{describe(walk_forward)}")


def search(
    strategy_cls: type,
    space: Mapping[str, Any],
    instruments: Sequence[Any] | None = None,
    start: str | None = None,
    end: str | None = None,
    *,
    trials: int = 100,
    objective: str | Callable[[dict[str, Any]], Any] = "net_pnl",
    walk_forward: int | None = None,
    window: str | int = "anchored",
    sampler: str = "tpe",
    batch: int = 8,
    config: RunConfig | None = None,
    address: str | None = None,
    local_processes: int | None = None,
    out: str | os.PathLike[str] | None = None,
    resume: bool = False,
    progress: Callable[[int, int], None] | None = None,
    data_dir: str | os.PathLike[str] | None = None,
    backfill_start: str | None = None,
    backfill_end: str | None = None,
    contract_sizes: Mapping[str, int] | None = None,
    capital: float | None = None,
    seed: int | None = None,
    costs: Costs | None = None,
    allow_missing: bool | None = None,
    fills: Any = None,
) -> SearchResult:
    """Search ``space`` for the parameters of ``strategy_cls`` that maximise ``objective``.

    ``space`` maps a declared parameter to a list of values or a ``(low, high)`` range
    (whole numbers or decimals). Every trial is a back-test of the run configuration
    (``config``, or its fields one by one as ``Backtest`` takes them) on the sweep's
    back-ends (Ray, or ``local_processes=N``). ``sampler``: "tpe" (default), "random" or
    "grid", seeded with the configuration's ``seed``. ``objective``: net_pnl, sharpe,
    sortino, calmar, profit_factor, or a function of the run's figures (higher is
    better). Trials are asked ``batch`` at a time, run in parallel and told in trial
    order, so the same seed gives the same trials on any number of workers.

    ``walk_forward=N`` cuts the period's trading days into N + 1 parts: fold k searches
    ``trials`` trials on the days before part k (``window``: "anchored", all of them;
    "rolling", the one part before; a whole number, that many trading days) and scores
    the best parameters on part k. The headline figures are out-of-sample only.

    ``out`` (a new or empty folder) keeps the study; an interrupt raises
    SearchInterrupted after saving the trials told, and ``resume=True`` goes on.
    """
    exit_if_importing_main()
    if type(resume) is not bool:
        raise TypeError(f"resume must be True or False, not {describe(resume)}")
    config = config_of(config, {
        "instruments": instruments, "start": start, "end": end, "backfill_start": backfill_start,
        "backfill_end": backfill_end, "data_dir": data_dir, "seed": seed, "costs": costs,
        "capital": capital, "contract_sizes": contract_sizes, "allow_missing": allow_missing,
        "fills": fills})
    ref = StrategyRef.of(strategy_cls)
    parsed = parse_space(strategy_cls, space)
    aim = Objective(objective)
    _check_counts(trials, batch, sampler, walk_forward)
    check_window(window)
    if sampler == "grid":
        parsed.grid()  # a decimal range has no grid: refused here
        trials = min(trials, parsed.size() or trials)
    folds: list[Fold] | None = None
    if walk_forward is not None:
        if config.backfill_start or config.backfill_end:
            raise BacktestError("a walk-forward search takes no warm-up period: each fold's runs start "
                                "on their own first day (drop backfill_start/backfill_end)")
        folds = cut_folds(config.start, config.end, walk_forward, window)
    config = shared_config(config)
    out_dir = check_out(out, resume, about=ABOUT)
    ray = check_backend(address, local_processes)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {describe(progress)}")
    identity = {"strategy": ref.text, "space": parsed.plain, "objective": aim.name, "sampler": sampler,
                "trials": trials, "batch": batch, "walk_forward": walk_forward, "window": window,
                **identity_of(config)}
    if out_dir is not None and resume:
        check_same_sweep(out_dir, identity, about=ABOUT, journal=JOURNAL, what="search")
    precache(config.instruments, config.periods(), config.data_dir,  # type: ignore[arg-type]
             allow_missing=config.allow_missing)

    optuna.logging.set_verbosity(logging.WARNING)
    if out_dir is not None:
        out_dir.mkdir(parents=True, exist_ok=True)
        storage: Any = JournalStorage(JournalFileBackend(str(out_dir / STORAGE)))
        (out_dir / JOURNAL).touch()
    else:
        storage = optuna.storages.InMemoryStorage()
    journal = TrialJournal(out_dir / JOURNAL if out_dir is not None else None)
    studies = ["search"] if folds is None else [f"fold-{f.number}" for f in folds]
    total = trials * len(studies)
    about = {**identity, "config": config.as_dict(), "total_trials": total}

    def told() -> None:
        if progress is not None:
            progress(sum(1 for key in journal.rows if key[0] in studies), total)

    run = _Run(ref, parsed, aim, sampler, config.seed, trials, batch, storage, journal, told)
    if out_dir is not None:
        write_about(out_dir, {**about, "partial": True}, ABOUT)
    told()
    try:
        # SIGTERM (a timeout, a scheduler) stops the trials as Ctrl-C does
        with terminate_as_interrupt(), open_backend(ray, address, local_processes) as backend:
            run.execute = backend.run
            if folds is None:
                run.study("search", config)
                result = _plain_result(run, studies)
            else:
                result = _walk_forward(run, folds, config, out_dir)
    except KeyboardInterrupt as stop:
        with deferred_interrupts():  # what finished is saved whole
            table = _table(run, studies, folds)
            if out_dir is not None:
                table.write_csv(out_dir / "trials.csv")
                write_about(out_dir, {**about, "partial": True, "trials_told": table.height}, ABOUT)
        raise SearchInterrupted(table, total, out_dir, terminated=isinstance(stop, Terminated)) from None
    if out_dir is not None:
        with deferred_interrupts():
            _save(out_dir, about, result)
    return result


class _Run:
    """What every study of one search shares."""

    def __init__(self, ref: StrategyRef, space: Space, objective: Objective, sampler: str, seed: int,
                 trials: int, batch: int, storage: Any, journal: TrialJournal,
                 told: Callable[[], None]) -> None:
        self.ref, self.space, self.objective, self.sampler, self.seed = ref, space, objective, sampler, seed
        self.trials, self.batch, self.storage, self.journal, self.told = trials, batch, storage, journal, told
        self.execute: Callable[[list[RunJob], Callable[[dict[str, Any]], None]], None] = _no_backend

    def study(self, name: str, config: RunConfig) -> optuna.Study:
        return run_study(
            storage=self.storage, name=name, space=self.space, objective=self.objective,
            sampler=self.sampler, seed=self.seed, trials=self.trials, batch=self.batch,
            job=lambda number, params: RunJob(index=number, params=params, strategy=self.ref,
                                              config=config, detail=True),
            execute=self.execute, journal=self.journal, on_row_kept=self.told)

    def told_rows(self, name: str) -> list[dict[str, Any]]:
        """The rows of study ``name``'s trials, in trial order."""
        rows = [row for (study, _), row in self.journal.rows.items() if study == name]
        return sorted(rows, key=lambda r: r["trial"])


def _no_backend(jobs: list[RunJob], on_row: Callable[[dict[str, Any]], None]) -> None:
    raise RuntimeError("no back-end is open")


def _best(rows: list[dict[str, Any]]) -> dict[str, Any] | None:
    """The best trial: highest value, the earliest of equals."""
    scored = [r for r in rows if r["value"] is not None]
    return max(scored, key=lambda r: (r["value"], -r["trial"])) if scored else None


def _table(run: _Run, studies: list[str], folds: list[Fold] | None) -> pl.DataFrame:
    rows = [row for name in studies for row in run.told_rows(name)]
    fold_of = {name: i for i, name in enumerate(studies, start=1)} if folds is not None else None
    return trials_table(run.space.names, run.space.plain, rows, folds=fold_of)


def _plain_result(run: _Run, studies: list[str]) -> SearchResult:
    best = _best(run.told_rows("search"))
    return SearchResult(table=_table(run, studies, None), best=None if best is None else best["params"],
                        best_value=None if best is None else best["value"])


def _walk_forward(run: _Run, folds: list[Fold], config: RunConfig, out_dir: Path | None) -> SearchResult:
    chosen: dict[int, dict[str, Any] | None] = {}
    studies: dict[int, optuna.Study] = {}
    for fold in folds:
        studies[fold.number] = run.study(f"fold-{fold.number}",
                                         config.replace(start=fold.in_sample[0], end=fold.in_sample[-1]))
        chosen[fold.number] = _best(run.told_rows(f"fold-{fold.number}"))
    jobs = []
    for fold in folds:
        best = chosen[fold.number]
        if best is None or "oos" in studies[fold.number].user_attrs:
            continue
        jobs.append(RunJob(
            index=fold.number, params=best["params"], strategy=run.ref, detail=True,
            config=config.replace(start=fold.out_of_sample[0], end=fold.out_of_sample[-1]),
            out=str(out_dir / "folds" / str(fold.number)) if out_dir is not None else None))

    def on_row(row: dict[str, Any]) -> None:
        studies[row["run"]].set_user_attr("oos", plain(row))

    run.execute(jobs, on_row)
    oos = {k: s.user_attrs.get("oos") for k, s in studies.items()}
    rows: list[dict[str, Any]] = []
    for fold in folds:
        rows.append(_fold_row(run, fold, chosen[fold.number], oos[fold.number]))
    good = [oos[f.number] for f in folds]
    equity: pl.DataFrame | None = None
    headline: dict[str, Any] | None = None
    if all(r is not None and r.get("error") is None for r in good):
        equity, headline = stitch(good, config.capital)  # type: ignore[arg-type]
        headline["objective"] = run.objective.score(headline)[0]
        headline["days"] = sum(len(f.out_of_sample) for f in folds)  # trading days scored on
    names = [f"fold-{f.number}" for f in folds]
    last = chosen[folds[-1].number]
    return SearchResult(table=_table(run, names, folds), best=None if last is None else last["params"],
                        best_value=None if last is None else last["value"],
                        folds=_folds_table(run, rows), equity=equity, headline=headline)


def _fold_row(run: _Run, fold: Fold, best: dict[str, Any] | None, oos: dict[str, Any] | None) -> dict[str, Any]:
    row: dict[str, Any] = {**fold.as_dict(), "params": None if best is None else best["params"],
                           "is_value": None, "is_net_pnl": None, "oos_value": None, "oos_net_pnl": None,
                           "oos_sharpe": None, "oos_max_drawdown": None, "oos_round_trips": None,
                           "error": None}
    if best is None:
        row["error"] = f"no trial of fold {fold.number} gave a value to choose by"
        return row
    row.update(is_value=best["value"], is_net_pnl=best["net_pnl"])
    if oos is None or oos.get("error") is not None:
        row["error"] = "out-of-sample run: " + (oos or {}).get("error", "did not finish")
        return row
    figures = figures_of(oos["overall"], [v for _, v in oos["days"]], oos["trips"])
    row.update(oos_value=run.objective.score({**oos["overall"], **figures})[0], oos_net_pnl=oos["net_pnl"],
               oos_sharpe=oos["sharpe"], oos_max_drawdown=oos["max_drawdown"],
               oos_round_trips=oos["round_trips"])
    return row


def _folds_table(run: _Run, rows: list[dict[str, Any]]) -> pl.DataFrame:
    columns: dict[str, list[Any]] = {}
    for row in rows:
        for key, value in row.items():
            if key == "params":
                for name in run.space.names:
                    columns.setdefault(name, []).append(None if value is None else value.get(name))
            else:
                columns.setdefault(key, []).append(value)
    return pl.DataFrame(columns, strict=False)


def _save(out_dir: Path, about: dict[str, Any], result: SearchResult) -> None:
    result.table.write_csv(out_dir / "trials.csv")
    if result.folds is not None:
        result.folds.write_csv(out_dir / "folds.csv")
    if result.equity is not None:
        result.equity.write_csv(out_dir / "equity.csv")
    write_about(out_dir, {**about, "partial": False, "trials_told": result.table.height,
                          "best": result.best, "best_value": result.best_value,
                          "headline": result.headline}, ABOUT)

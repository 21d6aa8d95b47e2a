"""A sweep from start to end: its arguments checked, the cache filled, the runs spread over
the workers, the table built and saved.

The runs go to a Ray cluster (or a local Ray instance) as one task each, or to a local
process pool. Every run builds its own Ticker and Matcher inside ``Backtest.run()`` in
the worker process; only plain values travel: the run's description goes out, a small
row of figures comes back. Ticks come from the tick cache, which the driver fills
before any run starts, so workers never download anything.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.errors import BacktestError, SweepError, describe
from tovik_backtest.instruments import Instrument, parse_instrument
from tovik_backtest.money import Sizes
from tovik_backtest.sweeps.backends import RunJob, check_address, import_ray, run_folder, run_on_ray
from tovik_backtest.sweeps.cache import precache
from tovik_backtest.sweeps.grid import expand_grid
from tovik_backtest.sweeps.journal import ABOUT, Journal, check_same_sweep, write_about
from tovik_backtest.sweeps.pool import exit_if_importing_main, run_on_pool
from tovik_backtest.sweeps.refs import StrategyRef
from tovik_backtest.sweeps.table import build_table
from tovik_backtest.utils import format_to_dt

__all__ = ["SweepInterrupted", "sweep"]


class SweepInterrupted(KeyboardInterrupt):
    """A sweep stopped by an interrupt; ``table`` holds the runs that finished.

    With an output folder, the partial table is saved there and ``sweep(...,
    resume=True)`` runs the rest.
    """

    def __init__(self, table: pl.DataFrame, total: int, out: Path | None) -> None:
        super().__init__(f"sweep interrupted after {table.height} of {total} runs")
        self.table, self.done, self.total, self.out = table, table.height, total, out


@dataclass
class _Plan:
    ref: StrategyRef
    combos: list[dict[str, Any]]
    names: list[str]
    options: dict[str, list[Any]]
    instruments: list[Instrument]
    periods: list[tuple[str, str]]
    data_dir: Path
    out: Path | None
    extra: dict[str, Any] = field(default_factory=dict)


def _check_date(name: str, value: Any, optional: bool = False) -> None:
    if value is None and optional:
        return
    if type(value) is not str:
        raise BacktestError(f"{name} must be a date text such as 2024-01-02, not {value!r}")
    if optional and value == "":
        return
    try:
        format_to_dt(value)
    except ValueError:
        raise BacktestError(f"{name} is not a date: {value!r} (use YYYY-MM-DD)") from None


def _plan(strategy_cls: Any, grid: Any, instruments: Any, start: Any, end: Any, data_dir: Any,
          out: Any, backfill_start: Any, backfill_end: Any, resume: bool) -> _Plan:
    ref = StrategyRef.of(strategy_cls)
    combos = expand_grid(grid)
    options = {name: list(values) for name, values in grid.items()}
    if isinstance(instruments, (str, dict, Instrument)) or not isinstance(instruments, Iterable):
        raise TypeError(f"instruments must be a list of instruments, not {describe(instruments)}")
    parsed = [parse_instrument(i) for i in instruments]
    if not parsed:
        raise BacktestError("a sweep needs at least one instrument")
    codes = [i.code for i in parsed]
    twice = sorted({c for c in codes if codes.count(c) > 1})
    if twice:
        raise BacktestError(f"instrument {twice[0]} is listed more than once")
    _check_date("start", start)
    _check_date("end", end)
    if format_to_dt(start).date() > format_to_dt(end).date():
        raise SweepError(f"start {start} is after end {end}")
    _check_date("backfill_start", backfill_start, optional=True)
    _check_date("backfill_end", backfill_end, optional=True)
    periods = [(start, end)]
    # Warm-up bounds as the replay reads them: one given alone stands for both.
    first, last = backfill_start or backfill_end, backfill_end or backfill_start
    if first:
        if format_to_dt(first).date() > format_to_dt(last).date():
            raise SweepError(f"backfill_start {first} is after backfill_end {last}")
        periods.append((first, last))
    if data_dir is not None and not isinstance(data_dir, (str, os.PathLike)):
        raise TypeError(f"data_dir must be a path, not {describe(data_dir)}")
    data = Path(data_dir if data_dir is not None else BASIC_INFO.data_dir).expanduser().resolve()
    if data.exists() and not data.is_dir():
        raise SweepError(f"data directory {data} is not a directory")
    out_dir: Path | None = None
    if out is not None:
        if not isinstance(out, (str, os.PathLike)):
            raise TypeError(f"out must be a path, not {describe(out)}")
        out_dir = Path(out).expanduser().resolve()
        if out_dir.exists() and not out_dir.is_dir():
            raise SweepError(f"output folder {out_dir} is a file")
        if not resume and out_dir.is_dir() and any(out_dir.iterdir()):
            # Runs of another sweep left there would mix with this one's.
            hint = (" or resume the sweep saved there" if (out_dir / ABOUT).is_file() else "")
            raise SweepError(f"output folder {out_dir} is not empty; choose a new or empty "
                             f"folder{hint}")
    elif resume:
        raise SweepError("resume needs the output folder of the sweep to resume (out)")
    return _Plan(ref, combos, list(options), options, parsed, periods, data, out_dir,
                 {"backfill_start": backfill_start, "backfill_end": backfill_end,
                  "start": start, "end": end})


def sweep(
    strategy_cls: type,
    grid: Mapping[str, Sequence[Any]],
    instruments: Sequence[Any],
    start: str,
    end: str,
    *,
    address: str | None = None,
    local_processes: int | None = None,
    data_dir: str | os.PathLike[str] | None = None,
    out: str | os.PathLike[str] | None = None,
    backfill_start: str | None = None,
    backfill_end: str | None = None,
    progress: Callable[[int, int], None] | None = None,
    contract_sizes: Mapping[str, int] | None = None,
    capital: float = 1_000_000,
    seed: int = 0,
    resume: bool = False,
) -> pl.DataFrame:
    """Back-test every combination of ``grid`` and return the runs ranked by net P&L.

    ``grid`` maps a parameter name of ``strategy_cls`` to the values to try, e.g.
    ``{"fast": [5, 10], "slow": [30, 60]}``; each combination reaches the strategy's
    constructor as keyword arguments. Runs go to Ray (``address``, else ``RAY_ADDRESS``,
    else a local Ray instance) or, with ``local_processes=N``, to N local processes.
    Ticks are read from the tick cache in ``data_dir``, which must be the same path on
    every node; missing days are downloaded once, here, before the runs start.
    ``out`` (a new or empty folder) receives ``sweep.csv`` and every run's result.
    ``progress(done, total)`` is called here after each finished run.

    ``contract_sizes``, ``capital`` and ``seed`` reach every ``Backtest`` as they are.

    A run that fails has its error in the ``error`` column; the others go on. An
    interrupt stops every run at once and raises SweepInterrupted (a KeyboardInterrupt)
    after saving the finished runs in ``out``; ``resume=True`` with the same arguments
    then runs only the missing ones, and the table comes out as if run in one go.
    """
    # A spawned worker importing an unguarded script must not start the sweep again.
    exit_if_importing_main()
    if type(resume) is not bool:
        raise TypeError(f"resume must be True or False, not {describe(resume)}")
    if type(seed) is not int:
        raise TypeError(f"seed must be a whole number, not {describe(seed)}")
    plan = _plan(strategy_cls, grid, instruments, start, end, data_dir, out,
                 backfill_start, backfill_end, resume)
    try:
        # an unknown futures product fails every run alike: refuse it once, up front
        Sizes.of(plan.instruments, contract_sizes)
    except BacktestError as exc:
        raise SweepError(str(exc)) from None
    if type(capital) not in (int, float) or not 0 < capital < float("inf"):
        raise SweepError(f"capital must be a TWD amount > 0, not {capital!r}")
    if local_processes is not None:
        if type(local_processes) is not int or local_processes < 1:
            raise SweepError(f"local_processes must be a whole number of at least 1, not "
                             f"{local_processes!r}")
        if address is not None:
            raise SweepError("give either address (Ray) or local_processes, not both")
        ray = None
    else:
        if address is not None and (type(address) is not str or not address.strip()):
            raise SweepError(f"address must be a Ray address text, not {address!r}")
        ray = import_ray()
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {describe(progress)}")
    sizes = sorted((contract_sizes or {}).items())
    plan.extra.update(seed=seed, contract_sizes=dict(sizes), capital=float(capital))
    if plan.out is not None and resume:
        check_same_sweep(plan.out, _identity(plan))
    if ray is not None:
        check_address(address)

    precache(plan.instruments, plan.periods, plan.data_dir)

    instruments_plain = tuple((i.code, i.market) for i in plan.instruments)
    jobs = [
        RunJob(
            index=index,
            params=params,
            strategy=plan.ref,
            instruments=instruments_plain,
            start=start,
            end=end,
            backfill_start=backfill_start,
            backfill_end=backfill_end,
            data_dir=str(plan.data_dir),
            out=str(run_folder(plan.out, index, params)) if plan.out is not None else None,
            contract_sizes=tuple(sizes),
            capital=float(capital),
            seed=seed,
        )
        for index, params in enumerate(plan.combos)
    ]
    rows: list[dict[str, Any]] = []
    journal: Journal | None = None
    if plan.out is not None:
        plan.out.mkdir(parents=True, exist_ok=True)
        journal = Journal(plan.out)
        if resume:
            rows = list(journal.rows_for(plan.combos, seed).values())
            done = {row["run"] for row in rows}
            jobs = [s for s in jobs if s.index not in done]
            for job in jobs:
                # what a run cut off last time left behind is not a result
                shutil.rmtree(run_folder(plan.out, job.index, job.params),
                              ignore_errors=True)
        journal.path.touch()
        _save_about(plan, len(rows), partial=True)

    def on_row(row: dict[str, Any]) -> None:
        rows.append(row)
        if journal is not None:
            journal.append(row, seed)
        if progress is not None:
            progress(len(rows), len(plan.combos))

    if progress is not None:
        progress(len(rows), len(plan.combos))
    try:
        if not jobs:
            pass
        elif ray is None:
            run_on_pool(local_processes, jobs, on_row)  # type: ignore[arg-type]
        else:
            run_on_ray(ray, jobs, address, on_row)
    except KeyboardInterrupt:
        table = build_table(plan.names, plan.options, rows)
        if plan.out is not None:
            _save_sweep(plan, table, partial=True)
        raise SweepInterrupted(table, len(plan.combos), plan.out) from None
    table = build_table(plan.names, plan.options, rows)
    if plan.out is not None:
        _save_sweep(plan, table, partial=False)
    return table


def _identity(plan: _Plan) -> dict[str, Any]:
    return {
        "strategy": plan.ref.text,
        "grid": plan.options,
        "instruments": [i.as_dict() for i in plan.instruments],
        **{k: plan.extra[k] for k in ("start", "end", "backfill_start", "backfill_end", "seed",
                                      "contract_sizes", "capital")},
    }


def _save_about(plan: _Plan, runs: int, *, partial: bool, failed: int = 0) -> None:
    assert plan.out is not None
    about = {
        **_identity(plan),
        "data_dir": str(plan.data_dir),
        "total_runs": len(plan.combos),
        "runs": runs,
        "failed": failed,
        # True until every run of the grid is in sweep.csv; resume to run the others.
        "partial": partial,
    }
    write_about(plan.out, about)


def _save_sweep(plan: _Plan, table: pl.DataFrame, *, partial: bool) -> None:
    assert plan.out is not None
    tmp = plan.out / "sweep.csv.tmp"
    table.write_csv(tmp)
    os.replace(tmp, plan.out / "sweep.csv")
    _save_about(plan, table.height, partial=partial,
                failed=int(table["error"].is_not_null().sum()))

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
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.config import RunConfig, config_of
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.costs import Costs
from tovik_backtest.errors import SweepError, describe
from tovik_backtest.folders import remove_leftovers
from tovik_backtest.money import Sizes
from tovik_backtest.params import resolve_each
from tovik_backtest.safe_csv import write_csv
from tovik_backtest.stops import Terminated, deferred_interrupts, terminate_as_interrupt
from tovik_backtest.sweeps.backends import RaySession, RunJob, check_address, import_ray, run_folder
from tovik_backtest.sweeps.cache import precache
from tovik_backtest.sweeps.grid import expand_grid
from tovik_backtest.sweeps.journal import ABOUT, Journal, check_same_sweep, write_about
from tovik_backtest.sweeps.pool import WorkerPool, exit_if_importing_main
from tovik_backtest.sweeps.refs import StrategyRef
from tovik_backtest.sweeps.table import build_table

__all__ = ["SweepInterrupted", "check_backend", "check_out", "identity_of", "open_backend", "run_jobs",
           "shared_config", "sweep"]


class SweepInterrupted(KeyboardInterrupt):
    """A sweep stopped by an interrupt; ``table`` holds the runs that finished.

    With an output folder, the partial table is saved there and ``sweep(...,
    resume=True)`` runs the rest.
    """

    def __init__(self, table: pl.DataFrame, total: int, out: Path | None, *, terminated: bool = False) -> None:
        how = "terminated (SIGTERM)" if terminated else "interrupted"
        super().__init__(f"sweep {how} after {table.height} of {total} runs")
        self.table, self.done, self.total, self.out = table, table.height, total, out
        self.terminated = terminated  # stopped by SIGTERM rather than Ctrl-C


@dataclass
class _Plan:
    ref: StrategyRef
    combos: list[dict[str, Any]]
    names: list[str]
    options: dict[str, list[Any]]
    config: RunConfig  # data_dir made absolute: workers read the same folder
    out: Path | None


def check_out(out: Any, resume: bool, *, about: str = ABOUT) -> Path | None:
    """The output folder of a sweep or search: new or empty, unless resuming one."""
    if out is None:
        if resume:
            raise SweepError("resume needs the output folder of the sweep to resume (out)")
        return None
    if not isinstance(out, (str, os.PathLike)):
        raise TypeError(f"out must be a path, not {describe(out)}")
    out_dir = Path(out).expanduser().resolve()
    if out_dir.exists() and not out_dir.is_dir():
        raise SweepError(f"output folder {out_dir} is a file")
    if not resume and out_dir.is_dir() and any(out_dir.iterdir()):
        # Runs of another sweep left there would mix with this one's.
        hint = (" or resume the sweep saved there" if (out_dir / about).is_file() else "")
        raise SweepError(f"output folder {out_dir} is not empty; choose a new or empty "
                         f"folder{hint}")
    return out_dir


def shared_config(config: RunConfig) -> RunConfig:
    """``config`` as every worker must read it: the tick cache folder as an absolute path,
    an unknown futures product refused once here rather than in every run."""
    data = Path(config.data_dir if config.data_dir is not None else BASIC_INFO.data_dir)
    Sizes.of(config.instruments, config.sizes)
    return config.replace(data_dir=data.expanduser().resolve())


def _plan(strategy_cls: Any, grid: Any, config: RunConfig, out: Any, resume: bool) -> _Plan:
    ref = StrategyRef.of(strategy_cls)
    combos = expand_grid(grid)
    resolve_each(strategy_cls, combos)  # a misspelt or mistyped parameter runs nothing
    options = {name: list(values) for name, values in grid.items()}
    out_dir = check_out(out, resume)
    return _Plan(ref, combos, list(options), options, shared_config(config), out_dir)


def check_backend(address: Any, local_processes: Any) -> Any:
    """Ray's module for a sweep on Ray, None for one on the local process pool."""
    if local_processes is not None:
        if type(local_processes) is not int or local_processes < 1:
            raise SweepError(f"local_processes must be a whole number of at least 1, not "
                             f"{local_processes!r}")
        if address is not None:
            raise SweepError("give either address (Ray) or local_processes, not both")
        return None
    if address is not None and (type(address) is not str or not address.strip()):
        raise SweepError(f"address must be a Ray address text, not {address!r}")
    return import_ray()


def run_jobs(ray: Any, address: str | None, local_processes: int | None, jobs: list[RunJob],
             on_row: Callable[[dict[str, Any]], None]) -> None:
    """Carry ``jobs`` out on Ray or on the local pool, each row handed to ``on_row``."""
    if not jobs:
        return
    with open_backend(ray, address, local_processes) as backend:
        backend.run(jobs, on_row)


def open_backend(ray: Any, address: str | None, local_processes: int | None) -> WorkerPool | RaySession:
    """Ray (``ray`` given) or the local pool, kept open for several calls of ``run`` in a
    ``with`` block."""
    if ray is None:
        return WorkerPool(local_processes)  # type: ignore[arg-type]
    return RaySession(ray, address)


def sweep(
    strategy_cls: type,
    grid: Mapping[str, Sequence[Any]],
    instruments: Sequence[Any] | None = None,
    start: str | None = None,
    end: str | None = None,
    *,
    config: RunConfig | None = None,
    address: str | None = None,
    local_processes: int | None = None,
    data_dir: str | os.PathLike[str] | None = None,
    out: str | os.PathLike[str] | None = None,
    backfill_start: str | None = None,
    backfill_end: str | None = None,
    progress: Callable[[int, int], None] | None = None,
    contract_sizes: Mapping[str, int] | None = None,
    capital: float | None = None,
    seed: int | None = None,
    costs: Costs | None = None,
    allow_missing: bool | None = None,
    fills: Any = None,
    resume: bool = False,
) -> pl.DataFrame:
    """Back-test every combination of ``grid`` and return the runs ranked by net P&L.

    ``grid`` maps a declared parameter of ``strategy_cls`` to the values to try, e.g.
    ``{"fast": [5, 10], "slow": [30, 60]}``; each combination reaches the strategy's
    constructor as keyword arguments, and every one is checked against the strategy's
    declaration before any run starts. The run configuration is ``config`` (a
    ``RunConfig``) or its fields one by one, as ``Backtest`` takes them: every run gets
    the same. Runs go to Ray (``address``, else ``RAY_ADDRESS``, else a local Ray
    instance) or, with ``local_processes=N``, to N local processes. Ticks are read from
    the tick cache in ``data_dir``, which must be the same path on every node; missing
    days are downloaded once, here, before the runs start. ``out`` (a new or empty
    folder) receives ``sweep.csv`` and every run's result. ``progress(done, total)`` is
    called here after each finished run.

    A run that fails has its error in the ``error`` column; the others go on. An
    interrupt stops every run at once and raises SweepInterrupted (a KeyboardInterrupt)
    after saving the finished runs in ``out``; ``resume=True`` with the same arguments
    then runs only the missing ones, and the table comes out as if run in one go.
    """
    # A spawned worker importing an unguarded script must not start the sweep again.
    exit_if_importing_main()
    if type(resume) is not bool:
        raise TypeError(f"resume must be True or False, not {describe(resume)}")
    config = config_of(config, {
        "instruments": instruments, "start": start, "end": end, "backfill_start": backfill_start,
        "backfill_end": backfill_end, "data_dir": data_dir, "seed": seed, "costs": costs,
        "capital": capital, "contract_sizes": contract_sizes, "allow_missing": allow_missing,
        "fills": fills})
    plan = _plan(strategy_cls, grid, config, out, resume)
    ray = check_backend(address, local_processes)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {describe(progress)}")
    if plan.out is not None and resume:
        check_same_sweep(plan.out, _identity(plan))
    if ray is not None:
        check_address(address)

    precache(plan.config.instruments, plan.config.periods(), plan.config.data_dir,  # type: ignore[arg-type]
             allow_missing=plan.config.allow_missing)

    seed_ = plan.config.seed
    jobs = [
        RunJob(index=index, params=params, strategy=plan.ref, config=plan.config,
               out=str(run_folder(plan.out, index, params)) if plan.out is not None else None)
        for index, params in enumerate(plan.combos)
    ]
    rows: list[dict[str, Any]] = []
    journal: Journal | None = None
    if plan.out is not None:
        plan.out.mkdir(parents=True, exist_ok=True)
        journal = Journal(plan.out)
        if resume:
            rows = list(journal.rows_for(plan.combos, seed_).values())
            done = {row["run"] for row in rows}
            jobs = [s for s in jobs if s.index not in done]
            for job in jobs:
                # what a run cut off last time left behind is not a result
                shutil.rmtree(run_folder(plan.out, job.index, job.params),
                              ignore_errors=True)
            remove_leftovers(plan.out / "runs")
        journal.path.touch()
        _save_about(plan, len(rows), partial=True)

    def on_row(row: dict[str, Any]) -> None:
        rows.append(row)
        if journal is not None:
            journal.append(row, seed_)
        if progress is not None:
            progress(len(rows), len(plan.combos))

    if progress is not None:
        progress(len(rows), len(plan.combos))
    try:
        # SIGTERM (a timeout, a scheduler) stops the runs as Ctrl-C does
        with terminate_as_interrupt():
            run_jobs(ray, address, local_processes, jobs, on_row)
    except KeyboardInterrupt as stop:
        with deferred_interrupts():  # the finished runs are saved whole
            table = build_table(plan.names, plan.options, rows)
            if plan.out is not None:
                _save_sweep(plan, table, partial=True)
        raise SweepInterrupted(table, len(plan.combos), plan.out,
                               terminated=isinstance(stop, Terminated)) from None
    table = build_table(plan.names, plan.options, rows)
    if plan.out is not None:
        _save_sweep(plan, table, partial=False)
    return table


def _identity(plan: _Plan) -> dict[str, Any]:
    return {"strategy": plan.ref.text, "grid": plan.options, **identity_of(plan.config)}


def identity_of(config: RunConfig) -> dict[str, Any]:
    """What of a configuration makes two sweeps (or searches) the same one: all of it
    but the cache folder, which may be mounted elsewhere on a resume."""
    return {k: v for k, v in config.as_dict().items() if k != "data_dir"}


def _save_about(plan: _Plan, runs: int, *, partial: bool, failed: int = 0) -> None:
    assert plan.out is not None
    about = {
        **_identity(plan),
        "config": plan.config.as_dict(),
        "data_dir": str(plan.config.data_dir),
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
    write_csv(table, tmp)  # parameter texts and errors a spreadsheet would run are escaped
    os.replace(tmp, plan.out / "sweep.csv")
    _save_about(plan, table.height, partial=partial,
                failed=int(table["error"].is_not_null().sum()))

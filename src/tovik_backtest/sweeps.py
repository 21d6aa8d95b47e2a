"""Parameter sweeps: every combination of a strategy's parameters as its own back-test.

The runs go to a Ray cluster (or a local Ray instance) as one task each, or to a local
process pool. Every run builds its own Ticker and Matcher inside ``Backtest.run()`` in
the worker process; only plain values travel: the run's description goes out, a small
row of figures comes back. Ticks come from the tick cache, which the driver fills
before any run starts, so workers never download anything.
"""

from __future__ import annotations

import argparse
import datetime as dt
import importlib
import importlib.util
import itertools
import json
import logging
import math
import os
import re
import sys
import time
import traceback
import types
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.runner import Backtest, BacktestError, Instrument, Strategy, parse_instrument

__all__ = [
    "RayUnavailable",
    "SweepError",
    "add_sweep_parser",
    "cmd_sweep",
    "expand_grid",
    "parse_param",
    "sweep",
]

INSTALL_HINT = (
    "Ray is not installed: install it with pip install 'tovik_backtest[cluster]' "
    "(or pip install 'ray>=2.30'), or run the sweep on a local process pool with "
    "--local-processes N"
)

# A worker process is replaced after this many runs: every run leaves the matcher's
# daemon thread (and what it holds) behind in the process, so long-lived workers grow.
RUNS_PER_WORKER = 32

# Figures taken from a run's summary, in table order.
FIGURES: tuple[str, ...] = (
    "pnl",
    "realized_pnl",
    "unrealized_pnl",
    "fills",
    "filled_qty",
    "orders",
    "exchange_cancels",
    "ticks",
    "backfilling_ticks",
    "ticks_per_second",
    "wall_seconds",
)
_FIGURE_TYPES: dict[str, Any] = {
    name: (pl.Float64 if name in ("pnl", "realized_pnl", "unrealized_pnl", "ticks_per_second",
                                  "wall_seconds") else pl.Int64)
    for name in FIGURES
}
RESERVED_COLUMNS = frozenset(("run", *FIGURES, "error", "result"))


class SweepError(ValueError):
    """A sweep was set up wrongly (bad grid, period, data directory or output folder)."""


class RayUnavailable(ImportError):
    """Ray is needed for this sweep but cannot be imported."""


# ---- the strategy class, as a worker finds it ---------------------------------------


@dataclass(frozen=True)
class StrategyRef:
    """Where a worker process finds the strategy class: its module, or the module's file.

    Classes travel by reference, never by value: a class from a module the worker can
    import is imported; one from a file (a strategy script, a ``module.py:Class`` on
    the command line) is loaded from that file.
    """

    module: str
    qualname: str
    file: str | None
    by_name: bool

    @classmethod
    def of(cls, strategy_cls: Any) -> StrategyRef:
        if not isinstance(strategy_cls, type) or not issubclass(strategy_cls, Strategy):
            raise TypeError(
                f"strategy_cls must be a Strategy subclass, not {_describe(strategy_cls)}"
            )
        qualname = strategy_cls.__qualname__
        if "<locals>" in qualname:
            raise SweepError(
                f"strategy class {qualname} is defined inside a function; define it at module "
                "level so worker processes can import it"
            )
        module_name = strategy_cls.__module__
        module = sys.modules.get(module_name)
        # The registered module counts only when it really holds the class: a module
        # loaded straight from a file is not registered, or another one has its name.
        own = module is not None and _lookup(module, qualname) is strategy_cls
        file = getattr(module, "__file__", None) if own else _defining_file(strategy_cls)
        file = str(Path(file).resolve()) if file else None
        by_name = (
            own
            and module_name != "__main__"
            and getattr(module, "__spec__", None) is not None
            and module.__spec__.name == module_name
        )
        if not by_name and file is None:
            raise SweepError(
                f"cannot tell which file strategy class {qualname} comes from, so worker processes "
                "could not load it; define it in an importable module"
            )
        return cls(module_name, qualname, file, by_name)

    @property
    def text(self) -> str:
        return f"{self.module}:{self.qualname}"

    def load(self) -> type:
        cached = _LOADED.get(self)
        if cached is not None:
            return cached
        module: Any = None
        if self.by_name:
            try:
                module = importlib.import_module(self.module)
            except ImportError:
                if self.file is None:
                    raise
        if module is None:
            module = _load_file(self.file)
        strategy_cls = _lookup(module, self.qualname)
        if not isinstance(strategy_cls, type) or not issubclass(strategy_cls, Strategy):
            raise SweepError(f"{self.text} is not a Strategy subclass in this worker")
        _LOADED[self] = strategy_cls
        return strategy_cls


# Classes a worker process has loaded, so a module file runs once per process.
_LOADED: dict[StrategyRef, type] = {}


def _lookup(module: Any, qualname: str) -> Any:
    obj = module
    for part in qualname.split("."):
        obj = getattr(obj, part, None)
        if obj is None:
            return None
    return obj


def _defining_file(strategy_cls: type) -> str | None:
    """The file of the module a class was written in, found through its own methods."""
    for value in vars(strategy_cls).values():
        if isinstance(value, (staticmethod, classmethod)):
            value = value.__func__
        elif isinstance(value, property):
            value = value.fget
        module_globals = getattr(value, "__globals__", None)
        if module_globals is not None and module_globals.get("__file__"):
            return module_globals["__file__"]
    return None


def _load_file(file: str | None) -> types.ModuleType:
    if file is None or not os.path.isfile(file):
        raise SweepError(f"strategy module file not found in this worker: {file}")
    # A private name: the file's module must not replace (or be taken for) another module,
    # and a script's "if __name__ == '__main__'" block must not run again.
    name = "_tovik_strategy_" + re.sub(r"\W", "_", file)
    loaded = sys.modules.get(name)
    if loaded is not None:
        return loaded
    module_spec = importlib.util.spec_from_file_location(name, file)
    if module_spec is None or module_spec.loader is None:
        raise SweepError(f"cannot load strategy module file {file}")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    try:
        module_spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


def _describe(value: Any) -> str:
    if isinstance(value, type):
        return f"the class {value.__qualname__}"
    return f"{type(value).__name__} {value!r}"


# ---- the grid -----------------------------------------------------------------------------


def expand_grid(grid: Mapping[str, Any]) -> list[dict[str, Any]]:
    """Every combination of the grid's values, the last parameter varying fastest.

    ``grid`` maps a parameter name to a list, tuple or range of values. An empty grid
    is one run with the strategy's default parameters.
    """
    if not isinstance(grid, Mapping):
        raise TypeError(f"grid must be a mapping of parameter name to values, not {_describe(grid)}")
    names: list[str] = []
    values: list[list[Any]] = []
    for name, options in grid.items():
        if type(name) is not str or not name.isidentifier():
            raise SweepError(f"parameter name {name!r} is not a valid keyword argument name")
        if name in RESERVED_COLUMNS:
            raise SweepError(
                f"parameter name {name!r} clashes with a column of the sweep table; rename it"
            )
        if not isinstance(options, (list, tuple, range)):
            raise TypeError(
                f"values of parameter {name!r} must be a list, tuple or range, not "
                f"{_describe(options)}"
            )
        options = list(options)
        if not options:
            raise SweepError(f"parameter {name!r} has no values")
        seen: list[Any] = []
        for option in options:
            if any(_same_value(option, other) for other in seen):
                raise SweepError(f"parameter {name!r} lists the value {option!r} more than once")
            seen.append(option)
        names.append(name)
        values.append(options)
    return [dict(zip(names, combo, strict=True)) for combo in itertools.product(*values)]


def _same_value(a: Any, b: Any) -> bool:
    # 1 and True (or 1 and 1.0) are different parameters to a strategy, so equal values of
    # different types count as different.
    try:
        return type(a) is type(b) and bool(a == b)
    except Exception:  # noqa: BLE001 - values that cannot be compared are not equal
        return False


# ---- pre-caching ----------------------------------------------------------------------------


def _cache_file(data_dir: Path, code: str, day: str) -> Path:
    return data_dir / "sino" / "ticks" / f"{code} {day} - ticks.csv"


def _days(start: str, end: str) -> list[str]:
    from tovik_backtest.utils import format_to_dt

    first, last = format_to_dt(start).date(), format_to_dt(end).date()
    out = []
    while first <= last:
        out.append(first.isoformat())
        first += dt.timedelta(days=1)
    return out


def missing_days(
    instruments: Sequence[Instrument], periods: Sequence[tuple[str, str]], data_dir: Path
) -> list[tuple[Instrument, str]]:
    """The instrument-days of the periods that have no cache file yet, each once, in order."""
    seen: set[tuple[str, str]] = set()
    missing: list[tuple[Instrument, str]] = []
    for start, end in periods:
        for day in _days(start, end):
            for inst in instruments:
                key = (inst.code, day)
                if key in seen:
                    continue
                seen.add(key)
                if not _cache_file(data_dir, inst.code, day).is_file():
                    missing.append((inst, day))
    return missing


def precache(
    instruments: Sequence[Instrument],
    periods: Sequence[tuple[str, str]],
    data_dir: Path,
    *,
    login: Callable[[], Any] | None = None,
    ticker_cls: Any = None,
    today: dt.date | None = None,
) -> int:
    """Download every missing instrument-day once, on this process; return how many.

    Logs in to the broker only when a day is missing. Days from today on are never
    stored by the cache, so a missing one is an error rather than a silent gap.
    """
    missing = missing_days(instruments, periods, data_dir)
    if not missing:
        return 0
    today = today or dt.date.today()
    uncacheable = [(i, d) for i, d in missing if dt.date.fromisoformat(d) >= today]
    if uncacheable:
        inst, day = uncacheable[0]
        raise SweepError(
            f"ticks of {inst.code} on {day} are not cached and cannot be: only days before "
            f"today ({today.isoformat()}) are stored; end the sweep's period earlier"
        )
    from tovik_backtest import cli
    from tovik_backtest.runner import _data_dir, _quiet_console

    first = f"{missing[0][0].code} {missing[0][1]}"
    try:
        api = (login or cli._login_from_env)()
    except cli.UsageError as exc:
        raise cli.UsageError(
            f"{len(missing)} instrument-days are not cached under {data_dir} (first: "
            f"{first}); {exc}"
        ) from None
    except Exception as exc:
        raise SweepError(f"broker login failed ({type(exc).__name__}: {exc}); "
                         f"{len(missing)} instrument-days need downloading (first: {first})"
                         ) from exc
    try:
        if ticker_cls is None:
            from tovik_backtest.modules.ticker.ticker import Ticker as ticker_cls
        with _data_dir(data_dir), _quiet_console(True):
            ticker = ticker_cls(api)
            for inst, day in missing:
                try:
                    ticker.get_ticks_df(inst.code, inst.market, day, day)
                except Exception as exc:
                    raise SweepError(f"downloading the ticks of {inst.code} {day} failed: "
                                     f"{type(exc).__name__}: {exc}") from exc
    finally:
        logout = getattr(api, "logout", None)
        if callable(logout):
            try:
                logout()
            except Exception:  # noqa: BLE001, S110 - the days are stored; nothing is lost
                pass
    # The ticker logs a failed day and goes on; a day still missing would be a silent
    # gap in every run, so it stops the sweep here.
    still = [(i, d) for i, d in missing if not _cache_file(data_dir, i.code, d).is_file()]
    if still:
        listed = ", ".join(f"{i.code} {d}" for i, d in still[:5])
        more = f" and {len(still) - 5} more" if len(still) > 5 else ""
        raise SweepError(f"could not download the ticks of {listed}{more}; see the error log")
    return len(missing)


# ---- one run --------------------------------------------------------------------------------


@dataclass(frozen=True)
class RunSpec:
    """Everything a worker needs for one run; plain values only."""

    index: int
    params: dict[str, Any]
    strategy: StrategyRef
    instruments: tuple[tuple[str, str], ...]
    start: str
    end: str
    backfill_start: str | None
    backfill_end: str | None
    data_dir: str
    out: str | None = None


def run_one(run_spec: RunSpec) -> dict[str, Any]:
    """Run one back-test and return its row; a failure is reported in the row, not raised."""
    row: dict[str, Any] = {"run": run_spec.index, "params": dict(run_spec.params)}
    row.update(dict.fromkeys(FIGURES))
    row["error"] = None
    row["result"] = None
    try:
        strategy_cls = run_spec.strategy.load()
        strategy = strategy_cls(**run_spec.params)
        backtest = Backtest(
            strategy,
            list(run_spec.instruments),
            run_spec.start,
            run_spec.end,
            run_spec.backfill_start,
            run_spec.backfill_end,
            data_dir=run_spec.data_dir,
        )
        result = backtest.run()
        overall = result.summary()["overall"]
        for name in FIGURES:
            row[name] = overall[name]
        if run_spec.out is not None:
            row["result"] = str(result.save(run_spec.out))
    except Exception as exc:  # noqa: BLE001 - any failure of a run belongs in its row
        row["error"] = _error_text(exc)
        if run_spec.out is not None:
            row["result"] = _save_error(run_spec.out, run_spec.params, exc)
    return row


def _error_text(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}".strip()
    frames = traceback.extract_tb(exc.__traceback__)
    if frames:
        last = frames[-1]
        text += f" (at {Path(last.filename).name}:{last.lineno} in {last.name})"
    return text


def _save_error(folder: str, params: dict[str, Any], exc: BaseException) -> str | None:
    try:
        out = Path(folder)
        out.mkdir(parents=True, exist_ok=True)
        text = "".join(traceback.format_exception(exc))
        (out / "error.txt").write_text(f"params: {params!r}\n\n{text}", encoding="utf-8")
        return str(out)
    except OSError:
        return None


def _failed_row(run_spec: RunSpec, message: str) -> dict[str, Any]:
    row: dict[str, Any] = {"run": run_spec.index, "params": dict(run_spec.params)}
    row.update(dict.fromkeys(FIGURES))
    row["error"] = message
    row["result"] = None
    return row


def _run_folder(out: Path, index: int, params: Mapping[str, Any]) -> Path:
    slug = "-".join(f"{k}={v}" for k, v in params.items())
    slug = re.sub(r"[^A-Za-z0-9._=+-]", "_", slug)[:80]
    return out / "runs" / (f"{index:04d}-{slug}" if slug else f"{index:04d}")


# ---- back-ends --------------------------------------------------------------------------------

Progress = Callable[[int, int], None] | None


def import_ray() -> Any:
    try:
        import ray
    except ImportError as exc:
        raise RayUnavailable(INSTALL_HINT) from exc
    return ray


def _run_on_ray(ray: Any, specs: list[RunSpec], address: str | None, progress: Progress
                ) -> list[dict[str, Any]]:
    started_here = False
    if not ray.is_initialized():
        # address None: RAY_ADDRESS, else a running local cluster, else a new local instance.
        ray.init(address=address, include_dashboard=False, logging_level=logging.WARNING,
                 log_to_driver=False)
        started_here = True
    try:
        # One retry covers a lost node; a run that kills its worker every time fails soon.
        task = ray.remote(num_cpus=1, max_calls=RUNS_PER_WORKER, max_retries=1)(run_one)
        pending = {task.remote(run_spec): run_spec for run_spec in specs}
        rows: list[dict[str, Any]] = []
        try:
            while pending:
                ready, _ = ray.wait(list(pending), num_returns=1)
                for ref in ready:
                    run_spec = pending.pop(ref)
                    try:
                        rows.append(ray.get(ref))
                    except Exception as exc:  # noqa: BLE001 - the worker died or could not start
                        rows.append(_failed_row(run_spec, _ray_error_text(exc)))
                    if progress is not None:
                        progress(len(rows), len(specs))
        except BaseException:
            for ref in pending:
                ray.cancel(ref, force=True)
            raise
        return rows
    finally:
        if started_here:
            ray.shutdown()


def _ray_error_text(exc: BaseException) -> str:
    first = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {first[0] if first else ''}".strip()


def _run_on_pool(processes: int, specs: list[RunSpec], progress: Progress) -> list[dict[str, Any]]:
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    # Fresh interpreters: forking a process that runs threads (the matcher's, a progress
    # display's) can deadlock the child.
    context = multiprocessing.get_context("spawn")
    rows: list[dict[str, Any]] = []
    broken: list[RunSpec] = []

    def done(row: dict[str, Any]) -> None:
        rows.append(row)
        if progress is not None:
            progress(len(rows), len(specs))

    pool = ProcessPoolExecutor(max_workers=processes, mp_context=context,
                               max_tasks_per_child=RUNS_PER_WORKER)
    try:
        futures = {pool.submit(run_one, run_spec): run_spec for run_spec in specs}
        for future in as_completed(futures):
            run_spec = futures[future]
            try:
                done(future.result())
            except BrokenProcessPool:
                broken.append(run_spec)
            except Exception as exc:  # noqa: BLE001 - the run could not be sent
                done(_failed_row(run_spec, f"{type(exc).__name__}: {exc}"))
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    # A process that dies (a crash in native code, an exit) takes the whole pool down
    # with it, and every unfinished run with it. Those runs are run again one by one,
    # each in a process of its own, so only the run that crashes is lost.
    for run_spec in sorted(broken, key=lambda s: s.index):
        with ProcessPoolExecutor(max_workers=1, mp_context=context) as alone:
            try:
                done(alone.submit(run_one, run_spec).result())
            except BrokenProcessPool:
                done(_failed_row(run_spec, "the worker process running this run died (exit or "
                                 "crash in native code)"))
    return rows


# ---- the table ------------------------------------------------------------------------------------


def _column_type(values: Sequence[Any]) -> Any:
    kinds = {type(v) for v in values}
    if kinds == {bool}:
        return pl.Boolean
    if kinds == {int}:
        return pl.Int64
    if kinds and kinds <= {int, float}:
        return pl.Float64
    if kinds == {str}:
        return pl.String
    return None  # anything else is shown as its text


def build_table(names: Sequence[str], options: Mapping[str, Sequence[Any]],
                rows: Iterable[dict[str, Any]]) -> pl.DataFrame:
    """One row per run, sorted by P&L (highest first, failed runs last), then by parameters."""
    rows = sorted(rows, key=lambda r: r["run"])
    columns: dict[str, pl.Series] = {"run": pl.Series("run", [r["run"] for r in rows], pl.Int64)}
    for name in names:
        dtype = _column_type(options[name])
        values = [r["params"][name] for r in rows]
        if dtype is None:
            columns[name] = pl.Series(name, [repr(v) for v in values], pl.String)
        elif dtype == pl.Float64:
            columns[name] = pl.Series(name, [float(v) for v in values], pl.Float64)
        else:
            columns[name] = pl.Series(name, values, dtype)
    for name in FIGURES:
        columns[name] = pl.Series(name, [r[name] for r in rows], _FIGURE_TYPES[name], strict=False)
    columns["error"] = pl.Series("error", [r["error"] for r in rows], pl.String)
    columns["result"] = pl.Series("result", [r["result"] for r in rows], pl.String)
    table = pl.DataFrame(list(columns.values()))
    by = ["pnl", *names, "run"]
    return table.sort(by, descending=[True] + [False] * (len(by) - 1), nulls_last=True,
                      maintain_order=True)


# ---- the sweep ------------------------------------------------------------------------------------


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
    from tovik_backtest.utils import format_to_dt

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
          out: Any, backfill_start: Any, backfill_end: Any) -> _Plan:
    from tovik_backtest.constant import BASIC_INFO
    from tovik_backtest.utils import format_to_dt

    ref = StrategyRef.of(strategy_cls)
    combos = expand_grid(grid)
    options = {name: list(values) for name, values in grid.items()}
    if isinstance(instruments, (str, dict, Instrument)) or not isinstance(instruments, Iterable):
        raise TypeError(f"instruments must be a list of instruments, not {_describe(instruments)}")
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
        raise TypeError(f"data_dir must be a path, not {_describe(data_dir)}")
    data = Path(data_dir if data_dir is not None else BASIC_INFO.data_dir).expanduser().resolve()
    if data.exists() and not data.is_dir():
        raise SweepError(f"data directory {data} is not a directory")
    out_dir: Path | None = None
    if out is not None:
        if not isinstance(out, (str, os.PathLike)):
            raise TypeError(f"out must be a path, not {_describe(out)}")
        out_dir = Path(out).expanduser().resolve()
        if out_dir.exists() and not out_dir.is_dir():
            raise SweepError(f"output folder {out_dir} is a file")
        if out_dir.is_dir() and any(out_dir.iterdir()):
            # Runs of another sweep left there would mix with this one's.
            raise SweepError(f"output folder {out_dir} is not empty; choose a new or empty folder")
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
) -> pl.DataFrame:
    """Back-test every combination of ``grid`` and return the runs ranked by P&L.

    ``grid`` maps a parameter name of ``strategy_cls`` to the values to try, e.g.
    ``{"fast": [5, 10], "slow": [30, 60]}``; each combination reaches the strategy's
    constructor as keyword arguments. Runs go to Ray (``address``, else ``RAY_ADDRESS``,
    else a local Ray instance) or, with ``local_processes=N``, to N local processes.
    Ticks are read from the tick cache in ``data_dir``, which must be the same path on
    every node; missing days are downloaded once, here, before the runs start.
    ``out`` (a new or empty folder) receives ``sweep.csv`` and every run's result.
    ``progress(done, total)`` is called here after each finished run.

    A run that fails has its error in the ``error`` column; the others go on.
    """
    plan = _plan(strategy_cls, grid, instruments, start, end, data_dir, out,
                 backfill_start, backfill_end)
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
        raise TypeError(f"progress must be callable, not {_describe(progress)}")

    precache(plan.instruments, plan.periods, plan.data_dir)

    if plan.out is not None:
        plan.out.mkdir(parents=True, exist_ok=True)
    instruments_plain = tuple((i.code, i.market) for i in plan.instruments)
    specs = [
        RunSpec(
            index=index,
            params=params,
            strategy=plan.ref,
            instruments=instruments_plain,
            start=start,
            end=end,
            backfill_start=backfill_start,
            backfill_end=backfill_end,
            data_dir=str(plan.data_dir),
            out=str(_run_folder(plan.out, index, params)) if plan.out is not None else None,
        )
        for index, params in enumerate(plan.combos)
    ]
    if progress is not None:
        progress(0, len(specs))
    if ray is None:
        rows = _run_on_pool(local_processes, specs, progress)  # type: ignore[arg-type]
    else:
        rows = _run_on_ray(ray, specs, address, progress)
    table = build_table(plan.names, plan.options, rows)
    if plan.out is not None:
        _save_sweep(plan, table)
    return table


def _save_sweep(plan: _Plan, table: pl.DataFrame) -> None:
    assert plan.out is not None
    table.write_csv(plan.out / "sweep.csv")
    about = {
        "strategy": plan.ref.text,
        "grid": plan.options,
        "instruments": [i.as_dict() for i in plan.instruments],
        "start": plan.extra["start"],
        "end": plan.extra["end"],
        "backfill_start": plan.extra["backfill_start"],
        "backfill_end": plan.extra["backfill_end"],
        "data_dir": str(plan.data_dir),
        "runs": table.height,
        "failed": int(table["error"].is_not_null().sum()),
    }
    (plan.out / "sweep.json").write_text(
        json.dumps(about, ensure_ascii=False, indent=2, default=repr), encoding="utf-8"
    )


# ---- the command line --------------------------------------------------------------------------------

_QUOTED = re.compile(r"""^(['"])(.*)\1$""", re.DOTALL)


def parse_value(text: str) -> Any:
    """A value from the command line: a whole number, a decimal, true/false or a text.

    Quotes keep a value as text ("5" stays the text 5).
    """
    text = text.strip()
    quoted = _QUOTED.match(text)
    if quoted:
        return quoted.group(2)
    if not text:
        raise ValueError("empty value")
    if re.fullmatch(r"[+-]?\d+", text):
        return int(text)
    try:
        number = float(text)
    except ValueError:
        pass
    else:
        if not math.isfinite(number):
            raise ValueError(f"not a finite number: {text!r}")
        return number
    lowered = text.lower()
    if lowered in ("true", "false"):
        return lowered == "true"
    return text


def parse_param(text: str) -> tuple[str, list[Any]]:
    """NAME=V1,V2,... into the name and its values (argparse type of --param)."""
    name, sep, rest = text.partition("=")
    name = name.strip()
    if not sep:
        raise argparse.ArgumentTypeError(f"--param must be written NAME=V1,V2,..., not {text!r}")
    if not name.isidentifier():
        raise argparse.ArgumentTypeError(f"parameter name {name!r} is not a valid name")
    if name in RESERVED_COLUMNS:
        raise argparse.ArgumentTypeError(
            f"parameter name {name!r} clashes with a column of the sweep table"
        )
    values: list[Any] = []
    for item in _split_values(rest):
        try:
            value = parse_value(item)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"parameter {name}: {exc} in {text!r}") from None
        if any(_same_value(value, seen) for seen in values):
            raise argparse.ArgumentTypeError(f"parameter {name} lists {item.strip()} more than once")
        values.append(value)
    return name, values


def _split_values(text: str) -> list[str]:
    # Commas inside quotes belong to the value.
    items, current, quote = [], [], ""
    for ch in text:
        if quote:
            current.append(ch)
            if ch == quote:
                quote = ""
        elif ch in "'\"":
            quote = ch
            current.append(ch)
        elif ch == ",":
            items.append("".join(current))
            current = []
        else:
            current.append(ch)
    if quote:
        raise argparse.ArgumentTypeError(f"unclosed quote in {text!r}")
    items.append("".join(current))
    return items


def add_sweep_parser(subparsers: Any) -> argparse.ArgumentParser:
    from tovik_backtest.cli import _date, _instrument, _positive_int

    p = subparsers.add_parser(
        "sweep",
        help="back-test every combination of strategy parameters, on Ray or a process pool",
        description="Back-test every combination of the --param values as its own run and "
        "rank the runs by P&L. Runs go to a local Ray instance by default, to a Ray cluster "
        "with --address (or RAY_ADDRESS), or to a local process pool with --local-processes.",
    )
    p.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    p.add_argument("--param", "-p", action="append", type=parse_param, default=[],
                   metavar="NAME=V1,V2,...", help="values of one strategy parameter (repeatable)")
    p.add_argument("--instrument", "-i", action="append", type=_instrument, required=True,
                   metavar="CODE:MARKET", help="instrument, e.g. 2330:Stock (repeatable)")
    p.add_argument("--start", type=_date, required=True, help="first day, YYYY-MM-DD")
    p.add_argument("--end", type=_date, required=True, help="last day, YYYY-MM-DD")
    p.add_argument("--backfill-start", type=_date, help="first day of the warm-up period")
    p.add_argument("--backfill-end", type=_date, help="last day of the warm-up period")
    p.add_argument("--data-dir", type=Path,
                   help="tick cache folder, the same path on every node (default: the package's)")
    p.add_argument("--out", type=Path, help="new or empty folder for sweep.csv and each run's result")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--address", help="Ray cluster address (default: RAY_ADDRESS, else a local "
                       "Ray instance)")
    where.add_argument("--local-processes", type=_positive_int, metavar="N",
                       help="run on N local processes instead of Ray")
    p.add_argument("--top", type=_positive_int, default=30, metavar="N",
                   help="rows of the ranked table to print (default 30)")
    p.set_defaults(handler=cmd_sweep)
    return p


def cmd_sweep(args: argparse.Namespace) -> int:
    from rich.progress import (
        BarColumn,
        MofNCompleteColumn,
        Progress,
        TextColumn,
        TimeElapsedColumn,
        TimeRemainingColumn,
    )

    from tovik_backtest import cli

    grid: dict[str, list[Any]] = {}
    for name, values in args.param:
        if name in grid:
            raise cli.UsageError(f"--param {name} is given more than once")
        grid[name] = values
    strategy_cls = cli.load_strategy_class(args.strategy)
    if args.local_processes is None:
        try:
            import_ray()
        except RayUnavailable as exc:
            raise cli.UsageError(str(exc)) from None
    runs = math.prod(len(v) for v in grid.values())
    where = (f"{args.local_processes} local processes" if args.local_processes is not None
             else f"Ray at {args.address or os.environ.get('RAY_ADDRESS') or 'a local instance'}")
    cli.out.print(f"sweep: {runs} runs of {args.strategy} on {where}")
    bar = Progress(TextColumn("[bold]sweep"), BarColumn(), MofNCompleteColumn(),
                   TimeElapsedColumn(), TimeRemainingColumn(), console=cli.out)
    task = bar.add_task("runs", total=runs)

    def report(done: int, total: int) -> None:
        if not bar.live.is_started:
            bar.start()
        bar.update(task, completed=done, total=total)

    started = time.perf_counter()
    try:
        table = sweep(strategy_cls, grid, args.instrument, args.start, args.end,
                      address=args.address, local_processes=args.local_processes,
                      data_dir=args.data_dir, out=args.out, backfill_start=args.backfill_start,
                      backfill_end=args.backfill_end, progress=report)
    except (SweepError, RayUnavailable) as exc:
        raise cli.UsageError(str(exc)) from None
    finally:
        bar.stop()
    print_table(table, list(grid), top=args.top)
    failed = int(table["error"].is_not_null().sum())
    cli.out.print(f"{table.height} runs in {time.perf_counter() - started:.1f} s"
                  + (f", [red]{failed} failed[/red]" if failed else ""))
    if args.out is not None:
        cli.out.print(f"saved the table and each run's result under {args.out}")
    return 1 if failed else 0


def print_table(table: pl.DataFrame, names: Sequence[str], top: int = 30) -> None:
    from rich.markup import escape
    from rich.table import Table

    from tovik_backtest import cli

    shown = table.head(top)
    headers = ["#", *names, "P&L", "fills", "ticks", "ticks/s"]
    body: list[list[str]] = []
    for rank, row in enumerate(shown.iter_rows(named=True), start=1):
        cells = [str(rank)] + [str(row[name]) for name in names]
        if row["error"] is None:
            cells += [f"{row['pnl']:,.2f}", str(row["fills"]), f"{row['ticks']:,}",
                      f"{row['ticks_per_second']:,.0f}"]
        else:
            cells += ["", "", "", ""]
        body.append(cells)
    view = Table(title=f"Sweep: {table.height} runs ranked by P&L")
    for header in headers:
        view.add_column(header, justify="right", no_wrap=True)
    failures = shown["error"].is_not_null().any()
    if failures:
        # Figures keep their width; the error column gets what is left and is cut short.
        used = sum(max(len(h), *(len(c[i]) for c in body)) + 3 for i, h in enumerate(headers))
        view.add_column("error", no_wrap=True, overflow="ellipsis",
                        max_width=max(12, cli.out.width - used - 4))
    for cells, error in zip(body, shown["error"], strict=True):
        cells = [escape(c) for c in cells]
        if failures:
            cells.append(f"[red]{escape(error)}[/red]" if error is not None else "")
        view.add_row(*cells)
    cli.out.print(view)
    if table.height > shown.height:
        cli.out.print(f"... and {table.height - shown.height} more runs")
    # The table cuts errors short; each distinct one is shown whole, once.
    errors = table.filter(pl.col("error").is_not_null()).group_by("error", maintain_order=True).len()
    for error, count in errors.head(5).iter_rows():
        runs = "1 run" if count == 1 else f"{count} runs"
        cli.out.print(f"[red]{runs} failed:[/red] {escape(error)}")
    if errors.height > 5:
        cli.out.print(f"... and {errors.height - 5} more distinct errors (see the error column)")

"""What every command shares: the console, the parser's error rule, argument types, the
progress bar and the summary of a run."""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

from rich import box
from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
)
from rich.table import Table

from tovik_backtest.config import RunConfig, costs_with, load_costs
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError, UsageError
from tovik_backtest.fills import FillModel, parse_fill_list
from tovik_backtest.folders import check_target
from tovik_backtest.instruments import Instrument, parse_instrument
from tovik_backtest.market import ContractSizeError, parse_contract_size
from tovik_backtest.stops import Terminated
from tovik_backtest.utils import format_to_dt

__all__ = [
    "EXIT_USAGE",
    "Parser",
    "add_backfill_args",
    "add_config_args",
    "add_money_args",
    "config_from_args",
    "costs_from_args",
    "contract_size_arg",
    "money_kwargs",
    "money_line",
    "costs_line",
    "period_line",
    "add_period_args",
    "check_out_dir",
    "date_arg",
    "finish",
    "instrument_arg",
    "int_arg",
    "keep_errors",
    "keep_partial",
    "show_error",
    "out",
    "positive_int_arg",
    "print_summary",
    "run_with_progress",
]

EXIT_USAGE = 2

out = Console()
if not out.is_terminal:
    out = Console(width=120)  # piped or captured: no terminal width to fit, so don't squeeze tables


class Parser(argparse.ArgumentParser):
    # One clear line on bad arguments, never a usage dump or a traceback.
    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message}\n")
        raise SystemExit(EXIT_USAGE)


def instrument_arg(text: str) -> Instrument:
    try:
        return parse_instrument(text)
    except BacktestError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def date_arg(text: str) -> str:
    try:
        format_to_dt(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} (use YYYY-MM-DD)") from None
    return text


def int_arg(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def positive_int_arg(text: str) -> int:
    value = int_arg(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def milliseconds_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of milliseconds: {text!r}") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a number of milliseconds >= 0: {text!r}")
    return value


def check_out_dir(folder: Path, *, overwrite: bool = False) -> None:
    """Refuse an output folder the run could not write, before the run rather than after:
    one that cannot be made or written, one holding other files, and one holding another
    run's results unless ``overwrite``."""
    try:
        check_target(folder, overwrite=overwrite, flag="--overwrite")
    except BacktestError as exc:
        raise UsageError(f"--out {exc}") from None
    existing = folder
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(f"--out {folder} cannot be made: {existing} is a file")
    # the results are made beside the folder and renamed onto it
    beside = folder.parent if folder.exists() else existing
    if not os.access(beside, os.W_OK | os.X_OK):
        raise UsageError(f"--out {folder} cannot be written: no write permission in {beside}")


def add_period_args(p: argparse.ArgumentParser, *, example: str = "2330:Stock or TXFR1:Future") -> None:
    """--instrument (repeatable), --start and --end, all required."""
    p.add_argument("--instrument", "-i", action="append", type=instrument_arg, required=True,
                   metavar="CODE:MARKET", help=f"instrument, e.g. {example} (repeatable)")
    p.add_argument("--start", type=date_arg, required=True, help="first day, YYYY-MM-DD")
    p.add_argument("--end", type=date_arg, required=True, help="last day, YYYY-MM-DD")


def add_backfill_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--backfill-start", type=date_arg, help="first day of the warm-up period")
    p.add_argument("--backfill-end", type=date_arg, help="last day of the warm-up period")


def _progress() -> Progress:
    return Progress(
        TextColumn("[bold]back-test"),
        BarColumn(),
        MofNCompleteColumn(),
        TextColumn("{task.fields[rate]:>9,.0f} ticks/s"),
        TimeRemainingColumn(),
        console=out,
        transient=False,
    )


_err = Console(stderr=True, highlight=False)


def backend_text(args: argparse.Namespace) -> str:
    """Where a sweep's or a search's runs go, as the command's first line says it."""
    if args.local_processes is not None:
        return f"{args.local_processes} local processes"
    return f"Ray at {args.address or os.environ.get('RAY_ADDRESS') or 'a local instance'}"


def runs_bar(label: str, unit: str, total: int | None) -> tuple[Progress, Callable[[int, int], None]]:
    """A progress bar of finished runs (started at the first report) and its reporter."""
    columns = [TextColumn(f"[bold]{label}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn()]
    if total is not None:  # a known number of runs has a time left
        columns.append(TimeRemainingColumn())
    bar = Progress(*columns, console=out)
    task = bar.add_task(unit, total=total)

    def report(done: int, total: int) -> None:
        if not bar.live.is_started:
            bar.start()
        bar.update(task, completed=done, total=total)

    return bar, report


def show_error(line: str) -> None:
    """One readable line of an error record, on standard error."""
    _err.print(line, markup=False, style="red")


def keep_errors(records: list[str]) -> Path:
    """Write error records (one JSON text each) to a temporary file and return its path."""
    fd, name = tempfile.mkstemp(prefix="tovik-errors-", suffix=".jsonl")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.writelines(r + "\n" for r in records)
    return Path(name)


def run_with_progress(backtest: Any) -> Any:
    """Run a Backtest with a progress bar of ticks done out of the total."""
    with _progress() as bar:
        task = bar.add_task("ticks", total=None, rate=0.0)
        started = time.perf_counter()
        last = [0.0]

        def report(done: int, total: int) -> None:
            now = time.perf_counter()
            if now - last[0] < 0.1 and done != total:
                return
            last[0] = now
            elapsed = now - started
            bar.update(task, completed=done, total=total or None,
                       rate=done / elapsed if elapsed > 0 else 0.0)

        backtest.progress = report
        try:
            result = backtest.run()
        except BaseException:
            # a run that stopped leaves no half-drawn bar behind its error
            bar.update(task, visible=False)
            raise
        bar.update(task, completed=result.ticks + result.backfilling_ticks,
                   total=result.ticks + result.backfilling_ticks, rate=result.ticks_per_second)
    return result


def keep_partial(partial: Any, stop: BaseException, args: argparse.Namespace) -> None:
    """What a run stopped by ``stop`` produced: shown (after an interrupt) and saved to --out,
    marked partial in summary.json, report.html and the console's lines."""
    interrupted = isinstance(stop, KeyboardInterrupt)
    if interrupted:
        print_summary(partial)
    why = ("was sent SIGTERM" if isinstance(stop, Terminated) else "was interrupted") if interrupted \
        else f"stopped on {type(stop).__name__}"
    if not getattr(args, "out", None):
        if interrupted:
            out.print(f"[red]the run {why}: the figures above are partial; nothing was saved (no --out)[/red]")
        return
    folder = partial.save(args.out, overwrite=getattr(args, "overwrite", True))
    out.print(f"[red]the run {why}; what it produced so far is saved to {folder}, marked partial "
              "(summary.json says partial)[/red]")


def contract_size_arg(text: str) -> tuple[str, int]:
    try:
        return parse_contract_size(text)
    except ContractSizeError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _fraction_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0: {text}")
    return value


_COST_FIELDS = tuple(f.name for f in dataclasses.fields(Costs))


def cost_arg(text: str) -> tuple[str, float]:
    name, sep, value = (part.strip() for part in text.partition("="))
    if not sep or name not in _COST_FIELDS:
        raise argparse.ArgumentTypeError(f"--cost takes NAME=VALUE with NAME one of {', '.join(_COST_FIELDS)}, "
                                         f"not {text!r}")
    return name, _fraction_arg(value)


def add_money_args(p: argparse.ArgumentParser) -> None:
    """--contract-size PRODUCT=TWD (repeatable), --capital and the costs: --costs FILE.toml,
    --commission-discount, --futures-fee and --cost NAME=VALUE (repeatable)."""
    p.add_argument("--contract-size", action="append", type=contract_size_arg, default=[],
                   metavar="PRODUCT=SIZE",
                   help="TWD per point of a futures product (or shares per lot of a stock), "
                        "e.g. XYZ=2000 (repeatable)")
    p.add_argument("--capital", type=positive_int_arg, default=1_000_000,
                   help="TWD the drawdown and Sharpe ratio are measured against (default 1,000,000)")
    p.add_argument("--costs", type=Path, metavar="FILE.toml",
                   help="cost rates from a TOML file of Costs fields (stock_commission_discount = 0.6, ...)")
    p.add_argument("--commission-discount", type=_fraction_arg, metavar="FRACTION",
                   help="your broker's discount on the stock commission, e.g. 0.6 for 40%% off (default 1)")
    p.add_argument("--futures-fee", type=_fraction_arg, metavar="TWD",
                   help="futures commission per contract and side in TWD (default 0)")
    p.add_argument("--cost", action="append", type=cost_arg, default=[], metavar="NAME=VALUE",
                   help="any other cost rate, e.g. stock_tax_rate=0.003 (repeatable)")


def costs_from_args(args: argparse.Namespace) -> Costs:
    """The costs of --costs FILE.toml, then --cost, --commission-discount and --futures-fee."""
    changes = dict(getattr(args, "cost", None) or [])
    if getattr(args, "commission_discount", None) is not None:
        changes["stock_commission_discount"] = args.commission_discount
    if getattr(args, "futures_fee", None) is not None:
        changes["futures_commission_per_contract"] = args.futures_fee
    file = getattr(args, "costs", None)
    if file is not None:
        return load_costs(file, **changes)
    return costs_with(Costs(), changes, where="the cost options")


def money_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """Backtest keywords from --contract-size, --capital and the cost options."""
    return {"contract_sizes": dict(getattr(args, "contract_size", None) or []) or None,
            "capital": getattr(args, "capital", 1_000_000),
            "costs": costs_from_args(args)}


def add_config_args(p: argparse.ArgumentParser, *, example: str = "2330:Stock or TXFR1:Future",
                    data_dir_help: str = "tick cache folder (default: the package's)") -> None:
    """Every field of a run's configuration: instruments, period, warm-up, data folder,
    money and costs, seed and --allow-missing."""
    add_period_args(p, example=example)
    add_backfill_args(p)
    p.add_argument("--data-dir", type=Path, help=data_dir_help)
    add_money_args(p)
    p.add_argument("--seed", type=int_arg, default=0, help="seed of the order ids (default 0)")
    p.add_argument("--allow-missing", action="store_true",
                   help="run without the trading days the cache lacks (listed in the summary) "
                        "instead of refusing the run")
    add_fill_args(p)


def add_fill_args(p: argparse.ArgumentParser) -> None:
    """--fills, --latency-ms and --jitter-ms: the fill model of the run."""
    p.add_argument("--fills", default="touch", metavar="MODEL",
                   help="fill model: touch (default; a resting limit order fills on any tick at its price), "
                        "queue (it waits behind the volume displayed at its price) or queue-proportional "
                        "(unexplained falls of that volume move it up too); run takes a comma list, "
                        "e.g. touch,queue, and prints the optimism gap")
    p.add_argument("--latency-ms", type=milliseconds_arg, default=0.0, metavar="MS",
                   help="time from a request to its arrival at the exchange (default 0: the next tick)")
    p.add_argument("--jitter-ms", type=milliseconds_arg, default=0.0, metavar="MS",
                   help="up to this much more latency per request, drawn from --seed (default 0)")


def fill_models_from_args(args: argparse.Namespace) -> list[FillModel]:
    """The models --fills names, with --latency-ms and --jitter-ms."""
    return parse_fill_list(getattr(args, "fills", "touch"), getattr(args, "latency_ms", 0.0),
                           getattr(args, "jitter_ms", 0.0))


def config_from_args(args: argparse.Namespace, fills: FillModel | None = None) -> RunConfig:
    """The RunConfig the options of add_config_args describe; ``fills`` replaces the model
    --fills names (which must then be one)."""
    if fills is None:
        models = fill_models_from_args(args)
        if len(models) > 1:
            raise UsageError(f"--fills {args.fills} names {len(models)} models; this command runs one")
        fills = models[0]
    return RunConfig(instruments=tuple(args.instrument), start=args.start, end=args.end,
                     backfill_start=args.backfill_start, backfill_end=args.backfill_end,
                     data_dir=args.data_dir, seed=args.seed, allow_missing=args.allow_missing,
                     fills=fills, **money_kwargs(args))


def _twd(value: float) -> str:
    return f"{value:,.0f}" if value == int(value) else f"{value:,.2f}"


def money_line(overall: dict[str, Any]) -> str:
    """ "net P&L 12,345 TWD (gross 15,000, commission 1,655, tax 1,000)" """
    return (f"net P&L {_twd(overall['net_pnl'])} TWD (gross {_twd(overall['gross_pnl'])}, "
            f"commission {_twd(overall['commission'])}, tax {_twd(overall['tax'])})")


def _pct(rate: float) -> str:
    return f"{rate * 100:.6g}%"


def costs_line(costs: dict[str, Any]) -> str:
    """The cost rates a run charged, in one line."""
    c = costs
    discount = "" if c["stock_commission_discount"] == 1 else f" x {c['stock_commission_discount']:g}"
    return (f"costs: stock commission {_pct(c['stock_commission_rate'])}{discount} (at least "
            f"{_twd(c['stock_min_commission'])} TWD, odd lots {_twd(c['odd_lot_min_commission'])}), "
            f"stock tax {_pct(c['stock_tax_rate'])} (day trades {_pct(c['day_trade_tax_rate'])}, "
            f"ETFs {_pct(c['etf_tax_rate'])}); "
            f"futures {_twd(c['futures_commission_per_contract'])} TWD a contract, tax {_pct(c['futures_tax_rate'])}")


def period_line(config: dict[str, Any]) -> str:
    """ "period 2024-01-02 to 2024-01-08 (warm-up 2023-12-28 to 2023-12-29)" """
    line = f"period {config['start']} to {config['end']}"
    first = config.get("backfill_start") or config.get("backfill_end")
    if first:
        line += f" (warm-up {first} to {config.get('backfill_end') or first})"
    return line


def print_summary(result: Any) -> None:
    summary = result.summary()
    partial = summary.get("partial", False)
    config = summary.get("config")
    if config:
        out.print(f"{period_line(config)} · {costs_line(config['costs'])}", markup=False, highlight=False,
                  soft_wrap=True)
    title = "Back-test summary (TWD)" + (f", PARTIAL: stopped on {summary['error']}" if partial else "")
    table = Table(title=title,
                  caption="cancels: made by the exchange (IOC/FOK) · expired: day orders cancelled at the close",
                  box=box.SIMPLE_HEAD)
    for name in ("code", "market", "ticks", "orders", "fills", "cancels", "expired", "net", "points", "gross",
                 "commission", "tax", "net P&L"):
        table.add_column(name, justify="left" if name in ("code", "market") else "right")
    for code, s in summary["instruments"].items():
        table.add_row(code, s["market"], f"{s['ticks']:,}", str(s["orders"]), str(s["fills"]),
                      str(s["exchange_cancels"]), str(s["expired"]), str(s["net_position"]),
                      f"{s['pnl_points']:,.2f}", _twd(s["gross_pnl"]), _twd(s["commission"]), _twd(s["tax"]),
                      _twd(s["net_pnl"]))
    o = summary["overall"]
    table.add_row("[bold]overall", "", f"{o['ticks']:,}", str(o["orders"]), str(o["fills"]),
                  str(o["exchange_cancels"]), str(o["expired"]), "", "", _twd(o["gross_pnl"]),
                  _twd(o["commission"]), _twd(o["tax"]), _twd(o["net_pnl"]))
    out.print(table)
    win = "-" if o["win_rate"] is None else f"{o['win_rate']:.0%}"
    sharpe = "-" if o["sharpe"] is None else f"{o['sharpe']:.2f}"
    out.print(f"round trips {o['round_trips']} · win rate {win} · max drawdown {_twd(o['max_drawdown'])} TWD "
              f"({o['max_drawdown_pct']:.2%}) · Sharpe {sharpe} · exposure {o['exposure']:.0%}")
    for note in summary["notes"]:
        out.print(f"note: {note}", markup=False, highlight=False, soft_wrap=True)
    out.print(f"{'PARTIAL result: ' if partial else ''}{money_line(o)} · {o['ticks']:,} ticks in "
              f"{o['wall_seconds']:.2f} s ({o['ticks_per_second']:,.0f} ticks/s) · fills by "
              f"{o['fill_model']}", markup=False, highlight=False, soft_wrap=True)


def finish(result: Any, args: argparse.Namespace, data_dir: Path | None) -> None:
    """Print the summary, then save and plot the run when --out / --plot ask for it."""
    print_summary(result)
    if getattr(args, "out", None):
        folder = result.save(args.out, overwrite=getattr(args, "overwrite", True))
        out.print(f"saved reports, trades, round trips, equity and summary to {folder}")
    drawings = [(kind, getattr(args, kind, None)) for kind in ("report", "plot")]
    if any(path for _, path in drawings):
        from tovik_backtest.plot import PlotUnavailable
        from tovik_backtest.tick_table import merged_ticks

        # one tick table for both drawings: reading the cache is the slow part
        ticks = merged_ticks(result.instruments, args.start, args.end, data_dir=data_dir)
        for kind, target in drawings:
            if not target:
                continue
            try:
                path = getattr(result, kind)(target, ticks)
            except PlotUnavailable as exc:
                raise UsageError(str(exc)) from None
            out.print(f"{kind} written to {path}")

"""The ``tovik-backtest`` command line: demo, run, fetch, sample-data, sweep."""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import os
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from rich import box
from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    TextColumn,
    TimeRemainingColumn,
)
from rich.table import Table

EXIT_USAGE = 2

out = Console()
if not out.is_terminal:
    out = Console(width=120)  # piped or captured: no terminal width to fit, so don't squeeze tables


class UsageError(Exception):
    """A command was given arguments it cannot use; reported as one line, exit code 2."""


class _Parser(argparse.ArgumentParser):
    # One clear line on bad arguments, never a usage dump or a traceback.
    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message}\n")
        raise SystemExit(EXIT_USAGE)


def _instrument(text: str) -> Any:
    from tovik_backtest.runner import BacktestError, parse_instrument

    try:
        return parse_instrument(text)
    except BacktestError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _date(text: str) -> str:
    from tovik_backtest.utils import format_to_dt

    try:
        format_to_dt(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} (use YYYY-MM-DD)") from None
    return text


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def load_strategy_class(target: str) -> type:
    """Import "module:Class" (or "path/to/file.py:Class") and check it is a Strategy."""
    from tovik_backtest.runner import Strategy

    module_name, sep, class_name = target.partition(":")
    if not sep or not module_name or not class_name:
        raise UsageError(f"--strategy must be written module:Class, not {target!r}")
    try:
        if module_name.endswith(".py"):
            path = Path(module_name)
            if not path.is_file():
                raise UsageError(f"strategy file not found: {module_name}")
            loader_spec = importlib.util.spec_from_file_location(path.stem, path)
            if loader_spec is None or loader_spec.loader is None:
                raise UsageError(f"cannot load strategy file {module_name}")
            module = importlib.util.module_from_spec(loader_spec)
            loader_spec.loader.exec_module(module)
        else:
            module = importlib.import_module(module_name)
    except ImportError as exc:
        raise UsageError(f"cannot import {module_name}: {exc}") from None
    cls = getattr(module, class_name, None)
    if not isinstance(cls, type) or not issubclass(cls, Strategy):
        raise UsageError(f"{target} is not a Strategy subclass")
    return cls


def _common_run_args(p: argparse.ArgumentParser, required: bool = True) -> None:
    p.add_argument("--instrument", "-i", action="append", type=_instrument, required=required,
                   metavar="CODE:MARKET", help="instrument, e.g. 2330:Stock or TXFR1:Future (repeatable)")
    p.add_argument("--start", type=_date, required=required, help="first day, YYYY-MM-DD")
    p.add_argument("--end", type=_date, required=required, help="last day, YYYY-MM-DD")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tovik-backtest", description="Tick-level back-tests on a simulated exchange.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    demo = sub.add_parser("demo", help="run the sample strategy on generated sample data")
    demo.add_argument("--days", type=_positive_int, default=5, help="trading days of sample data")
    demo.add_argument("--seed", type=_int, default=0, help="seed of the sample data")
    demo.add_argument("--out", type=Path, help="folder to save reports, trades and summary")
    demo.add_argument("--plot", type=Path, metavar="FILE.png", help="draw prices, fills and P&L")

    run = sub.add_parser("run", help="back-test a strategy on cached (or downloaded) ticks")
    _common_run_args(run)
    run.add_argument("--backfill-start", type=_date, help="first day of the warm-up period")
    run.add_argument("--backfill-end", type=_date, help="last day of the warm-up period")
    run.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    run.add_argument("--data-dir", type=Path, help="tick cache folder (default: the package's)")
    run.add_argument("--out", type=Path, help="folder to save reports, trades and summary")
    run.add_argument("--plot", type=Path, metavar="FILE.png", help="draw prices, fills and P&L")
    run.add_argument("--login", action="store_true",
                     help="log in to the broker (SJ_API_KEY, SJ_SECRET_KEY) to download missing days")

    fetch = sub.add_parser("fetch", help="fill the tick cache from the broker")
    _common_run_args(fetch)
    fetch.add_argument("--data-dir", type=Path, help="tick cache folder (default: the package's)")

    sample = sub.add_parser("sample-data", help="write synthetic tick cache files")
    sample.add_argument("--out", type=Path, required=True, help="data folder to write into")
    sample.add_argument("--days", type=_positive_int, default=5, help="trading days")
    sample.add_argument("--seed", type=_int, default=0, help="random seed")

    try:
        from tovik_backtest import sweeps as sweep_module
    except ImportError:
        sweep_module = None  # type: ignore[assignment]
    if sweep_module is not None and hasattr(sweep_module, "add_sweep_parser"):
        sweep_module.add_sweep_parser(sub)
    return parser


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


def run_with_progress(backtest: Any) -> Any:
    """Run a Backtest with a progress bar of ticks done out of the total."""
    import time

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
        result = backtest.run()
        bar.update(task, completed=result.ticks + result.backfilling_ticks,
                   total=result.ticks + result.backfilling_ticks, rate=result.ticks_per_second)
    return result


def print_summary(result: Any) -> None:
    summary = result.summary()
    table = Table(title="Back-test summary", caption="cancels: made by the exchange (IOC/FOK)",
                  box=box.SIMPLE_HEAD)
    for name in ("code", "market", "ticks", "orders", "fills", "cancels", "net", "realised", "unrealised"):
        table.add_column(name, justify="left" if name in ("code", "market") else "right")
    for code, s in summary["instruments"].items():
        table.add_row(code, s["market"], f"{s['ticks']:,}", str(s["orders"]), str(s["fills"]),
                      str(s["exchange_cancels"]), str(s["net_position"]),
                      f"{s['realized_pnl']:,.2f}", f"{s['unrealized_pnl']:,.2f}")
    o = summary["overall"]
    table.add_row("[bold]overall", "", f"{o['ticks']:,}", str(o["orders"]), str(o["fills"]),
                  str(o["exchange_cancels"]), "", f"{o['realized_pnl']:,.2f}", f"{o['unrealized_pnl']:,.2f}")
    out.print(table)
    out.print(f"P&L {o['pnl']:,.2f} points · {o['ticks']:,} ticks in {o['wall_seconds']:.2f} s "
              f"({o['ticks_per_second']:,.0f} ticks/s)")


def _finish(result: Any, args: argparse.Namespace, data_dir: Path | None) -> None:
    print_summary(result)
    if getattr(args, "out", None):
        folder = result.save(args.out)
        out.print(f"saved reports, trades and summary to {folder}")
    if getattr(args, "plot", None):
        from tovik_backtest.plot import PlotUnavailable

        try:
            ticks = _load_ticks(result, args, data_dir)
            path = result.plot(args.plot, ticks)
        except PlotUnavailable as exc:
            raise UsageError(str(exc)) from None
        out.print(f"plot written to {path}")


def _load_ticks(result: Any, args: argparse.Namespace, data_dir: Path | None) -> Any:
    from tovik_backtest.constant import BASIC_INFO
    from tovik_backtest.modules.ticker.ticker import Ticker
    from tovik_backtest.runner import _data_dir, _quiet_console

    with _data_dir(data_dir or BASIC_INFO.data_dir), _quiet_console(True):
        ticker = Ticker(None)
        return ticker._Ticker__process_and_combine_ticks(
            [i.as_dict() for i in result.instruments], args.start, args.end
        )


def cmd_demo(args: argparse.Namespace) -> int:
    from tovik_backtest.runner import Backtest
    from tovik_backtest.sample_data import SAMPLE_INSTRUMENTS, sample_period, write_sample_data
    from tovik_backtest.sample_strategy import MovingAverageCross

    with tempfile.TemporaryDirectory(prefix="tovik-demo-") as tmp:
        data_dir = Path(tmp)
        files = write_sample_data(data_dir, days=args.days, seed=args.seed)
        start, end = sample_period(args.days)
        args.start, args.end = start, end
        out.print(f"sample data: {len(files)} synthetic cache files, {start} to {end}, in {data_dir}")
        backtest = Backtest(
            MovingAverageCross(),
            [f"{p.code}:{p.market}" for p in SAMPLE_INSTRUMENTS],
            start,
            end,
            data_dir=data_dir,
        )
        result = run_with_progress(backtest)
        _finish(result, args, data_dir)
    return 0


def _login_from_env() -> Any:
    key, secret = os.environ.get("SJ_API_KEY"), os.environ.get("SJ_SECRET_KEY")
    if not key or not secret:
        raise UsageError("set SJ_API_KEY and SJ_SECRET_KEY to log in to the broker")
    import shioaji as sj

    api = sj.Shioaji()
    api.login(api_key=key, secret_key=secret)
    return api


def cmd_run(args: argparse.Namespace) -> int:
    from tovik_backtest.runner import Backtest

    cls = load_strategy_class(args.strategy)
    api = _login_from_env() if args.login else None
    backtest = Backtest(
        cls(),
        args.instrument,
        args.start,
        args.end,
        backfill_start=args.backfill_start,
        backfill_end=args.backfill_end,
        api=api,
        data_dir=args.data_dir,
    )
    result = run_with_progress(backtest)
    _finish(result, args, args.data_dir)
    return 0


def cmd_fetch(args: argparse.Namespace) -> int:
    api = _login_from_env()
    from tovik_backtest.modules.ticker.ticker import Ticker
    from tovik_backtest.runner import _data_dir

    with _data_dir(args.data_dir):
        ticker = Ticker(api)
        for inst in args.instrument:
            table = ticker.get_ticks_df(inst.code, inst.market, args.start, args.end)
            out.print(f"{inst.code}: {table.height:,} ticks cached")
    return 0


def cmd_sample_data(args: argparse.Namespace) -> int:
    from tovik_backtest.sample_data import sample_period, write_sample_data

    files = write_sample_data(args.out, days=args.days, seed=args.seed)
    start, end = sample_period(args.days)
    out.print(f"wrote {len(files)} synthetic tick cache files ({start} to {end}) under {args.out}")
    return 0


COMMANDS = {"demo": cmd_demo, "run": cmd_run, "fetch": cmd_fetch, "sample-data": cmd_sample_data}


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    handler = COMMANDS.get(args.command) or getattr(args, "handler", None)
    from tovik_backtest.runner import BacktestError

    try:
        return int(handler(args) or 0)
    except (UsageError, BacktestError) as exc:
        sys.stderr.write(f"{parser.prog}: error: {exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write(f"{parser.prog}: interrupted\n")
        return 130


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())

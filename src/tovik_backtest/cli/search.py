"""``tovik-backtest search``: the command-line half of a parameter search (``--param``
ranges, the progress bar, the trials' and folds' tables)."""

from __future__ import annotations

import argparse
import re
import sys
import time
from typing import TYPE_CHECKING, Any

import polars as pl
from rich.markup import escape
from rich.table import Table

from tovik_backtest.cli.common import (
    add_config_args,
    backend_text,
    config_from_args,
    int_arg,
    out,
    positive_int_arg,
    runs_bar,
)
from tovik_backtest.cli.sweep import parse_param, parse_value
from tovik_backtest.errors import RayUnavailable, SweepError, UsageError
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.searches.choices import OBJECTIVES, SAMPLERS
from tovik_backtest.stops import ignored_interrupts
from tovik_backtest.sweeps import import_ray

if TYPE_CHECKING:
    from tovik_backtest.searches.driver import SearchInterrupted
    from tovik_backtest.searches.result import SearchResult

__all__ = ["add_parser", "cmd_search", "parse_range"]

_RANGE = re.compile(r"^\s*([^=\s]+)\s*=\s*([^.]+(?:\.\d+)?)\s*\.\.\s*(.+?)\s*$")


def parse_range(text: str) -> tuple[str, Any]:
    """NAME=LOW..HIGH (whole numbers or decimals) as (name, (low, high)), or
    NAME=V1,V2,... as (name, [values])."""
    match = _RANGE.match(text)
    if match is None:
        return parse_param(text)
    name, low_text, high_text = match.groups()
    try:
        low, high = parse_value(low_text), parse_value(high_text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"--param {text!r}: {exc}") from None
    for end in (low, high):
        if isinstance(end, bool) or not isinstance(end, (int, float)):
            raise argparse.ArgumentTypeError(f"--param {text!r}: a range runs between two numbers, "
                                             "e.g. fast=5..60 or ratio=0.1..0.9")
    if not low < high:
        raise argparse.ArgumentTypeError(f"--param {text!r}: the range is empty or reversed")
    return name, (low, high)


def _window(text: str) -> str | int:
    if text in ("anchored", "rolling"):
        return text
    value = int_arg(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"--window takes anchored, rolling or a number of days >= 1: {text}")
    return value


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "search", help="search a strategy's parameters with Optuna, optionally walk-forward",
        description="Each trial is a back-test of the same configuration on Ray or a local process "
        "pool; trials are asked a batch at a time and told in trial order.")
    p.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    p.add_argument("--param", "-p", action="append", type=parse_range, default=[],
                   metavar="NAME=LOW..HIGH|V1,V2,...", help="range or values of one parameter (repeatable)")
    add_config_args(p, example="2330:Stock",
                    data_dir_help="tick cache folder, the same path on every node (default: the package's)")
    p.add_argument("--trials", type=positive_int_arg, default=100, help="trials (per fold) (default 100)")
    p.add_argument("--objective", choices=OBJECTIVES, default="net_pnl", help="what to maximise")
    p.add_argument("--sampler", choices=SAMPLERS, default="tpe", help="Optuna sampler (default tpe)")
    p.add_argument("--batch", type=positive_int_arg, default=8,
                   help="trials asked, run in parallel and told together (default 8)")
    p.add_argument("--walk-forward", type=positive_int_arg, metavar="FOLDS",
                   help="cut the period into FOLDS + 1 parts by trading days and score each fold out of sample")
    p.add_argument("--window", type=_window, default="anchored", metavar="anchored|rolling|DAYS",
                   help="in-sample days of a fold: all before it, the one part before, or DAYS trading days")
    p.add_argument("--out", help="new or empty folder for the study, its tables and the folds' results")
    p.add_argument("--resume", action="store_true", help="continue the interrupted search saved in --out")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--address", help="Ray cluster address (default: RAY_ADDRESS, else a local Ray instance)")
    where.add_argument("--local-processes", type=positive_int_arg, metavar="N",
                       help="run on N local processes instead of Ray")
    p.add_argument("--top", type=positive_int_arg, default=20, metavar="N",
                   help="rows of the trials' table to print (default 20)")
    p.set_defaults(handler=cmd_search)


def cmd_search(args: argparse.Namespace) -> int:
    from tovik_backtest.searches.driver import SearchInterrupted, search

    space: dict[str, Any] = {}
    for name, values in args.param:
        if name in space:
            raise UsageError(f"--param {name} is given more than once")
        space[name] = values
    if not space:
        raise UsageError("give at least one --param NAME=LOW..HIGH (or NAME=V1,V2,...) to search")
    if args.resume and args.out is None:
        raise UsageError("--resume needs --out, the folder of the search to continue")
    config = config_from_args(args)
    strategy_cls = load_strategy_class(args.strategy)
    if args.local_processes is None:
        try:
            import_ray()
        except RayUnavailable as exc:
            raise UsageError(str(exc)) from None
    where = backend_text(args)
    folds = f", {args.walk_forward} walk-forward folds" if args.walk_forward else ""
    out.print(f"search: {args.trials} trials{' a fold' if folds else ''} of {args.strategy} by "
              f"{args.objective} ({args.sampler}){folds} on {where}")
    bar, report = runs_bar("search", "trials", None)

    started = time.perf_counter()
    try:
        result = search(strategy_cls, space, config=config, trials=args.trials, objective=args.objective,
                        walk_forward=args.walk_forward, window=args.window, sampler=args.sampler,
                        batch=args.batch, address=args.address, local_processes=args.local_processes,
                        out=args.out, resume=args.resume, progress=report)
    except (SweepError, RayUnavailable) as exc:
        raise UsageError(str(exc)) from None
    except SearchInterrupted as stop:
        bar.stop()
        with ignored_interrupts():
            sys.stderr.write(_interrupted_line(stop) + "\n")
        return 143 if stop.terminated else 130
    finally:
        bar.stop()
    return _show(result, list(space), args, time.perf_counter() - started)


def _interrupted_line(stop: SearchInterrupted) -> str:
    how = "terminated (SIGTERM)" if stop.terminated else "interrupted"
    line = f"search {how}: {stop.done} of {stop.total} trials finished"
    if stop.out is None:
        return line + "; nothing was saved (no --out), so it cannot be resumed"
    return f"{line}, saved in {stop.out}; give the same command again with --resume to go on"


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:,.2f}"
    return escape(str(value))


def _show(result: SearchResult, names: list[str], args: argparse.Namespace, seconds: float) -> int:
    ranked = result.table.sort("value", descending=True, nulls_last=True, maintain_order=True)
    view = Table(title=f"Search: {result.table.height} trials ranked by {args.objective}")
    columns = [*(["fold"] if result.folds is not None else []), "trial", *names, "value", "net_pnl",
               "sharpe", "round_trips"]
    for column in columns:
        view.add_column(column, justify="right", no_wrap=True)
    for row in ranked.head(args.top).iter_rows(named=True):
        view.add_row(*(_cell(row[c]) for c in columns))
    out.print(view)
    failed = int(result.table["error"].is_not_null().sum())
    if failed:
        first = result.table.filter(pl.col("error").is_not_null())["error"][0]
        out.print(f"[red]{failed} trials had no value[/red], e.g.: {escape(first)}")
    code = 0 if result.best is not None else 1
    if result.folds is not None:
        folds = Table(title="Walk-forward folds (in-sample: searched on; out-of-sample: scored on)")
        shown = ["fold", "is_start", "is_end", "oos_start", "oos_end", *names, "is_value", "oos_value",
                 "oos_net_pnl", "error"]
        for column in shown:
            folds.add_column(column, justify="right", no_wrap=column != "error")
        for row in result.folds.iter_rows(named=True):
            folds.add_row(*(_cell(row[c]) for c in shown))
        out.print(folds)
        if result.headline is None:
            out.print("[red]no out-of-sample headline: a fold has no result (see its error)[/red]")
            code = 1
        else:
            h = result.headline
            out.print(f"out of sample ({h['folds']} folds, {h['days']} trading days): net P&L "
                      f"{_cell(h['net_pnl'])} TWD · Sharpe {_cell(h['sharpe'])} · max drawdown "
                      f"{_cell(h['max_drawdown'])} TWD · {args.objective} {_cell(h['objective'])}")
    if result.best is not None:
        out.print(f"best parameters{' of the last fold' if result.folds is not None else ''}: "
                  + ", ".join(f"{k}={v!r}" for k, v in result.best.items())
                  + f" ({args.objective} {_cell(result.best_value)}) · {seconds:.1f} s")
    else:
        out.print("[red]no trial gave a value to rank by[/red]")
    if args.out is not None:
        out.print(f"saved the study and its tables under {args.out}")
    return code

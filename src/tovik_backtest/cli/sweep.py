"""``tovik-backtest sweep``: the command-line half of a parameter sweep (``--param``
parsing, the progress bar and the ranked table)."""

from __future__ import annotations

import argparse
import math
import re
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import polars as pl
from rich.markup import escape
from rich.table import Table

from tovik_backtest.cli.common import add_config_args, backend_text, config_from_args, out, positive_int_arg, runs_bar
from tovik_backtest.errors import RayUnavailable, SweepError, UsageError
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.stops import ignored_interrupts
from tovik_backtest.sweeps import RESERVED_COLUMNS, SweepInterrupted, import_ray, sweep
from tovik_backtest.sweeps.grid import same_value

__all__ = ["add_parser", "cmd_sweep", "parse_param", "parse_value", "print_table"]


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
        if any(same_value(value, seen) for seen in values):
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


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "sweep",
        help="back-test every combination of strategy parameters, on Ray or a process pool",
        description="Back-test every combination of the --param values as its own run and "
        "rank the runs by net P&L (TWD). Runs go to a local Ray instance by default, to a Ray cluster "
        "with --address (or RAY_ADDRESS), or to a local process pool with --local-processes.",
    )
    p.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    p.add_argument("--param", "-p", action="append", type=parse_param, default=[],
                   metavar="NAME=V1,V2,...", help="values of one strategy parameter (repeatable)")
    add_config_args(p, example="2330:Stock",
                    data_dir_help="tick cache folder, the same path on every node (default: the package's)")
    p.add_argument("--out", type=Path, help="new or empty folder for sweep.csv and each run's result")
    p.add_argument("--resume", action="store_true",
                   help="continue the interrupted sweep saved in --out: run only the runs it lacks")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--address", help="Ray cluster address (default: RAY_ADDRESS, else a local "
                       "Ray instance)")
    where.add_argument("--local-processes", type=positive_int_arg, metavar="N",
                       help="run on N local processes instead of Ray")
    p.add_argument("--top", type=positive_int_arg, default=30, metavar="N",
                   help="rows of the ranked table to print (default 30)")
    p.set_defaults(handler=cmd_sweep)


def cmd_sweep(args: argparse.Namespace) -> int:
    grid: dict[str, list[Any]] = {}
    for name, values in args.param:
        if name in grid:
            raise UsageError(f"--param {name} is given more than once")
        grid[name] = values
    config = config_from_args(args)
    strategy_cls = load_strategy_class(args.strategy)
    if args.local_processes is None:
        try:
            import_ray()
        except RayUnavailable as exc:
            raise UsageError(str(exc)) from None
    if args.resume and args.out is None:
        raise UsageError("--resume needs --out, the folder of the sweep to continue")
    runs = math.prod(len(v) for v in grid.values())
    where = backend_text(args)
    out.print(f"sweep: {runs} runs of {args.strategy} on {where}")
    bar, report = runs_bar("sweep", "runs", runs)

    started = time.perf_counter()
    try:
        table = sweep(strategy_cls, grid, config=config, address=args.address,
                      local_processes=args.local_processes, out=args.out, progress=report,
                      resume=args.resume)
    except (SweepError, RayUnavailable) as exc:
        raise UsageError(str(exc)) from None
    except SweepInterrupted as stop:
        bar.stop()
        with ignored_interrupts():
            sys.stderr.write(_interrupted_line(stop) + "\n")
        return 143 if stop.terminated else 130
    finally:
        bar.stop()
    print_table(table, list(grid), top=args.top)
    failed = int(table["error"].is_not_null().sum())
    out.print(f"{table.height} runs in {time.perf_counter() - started:.1f} s"
                  + (f", [red]{failed} failed[/red]" if failed else ""))
    if args.out is not None:
        out.print(f"saved the table and each run's result under {args.out}")
    return 1 if failed else 0


def _interrupted_line(stop: SweepInterrupted) -> str:
    how = "terminated (SIGTERM)" if stop.terminated else "interrupted"
    line = f"sweep {how}: {stop.done} of {stop.total} runs finished"
    if stop.out is None:
        return line + "; nothing was saved (no --out), so it cannot be resumed"
    return (f"{line}, saved as a partial table in {stop.out}; to run the other "
            f"{stop.total - stop.done}, give the same command again with --resume")


def print_table(table: pl.DataFrame, names: Sequence[str], top: int = 30) -> None:
    shown = table.head(top)
    headers = ["#", *names, "net P&L TWD", "fills", "ticks", "ticks/s"]
    body: list[list[str]] = []
    for rank, row in enumerate(shown.iter_rows(named=True), start=1):
        cells = [str(rank)] + [str(row[name]) for name in names]
        if row["error"] is None:
            cells += [f"{row['net_pnl']:,.2f}", str(row["fills"]), f"{row['ticks']:,}",
                      f"{row['ticks_per_second']:,.0f}"]
        else:
            cells += ["", "", "", ""]
        body.append(cells)
    view = Table(title=f"Sweep: {table.height} runs ranked by net P&L")
    for header in headers:
        view.add_column(header, justify="right", no_wrap=True)
    failures = shown["error"].is_not_null().any()
    if failures:
        # Figures keep their width; the error column gets what is left and is cut short.
        used = sum(max(len(h), *(len(c[i]) for c in body)) + 3 for i, h in enumerate(headers))
        view.add_column("error", no_wrap=True, overflow="ellipsis",
                        max_width=max(12, out.width - used - 4))
    for cells, error in zip(body, shown["error"], strict=True):
        cells = [escape(c) for c in cells]
        if failures:
            cells.append(f"[red]{escape(error)}[/red]" if error is not None else "")
        view.add_row(*cells)
    out.print(view)
    if table.height > shown.height:
        out.print(f"... and {table.height - shown.height} more runs")
    # The table cuts errors short; each distinct one is shown whole, once.
    errors = table.filter(pl.col("error").is_not_null()).group_by("error", maintain_order=True).len()
    for error, count in errors.head(5).iter_rows():
        runs = "1 run" if count == 1 else f"{count} runs"
        out.print(f"[red]{runs} failed:[/red] {escape(error)}")
    if errors.height > 5:
        out.print(f"... and {errors.height - 5} more distinct errors (see the error column)")

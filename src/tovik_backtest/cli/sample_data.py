"""``tovik-backtest sample-data``: write synthetic tick cache files."""

from __future__ import annotations

import argparse
import datetime as dt
import os
from pathlib import Path
from typing import Any

from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn

from tovik_backtest.cli.common import int_arg, out, positive_int_arg
from tovik_backtest.market import yesterday_taipei
from tovik_backtest.sample_data import trading_days, write_sample_data

__all__ = ["add_parser", "cmd_sample_data", "write_with_progress"]

_START = "2024-01-02"


def add_parser(sub: Any) -> None:
    p = sub.add_parser("sample-data", help="write synthetic tick cache files")
    p.add_argument("--out", type=Path, required=True, help="data folder to write into")
    p.add_argument("--days", type=positive_int_arg, default=5,
                   help=f"trading days from {_START} on, up to yesterday (Taipei)")
    p.add_argument("--seed", type=int_arg, default=0, help="random seed")
    p.set_defaults(handler=cmd_sample_data)


def write_with_progress(data_dir: str | os.PathLike[str], days: int, seed: int
                        ) -> tuple[list[Path], str, str]:
    """Write the sample data with a progress bar (one line a day when not a terminal);
    say so when the days asked for run past yesterday. Returns files, first and last day."""
    until = yesterday_taipei()
    wanted = trading_days(days, _START, until)
    if len(wanted) < days:
        out.print(f"only {len(wanted)} of the {days} trading days asked for fit between {_START} "
                  f"and yesterday ({until.isoformat()}, Taipei): the sample data stops there",
                  markup=False, highlight=False, soft_wrap=True)
    if out.is_terminal:
        with Progress(TextColumn("[bold]sample data"), BarColumn(), MofNCompleteColumn(),
                      TextColumn("{task.fields[day]}"), console=out, transient=True) as bar:
            task = bar.add_task("days", total=len(wanted), day="")
            files = write_sample_data(
                data_dir, days=len(wanted), seed=seed, start=_START, until=until,
                progress=lambda done, total, day: bar.update(task, completed=done,
                                                             day=day.isoformat()))
    else:
        def line(done: int, total: int, day: dt.date) -> None:
            out.print(f"sample data: {day.isoformat()} written ({done}/{total})",
                      markup=False, highlight=False, soft_wrap=True)

        files = write_sample_data(data_dir, days=len(wanted), seed=seed, start=_START,
                                  until=until, progress=line)
    return files, _START, wanted[-1].isoformat()


def cmd_sample_data(args: argparse.Namespace) -> int:
    files, start, end = write_with_progress(args.out, args.days, args.seed)
    out.print(f"wrote {len(files)} synthetic tick cache files ({start} to {end}) under {args.out}")
    return 0

"""``tovik-backtest demo``: the sample strategy on freshly generated sample data."""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path
from typing import Any

from tovik_backtest.cli.common import (
    add_money_args,
    finish,
    int_arg,
    money_kwargs,
    out,
    positive_int_arg,
    run_with_progress,
)
from tovik_backtest.cli.sample_data import write_with_progress
from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import SAMPLE_INSTRUMENTS
from tovik_backtest.sample_strategy import MovingAverageCross


def add_parser(sub: Any) -> None:
    p = sub.add_parser("demo", help="run the sample strategy on generated sample data")
    p.add_argument("--days", type=positive_int_arg, default=5,
                   help="trading days of sample data, up to yesterday (Taipei)")
    p.add_argument("--seed", type=int_arg, default=0, help="seed of the sample data")
    p.add_argument("--out", type=Path, help="folder to save reports, trades and summary")
    p.add_argument("--plot", type=Path, metavar="FILE.png", help="draw prices, fills, equity and drawdown")
    p.add_argument("--report", type=Path, metavar="FILE.html",
                   help="write a self-contained interactive HTML report (needs plotly)")
    add_money_args(p)
    p.set_defaults(handler=cmd_demo)


def cmd_demo(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory(prefix="tovik-demo-") as tmp:
        data_dir = Path(tmp)
        files, start, end = write_with_progress(data_dir, args.days, args.seed)
        args.start, args.end = start, end
        out.print(f"sample data: {len(files)} synthetic cache files, {start} to {end}, in {data_dir}")
        backtest = Backtest(
            MovingAverageCross(),
            [f"{p.code}:{p.market}" for p in SAMPLE_INSTRUMENTS],
            start,
            end,
            data_dir=data_dir,
            **money_kwargs(args),
        )
        result = run_with_progress(backtest)
        finish(result, args, data_dir)
    return 0

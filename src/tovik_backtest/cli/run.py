"""``tovik-backtest run``: back-test a strategy class on cached (or downloaded) ticks."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tovik_backtest.broker import login_from_env
from tovik_backtest.cli.common import (
    add_backfill_args,
    add_money_args,
    add_period_args,
    finish,
    money_kwargs,
    run_with_progress,
)
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.runner import Backtest


def add_parser(sub: Any) -> None:
    p = sub.add_parser("run", help="back-test a strategy on cached (or downloaded) ticks")
    add_period_args(p)
    add_backfill_args(p)
    p.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    p.add_argument("--data-dir", type=Path, help="tick cache folder (default: the package's)")
    p.add_argument("--out", type=Path, help="folder to save reports, trades and summary")
    p.add_argument("--plot", type=Path, metavar="FILE.png", help="draw prices, fills, equity and drawdown")
    p.add_argument("--report", type=Path, metavar="FILE.html",
                   help="write a self-contained HTML report (needs matplotlib)")
    add_money_args(p)
    p.add_argument("--login", action="store_true",
                   help="log in to the broker (SJ_API_KEY, SJ_SECRET_KEY) to download missing days")
    p.set_defaults(handler=cmd_run)


def cmd_run(args: argparse.Namespace) -> int:
    cls = load_strategy_class(args.strategy)
    api = login_from_env() if args.login else None
    backtest = Backtest(
        cls(),
        args.instrument,
        args.start,
        args.end,
        backfill_start=args.backfill_start,
        backfill_end=args.backfill_end,
        api=api,
        data_dir=args.data_dir,
        **money_kwargs(args),
    )
    result = run_with_progress(backtest)
    finish(result, args, args.data_dir)
    return 0

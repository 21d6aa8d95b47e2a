"""``tovik-backtest fetch``: fill the tick cache from the broker."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tovik_backtest.broker import login_from_env
from tovik_backtest.cli.common import add_period_args, out
from tovik_backtest.constant import BASIC_INFO


def add_parser(sub: Any) -> None:
    p = sub.add_parser("fetch", help="fill the tick cache from the broker")
    add_period_args(p)
    p.add_argument("--data-dir", type=Path, help="tick cache folder (default: the package's)")
    p.set_defaults(handler=cmd_fetch)


def cmd_fetch(args: argparse.Namespace) -> int:
    api = login_from_env()
    from tovik_backtest.modules.ticker.ticker import Ticker

    with BASIC_INFO.override(args.data_dir):
        ticker = Ticker(api)
        for inst in args.instrument:
            table = ticker.get_ticks_df(inst.code, inst.market, args.start, args.end)
            out.print(f"{inst.code}: {table.height:,} ticks cached")
    return 0

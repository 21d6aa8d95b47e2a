"""``tovik-backtest sample-data``: write synthetic tick cache files."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tovik_backtest.cli.common import int_arg, out, positive_int_arg
from tovik_backtest.sample_data import sample_period, write_sample_data


def add_parser(sub: Any) -> None:
    p = sub.add_parser("sample-data", help="write synthetic tick cache files")
    p.add_argument("--out", type=Path, required=True, help="data folder to write into")
    p.add_argument("--days", type=positive_int_arg, default=5, help="trading days")
    p.add_argument("--seed", type=int_arg, default=0, help="random seed")
    p.set_defaults(handler=cmd_sample_data)


def cmd_sample_data(args: argparse.Namespace) -> int:
    files = write_sample_data(args.out, days=args.days, seed=args.seed)
    start, end = sample_period(args.days)
    out.print(f"wrote {len(files)} synthetic tick cache files ({start} to {end}) under {args.out}")
    return 0

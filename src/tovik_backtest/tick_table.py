"""The merged tick table of a period, as a back-test replays it, read from the cache."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest import utils
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.instruments import parse_instrument

__all__ = ["merged_ticks"]


def merged_ticks(
    instruments: Sequence[Any], start: str, end: str, *, data_dir: str | Path | None = None
) -> pl.DataFrame:
    """The ticks of ``instruments`` over the period from the cache, merged in time order
    (what a back-test replays; no broker login, so only cached days)."""
    from tovik_backtest.modules.ticker.ticker import Ticker

    codes = [parse_instrument(i).as_dict() for i in instruments]
    with BASIC_INFO.override(data_dir), utils.quiet_console(True):
        table: pl.DataFrame = Ticker(None).merge_ticks(codes, start, end)
        return table

"""The exchanges' own refusals of a new order or a new price, as the order desk applies them.

- Price limits: a stock or ETF trades within 10% of the previous trading day's close, a
  future within 10% of the previous trading day's last price (``market.price_limits``).
  The reference is the last tick of the instrument's cached file of the previous trading
  day; when the cache lacks that day (or holds no tick of it) the limits of that
  instrument-day are not checked, and the run says which ones.
- Call auctions of stocks (08:30 up to 09:00, 13:25 up to 13:30): only limit ROD orders.
- Futures: a market order (MKT) is taken only as IOC or FOK.
- Odd lots: 1 to 999 shares, at a limit price.
- A Cash sell of more shares than the strategy holds (less what its resting Cash sells
  already offer) is refused, unless it is a sell-first day trade.
"""

from __future__ import annotations

import datetime as dt
import os
from pathlib import Path
from typing import Any

import numpy as np
import polars as pl

from tovik_backtest import market as mk
from tovik_backtest import tick_cache

__all__ = ["ExchangeRules"]

_ODD_LOTS = ("Odd", "IntradayOdd")
_MARKET_PRICES = ("MKT", "MKP")


def _last_close(data_dir: str | os.PathLike[str], code: str, day: dt.date) -> float | None:
    """The close of the last tick of ``code`` in the cache's file of ``day``; None when
    the file is missing, holds no tick or an impossible close."""
    csv = tick_cache.tick_file(data_dir, code, day.isoformat())
    try:
        stat = os.stat(csv)
    except OSError:
        return None
    kept = tick_cache.read_table_copy(data_dir, csv, stat)
    try:
        if kept is not None:
            ts, close = np.asarray(kept.rows["ts"]), np.asarray(kept.rows["close"])
        else:
            table = pl.read_csv(Path(csv), schema=tick_cache.TICK_SCHEMA, columns=["ts", "close"])
            ts, close = table["ts"].to_numpy(), table["close"].to_numpy()
    except (OSError, ValueError, pl.exceptions.PolarsError):
        return None  # the run's own reading of the file names the damage
    if not len(ts):
        return None
    # the latest tick; of ticks stamped alike, the one stored last
    last = float(close[len(ts) - 1 - int(np.argmax(ts[::-1]))])
    return last if np.isfinite(last) and 0 < last <= mk.price_range("Future", code)[1] else None


class ExchangeRules:
    """The refusals of one run, with the reference prices it has looked up."""

    def __init__(self, data_dir: str | os.PathLike[str], stats: dict[str, Any]) -> None:
        self.data_dir = data_dir
        self.stats = stats  # code -> the run's figures, which list the days not checked
        self._days: dict[tuple[str, int], dt.date] = {}  # (market, session close) -> trading day
        self._limits: dict[tuple[str, dt.date], tuple[float, float] | None] = {}
        self.unchecked: list[tuple[str, dt.date]] = []  # instrument-days whose limits are unknown

    def order_reason(
        self,
        code: str,
        market: str,
        action: str,
        price: float,
        qty: int,
        price_type: str,
        order_type: str,
        order_cond: str,
        order_lot: str,
        now_ns: int | None,
        close_ns: int | None,
    ) -> str | None:
        """Why the exchange refuses the new order, or None. ``close_ns``: the close of the
        session ``now_ns`` is in (both None before the first tick)."""
        if market == "Stock":
            if order_lot in _ODD_LOTS:
                if qty > 999:
                    return f"an odd-lot order takes 1 to 999 shares, not {qty}: order whole lots as a Common order"
                if price_type != "LMT":
                    return "odd-lot orders are limit orders: give a price and price_type='LMT'"
            if now_ns is not None and mk.in_stock_call_auction(now_ns) and (price_type != "LMT" or order_type != "ROD"):
                return (
                    f"during the call auction (08:30-09:00, 13:25-13:30) only ROD limit orders are "
                    f"taken, not a {price_type} {order_type} order"
                )
        elif price_type == "MKT" and order_type not in ("IOC", "FOK"):
            return f"a futures market order must be IOC or FOK, not {order_type}"
        if price_type == "LMT":
            return self.price_reason(code, market, price, now_ns, close_ns)
        return None

    @staticmethod
    def cash_sell_reason(code: str, shares: int, held: int, offered: int) -> str | None:
        """Why a Cash sell of ``shares`` is refused when ``held`` shares are held and
        resting Cash sells already offer ``offered`` of them; None when it is covered."""
        if shares <= held - offered:
            return None
        free = max(held - offered, 0)
        return (
            f"a Cash sell of {shares:,} shares of {code} needs shares held: {free:,} are free "
            f"({held:,} held, {offered:,} offered by resting Cash sells); sell first as a day "
            "trade with daytrade_short=True, or use ShortSelling"
        )

    def price_reason(
        self, code: str, market: str, price: float, now_ns: int | None, close_ns: int | None
    ) -> str | None:
        """Why a limit price is outside the day's price limits, or None (also when the
        limits are not known)."""
        if now_ns is None or close_ns is None:
            return None
        limits = self._day_limits(code, market, close_ns)
        if limits is None:
            return None
        down, up = limits
        if down <= price <= up:
            return None
        side = "limit-up" if price > up else "limit-down"
        return (
            f"{price:g} is beyond the {side} price of {code} today ({down:g} to {up:g}, within 10% "
            "of the previous trading day's price)"
        )

    def _day_limits(self, code: str, market: str, close_ns: int) -> tuple[float, float] | None:
        day = self._days.get((market, close_ns))
        if day is None:
            day = self._days[(market, close_ns)] = mk.trading_day_of(market, close_ns)
        key = (code, day)
        if key in self._limits:
            return self._limits[key]
        reference = _last_close(self.data_dir, code, mk.previous_trading_day(day))
        limits = None if reference is None else mk.price_limits(market, code, reference)
        self._limits[key] = limits
        if limits is None:
            self.unchecked.append(key)
            listed = getattr(self.stats.get(code), "limits_unchecked", None)
            if listed is not None:
                listed.append(day.isoformat())
        return limits

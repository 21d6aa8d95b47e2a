"""What the order desk's checks cost per order, against the matcher's own add_order.

Figures (orders per second, best of --rounds): limit buys of 2330 placed straight with
Matcher.add_order, and the same orders through the run's OrderDesk, which checks the
fields, the price grid and range, the day's price limits (from a cached previous day),
the call auctions and, for the sells, the shares held. Each order is cancelled at once
so the book stays small. Usage: python benchmarks/bench_order_desk.py [--orders 20000]
"""

from __future__ import annotations

import argparse
import datetime as dt
import tempfile
import time
from pathlib import Path

import polars as pl

from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.instruments import parse_instrument
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.orders import OrderDesk
from tovik_backtest.results import InstrumentStats
from tovik_backtest.tick_cache import TICK_SCHEMA, tick_file


def _ns(day: str, clock: str) -> int:
    moment = dt.datetime.fromisoformat(f"{day} {clock}").replace(tzinfo=dt.UTC)
    return int(moment.timestamp()) * 1_000_000_000


def _cache(folder: Path) -> None:
    path = tick_file(folder, "2330", "2024-01-02")
    path.parent.mkdir(parents=True, exist_ok=True)
    pl.DataFrame(
        {
            "ts": [_ns("2024-01-02", "13:30:00")],
            "close": [582.0],
            "volume": [1],
            "bid_price": [581.0],
            "bid_volume": [1],
            "ask_price": [582.0],
            "ask_volume": [1],
            "tick_type": [1],
        },
        schema=TICK_SCHEMA,
    ).write_csv(path)


def _matcher() -> Matcher:
    m = Matcher(Positions())
    m.set_quiet(True)
    m.route_reports([])
    return m


def direct(n: int) -> float:
    m = _matcher()
    started = time.perf_counter()
    for k in range(n):
        m.add_order("2330", "Stock", "Buy", 580.0 + k % 5, 1, "LMT", "ROD", "Cash", "Common", "Auto")
        m.cancel_order(m.pending_orders[-1]["trade_id"])
    return n / (time.perf_counter() - started)


def desk(n: int, folder: Path, action: str) -> float:
    m = _matcher()
    if action == "Sell":  # shares to sell
        m.positions.set_positions(
            {"code": "2330", "action": "Buy", "quantity": 5, "price": 580.0, "order_lot": "Common"}, "Stock"
        )
    instruments = [parse_instrument("2330:Stock")]
    with BASIC_INFO.override(folder):
        d = OrderDesk(m, instruments, {"2330": InstrumentStats("2330", "Stock")})
    d.now_ns = _ns("2024-01-03", "10:00:00")
    started = time.perf_counter()
    for k in range(n):
        trade_id = d.add(action, "2330", 580.0 + k % 5, 1, "LMT", "ROD", "Cash", "Common", "Auto", None)
        d.cancel(trade_id)
    return n / (time.perf_counter() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        _cache(folder)
        best = {"add_order": 0.0, "desk buy": 0.0, "desk sell": 0.0}
        for _ in range(args.rounds):
            best["add_order"] = max(best["add_order"], direct(args.orders))
            best["desk buy"] = max(best["desk buy"], desk(args.orders, folder, "Buy"))
            best["desk sell"] = max(best["desk sell"], desk(args.orders, folder, "Sell"))
    base = best["add_order"]
    for name, rate in best.items():
        print(f"{name:>10}: {rate:>10,.0f} orders/s (+ cancel)  {rate / base:5.2f}x of add_order")


if __name__ == "__main__":
    main()

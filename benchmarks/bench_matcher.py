"""Matcher throughput on this machine, beside the same work done in plain Python.

Prints µs per add_order (direct, and through the pending-order queue until
``pending_order_queue.join()`` returns), ns per resting order of another instrument
passed over by match_deal for books of 10 to 10,000 such orders, ticks/s on a book of
100,000 resting orders of the tick's own instrument that the ticks do not cross beside
an empty book (the price index makes them cost nothing), and µs per fill on a
fill-heavy stream (position book replaced by a no-op one; the cost of calling its two
methods is measured on its own and taken off in the last row). Console output is
switched off for both sides.

Fair comparison: the C++ and Python runs of each row alternate, so both see the same
noise of a shared machine, and the best run of each is kept. Both sides keep every
record alive, so with the cyclic garbage collector on, a run also pays for the
collector walking a heap that grows with the run's length: time that depends on how
many objects are alive, not on the work per call, and that swamps the difference.
The timed sections therefore run with the collector off on both sides (a full
collection comes before each run); one extra row shows add_order with it on.

Run: PYTHONPATH=src .venv/bin/python benchmarks/bench_matcher.py [--quick]
"""

from __future__ import annotations

import copy
import gc
import queue
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from nanoid import generate

from tovik_backtest import utils
from tovik_backtest.constant import (
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
)
from tovik_backtest.modules.matcher.matcher import Matcher

QUICK = "--quick" in sys.argv


class NullBook:
    """Position book that records nothing: fill timings exclude the book's own work."""

    def set_current_tick(self, tick: dict[str, Any]) -> None:
        pass

    def add_trade_record(self, trade_id: str, code: str, action: Any, quantity: int,
                         price: float | None, timestamp: float | None, trade_status: str) -> None:
        pass

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        pass


class PyMatcher:
    """The same exchange written as a plain Python class: the baseline."""

    def __init__(self, positions: Any) -> None:
        self.pending_orders: list[dict[str, Any]] = []
        self.response_queue: queue.SimpleQueue = queue.SimpleQueue()
        self.pending_order_queue: queue.Queue = queue.Queue()
        self.current_tick_infos: dict[str, dict[str, Any]] = {}
        self.positions = positions
        self.account_info = {"account_id": "BT-00001"}
        self.exchange_info = {"name": "TOVIK Backtest Exchange"}
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self) -> None:
        while True:
            message = self.pending_order_queue.get()
            try:
                if message["action"] == "add":
                    self.add_order(**message["payload"])
            except Exception as e:  # noqa: BLE001 - the intake loop goes on
                utils.console.print(f"[red]接收委託單失敗: {e}[/red]")
            finally:
                self.pending_order_queue.task_done()

    def add_pending_order_queue(self, action: str, payload: dict[str, Any]) -> None:
        self.pending_order_queue.put({"action": action, "payload": payload})

    def add_order(self, code, product_type, action, price, qty, price_type, order_type,
                  order_cond="Cash", order_lot="Common", oc_type="Auto") -> None:
        info = self.current_tick_infos.get(code, {})
        trade = {
            "operation_type": "New",
            "operation_code": SuccessCode.CreateOrder.code,
            "operation_message": SuccessCode.CreateOrder.message,
            "trade_id": generate(size=16),
            "account_id": self.account_info["account_id"],
            "code": code,
            "product_type": product_type,
            "action": Action.from_value(action),
            "price": float(price),
            "quantity": qty,
            "price_type": PriceType.from_value(price_type),
            "order_type": OrderType.from_value(order_type),
            "exchange_ts": info.get("ts"),
        }
        if product_type == "Stock":
            trade["order_cond"] = OrderCond.from_value(order_cond)
            trade["order_lot"] = OrderLot.from_value(order_lot)
        elif product_type == "Future":
            trade["oc_type"] = OCType.from_value(oc_type)
        else:
            raise Exception("不支援的商品類型: " + product_type)  # noqa: TRY002 - as the matcher raises
        self.pending_orders.append(trade)
        response = self.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        self.response_queue.put(response)
        utils.console.print(f"[green]新增委託單 {trade['trade_id']} 成功[/green]")

    def build_order_response(self, trade, operation_type, code_obj) -> dict[str, Any]:
        common = {
            "operation_type": operation_type,
            "operation_code": code_obj.code,
            "operation_message": code_obj.message,
            "trade_id": trade["trade_id"],
            "account_id": self.account_info["account_id"],
            "code": trade["code"],
            "action": trade["action"],
            "price": trade["price"],
            "quantity": trade["quantity"],
            "price_type": trade["price_type"],
            "order_type": trade["order_type"],
            "exchange_ts": self.current_tick_infos.get(trade["code"], {}).get("ts"),
        }
        if trade["product_type"] == "Stock":
            common["order_cond"] = trade["order_cond"]
            common["order_lot"] = trade["order_lot"]
            order = {
                "id": common["trade_id"], "seqno": common["trade_id"], "ordno": common["trade_id"],
                "account": common["account_id"], "code": common["code"], "action": common["action"],
                "price": common["price"], "quantity": common["quantity"],
                "order_type": OrderType.from_value(common["order_type"]),
                "order_cond": OrderCond.from_value(common["order_cond"]),
                "order_lot": OrderLot.from_value(common["order_lot"]),
                "price_type": PriceType.from_value(common["price_type"]),
            }
        elif trade["product_type"] == "Future":
            common["oc_type"] = trade["oc_type"]
            order = {
                "id": common["trade_id"], "seqno": common["trade_id"], "ordno": common["trade_id"],
                "account": common["account_id"], "code": common["code"], "action": common["action"],
                "price": common["price"], "quantity": common["quantity"],
                "order_type": OrderType.from_value(common["order_type"]),
                "price_type": PriceType.from_value(common["price_type"]),
                "oc_type": OCType.from_value(common["oc_type"]),
            }
        else:
            raise Exception("不支援的商品類型: " + str(trade["product_type"]))  # noqa: TRY002 - as the matcher raises
        return {
            "operation_type": OperationType.from_value(common["operation_type"]),
            "operation_status_code": common["operation_code"],
            "operation_message": common["operation_message"],
            "order": order,
            "trade_status": {"id": common["trade_id"], "exchange": self.exchange_info["name"],
                             "exchange_ts": common["exchange_ts"]},
        }

    def build_deal_response(self, trade) -> dict[str, Any]:
        tid = trade["trade_id"]
        report = {
            "id": tid, "seqno": tid, "ordno": tid, "exchange_seqno": tid,
            "broker_id": self.exchange_info["name"], "account": self.account_info["account_id"],
            "action": trade["action"], "code": trade["code"], "quantity": trade["quantity"],
            "price": trade["price"],
        }
        if trade["product_type"] == "Stock":
            report["order_cond"] = OrderCond.from_value(trade["order_cond"])
            report["order_lot"] = OrderLot.from_value(trade["order_lot"])
        elif trade["product_type"] != "Future":
            raise Exception("不支援的商品類型: " + str(trade["product_type"]))  # noqa: TRY002 - as the matcher raises
        report["exchange_ts"] = trade["exchange_ts"]
        return report

    def match_deal(self, code, tick_close, tick_qty, tick_ts) -> None:
        remaining = tick_qty
        for trade in self.pending_orders[:]:
            if trade["code"] != code:
                continue
            action, price = trade["action"], trade["price"]
            order_type, price_type = trade["order_type"], trade["price_type"]
            if remaining == 0:
                return
            price_match = qty_match = False
            deal_qty, deal_price, cancel_info = 0, None, {}
            if price_type == PriceType.LMT:
                if action == Action.BUY.value:
                    price_match = tick_close <= price
                else:
                    price_match = tick_close >= price
                if price_match:
                    deal_price = tick_close
            else:
                price_match, deal_price = True, tick_close
            if order_type == OrderType.ROD:
                if price_match:
                    qty_match = True
                    deal_qty = min(trade["quantity"], remaining)
                    rest_qty = trade["quantity"] - deal_qty
                    trade["quantity"] = rest_qty
                    if rest_qty == 0:
                        self.pending_orders.remove(trade)
            elif order_type == OrderType.IOC:
                rest_qty = trade["quantity"]
                if price_match:
                    qty_match = True
                    deal_qty = min(trade["quantity"], remaining)
                    rest_qty = trade["quantity"] - deal_qty
                if rest_qty > 0:
                    cancelled = copy.deepcopy(trade)
                    cancelled["quantity"], cancelled["exchange_ts"] = rest_qty, tick_ts
                    cancel_info = self.build_order_response(
                        cancelled, OperationType.CANCEL, SuccessCode.OrderBeCancel)
                self.pending_orders.remove(trade)
            elif order_type == OrderType.FOK:
                if price_match:
                    qty_match = remaining >= trade["quantity"]
                    if qty_match:
                        deal_qty = trade["quantity"]
                if not qty_match:
                    cancelled = copy.deepcopy(trade)
                    cancelled["exchange_ts"] = tick_ts
                    cancel_info = self.build_order_response(
                        cancelled, OperationType.CANCEL, SuccessCode.OrderBeCancel)
                self.pending_orders.remove(trade)
            if price_match and qty_match:
                remaining -= deal_qty
                deal = copy.deepcopy(trade)
                deal["quantity"], deal["price"], deal["exchange_ts"] = deal_qty, deal_price, tick_ts
                self.positions.add_trade_record(
                    trade_id=deal["trade_id"], code=deal["code"], action=deal["action"],
                    quantity=deal["quantity"], price=deal["price"], timestamp=deal["exchange_ts"],
                    trade_status="Deal")
                self.response_queue.put(self.build_deal_response(deal))
                self.positions.set_positions(deal, deal["product_type"])
            if cancel_info:
                self.positions.add_trade_record(
                    trade_id=trade["trade_id"], code=trade["code"], action=trade["action"],
                    quantity=cancel_info["order"]["quantity"], price=cancel_info["order"]["price"],
                    timestamp=cancel_info["trade_status"]["exchange_ts"], trade_status="Cancel")
                self.response_queue.put(cancel_info)


REPEATS = 3 if QUICK else 7
COLLECTOR = False  # the cyclic collector's state in timed sections (see the docstring)


def timed_run(fn: Callable[[], float]) -> float:
    """One run of `fn` (which returns its own elapsed seconds) after a full collection."""
    gc.collect()
    if not COLLECTOR:
        gc.disable()
    try:
        return fn()
    finally:
        gc.enable()


def paired(measure: Callable[[Callable[[], Any]], Callable[[], float]], native: Callable[[], Any],
           python: Callable[[], Any], scale: float) -> tuple[float, float]:
    """Best of REPEATS runs of measure(make)() for each side, the sides in turns, times `scale`."""
    best_c = best_p = float("inf")
    for _ in range(REPEATS):
        best_c = min(best_c, timed_run(measure(native)))
        best_p = min(best_p, timed_run(measure(python)))
    return best_c * scale, best_p * scale


def drain(m: Any) -> None:
    q = m.response_queue
    while not q.empty():
        q.get_nowait()


ORDER = ("Stock", "Buy", 100.0, 1, "LMT", "ROD")


def add_direct(n: int) -> Callable[[Callable[[], Any]], Callable[[], float]]:
    def measure(make: Callable[[], Any]) -> Callable[[], float]:
        def run() -> float:
            m = make()
            codes = [f"C{i % 100}" for i in range(n)]
            t = time.perf_counter()
            for code in codes:
                m.add_order(code, *ORDER)
            return time.perf_counter() - t

        return run

    return measure


def add_queued(n: int) -> Callable[[Callable[[], Any]], Callable[[], float]]:
    def measure(make: Callable[[], Any]) -> Callable[[], float]:
        return lambda: queued_run(make, n)

    return measure


def queued_run(make: Callable[[], Any], n: int) -> float:
    m = make()
    payloads = [
        {"code": f"C{i % 100}", "product_type": "Stock", "action": "Buy", "price": 100.0,
         "qty": 1, "price_type": "LMT", "order_type": "ROD"}
        for i in range(n)
    ]
    t = time.perf_counter()
    for p in payloads:
        m.add_pending_order_queue("add", p)
    m.pending_order_queue.join()
    return time.perf_counter() - t


def scan_ns_per_skipped(make: Callable[[], Any], resting: int) -> tuple[float, float]:
    """(µs per match_deal call, ns per resting order of another instrument passed over).

    The second figure is the extra time of a call over the same call on an empty book,
    divided by the number of orders; both books are timed in turns to share the noise.
    """
    def prepared(book_size: int) -> Any:
        m = make()
        for i in range(book_size):
            m.add_order(f"O{i % 300}", *ORDER)
        drain(m)
        m.match_deal("X", 100.0, 1, 1.0)  # warm-up (builds the scan's side array)
        return m.match_deal

    calls = max(200, (2_000_000 if not QUICK else 200_000) // resting)
    empty, full = prepared(0), prepared(resting)

    def timed(match: Callable[..., None]) -> float:
        t = time.perf_counter()
        for _ in range(calls):
            match("X", 100.0, 1, 1.0)
        return (time.perf_counter() - t) / calls

    best_empty = best_full = float("inf")
    for _ in range(5 if QUICK else 15):
        best_empty = min(best_empty, timed(empty))
        best_full = min(best_full, timed(full))
    return best_full * 1e6, (best_full - best_empty) / resting * 1e9


def deep_book_ticks_per_s(resting: int, ticks: int) -> tuple[float, float]:
    """(ticks/s on a book of `resting` orders of the tick's own instrument that no tick
    crosses, ticks/s on an empty book), the two books timed in turns."""
    def prepared(book_size: int) -> Any:
        m = Matcher(NullBook())
        for i in range(book_size):  # buys below and sells above every tick price
            if i % 2:
                m.add_order("2330", "Stock", "Buy", 90.0 - (i % 50) * 0.5, 1, "LMT", "ROD")
            else:
                m.add_order("2330", "Stock", "Sell", 110.0 + (i % 50) * 0.5, 1, "LMT", "ROD")
        drain(m)
        m.match_deal("2330", 100.0, 1, 0.0)  # warm-up (builds the price index)
        return m

    closes = [100.0 + ((i * 7) % 21 - 10) * 0.5 for i in range(ticks)]

    def timed(m: Any) -> float:
        match = m.match_deal
        t = time.perf_counter()
        for i, close in enumerate(closes):
            match("2330", close, 5, float(i))
        return ticks / (time.perf_counter() - t)

    empty, full = prepared(0), prepared(resting)
    best_empty = best_full = 0.0
    for _ in range(3 if QUICK else 7):
        best_empty = max(best_empty, timed_run(lambda: timed(empty)))
        best_full = max(best_full, timed_run(lambda: timed(full)))
    assert len(full.pending_orders) == resting  # nothing filled: the ticks never crossed
    return best_full, best_empty


def fill_us(batches: int, batch: int = 100,
            stub_reports: bool = False) -> Callable[[Callable[[], Any]], Callable[[], float]]:
    """Per fill: each tick fills a whole batch of resting one-lot ROD orders."""
    def measure(make: Callable[[], Any]) -> Callable[[], float]:
        def run() -> float:
            m = make()
            if stub_reports:  # leaves the matcher's own work: scan, copies, book calls, queueing
                m.build_deal_response = lambda trade: trade
            total = 0.0
            for b in range(batches):
                for _ in range(batch):
                    m.add_order("2330", *ORDER)
                drain(m)
                t = time.perf_counter()
                m.match_deal("2330", 99.5, batch, float(b))
                total += time.perf_counter() - t
                drain(m)
            return total

        return run

    return measure


def book_calls_us(n: int) -> float:
    """µs for the two no-op position-book calls a fill makes, timed on their own (from a
    Python loop, so a little more than the matcher's own calls cost)."""
    book = NullBook()
    deal = {"trade_id": "x" * 16, "product_type": "Stock"}
    best = float("inf")
    for _ in range(REPEATS):
        t = time.perf_counter()
        for _ in range(n):
            book.add_trade_record(trade_id="x" * 16, code="2330", action="Buy", quantity=1, price=99.5,
                                  timestamp=1.0, trade_status="Deal")
            book.set_positions(deal, "Stock")
        best = min(best, time.perf_counter() - t)
    return best / n * 1e6


def main() -> None:
    global COLLECTOR
    utils.console.print = lambda *args, **kwargs: None  # console lines would dominate
    native = lambda: Matcher(NullBook())
    python = lambda: PyMatcher(NullBook())
    n_add = 5_000 if QUICK else 20_000

    def row(label: str, c: float, p: float, unit: str) -> None:
        print(f"{label:<52} {c:>10.3f} {unit:<3} {p:>10.3f} {unit:<3} {p / c:>7.1f}x", flush=True)

    print(f"{'':<52} {'C++':>14} {'Python':>14} {'ratio':>8}")
    per_add = 1e6 / n_add
    row("add_order, direct", *paired(add_direct(n_add), native, python, per_add), "µs")
    COLLECTOR = True
    row("  the same with the garbage collector on", *paired(add_direct(n_add), native, python, per_add), "µs")
    COLLECTOR = False
    row("add_order, through the queue until join()", *paired(add_queued(n_add), native, python, per_add), "µs")
    for resting in (10, 100, 1_000, 10_000):
        c_call, c_skip = scan_ns_per_skipped(native, resting)
        p_call, p_skip = scan_ns_per_skipped(python, resting)
        row(f"match_deal, {resting:>6} other orders: per call", c_call, p_call, "µs")
        row(f"match_deal, {resting:>6} other orders: per skipped", c_skip, p_skip, "ns")
    deep, empty = deep_book_ticks_per_s(100_000, 4_268)
    print(f"match_deal, 100,000 resting orders of the instrument not crossed: {deep:>12,.0f} ticks/s")
    print(f"match_deal, empty book:                                            {empty:>12,.0f} ticks/s")
    print(f"  ratio deep / empty: {deep / empty:.2f} (goal: at least 0.5)")
    batches = 20 if QUICK else 100
    per_fill = 1e6 / (batches * 100)
    c_fill, p_fill = paired(fill_us(batches), native, python, per_fill)
    row("fill (ROD, 100 per tick), per fill", c_fill, p_fill, "µs")
    row("  the same without building the deal report",
        *paired(fill_us(batches, stub_reports=True), native, python, per_fill), "µs")
    book = book_calls_us(batches * 100)
    row("  per fill, less the two no-op book calls", c_fill - book, p_fill - book, "µs")
    print(f"(the two no-op book calls, timed alone: {book:.3f} µs)")


if __name__ == "__main__":
    main()

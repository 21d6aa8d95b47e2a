"""Orders added, cut and cancelled through the queue while another thread feeds ticks."""

from __future__ import annotations

import json
import random
import threading
import time
from collections import Counter, defaultdict
from typing import Any

import pytest

from tovik_backtest import utils
from tovik_backtest.constant import OperationType
from tovik_backtest.modules.matcher.matcher import Matcher

import testkit

SUBMITTERS = 3
ORDERS_PER_SUBMITTER = 150
TICKS = 3000
CODES = ["2330", "2317", "TXF"]


def run_threads(targets: list[Any], timeout: float = 60.0) -> list[BaseException]:
    """Starts every target behind one barrier; returns what any of them raised."""
    barrier = threading.Barrier(len(targets))
    errors: list[BaseException] = []

    def wrap(fn: Any) -> Any:
        def body() -> None:
            try:
                barrier.wait(timeout)
                fn()
            except BaseException as e:  # noqa: BLE001 - collected for the assertion
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "a thread did not finish in time"
    return errors


def wait_for_queue(m: Matcher, timeout: float = 60.0) -> None:
    joiner = threading.Thread(target=m.pending_order_queue.join, daemon=True)
    joiner.start()
    joiner.join(timeout)
    assert not joiner.is_alive(), "the worker did not serve the queue in time"


def test_intake_and_matching_at_once(monkeypatch: pytest.MonkeyPatch) -> None:
    lines: list[str] = []
    logged: list[str] = []
    monkeypatch.setattr(utils.console, "print", lambda text, *a, **k: lines.append(text))
    monkeypatch.setattr(utils.logger, "error", lambda text, *a, **k: logged.append(text))
    m = Matcher()
    submitted: dict[str, int] = {}  # tag -> quantity; the tag rides in the order's price
    finished = threading.Semaphore(0)

    def submitter(n: int) -> Any:
        rng = random.Random(n)

        def body() -> None:
            for k in range(ORDERS_PER_SUBMITTER):
                qty = rng.randint(1, 6)
                price = 100.0 + (n * ORDERS_PER_SUBMITTER + k) / 100_000  # unique per order
                submitted[f"{price:.5f}"] = qty
                m.add_pending_order_queue("add", {
                    "code": rng.choice(CODES[:2]) if n % 2 else "TXF",
                    "product_type": "Stock" if n % 2 else "Future",
                    "action": rng.choice(["Buy", "Sell"]),
                    "price": price,
                    "qty": qty,
                    "price_type": rng.choice(["LMT", "LMT", "MKT"]),
                    "order_type": rng.choice(["ROD", "ROD", "IOC", "FOK"]),
                })
                resting = [r["trade_id"] for r in list(m.pending_orders)]
                if resting and k % 3 == 0:
                    m.add_pending_order_queue("modify", {"trade_id": rng.choice(resting), "qty": 1})
                if resting and k % 7 == 0:
                    m.add_pending_order_queue("cancel", {"trade_id": rng.choice(resting)})
                time.sleep(0.0005)  # let the worker keep up, so orders rest while ticks arrive
            finished.release()
        return body

    def feeder() -> None:
        # at least TICKS ticks, and on until every request has been served
        rng = random.Random(99)
        done = 0
        i = 0
        while i < TICKS or done < SUBMITTERS or m.pending_order_queue.unfinished_tasks:
            if finished.acquire(blocking=False):
                done += 1
            assert i < 1_000_000, "the requests were never all served"
            i += 1
            code = rng.choice(CODES)
            close = round(rng.uniform(99.9, 100.1), 4)
            m.set_current_tick({"code": code, "timestamp": float(i), "close": close})
            m.match_deal(code, close, rng.randint(0, 4), float(i))

    errors = run_threads([submitter(n) for n in range(SUBMITTERS)] + [feeder])
    assert errors == []
    wait_for_queue(m)

    new_reports: Counter[str] = Counter()
    submitted_by_id: dict[str, int] = {}
    filled: Counter[str] = Counter()
    cancelled: Counter[str] = Counter()
    cuts: Counter[str] = Counter()
    while not m.response_queue.empty():
        r = m.response_queue.get_nowait()
        if "operation_type" not in r:
            filled[r["id"]] += r["quantity"]
            continue
        tid, op = r["order"]["id"], r["operation_type"]
        if op == OperationType.NEW:
            new_reports[tid] += 1
            submitted_by_id[tid] = submitted[f"{r['order']['price']:.5f}"]
        elif op == OperationType.CANCEL:
            cancelled[tid] += r["order"]["quantity"]
        elif op == OperationType.UPDATE_QTY:
            cuts[tid] += 1  # every cut asked for was of 1
    resting = {r["trade_id"]: r["quantity"] for r in m.pending_orders}

    # every order acknowledged exactly once, and its quantity fully accounted for
    assert len(new_reports) == SUBMITTERS * ORDERS_PER_SUBMITTER
    assert set(new_reports.values()) == {1}
    for tid, qty in submitted_by_id.items():
        assert filled[tid] + cancelled[tid] + cuts[tid] + resting.get(tid, 0) == qty, tid
    assert set(filled) | set(cancelled) | set(resting) <= set(submitted_by_id)
    assert sum(filled.values()) > 0 and sum(cancelled.values()) > 0 and sum(cuts.values()) > 0

    # the position book heard of every fill, and nothing failed on the worker
    book = Counter()
    for rec in m.positions.trade_records:
        if rec["trade_status"] == "Deal":
            book[rec["trade_id"]] += rec["quantity"]
    assert +book == +filled
    failures = [x for x in lines if x.startswith("[red]") and "不存在" not in x
                and "大於原本的數量" not in x]
    assert failures == []
    assert all("大於原本的數量" in json.loads(x)["error"] for x in logged)


def test_direct_calls_from_many_threads_keep_the_book_whole(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(utils.console, "print", lambda *a, **k: None)
    m = Matcher()
    per_thread = 200
    qty_by_id: dict[str, int] = {}

    def adder(n: int) -> Any:
        def body() -> None:
            for _ in range(per_thread):
                m.add_order(f"S{n}", "Stock", "Sell", 50.0, 3, "LMT", "ROD")
        return body

    def matcher_feed() -> None:
        for i in range(2000):
            m.match_deal(f"S{i % 4}", 60.0, 2, float(i))

    def canceller() -> None:
        for _ in range(300):
            snapshot = list(m.pending_orders)
            if snapshot:
                m.cancel_order(snapshot[len(snapshot) // 2]["trade_id"])

    errors = run_threads([adder(n) for n in range(4)] + [matcher_feed, canceller])
    assert errors == []
    totals: defaultdict[str, int] = defaultdict(int)
    while not m.response_queue.empty():
        r = m.response_queue.get_nowait()
        if "operation_type" not in r:
            totals[r["id"]] += r["quantity"]
        elif r["operation_type"] == OperationType.NEW:
            qty_by_id[r["order"]["id"]] = r["order"]["quantity"]
        else:  # a cancellation: what was still open
            totals[r["order"]["id"]] += r["order"]["quantity"]
    for r in m.pending_orders:
        totals[r["trade_id"]] += r["quantity"]
    # filled + cancelled + resting is what each order asked for
    assert len(qty_by_id) == 4 * per_thread and set(qty_by_id.values()) == {3}
    assert dict(totals) == qty_by_id


def test_a_scan_is_whole_with_respect_to_cancellation(monkeypatch: pytest.MonkeyPatch) -> None:
    # While the scan is inside the position book for its first fill, another thread
    # cancels the instrument's second order. The cancellation must wait for the scan.
    lines: list[str] = []
    monkeypatch.setattr(utils.console, "print", lambda text, *a, **k: lines.append(text))
    m = Matcher()
    m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    second = m.pending_orders[1]["trade_id"]
    in_callback = threading.Event()
    cancel_returned = threading.Event()
    real_add = m.positions.add_trade_record

    def slow_add(**kwargs: Any) -> None:
        real_add(**kwargs)
        if not in_callback.is_set():
            in_callback.set()
            cancel_returned.wait(0.5)  # returns early only if the cancel did not wait

    m.positions.add_trade_record = slow_add

    def cancel() -> None:
        assert in_callback.wait(10)
        m.cancel_order(second)
        cancel_returned.set()

    errors = run_threads([lambda: m.match_deal("2330", 99.0, 5, 1.0), cancel])
    assert errors == []
    deals = [r for r in (m.response_queue.get_nowait() for _ in range(m.response_queue.qsize()))
             if "operation_type" not in r]
    assert [d["id"] for d in deals][-1] == second  # filled by the scan, before the cancel ran
    assert lines[-1] == f"[red]委託單 {second} 不存在[/red]"


EXIT_WHILE_MATCHING = """
import sys, threading, time
from tovik_backtest import utils
utils.console.print = lambda *a, **k: None
from tovik_backtest.modules.matcher.matcher import Matcher

def feed(m, n):
    i = 0
    while True:
        i += 1
        code = "C" + str(i % 3)
        m.add_pending_order_queue("add", dict(code=code, product_type="Stock", action="Buy",
                                              price=100.0, qty=2, price_type="LMT", order_type="IOC"))
        m.add_order(code, "Future", "Sell", 100.0, 3, "LMT", "ROD")
        m.match_deal(code, 100.0, 4, float(i))
        resting = list(m.pending_orders)
        if resting:
            m.add_pending_order_queue("modify", {"trade_id": resting[0]["trade_id"], "price": 99.0})
            m.cancel_order(resting[-1]["trade_id"])
        while not m.response_queue.empty():
            m.response_queue.get_nowait()

for n in range(3):
    threading.Thread(target=feed, args=(Matcher(), n), daemon=True).start()
time.sleep(float(sys.argv[1]))
"""


@pytest.mark.parametrize("seconds", ["0.05", "0.2", "0.4"])
def test_process_exits_cleanly_while_daemon_threads_match(seconds: str) -> None:
    import subprocess
    import sys

    env = testkit.child_env()
    done = subprocess.run([sys.executable, "-c", EXIT_WHILE_MATCHING, seconds], check=False, env=env,
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]

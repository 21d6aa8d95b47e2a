"""The fill models on hand-built tick sequences: each case gives the exact fills (tick,
order, quantity, reason) the rules make, driven through the native loop."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pytest

from tovik_backtest.fills import Queue, Touch
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.state import EngineState

_T0 = int(dt.datetime(2024, 1, 2, 9, 0).replace(tzinfo=dt.UTC).timestamp()) * 10**9


def tick(close, volume, bid, bid_volume, ask, ask_volume, ms=None):
    return {"close": close, "volume": volume, "bid": bid, "bid_volume": bid_volume, "ask": ask,
            "ask_volume": ask_volume, "ms": ms}


def buy(price, qty=1, order_type="ROD", price_type="LMT"):
    return ("Buy", price, qty, order_type, price_type)


def sell(price, qty=1, order_type="ROD", price_type="LMT"):
    return ("Sell", price, qty, order_type, price_type)


def drive(model, ticks, orders, cancels=None, defers=None, out=None):
    """Drive ``ticks`` of one stock through a matcher using ``model`` (None: no model).
    ``orders`` maps a tick index to the orders placed while the strategy handles it;
    ``cancels`` maps a tick index to the order numbers cancelled then. Returns the fills
    as (tick, order number, quantity, reason) and the exchange's cancellations as
    (tick, order number, quantity)."""
    cancels, defers = cancels or {}, defers or {}
    refusals = []
    ids: list[str] = []
    fills, cancelled = [], []
    sink: list[dict] = []
    at = [0]  # the tick being handled
    with Matcher() as m:
        m.set_quiet(True)
        if model is not None:
            m.set_fill_model(*model.native(0))
        m.route_reports(sink)

        def on_reports():
            for report in sink:
                if "operation_type" not in report:
                    fills.append([at[0], ids.index(report["id"]), int(report["quantity"])])
                elif report["operation_status_code"] != "00":
                    refusals.append((at[0], ids.index(report["order"]["id"]), report["operation_type"].value))
                elif report["operation_type"].value == "Cancel" and report["order"]["id"] not in cancelled_by_us:
                    cancelled.append((at[0], ids.index(report["order"]["id"]), int(report["order"]["quantity"])))
            sink.clear()

        cancelled_by_us: set[str] = set()

        def on_tick(record):
            for number in cancels.get(at[0], ()):
                cancelled_by_us.add(ids[number])
                m.cancel_order(ids[number])
            for action, price, qty, order_type, price_type in orders.get(at[0], ()):
                m.add_order("2330", "Stock", action, float(price), qty, price_type, order_type)
                ids.append(m.pending_orders[-1]["trade_id"])
            for number, cancel, qty, price in defers.get(at[0], ()):
                if cancel:
                    cancelled_by_us.add(ids[number])
                m.defer_request(ids[number], cancel, qty, price)
            at[0] += 1

        n = len(ticks)
        ms = [t["ms"] if t["ms"] is not None else 1000 * k for k, t in enumerate(ticks)]
        ts = np.array([_T0 + int(v * 10**6) for v in ms], dtype=np.int64)
        column = {key: np.array([t[key] for t in ticks], dtype=np.float64 if key in ("close", "bid", "ask")
                                else np.int64) for key in ticks[0] if key != "ms"}
        layout = EngineState(1)
        layout["boundary_ns"], layout["interval_ns"] = (1 << 63) - 1, 60 * 10**9
        state = layout.array
        quotes = [column["bid"], column["bid_volume"], column["ask"], column["ask_volume"]]
        m.drive_ticks(ts, np.zeros(n, dtype=np.int64), column["close"], column["volume"],
                      np.ones(n, dtype=np.int64), ["2330"], ["Stock"], state, False, on_tick, on_reports, None,
                      quotes)
        reasons = m.fill_reasons()
        if out is not None:
            out.update(late=m.late_requests(), refusals=refusals, resting=len(m.pending_orders))
    if model is not None:
        assert len(reasons) == len(fills)
        for fill, reason in zip(fills, reasons, strict=True):
            fill.append(reason)
    return [tuple(f) for f in fills], cancelled


QUEUE, PROPORTIONAL, TOUCH = Queue(), Queue(cancels="proportional"), Touch()

# the buy at 100 waits behind the 5 lots bid there; 3 traded, then 3 more: 1 lot is beyond
QUEUE_REACHED = [tick(100, 1, 100, 5, 101, 5), tick(100, 3, 100, 4, 101, 5), tick(100, 3, 100, 4, 101, 5),
                 tick(100, 5, 100, 4, 101, 5)]
# trades below the buy's price fill it whatever its queue (50 lots ahead)
TRADE_THROUGH = [tick(100, 1, 100, 50, 101, 5), tick(99, 1, 99, 50, 100, 5), tick(99, 5, 99, 50, 100, 5)]
# the bid at 100 falls from 10 to 2 lots with no trade there: the queue is at most 2
SHRINKING = [tick(100, 1, 100, 10, 101, 5), tick(101, 1, 100, 2, 101, 5), tick(100, 2, 100, 2, 101, 5),
             tick(100, 1, 100, 2, 101, 5)]
# 6 of the 10 lots ahead trade, the bid refills to 10 and then falls to 5 with no trade:
# proportional cancels take 5/10 of the 4 left ahead, none takes nothing
CANCELS = [tick(100, 1, 100, 10, 101, 5), tick(100, 6, 100, 10, 101, 5), tick(101, 1, 100, 5, 101, 5),
           tick(100, 3, 100, 5, 101, 5), tick(100, 1, 100, 5, 101, 5), tick(100, 1, 100, 5, 101, 5)]
# a buy at 99 below the best bid: unknown until the bid shows 99 (4 lots), then 4 trade there
UNKNOWN_SHOWN = [tick(100, 1, 100, 5, 101, 5), tick(99, 3, 100, 5, 101, 5), tick(100, 1, 99, 4, 100, 5),
                 tick(99, 4, 99, 4, 100, 5), tick(99, 1, 99, 4, 100, 5)]
# the same buy when the bid drops below 99: only our own orders are ahead
UNKNOWN_PASSED = [tick(100, 1, 100, 5, 101, 5), tick(98, 1, 98, 7, 100, 5), tick(99, 1, 98, 7, 99, 5)]
# two buys at 100 behind 10 lots: the second waits behind the first's 3 as well
TWO_OF_OURS = [tick(100, 1, 100, 10, 101, 5), tick(100, 15, 100, 10, 101, 5)]
# a sell at 101 behind the 5 lots asked there (the mirror of QUEUE_REACHED)
SELL_QUEUE = [tick(101, 1, 100, 5, 101, 5), tick(101, 3, 100, 5, 101, 4), tick(101, 3, 100, 5, 101, 4),
              tick(101, 5, 100, 5, 101, 4)]
# a buy at the best ask trades on arrival
AGGRESSIVE = [tick(100, 1, 100, 5, 101, 5), tick(101, 2, 100, 5, 101, 5)]


@pytest.mark.parametrize("model, ticks, orders, fills", [
    (QUEUE, QUEUE_REACHED, {0: [buy(100, 2)]}, [(2, 0, 1, "queue"), (3, 0, 1, "queue")]),
    (TOUCH, QUEUE_REACHED, {0: [buy(100, 2)]}, [(1, 0, 2, "touch")]),
    (QUEUE, TRADE_THROUGH, {0: [buy(100, 2)]}, [(1, 0, 1, "through"), (2, 0, 1, "through")]),
    (QUEUE, SHRINKING, {0: [buy(100)]}, [(3, 0, 1, "queue")]),
    (QUEUE, CANCELS, {0: [buy(100)]}, [(5, 0, 1, "queue")]),
    (PROPORTIONAL, CANCELS, {0: [buy(100)]}, [(3, 0, 1, "queue")]),
    (TOUCH, CANCELS, {0: [buy(100)]}, [(1, 0, 1, "touch")]),
    (QUEUE, UNKNOWN_SHOWN, {0: [buy(99)]}, [(4, 0, 1, "queue")]),
    (QUEUE, UNKNOWN_PASSED, {0: [buy(99)]}, [(1, 0, 1, "through")]),
    (QUEUE, UNKNOWN_PASSED, {1: [buy(99)]}, [(2, 0, 1, "queue")]),
    (QUEUE, TWO_OF_OURS, {0: [buy(100, 3), buy(100, 3)]}, [(1, 0, 3, "queue"), (1, 1, 2, "queue")]),
    (TOUCH, TWO_OF_OURS, {0: [buy(100, 3), buy(100, 3)]}, [(1, 0, 3, "touch"), (1, 1, 3, "touch")]),
    (QUEUE, SELL_QUEUE, {0: [sell(101, 2)]}, [(2, 0, 1, "queue"), (3, 0, 1, "queue")]),
    (QUEUE, AGGRESSIVE, {0: [buy(101, 2)]}, [(1, 0, 2, "aggressive")]),
    (QUEUE, QUEUE_REACHED, {0: [buy(100, 1, "IOC")]}, [(1, 0, 1, "aggressive")]),
])
def test_hand_built_sequences_give_exactly_the_rules_fills(model, ticks, orders, fills):
    assert drive(model, ticks, orders)[0] == fills


# requests placed at 0 ms arrive at the first tick at or after the latency
LATENCY = [tick(100, 1, 100, 50, 101, 5, ms=0), tick(100, 100, 100, 50, 101, 5, ms=2),
           tick(100, 100, 99, 9, 101, 5, ms=4), tick(100, 1, 99, 9, 101, 5, ms=6)]


@pytest.mark.parametrize("model, orders, fills", [
    (Queue(latency_ms=5), {0: [buy(100)]}, [(3, 0, 1, "queue")]),  # its queue from the 4 ms quote: none ahead
    (Touch(latency_ms=5), {0: [buy(100)]}, [(3, 0, 1, "touch")]),
    (Touch(latency_ms=4), {0: [buy(100)]}, [(2, 0, 1, "touch")]),  # exactly at the latency counts
    (Touch(), {0: [buy(100)]}, [(1, 0, 1, "touch")]),
    (Touch(latency_ms=5), {0: [buy(100, 1, "IOC")]}, [(3, 0, 1, "touch")]),
    (Touch(latency_ms=5), {1: [buy(100)]}, []),  # placed at 2 ms: no tick at or after 7 ms
    (Queue(latency_ms=1), {0: [buy(100)]}, [(1, 0, 1, "queue")]),  # at 2 ms behind 50 lots: 100 trade
])
def test_latency_holds_a_request_until_its_arrival_tick(model, orders, fills):
    assert drive(model, LATENCY, orders)[0] == fills


# two 1-lot IOC buys meet 1 lot on their arrival tick, then 5 lots trade a tick later
THIN = [tick(100, 1, 100, 5, 101, 5), tick(100, 1, 100, 5, 101, 5), tick(99, 5, 99, 5, 100, 5)]


@pytest.mark.parametrize("model, orders, fills, cancelled", [
    (TOUCH, {0: [buy(100, 1, "IOC"), buy(100, 1, "IOC")]}, [(1, 0, 1, "touch")], [(1, 1, 1)]),
    (QUEUE, {0: [buy(100, 1, "IOC"), buy(100, 1, "IOC")]}, [(1, 0, 1, "aggressive")], [(1, 1, 1)]),
    (TOUCH, {0: [buy(100, 1, "IOC"), buy(100, 2, "FOK")]}, [(1, 0, 1, "touch")], [(1, 1, 2)]),
    (TOUCH, {0: [buy(100, 2, "ROD", "MKT")]}, [(1, 0, 1, "touch")], [(1, 0, 1)]),
    (TOUCH, {0: [buy(100, 1, "IOC"), buy(0, 1, "ROD", "MKT")]}, [(1, 0, 1, "touch")], [(1, 1, 1)]),
    # without a model match_deal's own rule: the second IOC rests and fills later
    (None, {0: [buy(100, 1, "IOC"), buy(100, 1, "IOC")]}, [(1, 0, 1), (2, 1, 1)], []),
])
def test_ioc_fok_and_market_orders_are_decided_on_their_arrival_tick(model, orders, fills, cancelled):
    assert drive(model, THIN, orders) == (fills, cancelled)


# two buys at 100 behind 10 lots; the bid refills to 20, then 12 lots trade at 100
REFILLED = [tick(100, 1, 100, 10, 101, 5), tick(101, 1, 100, 20, 101, 5), tick(100, 12, 100, 20, 101, 5)]


@pytest.mark.parametrize("cancels, fills", [
    ({}, [(2, 0, 2, "queue")]),  # the second waits behind the first's 3 lots too
    ({1: [0]}, [(2, 1, 2, "queue")]),  # the first cancelled: the second moves up by its 3 lots
])
def test_a_cancelled_order_of_ours_leaves_the_queue_ahead_of_the_next(cancels, fills):
    assert drive(QUEUE, REFILLED, {0: [buy(100, 3), buy(100, 3)]}, cancels=cancels)[0] == fills


@pytest.mark.parametrize("args, error, match", [
    (("bid",), ValueError, "'touch' or 'queue'"),
    (("queue", "some"), ValueError, "'none' or 'proportional'"),
    (("touch", "none", -1), ValueError, ">= 0"),
    (("touch", "none", 1.5), TypeError, "int"),
    ((3,), TypeError, "str"),
])
def test_set_fill_model_refuses_bad_settings(args, error, match):
    with Matcher() as m:
        with pytest.raises(error, match=match):
            m.set_fill_model(*args)


def test_the_model_is_set_before_orders_and_queue_needs_quotes():
    with Matcher() as m:
        m.set_quiet(True)
        m.add_order("2330", "Stock", "Buy", 500.0, 1, "LMT", "ROD")
        with pytest.raises(RuntimeError, match="before any is placed"):
            m.set_fill_model("queue")
    with Matcher() as m:
        m.set_fill_model("queue")
        state = EngineState(1).array
        with pytest.raises(ValueError, match="needs quotes"):
            m.drive_ticks(np.zeros(1, dtype=np.int64), np.zeros(1, dtype=np.int64), np.ones(1),
                          np.ones(1, dtype=np.int64), np.ones(1, dtype=np.int64), ["2330"], ["Stock"], state,
                          False, None, None, None)


# 0, 2, 4, 6 and 8 ms; the buy at 100 fills at 6 ms (its queue empty: the bid fell to 99)
LATE = LATENCY + [tick(100, 1, 99, 9, 101, 5, ms=8)]


@pytest.mark.parametrize("orders, defers, fills, late, refusals, resting", [
    # cancelled at 2 ms: arrives at 7 ms, after the fill at 6 ms: refused as late
    ({0: [buy(100)]}, {1: [(0, True, None, None)]}, [(3, 0, 1, "queue")], {"2330": 1}, [(4, 0, "Cancel")], 0),
    # cancelled at once: it arrives with the order at 6 ms and goes first
    ({0: [buy(100)]}, {0: [(0, True, None, None)]}, [], {}, [], 0),
    # a new price arrives with the order: it queues at 100, not 99
    ({0: [buy(99)]}, {0: [(0, False, None, 100.0)]}, [(3, 0, 1, "queue")], {}, [], 0),
    ({0: [buy(99)]}, {}, [], {}, [], 1),
    # a cut of all 3 lots arrives after 1 filled: more than is open, so the exchange refuses
    # it, and the order trades on
    ({0: [buy(100, 3)]}, {1: [(0, False, 3, None)]}, [(3, 0, 1, "queue"), (4, 0, 1, "queue")], {},
     [(4, 0, "UpdateQty")], 1),
])
def test_requests_arrive_after_the_latency_and_late_ones_are_refused(orders, defers, fills, late, refusals,
                                                                      resting):
    out = {}
    assert drive(Queue(latency_ms=5), LATE, orders, defers=defers, out=out)[0] == fills
    assert (out["late"], out["refusals"], out["resting"]) == (late, refusals, resting)


def test_defer_request_needs_a_model_and_a_resting_order():
    with Matcher() as m:
        m.set_quiet(True)
        m.add_order("2330", "Stock", "Buy", 500.0, 1, "LMT", "ROD")
        trade_id = m.pending_orders[0]["trade_id"]
        with pytest.raises(RuntimeError, match="no fill model"):
            m.defer_request(trade_id, True)
    with Matcher() as m:
        m.set_fill_model("touch", "none", 5_000_000)
        with pytest.raises(ValueError, match="no resting order"):
            m.defer_request("nope", True)
        with pytest.raises(TypeError, match="bool"):
            m.defer_request("nope", 1)


def _held_after_cancel(model):
    """References to a record once it was placed and cancelled (the caller's own included)."""
    import sys

    with Matcher() as m:
        m.set_quiet(True)
        if model is not None:
            m.set_fill_model(*model.native(0))
        m.add_order("2330", "Stock", "Buy", 500.0, 1, "LMT", "ROD")
        record = m.pending_orders[0]
        placed = sys.getrefcount(record)
        m.cancel_order(record["trade_id"])
        return placed, sys.getrefcount(record)


@pytest.mark.parametrize("model", [Queue(), Touch(latency_ms=5)])
def test_an_order_that_leaves_the_book_is_no_longer_held(model):
    placed, cancelled = _held_after_cancel(model)
    plain_placed, plain_cancelled = _held_after_cancel(None)
    assert placed == plain_placed + 1  # the tracking model holds it while it rests
    assert cancelled == plain_cancelled  # and lets go when it leaves

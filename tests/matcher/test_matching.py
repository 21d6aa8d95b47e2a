"""Tick matching: the outcome table, sharing one tick, effect order, odd records, bad ticks."""

from __future__ import annotations

import math
import threading
from typing import Any

import pytest

from tovik_backtest import utils
from tovik_backtest.constant import OperationType, SuccessCode
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions


class SpyBook(Positions):
    """The real position book, also logging every call into a shared event list."""

    def __init__(self, events: list[tuple[str, Any]]) -> None:
        super().__init__()
        self.events = events

    def add_trade_record(self, **kwargs: Any) -> None:
        self.events.append(("trade_record", kwargs))
        super().add_trade_record(**kwargs)

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        self.events.append(("set_positions", (trade, product_type)))
        super().set_positions(trade, product_type)


class Exchange:
    """A Matcher with a spying position book and a log of queued reports, in call order."""

    def __init__(self) -> None:
        self.events: list[tuple[str, Any]] = []
        self.book = SpyBook(self.events)
        self.m = Matcher(self.book)
        queue_report = self.m.add_response_to_queue

        def logged(report: dict[str, Any]) -> None:
            self.events.append(("queue", report))
            queue_report(report)

        self.m.add_response_to_queue = logged

    def order(self, code: str = "2330", action: str = "Buy", price: float = 100.0, qty: int = 5,
              order_type: str = "ROD", price_type: str = "LMT", product: str = "Stock") -> dict[str, Any]:
        self.m.add_order(code, product, action, price, qty, price_type, order_type)
        record = self.m.pending_orders[-1]
        self.clear()
        return record

    def clear(self) -> None:
        self.events.clear()
        while not self.m.response_queue.empty():
            self.m.response_queue.get_nowait()

    def tick(self, code: str, close: float, qty: int, ts: float = 50.0) -> None:
        assert self.m.match_deal(code, close, qty, ts) is None

    def kinds(self) -> list[str]:
        out = []
        for kind, payload in self.events:
            if kind == "queue":
                kind = "cancel" if "operation_type" in payload else "deal"
            elif kind == "trade_record":
                kind = payload["trade_status"]
            out.append(kind)
        return out

    def deals(self) -> list[dict[str, Any]]:
        return [p for k, p in self.events if k == "queue" and "operation_type" not in p]

    def cancels(self) -> list[dict[str, Any]]:
        return [p for k, p in self.events
                if k == "queue" and p.get("operation_type") == OperationType.CANCEL]

    def trade_records(self) -> list[dict[str, Any]]:
        return [p for k, p in self.events if k == "trade_record"]


@pytest.fixture(autouse=True)
def quiet_console(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    lines: list[str] = []
    monkeypatch.setattr(utils.console, "print", lambda text, *a, **k: lines.append(text))
    return lines


@pytest.fixture
def ex() -> Exchange:
    return Exchange()


# ---------------------------------------------------------------------------
# The outcome table, row by row, for both products and both sides.

# (order type, price matches, tick qty, fill, exchange-cancelled qty, open qty left or None if removed)
ROWS = [
    ("ROD", True, 3, 3, 0, 2),
    ("ROD", True, 5, 5, 0, None),
    ("ROD", True, 9, 5, 0, None),
    ("ROD", False, 9, 0, 0, 5),
    ("IOC", True, 3, 3, 2, None),
    ("IOC", True, 9, 5, 0, None),
    ("IOC", False, 9, 0, 5, None),
    ("FOK", True, 5, 5, 0, None),
    ("FOK", True, 9, 5, 0, None),
    ("FOK", True, 4, 0, 5, None),
    ("FOK", False, 9, 0, 5, None),
]

# Limit 100.0: tick prices that match (equality included) and one that does not.
PRICES = {
    ("Buy", True): [100.0, 99.5],
    ("Buy", False): [100.5],
    ("Sell", True): [100.0, 100.5],
    ("Sell", False): [99.5],
}


def outcome_cases():
    for order_type, matches, tick_qty, fill, cancelled, left in ROWS:
        for product in ("Stock", "Future"):
            for action in ("Buy", "Sell"):
                for close in PRICES[(action, matches)]:
                    yield pytest.param(order_type, product, action, close, tick_qty, fill, cancelled, left,
                                       id=f"{order_type}-{product}-{action}-{close}-q{tick_qty}")


@pytest.mark.parametrize("order_type,product,action,close,tick_qty,fill,cancelled,left", list(outcome_cases()))
def test_outcome_table(ex, order_type, product, action, close, tick_qty, fill, cancelled, left):
    code = "TXF" if product == "Future" else "2330"
    ex.m.set_current_tick({"code": code, "timestamp": 40.0, "close": close})
    record = ex.order(code, action, 100.0, 5, order_type, product=product)
    ex.tick(code, close, tick_qty, ts=50.0)

    if left is None:
        assert record not in ex.m.pending_orders
    else:
        assert ex.m.pending_orders == [record] and record["quantity"] == left

    deals = ex.deals()
    assert [d["quantity"] for d in deals] == ([fill] if fill else [])
    for d in deals:
        assert d["price"] == close and d["exchange_ts"] == 50.0 and d["id"] == record["trade_id"]
    cancels = ex.cancels()
    assert [c["order"]["quantity"] for c in cancels] == ([cancelled] if cancelled else [])
    for c in cancels:
        assert c["operation_type"] == OperationType.CANCEL
        assert c["operation_message"] == SuccessCode.OrderBeCancel.message
        assert c["order"]["price"] == 100.0
        assert c["trade_status"]["exchange_ts"] == 40.0  # the tick table's time, not tick_ts

    expected = ([("Deal", fill, close, 50.0)] if fill else []) + \
               ([("Cancel", cancelled, 100.0, 40.0)] if cancelled else [])
    got = [(r["trade_status"], r["quantity"], r["price"], r["timestamp"]) for r in ex.trade_records()]
    assert got == expected
    assert all(r["action"] is record["action"] for r in ex.trade_records())


@pytest.mark.parametrize("price_type", ["MKT", "MKP"])
@pytest.mark.parametrize("action,close", [("Buy", 500.0), ("Sell", 0.5)])
def test_non_limit_price_types_fill_at_the_tick_price(ex, price_type, action, close):
    ex.order(price=100.0, qty=2, price_type=price_type, action=action)
    ex.tick("2330", close, 2)
    assert [(d["quantity"], d["price"]) for d in ex.deals()] == [(2, close)]
    assert ex.m.pending_orders == []


def test_integer_tick_price_is_a_float_fill_price(ex):
    ex.order(qty=1)
    ex.tick("2330", 99, 1, ts=7)
    deal = ex.deals()[0]
    assert type(deal["price"]) is float and deal["price"] == 99.0
    assert type(deal["exchange_ts"]) is float and deal["exchange_ts"] == 7.0


# ---------------------------------------------------------------------------
# One tick shared by the instrument's orders, in book order.

def test_one_tick_is_shared_in_book_order_and_other_instruments_are_skipped(ex):
    a = ex.order(qty=2)
    ex.order(code="2317", qty=4)
    b = ex.order(qty=3)
    ex.order(code="TXF", product="Future", qty=4)
    ex.tick("2330", 99.0, 4)
    assert [(d["id"], d["quantity"]) for d in ex.deals()] == [(a["trade_id"], 2), (b["trade_id"], 2)]
    assert b["quantity"] == 1
    assert [r["code"] for r in ex.m.pending_orders] == ["2317", "2330", "TXF"]
    assert {r["quantity"] for r in ex.m.pending_orders if r["code"] != "2330"} == {4}


def test_used_up_tick_leaves_later_orders_for_the_next_tick(ex):
    rod = ex.order(qty=5)
    ioc = ex.order(qty=2, order_type="IOC")
    fok = ex.order(qty=1, order_type="FOK")
    ex.tick("2330", 99.0, 3)
    assert ex.kinds() == ["Deal", "deal", "set_positions"]
    assert ex.m.pending_orders == [rod, ioc, fok] and rod["quantity"] == 2

    ex.clear()
    ex.tick("2330", 99.0, 3)  # 2 for the ROD, 1 for the IOC (the rest cancelled), nothing for the FOK
    assert [d["quantity"] for d in ex.deals()] == [2, 1]
    assert [c["order"]["quantity"] for c in ex.cancels()] == [1]
    assert ex.m.pending_orders == [fok]

    ex.clear()
    ex.tick("2330", 99.0, 1)
    assert [d["quantity"] for d in ex.deals()] == [1] and ex.m.pending_orders == []


def test_zero_quantity_tick_changes_nothing(ex):
    records = [ex.order(order_type=t) for t in ("ROD", "IOC", "FOK")]
    ex.tick("2330", 99.0, 0)
    assert ex.m.pending_orders == records and ex.events == []


# ---------------------------------------------------------------------------
# Order of effects, and the records handed to the position book.

def test_ioc_partial_fill_reports_deal_before_cancellation(ex):
    ex.m.set_current_tick({"code": "2330", "timestamp": 41.5, "close": 99.0})
    record = ex.order(qty=5, order_type="IOC")
    ex.tick("2330", 99.0, 3, ts=42.0)
    assert ex.kinds() == ["Deal", "deal", "set_positions", "Cancel", "cancel"]
    deal_record, product = ex.events[2][1]
    assert product == "Stock"
    assert deal_record is not record
    assert (deal_record["quantity"], deal_record["price"], deal_record["exchange_ts"]) == (3, 99.0, 42.0)
    # everything else of the deal record is the order's
    same = {k: v for k, v in deal_record.items() if k not in ("quantity", "price", "exchange_ts")}
    assert same == {k: v for k, v in record.items() if k not in ("quantity", "price", "exchange_ts")}
    assert list(deal_record) == list(record)
    cancel = ex.trade_records()[1]
    assert (cancel["quantity"], cancel["price"], cancel["timestamp"]) == (2, 100.0, 41.5)
    assert record["quantity"] == 5  # an IOC record is never written


def test_cancellation_time_is_none_without_a_tick_table_entry(ex):
    ex.order(qty=5, order_type="FOK")
    ex.tick("2330", 99.0, 1)
    assert ex.cancels()[0]["trade_status"]["exchange_ts"] is None
    assert ex.trade_records()[0]["timestamp"] is None


def test_deal_record_is_a_deep_copy_also_for_mutable_values(ex):
    record = ex.order(qty=2)
    record["note"] = {"tags": ["a"]}  # a mutable value: the fast copy no longer applies
    ex.tick("2330", 99.0, 1)
    deal_record = ex.events[2][1][0]
    assert deal_record["note"] == {"tags": ["a"]}
    assert deal_record["note"] is not record["note"]
    assert deal_record["note"]["tags"] is not record["note"]["tags"]
    record["quantity"] = 99
    assert deal_record["quantity"] == 1


def test_cancelled_by_exchange_orders_and_fills_reach_the_real_book(ex):
    ex.order(qty=5, order_type="IOC")
    ex.order(code="2317", qty=2, action="Sell")
    ex.tick("2330", 99.0, 3)
    ex.tick("2317", 101.0, 9)
    # the book counts a stock's board lots in shares
    assert (ex.book.net_quantity("2330"), ex.book.net_lots("2330")) == (3000, 3)
    assert (ex.book.net_quantity("2317"), ex.book.net_lots("2317")) == (-2000, -2)
    assert [r["trade_status"] for r in ex.book.trade_records] == ["Deal", "Cancel", "Deal"]


# ---------------------------------------------------------------------------
# Quantity 0, records changed from outside, a list replaced by the host.

def test_quantity_zero_orders(ex):
    rod = ex.order(qty=3)
    ex.m.modify_order(rod["trade_id"], 3)
    ioc = ex.order(qty=2, order_type="IOC", price=90.0)
    ex.m.modify_order(ioc["trade_id"], 2)
    ex.clear()
    ex.tick("2330", 99.0, 5)
    # the ROD matches: a deal of 0 and gone; the IOC does not: gone without any report
    assert ex.kinds() == ["Deal", "deal", "set_positions"]
    assert ex.deals()[0]["quantity"] == 0
    assert ex.m.pending_orders == []


def test_unsupported_product_type_stops_at_that_order(ex):
    first = ex.order(qty=1)
    odd = ex.order(qty=5, order_type="IOC", price=90.0)
    last = ex.order(qty=1)
    odd["product_type"] = "Bond"
    with pytest.raises(Exception, match="^不支援的商品類型$"):
        ex.tick("2330", 99.0, 9)
    assert ex.m.pending_orders == [odd, last]  # the first fill stays done, nothing after it
    assert ex.kinds() == ["Deal", "deal", "set_positions"]
    assert ex.deals()[0]["id"] == first["trade_id"]


@pytest.mark.parametrize("order_type", ["ROD", "IOC", "FOK"])
def test_negative_open_quantity_from_outside_is_refused_at_that_order(ex, order_type):
    first = ex.order(qty=1)
    odd = ex.order(qty=5, order_type=order_type)
    odd["quantity"] = -2
    with pytest.raises(ValueError, match=f"{odd['trade_id']}.*-2"):
        ex.tick("2330", 99.0, 9)
    assert [d["id"] for d in ex.deals()] == [first["trade_id"]]
    assert ex.m.pending_orders == [odd] and odd["quantity"] == -2


def test_record_without_code_raises_key_error_when_reached(ex):
    ex.order(qty=1)
    ex.m.pending_orders.append({"trade_id": "x"})
    ex.order(qty=1)
    with pytest.raises(KeyError, match="code"):
        ex.tick("2330", 99.0, 9)
    assert len(ex.deals()) == 1 and len(ex.m.pending_orders) == 2


def test_host_changes_to_the_list_between_ticks_are_seen(ex):
    a, b, c = (ex.order(code=code, qty=1) for code in ("A", "B", "C"))
    ex.tick("Z", 99.0, 1)  # the scan now knows the book
    # replaced by a reordered list, one record's code changed by replacing the record
    b2 = dict(b, code="A")
    ex.m.pending_orders = [c, b2, a]
    ex.tick("A", 99.0, 5)
    assert [d["id"] for d in ex.deals()] == [b["trade_id"], a["trade_id"]]
    assert ex.m.pending_orders == [c]
    # removed and inserted directly
    ex.clear()
    ex.m.pending_orders.clear()
    d = ex.order(code="C", qty=1)
    ex.m.pending_orders.insert(0, c)
    ex.tick("C", 99.0, 5)
    assert [x["id"] for x in ex.deals()] == [c["trade_id"], d["trade_id"]]
    ex.m.pending_orders = ()
    with pytest.raises(TypeError, match="pending_orders must be a list"):
        ex.tick("C", 99.0, 5)


def test_many_records_removed_from_the_middle_between_scans(ex):
    for i in range(60):
        ex.order(code=f"K{i % 3}", qty=1, price=90.0)
    ex.tick("Z", 99.0, 1)
    keep = [r for i, r in enumerate(ex.m.pending_orders) if i % 7 not in (2, 3, 4)]
    ex.m.pending_orders[:] = keep
    ex.tick("K1", 80.0, 1000)
    filled = [d["id"] for d in ex.deals()]
    assert filled == [r["trade_id"] for r in keep if r["code"] == "K1"]
    assert all(r["code"] != "K1" for r in ex.m.pending_orders)


def test_a_callback_may_call_back_into_the_matcher(ex):
    first = ex.order(qty=1)
    victim = ex.order(qty=1)
    ex.m.set_current_tick({"code": "2330", "timestamp": 9.0, "close": 99.0})

    class CancellingBook(Positions):
        def add_trade_record(self, **kwargs: Any) -> None:
            super().add_trade_record(**kwargs)
            # same thread, inside the scan: must neither deadlock nor let the victim fill
            ex.m.cancel_order(victim["trade_id"])
            ex.m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")

    ex.m.positions = CancellingBook()
    done = threading.Event()
    errors: list[BaseException] = []

    def run() -> None:
        try:
            ex.tick("2330", 99.0, 9)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
        done.set()

    threading.Thread(target=run, daemon=True).start()
    assert done.wait(10), "match_deal deadlocked on a callback into the matcher"
    assert errors == []
    assert [d["id"] for d in ex.deals()] == [first["trade_id"]]
    assert [c["order"]["id"] for c in ex.cancels()] == [victim["trade_id"]]
    # the order added by the callback came after the walk: it rests for the next tick
    assert [r["quantity"] for r in ex.m.pending_orders] == [1]
    assert ex.m.pending_orders[0]["trade_id"] not in (first["trade_id"], victim["trade_id"])


# ---------------------------------------------------------------------------
# Bad ticks: refused before anything changes.

@pytest.mark.parametrize("args,error,text", [
    (("2330", 99.0, -1, 1.0), ValueError, "tick_qty.*-1"),
    (("2330", math.nan, 1, 1.0), ValueError, "tick_close.*nan"),
    (("2330", math.inf, 1, 1.0), ValueError, "tick_close.*inf"),
    (("2330", -math.inf, 1, 1.0), ValueError, "tick_close.*-inf"),
    (("2330", 99.0, True, 1.0), TypeError, "tick_qty"),
    (("2330", 99.0, 1.0, 1.0), TypeError, "tick_qty"),
    (("2330", "99", 1, 1.0), TypeError, "tick_close"),
    ((None, 99.0, 1, 1.0), TypeError, "code"),
    (("2330", 99.0, 1, None), TypeError, "tick_ts"),
])
def test_bad_ticks_are_refused_before_anything_changes(ex, args, error, text):
    record = ex.order(qty=5, order_type="IOC")
    with pytest.raises(error, match=text):
        ex.m.match_deal(*args)
    assert ex.m.pending_orders == [record] and record["quantity"] == 5 and ex.events == []


def test_arguments_by_name_and_missing(ex):
    ex.order(qty=1)
    ex.m.match_deal(code="2330", tick_close=99.0, tick_qty=1, tick_ts=1.0)
    assert len(ex.deals()) == 1
    with pytest.raises(TypeError, match="tick_ts"):
        ex.m.match_deal("2330", 99.0, 1)


def test_constants_compare_by_value_as_well(ex):
    # Records whose enumeration fields hold plain text still match like members.
    record = ex.order(qty=2, action="Sell", price=100.0)
    record.update(action="Sell", price_type="LMT", order_type="IOC")
    ex.tick("2330", 100.5, 1)
    assert [d["quantity"] for d in ex.deals()] == [1]
    assert [c["order"]["quantity"] for c in ex.cancels()] == [1]

"""Modification and cancellation of resting orders: changes, reports, console lines, refusals."""

from __future__ import annotations

import math
import threading
from typing import Any

import pytest

from tovik_backtest import utils
from tovik_backtest.constant import OperationType, SuccessCode
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions


class CountingBook(Positions):
    def __init__(self) -> None:
        super().__init__()
        self.calls: list[str] = []

    def add_trade_record(self, **kwargs: Any) -> None:
        self.calls.append("add_trade_record")
        super().add_trade_record(**kwargs)

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        self.calls.append("set_positions")
        super().set_positions(trade, product_type)


@pytest.fixture
def lines(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    out: list[str] = []
    monkeypatch.setattr(utils.console, "print", lambda text, *a, **k: out.append(text))
    return out


@pytest.fixture
def m(lines: list[str]) -> Matcher:
    return Matcher(CountingBook())


def reports(m: Matcher) -> list[dict[str, Any]]:
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


def rest(m: Matcher, lines: list[str], qty: int = 5, price: float = 100.0, product: str = "Stock",
         code: str = "2330") -> dict[str, Any]:
    m.add_order(code, product, "Buy", price, qty, "LMT", "ROD")
    reports(m)
    lines.clear()
    return m.pending_orders[-1]


# ---------------------------------------------------------------------------
# Quantity cuts and new prices.

@pytest.mark.parametrize("product", ["Stock", "Future"])
def test_quantity_cut(m, lines, product):
    record = rest(m, lines, qty=5, product=product)
    assert m.modify_order(record["trade_id"], 2) is None
    assert record["quantity"] == 3 and m.pending_orders == [record]
    [report] = reports(m)
    assert report["operation_type"] == OperationType.UPDATE_QTY
    assert (report["operation_status_code"], report["operation_message"]) == (
        SuccessCode.ModifyOrder.code, SuccessCode.ModifyOrder.message)
    assert report["order"]["quantity"] == 3 and report["order"]["id"] == record["trade_id"]
    assert lines == [f"[green]修改委託單 {record['trade_id']} 數量成功, 修改數量 2[/green]"]


def test_cut_to_zero_rests_and_one_more_is_refused(m, lines):
    record = rest(m, lines, qty=5)
    with pytest.raises(Exception, match="^修改的數量 6 大於原本的數量 5$"):
        m.modify_order(record["trade_id"], 6)
    assert record["quantity"] == 5 and reports(m) == [] and lines == []
    m.modify_order(record["trade_id"], 5)
    assert record["quantity"] == 0 and m.pending_orders == [record]


def test_negative_cut_is_refused_and_changes_nothing(m, lines):
    record = rest(m, lines, qty=5)
    with pytest.raises(Exception, match="^修改的數量 -3 必須大於 0$") as info:
        m.modify_order(record["trade_id"], -3, 101.0)
    assert type(info.value) is Exception
    assert record["quantity"] == 5 and record["price"] == 100.0
    assert reports(m) == [] and lines == []


@pytest.mark.parametrize("price,text", [(101.5, "101.5"), (99.0, "99.0"), (1e-07, "1e-07")])
def test_new_price(m, lines, price, text):
    record = rest(m, lines)
    m.modify_order(record["trade_id"], None, price)
    assert record["price"] == price and record["quantity"] == 5
    [report] = reports(m)
    assert report["operation_type"] == OperationType.UPDATE_PRICE
    assert report["operation_message"] == SuccessCode.ModifyOrder.message
    assert report["order"]["price"] == price
    assert lines == [f"[green]修改委託單 {record['trade_id']} 價格成功, 修改價格 {text}[/green]"]


def test_both_arguments_give_two_reports_quantity_first(m, lines):
    record = rest(m, lines, qty=5)
    m.modify_order(trade_id=record["trade_id"], qty=1, price=98.5)
    first, second = reports(m)
    assert first["operation_type"] == OperationType.UPDATE_QTY
    assert (first["order"]["quantity"], first["order"]["price"]) == (4, 100.0)  # before the re-price
    assert second["operation_type"] == OperationType.UPDATE_PRICE
    assert (second["order"]["quantity"], second["order"]["price"]) == (4, 98.5)
    assert [line.split(" ")[2] for line in lines] == ["數量成功,", "價格成功,"]


@pytest.mark.parametrize("price,shown", [(-1.0, "-1.0"), (-5.0, "-5.0"), (math.nan, "nan"), (-math.inf, "-inf")])
def test_refused_price_alone_changes_nothing(m, lines, price, shown):
    record = rest(m, lines, qty=5)
    with pytest.raises(Exception, match=f"^修改的價格 {shown} 必須大於 0$"):
        m.modify_order(record["trade_id"], None, price)
    assert (record["quantity"], record["price"]) == (5, 100.0)
    assert reports(m) == [] and lines == []


@pytest.mark.parametrize("price,shown", [(-1.0, "-1.0"), (math.nan, "nan")])
def test_refused_price_after_a_cut_keeps_the_cut_made_and_reported(m, lines, price, shown):
    record = rest(m, lines, qty=5)
    with pytest.raises(Exception, match=f"^修改的價格 {shown} 必須大於 0$"):
        m.modify_order(record["trade_id"], 2, price)
    assert (record["quantity"], record["price"]) == (3, 100.0)
    (report,) = reports(m)
    assert report["operation_type"] == OperationType.UPDATE_QTY and report["order"]["quantity"] == 3
    assert lines == [f"[green]修改委託單 {record['trade_id']} 數量成功, 修改數量 2[/green]"]


def test_infinite_price_is_refused(m, lines):
    record = rest(m, lines)
    with pytest.raises(Exception, match="^修改的價格 inf 必須是有限的數值$"):
        m.modify_order(record["trade_id"], None, math.inf)
    assert record["price"] == 100.0 and reports(m) == []


@pytest.mark.parametrize("qty,price", [(None, None), (0, None), (None, 0.0), (0, 0.0)])
@pytest.mark.parametrize("known", [True, False])
def test_nothing_to_modify(m, lines, qty, price, known):
    record = rest(m, lines)
    trade_id = record["trade_id"] if known else "no-such-order"
    with pytest.raises(Exception, match=f"^請至少提供數量或價格來修改委託單 {trade_id}$"):
        m.modify_order(trade_id, qty, price)
    assert record["quantity"] == 5 and reports(m) == [] and lines == []


@pytest.mark.parametrize("args,name", [
    (("x", None, 100), "price"),
    (("x", True, None), "qty"),
    (("x", 1.0, None), "qty"),
    ((1, 1, None), "trade_id"),
    ((None, 1, None), "trade_id"),
])
def test_modify_argument_types(m, lines, args, name):
    record = rest(m, lines)
    args = (record["trade_id"] if args[0] == "x" else args[0],) + args[1:]
    with pytest.raises(TypeError, match=name):
        m.modify_order(*args)
    assert record["quantity"] == 5 and record["price"] == 100.0 and reports(m) == []


def test_unknown_order_is_a_console_line_only(m, lines):
    rest(m, lines)
    m.modify_order("nope", 1)
    m.cancel_order("nope")
    assert lines == ["[red]委託單 nope 不存在[/red]"] * 2
    assert reports(m) == [] and len(m.pending_orders) == 1


def test_modify_report_failure_reaches_the_caller_and_the_change_stays(m, lines):
    record = rest(m, lines)
    record["product_type"] = "Bond"
    with pytest.raises(Exception, match="不支援的商品類型: Bond"):
        m.modify_order(record["trade_id"], 2)
    assert record["quantity"] == 3 and reports(m) == []


# ---------------------------------------------------------------------------
# Cancellation.

def test_cancel_reports_last_quantity_and_price_and_tells_no_book(m, lines):
    m.set_current_tick({"code": "2330", "timestamp": 12.5, "close": 100.0})
    record = rest(m, lines, qty=5)
    m.modify_order(record["trade_id"], 1, 101.0)
    reports(m)
    lines.clear()
    assert m.cancel_order(record["trade_id"]) is None
    assert m.pending_orders == []
    [report] = reports(m)
    assert report["operation_type"] == OperationType.CANCEL
    assert (report["operation_status_code"], report["operation_message"]) == (
        SuccessCode.OrderBeCancel.code, SuccessCode.OrderBeCancel.message)
    assert (report["order"]["quantity"], report["order"]["price"]) == (4, 101.0)
    assert report["trade_status"]["exchange_ts"] == 12.5
    assert lines == [f"[green]取消委託單 {record['trade_id']} 成功[/green]"]
    assert m.positions.calls == []
    m.cancel_order(record["trade_id"])
    assert lines[-1] == f"[red]委託單 {record['trade_id']} 不存在[/red]"


def test_cancel_takes_only_the_named_order(m, lines):
    a, b, c = (rest(m, lines) for _ in range(3))
    m.cancel_order(b["trade_id"])
    assert m.pending_orders == [a, c]


def test_cancel_acknowledgement_failure_is_a_red_line_and_the_order_stays_gone(m, lines):
    record = rest(m, lines)
    record["product_type"] = "Bond"
    assert m.cancel_order(record["trade_id"]) is None
    assert m.pending_orders == [] and reports(m) == []
    assert lines == ["[red]不支援的商品類型: Bond[/red]"]


def test_cancel_argument_type(m, lines):
    rest(m, lines)
    with pytest.raises(TypeError, match="trade_id"):
        m.cancel_order(b"id")
    with pytest.raises(TypeError):
        m.cancel_order()
    assert len(m.pending_orders) == 1


# ---------------------------------------------------------------------------
# Changed orders in matching.

def test_modified_order_matches_at_its_new_price_in_its_old_place(m, lines):
    first = rest(m, lines, qty=2, price=95.0)
    second = rest(m, lines, qty=2, price=100.0)
    m.modify_order(first["trade_id"], 1, 100.0)
    reports(m)
    m.match_deal("2330", 99.0, 2, 1.0)
    deals = reports(m)
    assert [(d["id"], d["quantity"], d["price"]) for d in deals] == [
        (first["trade_id"], 1, 99.0), (second["trade_id"], 1, 99.0)]
    assert m.pending_orders == [second] and second["quantity"] == 1


def test_cancelled_order_is_not_matched(m, lines):
    record = rest(m, lines)
    m.cancel_order(record["trade_id"])
    reports(m)
    m.match_deal("2330", 99.0, 5, 1.0)
    assert reports(m) == [] and m.positions.calls == []


def test_requests_through_the_queue_run_in_order(m, lines):
    record = rest(m, lines, qty=5)
    tid = record["trade_id"]
    senders = [
        threading.Thread(target=m.add_pending_order_queue, args=("modify", {"trade_id": tid, "qty": 1})),
        threading.Thread(target=m.add_pending_order_queue, args=("modify", {"trade_id": tid, "price": 99.5})),
        threading.Thread(target=m.add_pending_order_queue, args=("cancel", {"trade_id": tid})),
    ]
    for t in senders:  # one after another, each from its own thread
        t.start()
        t.join(5)
    got = [m.response_queue.get(timeout=5) for _ in range(3)]
    assert [r["operation_type"] for r in got] == [
        OperationType.UPDATE_QTY, OperationType.UPDATE_PRICE, OperationType.CANCEL]
    assert (got[2]["order"]["quantity"], got[2]["order"]["price"]) == (4, 99.5)
    assert m.pending_orders == []

"""A modification that cuts every open lot: a cancellation under cancel_emptied_orders,
a 0-lot order for the matcher's own callers."""

from __future__ import annotations

import pytest

from tovik_backtest.constant import OperationType
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions


def _matcher(cancel: bool) -> Matcher:
    m = Matcher(Positions())
    m.set_quiet(True)
    m.cancel_emptied_orders(cancel)
    return m


def _reports(m):
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


# (cuts in order, price given with the last cut, operations reported, open quantity left or None when gone)
CUTS = [
    ([3], None, [OperationType.CANCEL], None),
    ([1, 2], None, [OperationType.UPDATE_QTY, OperationType.CANCEL], None),
    ([3], 99.0, [OperationType.CANCEL], None),  # no price change of an order that is gone
    ([2], None, [OperationType.UPDATE_QTY], 1),
    ([2], 99.0, [OperationType.UPDATE_QTY, OperationType.UPDATE_PRICE], 1),
]


@pytest.mark.parametrize("cuts, price, operations, left", CUTS)
def test_cutting_every_open_lot_cancels_the_order(cuts, price, operations, left):
    m = _matcher(True)
    m.add_order("2330", "Stock", "Buy", 100.0, 3, "LMT", "ROD")
    trade_id = m.pending_orders[-1]["trade_id"]
    _reports(m)
    for k, cut in enumerate(cuts):
        m.modify_order(trade_id, cut, price if k == len(cuts) - 1 else None)
    reports = _reports(m)
    assert [r["operation_type"] for r in reports] == operations
    # a cancellation names the lots it takes off the book
    assert reports[-1]["order"]["quantity"] == (3 - sum(cuts[:-1]) if left is None else left)
    resting = [r["quantity"] for r in m.pending_orders if r["trade_id"] == trade_id]
    assert resting == ([] if left is None else [left])
    m.match_deal("2330", 99.0, 10, 50.0)  # nothing of a cancelled order can fill
    deals = [r for r in _reports(m) if "operation_type" not in r]
    assert [d["quantity"] for d in deals] == ([] if left is None else [left])
    assert all(r["trade_status"] == "Deal" for r in m.positions.trade_records)


def test_without_the_rule_the_order_rests_with_nothing_open():
    m = _matcher(False)
    m.add_order("2330", "Stock", "Buy", 100.0, 3, "LMT", "ROD")
    trade_id = m.pending_orders[-1]["trade_id"]
    m.modify_order(trade_id, 3)
    assert [r["quantity"] for r in m.pending_orders] == [0]


def test_the_rule_takes_a_boolean_only():
    with pytest.raises(TypeError, match="must be bool"):
        Matcher(Positions()).cancel_emptied_orders("yes")

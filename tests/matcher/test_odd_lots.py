"""Odd-lot orders filled whole beside the board lots (fill_odd_lots_whole), and the
shared tick quantity kept for the matcher's own callers."""

from __future__ import annotations

import pytest

from tovik_backtest.constant import OperationType
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions


def _matcher(whole: bool) -> Matcher:
    m = Matcher(Positions())
    m.set_quiet(True)
    m.fill_odd_lots_whole(whole)
    return m


def _order(m, qty, lot="Common", order_type="ROD", price=100.0, action="Buy", code="2330"):
    m.add_order(code, "Stock", action, price, qty, "LMT", order_type, "Cash", lot)
    return m.pending_orders[-1]["trade_id"]


def _reports(m):
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


def _deals(reports):
    return [(r["id"], r["quantity"], r["price"]) for r in reports if "operation_type" not in r]


def _cancels(reports):
    return [
        (r["order"]["id"], r["order"]["quantity"]) for r in reports if r.get("operation_type") == OperationType.CANCEL
    ]


# (orders as (qty, lot, order type), tick (close, volume), deals as (order index, qty),
#  exchange cancels as (order index, qty), orders still resting)
WHOLE = [
    # a 50-share order fills whole on a 1-lot tick, in one deal
    ([(50, "IntradayOdd", "ROD")], (100.0, 1), [(0, 50)], [], []),
    ([(999, "Odd", "ROD")], (99.0, 3), [(0, 999)], [], []),
    # the price condition still holds
    ([(50, "IntradayOdd", "ROD")], (101.0, 5), [], [], [0]),
    # a tick without a trade fills nothing
    ([(50, "IntradayOdd", "ROD")], (100.0, 0), [], [], [0]),
    # the odd lot takes none of the board-lot volume: the lot behind it still fills
    ([(50, "IntradayOdd", "ROD"), (2, "Common", "ROD")], (100.0, 2), [(0, 50), (1, 2)], [], []),
    # behind board lots that used up the volume, the odd lot is still reached
    ([(2, "Common", "ROD"), (3, "Common", "ROD"), (70, "Odd", "ROD")], (100.0, 2), [(0, 2), (2, 70)], [], [1]),
    # an IOC board lot behind the used-up volume is neither filled nor cancelled on this tick
    ([(2, "Common", "ROD"), (1, "Common", "IOC"), (70, "Odd", "IOC")], (100.0, 2), [(0, 2), (2, 70)], [], [1]),
    # odd-lot IOC and FOK: whole or cancelled
    ([(70, "Odd", "IOC"), (80, "Odd", "FOK")], (100.0, 1), [(0, 70), (1, 80)], [], []),
    ([(70, "Odd", "IOC"), (80, "Odd", "FOK")], (100.5, 1), [], [(0, 70), (1, 80)], []),
]


@pytest.mark.parametrize("orders, tick, deals, cancels, resting", WHOLE)
def test_odd_lots_fill_whole_beside_the_board_lots(orders, tick, deals, cancels, resting):
    m = _matcher(True)
    ids = [_order(m, qty, lot, kind) for qty, lot, kind in orders]
    _reports(m)
    m.match_deal("2330", tick[0], tick[1], 50.0)
    reports = _reports(m)
    assert _deals(reports) == [(ids[k], q, tick[0]) for k, q in deals]
    assert _cancels(reports) == [(ids[k], q) for k, q in cancels]
    assert [r["trade_id"] for r in m.pending_orders] == [ids[k] for k in resting]


def test_the_position_book_counts_the_odd_shares_beside_the_lots():
    m = _matcher(True)
    _order(m, 1)
    _order(m, 510, "IntradayOdd")
    _order(m, 1, "Common")
    m.match_deal("2330", 100.0, 5, 50.0)
    assert (m.positions.net_quantity("2330"), m.positions.net_lots("2330")) == (2510, 2)


def test_without_the_rule_one_tick_quantity_is_shared_by_every_order():
    # the matcher's own callers: an odd-lot order takes what the tick's quantity allows
    m = _matcher(False)
    board, odd = _order(m, 2), _order(m, 50, "IntradayOdd")
    _reports(m)
    m.match_deal("2330", 100.0, 3, 50.0)
    assert _deals(_reports(m)) == [(board, 2, 100.0), (odd, 1, 100.0)]
    assert m.pending_orders[0]["quantity"] == 49


def test_the_rule_takes_a_boolean_only():
    m = Matcher(Positions())
    with pytest.raises(TypeError, match="must be bool"):
        m.fill_odd_lots_whole(1)

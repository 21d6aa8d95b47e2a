import pytest

from tovik_backtest.modules.positions.positions import Positions


def deal(code, action, qty, price):
    return {"code": code, "action": action, "quantity": qty, "price": price}


class TestNetPositionAndPnl:
    def test_open_add_reduce_close(self):
        book = Positions()
        book.set_positions(deal("2330", "Buy", 2, 100.0), "Stock")
        book.set_positions(deal("2330", "Buy", 2, 102.0), "Stock")
        pos = book.get("2330")
        # a stock's board lots count 1,000 shares each
        assert (pos.quantity, pos.avg_price) == (4000, 101.0)
        book.set_positions(deal("2330", "Sell", 1, 105.0), "Stock")
        assert (pos.quantity, pos.realized_pnl, pos.avg_price) == (3000, 4000.0, 101.0)
        book.set_positions(deal("2330", "Sell", 3, 99.0), "Stock")
        assert (pos.quantity, pos.realized_pnl, pos.avg_price) == (0, -2000.0, 0.0)

    def test_reversal_opens_the_remainder_at_the_fill_price(self):
        book = Positions()
        book.set_positions(deal("TXFR1", "Sell", 1, 17500.0), "Future")
        book.set_positions(deal("TXFR1", "Buy", 3, 17450.0), "Future")
        pos = book.get("TXFR1")
        assert (pos.quantity, pos.avg_price, pos.realized_pnl) == (2, 17450.0, 50.0)

    def test_unrealised_follows_the_last_tick(self):
        book = Positions()
        book.set_positions(deal("2330", "Sell", 2, 100.0), "Stock")
        book.set_current_tick({"code": "2330", "close": 97.5, "timestamp": 1.0})
        assert book.get("2330").unrealized_pnl == 5000.0
        assert book.summary()["2330"]["unrealized_pnl"] == 5000.0

    def test_zero_fill_counts_but_moves_nothing(self):
        book = Positions()
        book.set_positions(deal("2330", "Buy", 0, 100.0), "Stock")
        pos = book.get("2330")
        assert (pos.quantity, pos.fills) == (0, 1)

    @pytest.mark.parametrize("qty, price", [(-1, 100.0), (1, float("nan")), (1, float("inf"))])
    def test_bad_fill_is_refused_and_changes_nothing(self, qty, price):
        book = Positions()
        with pytest.raises(ValueError):
            book.set_positions(deal("2330", "Buy", qty, price), "Stock")
        assert book.get("2330") is None


def lot_deal(action, qty, price, lot):
    return {**deal("2330", action, qty, price), "order_lot": lot}


# (fills as (action, quantity, price, order lot), net shares, whole lots, realised P&L)
MIXED_LOTS = [
    ([("Buy", 1, 100.0, "Common"), ("Buy", 1510, 100.0, "IntradayOdd")], 2510, 2, 0.0),
    ([("Buy", 2, 100.0, "Common"), ("Sell", 500, 104.0, "Odd")], 1500, 1, 2000.0),
    ([("Buy", 999, 100.0, "Odd"), ("Buy", 1, 100.0, "IntradayOdd")], 1000, 1, 0.0),
    ([("Sell", 1, 100.0, "Common"), ("Buy", 300, 90.0, "IntradayOdd")], -700, 0, 3000.0),
    ([("Sell", 3, 100.0, "Common"), ("Buy", 1200, 90.0, "Odd")], -1800, -1, 12000.0),
]


@pytest.mark.parametrize("fills, shares, lots, realized", MIXED_LOTS)
def test_board_and_odd_lots_add_up_in_shares(fills, shares, lots, realized):
    book = Positions()
    for action, qty, price, lot in fills:
        book.set_positions(lot_deal(action, qty, price, lot), "Stock")
    pos = book.get("2330")
    assert (book.net_quantity("2330"), book.net_lots("2330"), pos.realized_pnl) == (shares, lots, realized)
    assert pos.bought + pos.sold == sum(q * (1000 if lot == "Common" else 1) for _, q, _, lot in fills)


def test_a_stock_with_its_own_lot_size_and_a_future_count_their_units():
    book = Positions(lot_shares={"2330": 500})
    book.set_positions(lot_deal("Buy", 3, 100.0, "Common"), "Stock")
    book.set_positions({**deal("TXFR1", "Buy", 2, 17500.0), "oc_type": "Auto"}, "Future")
    assert (book.net_quantity("2330"), book.net_lots("2330")) == (1500, 3)
    assert (book.net_quantity("TXFR1"), book.net_lots("TXFR1")) == (2, 2)
    assert (book.net_quantity("2317"), book.net_lots("2317")) == (0, 0)


def test_trade_records_keep_every_call_in_order():
    book = Positions()
    book.add_trade_record(trade_id="a", code="2330", action="Buy", quantity=3, price=10.0,
                          timestamp=1.5, trade_status="Deal")
    book.add_trade_record(trade_id="a", code="2330", action="Buy", quantity=2, price=10.0,
                          timestamp=None, trade_status="Cancel")
    assert [(r["quantity"], r["trade_status"]) for r in book.trade_records] == [(3, "Deal"), (2, "Cancel")]


# Fills of one instrument in order, then the book's (quantity, average open price,
# realised P&L, bought, sold) after the last one.
SIDES = {
    "short opened in two fills": (
        [("Sell", 2, 100.0), ("Sell", 1, 103.0)], (-3, 101.0, 0.0, 0, 3)),
    "short partly covered keeps its average": (
        [("Sell", 2, 100.0), ("Sell", 2, 104.0), ("Buy", 1, 99.0)], (-3, 102.0, 3.0, 1, 4)),
    "short covered at a loss": (
        [("Sell", 1, 100.0), ("Sell", 1, 102.0), ("Buy", 2, 105.0)], (0, 0.0, -8.0, 2, 2)),
    "short reversed into a long": (
        [("Sell", 1, 100.0), ("Buy", 3, 98.0)], (2, 98.0, 2.0, 3, 1)),
    "long reversed into a short, then added to": (
        [("Buy", 2, 10.0), ("Sell", 5, 12.0), ("Sell", 1, 18.0)], (-4, 13.5, 4.0, 2, 6)),
    "long added to at three prices": (
        [("Buy", 1, 10.0), ("Buy", 2, 13.0), ("Buy", 1, 4.0)], (4, 10.0, 0.0, 4, 0)),
}


@pytest.mark.parametrize("fills, expected", list(SIDES.values()), ids=list(SIDES))
def test_both_sides_average_their_opens_and_count_what_was_bought_and_sold(fills, expected):
    book = Positions()
    for action, qty, price in fills:
        book.set_positions(deal("TXFR1", action, qty, price), "Future")
    pos = book.get("TXFR1")
    assert (pos.quantity, pos.avg_price, pos.realized_pnl, pos.bought, pos.sold) == pytest.approx(expected)
    summary = book.summary()["TXFR1"]
    assert (summary["bought"], summary["sold"]) == (sum(q for a, q, _ in fills if a == "Buy"),
                                                    sum(q for a, q, _ in fills if a == "Sell"))

"""The price index: a tick acts on the records a walk over the whole list would, in
list order, whichever way the book was built or changed."""

from __future__ import annotations

from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tovik_backtest.modules.matcher.matcher import Matcher

import testkit


class NullBook:
    def set_current_tick(self, tick: dict[str, Any]) -> None:
        pass

    def add_trade_record(self, **kwargs: Any) -> None:
        pass

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        pass


def fills(m: Matcher) -> list[tuple[str, int]]:
    out = []
    while not m.response_queue.empty():
        report = m.response_queue.get_nowait()
        if "operation_type" not in report:
            out.append((report["id"], report["quantity"]))
    return out


def walk(pending: list[dict[str, Any]], code: str, close: float, qty: int) -> list[tuple[str, int]]:
    """The reference: every resting limit ROD order of the instrument, in list order."""
    out, remaining = [], qty
    for record in list(pending):
        if record["code"] != code:
            continue
        if remaining == 0:
            break
        buy = record["action"] == "Buy"
        if buy and close <= record["price"] or not buy and close >= record["price"]:
            deal = min(record["quantity"], remaining)
            remaining -= deal
            record["quantity"] -= deal
            if record["quantity"] == 0:
                pending.remove(record)
            out.append((record["trade_id"], deal))
    return out


order = st.tuples(st.sampled_from(["A", "B"]), st.sampled_from(["Buy", "Sell"]),
                  st.sampled_from([98.0, 99.0, 99.5, 100.0, 101.0]), st.integers(1, 3))
step = st.one_of(
    st.tuples(st.just("order"), order),
    st.tuples(st.just("tick"), st.tuples(st.sampled_from(["A", "B"]), st.sampled_from([97.0, 99.0, 100.0, 102.0]),
                                         st.integers(0, 6))),
    st.tuples(st.just("modify"), st.tuples(st.integers(0, 30), st.sampled_from([97.0, 99.5, 101.0]))),
    st.tuples(st.just("cut"), st.integers(0, 30)),
    st.tuples(st.just("cancel"), st.integers(0, 30)),
)


@settings(
    max_examples=testkit.examples(150), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.lists(step, max_size=40))
def test_fills_match_a_walk_over_the_list(console_lines, steps):
    m = Matcher(NullBook())
    shadow: list[dict[str, Any]] = []  # plain copies of the resting records, in list order
    for kind, arg in steps:
        if kind == "order":
            code, action, price, qty = arg
            m.add_order(code, "Stock", action, price, qty, "LMT", "ROD")
            shadow.append({k: m.pending_orders[-1][k] for k in ("trade_id", "code", "action", "price", "quantity")})
        elif kind == "tick":
            code, close, qty = arg
            fills(m)
            m.match_deal(code, close, qty, 1.0)
            assert fills(m) == walk(shadow, code, close, qty)
        elif shadow:
            target = shadow[(arg[0] if kind == "modify" else arg) % len(shadow)]
            if kind == "modify":
                m.modify_order(target["trade_id"], price=arg[1])
                target["price"] = arg[1]
            elif kind == "cut":
                if target["quantity"] < 1:
                    continue
                m.modify_order(target["trade_id"], qty=1)
                target["quantity"] -= 1
            else:
                m.cancel_order(target["trade_id"])
                shadow.remove(target)
        assert [r["trade_id"] for r in m.pending_orders] == [r["trade_id"] for r in shadow]
        assert [r["quantity"] for r in m.pending_orders] == [r["quantity"] for r in shadow]


# (orders as (action, price, order type, price type), tick close, indexes filled in order)
CROSSED = [
    ([("Buy", 101.0, "ROD", "LMT"), ("Buy", 100.0, "ROD", "LMT"), ("Buy", 102.0, "ROD", "LMT")], 100.0, [0, 1, 2]),
    ([("Buy", 99.0, "ROD", "LMT"), ("Buy", 101.0, "ROD", "LMT"), ("Buy", 100.0, "ROD", "LMT")], 100.0, [1, 2]),
    ([("Sell", 99.0, "ROD", "LMT"), ("Buy", 101.0, "ROD", "LMT"), ("Sell", 101.0, "ROD", "LMT")], 100.0, [0, 1]),
    ([("Buy", 90.0, "ROD", "LMT"), ("Sell", 0.0, "ROD", "MKT"), ("Buy", 100.0, "ROD", "LMT")], 100.0, [1, 2]),
    ([("Buy", 90.0, "ROD", "LMT"), ("Buy", 100.0, "IOC", "LMT"), ("Sell", 120.0, "ROD", "LMT")], 100.0, [1]),
]


@pytest.mark.parametrize(("orders", "close", "filled"), CROSSED)
def test_crossed_levels_fill_in_entry_order(console_lines, orders, close, filled):
    m = Matcher(NullBook())
    ids = []
    for action, price, order_type, price_type in orders:
        m.add_order("2330", "Stock", action, price, 1, price_type, order_type)
        ids.append(m.pending_orders[-1]["trade_id"])
    fills(m)
    m.match_deal("2330", close, 10, 1.0)
    assert fills(m) == [(ids[i], 1) for i in filled]


def test_modified_price_keeps_entry_order_at_its_new_level(console_lines):
    m = Matcher(NullBook())
    for price in (100.0, 99.0, 100.0):
        m.add_order("2330", "Stock", "Buy", price, 1, "LMT", "ROD")
    first, second, third = (r["trade_id"] for r in m.pending_orders)
    m.modify_order(second, price=100.0)  # joins the first's level, ahead of the third by entry
    m.modify_order(first, price=98.0)  # out of reach
    fills(m)
    m.match_deal("2330", 100.0, 10, 1.0)
    assert fills(m) == [(second, 1), (third, 1)]
    assert [r["trade_id"] for r in m.pending_orders] == [first]


def test_host_reordering_of_the_same_length_is_seen_through_its_ends(console_lines):
    m = Matcher(NullBook())
    for price in (100.0, 100.0):
        m.add_order("2330", "Stock", "Buy", price, 1, "LMT", "ROD")
    m.match_deal("2330", 200.0, 1, 1.0)  # builds the index
    m.pending_orders.reverse()
    expected = [r["trade_id"] for r in m.pending_orders]
    fills(m)
    m.match_deal("2330", 100.0, 10, 1.0)
    assert [f[0] for f in fills(m)] == expected

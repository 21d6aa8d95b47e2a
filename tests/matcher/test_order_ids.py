"""Matcher(order_ids=...): the host's source of new order ids."""

from __future__ import annotations

import itertools

import pytest

from tovik_backtest.modules.matcher.matcher import Matcher

ORDER = ("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")


def test_ids_come_from_the_callable_for_direct_and_queued_orders(console_lines):
    counter = itertools.count(1)
    with Matcher(order_ids=lambda: f"T{next(counter):04d}") as m:
        m.add_order(*ORDER)
        m.add_pending_order_queue("add", dict(zip(
            ("code", "product_type", "action", "price", "qty", "price_type", "order_type"), ORDER)))
        m.pending_order_queue.join()
        assert [r["trade_id"] for r in m.pending_orders] == ["T0001", "T0002"]
        assert m.pop_response()["order"]["id"] == "T0001"


@pytest.mark.parametrize("order_ids", [None, "not callable", 5])
def test_default_and_bad_sources(console_lines, order_ids):
    if order_ids is None:
        m = Matcher(order_ids=None)
        m.add_order(*ORDER)
        trade_id = m.pending_orders[0]["trade_id"]
        assert type(trade_id) is str and len(trade_id) == 16
        m.close()
        return
    with pytest.raises(TypeError, match="order_ids.*callable"):
        Matcher(order_ids=order_ids)


@pytest.mark.parametrize("returned", [7, b"abc", None])
def test_non_str_id_is_refused_and_nothing_rests(console_lines, returned):
    with Matcher(order_ids=lambda: returned) as m:
        with pytest.raises(TypeError, match=f"order_ids\\(\\) must return str, not {type(returned).__name__}"):
            m.add_order(*ORDER)
        assert m.pending_orders == [] and m.response_queue.qsize() == 0


def test_order_ids_is_keyword_only_and_error_in_the_source_passes_through(console_lines):
    with pytest.raises(TypeError):
        Matcher(None, lambda: "x")  # type: ignore[misc]

    def broken() -> str:
        raise LookupError("id service down")

    with Matcher(order_ids=broken) as m:
        with pytest.raises(LookupError, match="id service down"):
            m.add_order(*ORDER)
        assert m.pending_orders == []

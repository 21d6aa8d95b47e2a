"""A matcher reads the constants module's enumerations as they were when it was made,
for every operation: entry, reports and matching alike."""

from __future__ import annotations

import sys
import types

import pytest

from tovik_backtest import constant
from tovik_backtest.modules.matcher.matcher import Matcher


@pytest.mark.parametrize("replacement", [None, types.ModuleType("tovik_backtest.constant")])
def test_a_later_swap_of_the_module_does_not_split_entry_from_matching(console_lines, monkeypatch, replacement):
    m = Matcher()
    # a stand-in with none of the enumerations: any per-call lookup would fail
    monkeypatch.setitem(sys.modules, "tovik_backtest.constant", replacement)
    m.add_order("2330", "Stock", "Buy", 100.0, 2, "LMT", "ROD")
    record = m.pending_orders[0]
    assert record["action"] is constant.Action.BUY and record["order_type"] is constant.OrderType.ROD
    m.match_deal("2330", 99.0, 5, 1.0)
    assert m.pending_orders == []
    reports = [m.pop_response() for _ in range(2)]
    assert reports[0]["operation_type"] is constant.OperationType.NEW
    assert reports[1]["quantity"] == 2 and reports[1]["price"] == 99.0
    m.close()


class _Refusing:
    """Stands in for an enumeration: any use of it fails."""

    def __getattr__(self, name):
        raise AssertionError(f"read {name} after construction")


@pytest.mark.parametrize("name", ["Action", "PriceType", "OrderType", "OperationType", "SuccessCode"])
def test_an_enumeration_replaced_later_is_not_read(console_lines, monkeypatch, name):
    m = Matcher()
    new = constant.OperationType.NEW
    monkeypatch.setattr(constant, name, _Refusing())
    m.add_order("2330", "Stock", "Buy", 100.0, 2, "LMT", "ROD")
    m.match_deal("2330", 99.0, 5, 1.0)
    reports = [m.pop_response() for _ in range(2)]
    assert reports[0]["operation_type"] is new
    assert reports[1]["quantity"] == 2 and m.pending_orders == []
    m.close()


def test_a_constants_module_without_an_enumeration_is_refused_at_construction(monkeypatch):
    monkeypatch.delattr(constant, "OCType")
    with pytest.raises(AttributeError, match="OCType"):
        Matcher()

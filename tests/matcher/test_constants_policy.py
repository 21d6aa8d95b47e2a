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


def _recording_from_value(calls):
    def from_value(cls, value):
        calls.append((cls.__name__, value))
        return cls._value2member_map_[value]

    return classmethod(from_value)


@pytest.mark.parametrize("where", ["enumeration", "base"])
def test_a_replaced_from_value_is_called_for_every_text(console_lines, monkeypatch, where):
    # the package's own from_value is read through its lookup table; a host's is called
    calls = []
    owner = constant.OrderType if where == "enumeration" else constant.Action.__mro__[1]
    monkeypatch.setattr(owner, "from_value", _recording_from_value(calls))
    m = Matcher()
    m.add_order("2330", "Stock", "Buy", 100.0, 2, "LMT", "IOC")
    assert m.pending_orders[0]["order_type"] is constant.OrderType.IOC
    expected = [("OrderType", "IOC")] if where == "enumeration" else [
        ("Action", "Buy"), ("PriceType", "LMT"), ("OrderType", "IOC"), ("OrderCond", "Cash"), ("OrderLot", "Common")]
    assert calls == expected
    m.close()


@pytest.mark.parametrize("argument, message", [
    ({"action": "buy"}, "Action has no member for value 'buy'"),
    ({"order_type": "GTC"}, "OrderType has no member for value 'GTC'"),
])
def test_a_text_of_no_member_gets_from_values_own_refusal(console_lines, argument, message):
    m = Matcher()
    fields = {"action": "Buy", "order_type": "ROD"} | argument
    with pytest.raises(ValueError, match=message):
        m.add_order("2330", "Stock", fields["action"], 100.0, 1, "LMT", fields["order_type"])
    assert m.pending_orders == []
    m.close()

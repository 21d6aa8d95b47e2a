"""The matcher calls its own methods without going through Python when nothing replaced
them; anything a host put in their place is still used, and the reports come out the
same either way. Order ids always come from nanoid's generator, looked up at each call."""

from __future__ import annotations

import json
import string
import sys

import nanoid
import pytest

from tovik_backtest.constant import OCType, OperationType, OrderCond, OrderType, SuccessCode
from tovik_backtest.modules.matcher.matcher import Matcher

STOCK = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 580.0, "qty": 2,
         "price_type": "LMT", "order_type": "ROD", "order_cond": "MarginTrading", "order_lot": "Odd"}
FUTURE = {"code": "TXFA4", "product_type": "Future", "action": "Sell", "price": 17500.0, "qty": 1,
          "price_type": "MKP", "order_type": "ROD", "oc_type": "Cover"}


def responses(m):
    out = []
    while not m.response_queue.empty():
        out.append(m.response_queue.get_nowait())
    return out


def fixed_ids(m, *ids):
    pool = list(ids)
    m._Matcher__get_random_uuid = lambda: pool.pop(0)


def delegating(m, name):
    """An instance attribute that hands the call to the class's own method."""
    method = getattr(Matcher, name)
    setattr(m, name, lambda *args: method(m, *args))


class TestOrderIds:
    def test_replaced_generator_is_called(self, matcher, monkeypatch):
        calls = []

        def fake(*args, **kwargs):
            calls.append(kwargs)
            return "F" * 16

        monkeypatch.setattr(nanoid, "generate", fake)
        assert matcher._Matcher__get_random_uuid() == "F" * 16
        matcher.add_order(**STOCK)
        assert matcher.pending_orders[0]["trade_id"] == "F" * 16
        assert calls == [{"size": 16}, {"size": 16}]

    def test_ids_come_from_the_generators_default_alphabet(self, matcher, monkeypatch):
        alphabet = (string.digits + string.ascii_lowercase + string.ascii_uppercase + "-_")[::-1]
        monkeypatch.setattr(nanoid.generate, "__defaults__", (alphabet[:32] * 2, 21))
        ids = [matcher._Matcher__get_random_uuid() for _ in range(300)]
        assert set("".join(ids)) == set(alphabet[:32])  # only half the symbols, all in use
        assert all(len(i) == 16 for i in ids)

    def test_other_alphabet_sizes_go_through_the_generator(self, matcher, monkeypatch):
        monkeypatch.setattr(nanoid.generate, "__defaults__", ("ab", 21))
        ids = [matcher._Matcher__get_random_uuid() for _ in range(50)]
        assert all(len(i) == 16 for i in ids) and set("".join(ids)) == {"a", "b"}


class TestSameReportsEitherWay:
    """A format method replaced by one that delegates to the class's own gets the
    common-fields dict; the plain matcher makes the report without it. Both agree."""

    @pytest.mark.parametrize("order", [STOCK, FUTURE], ids=["stock", "future"])
    def test_order_and_deal_reports(self, console_lines, order):
        plain, routed = Matcher(), Matcher()
        for name in ("get_simulation_stock_order_response", "get_simulation_future_order_response",
                     "get_simulation_stock_deal_response", "get_simulation_future_deal_response",
                     "build_order_response", "build_deal_response", "add_response_to_queue"):
            delegating(routed, name)
        for m in (plain, routed):
            fixed_ids(m, "a" * 16, "b" * 16)
            m.set_current_tick({"code": order["code"], "timestamp": 7.5, "close": 1.0})
            m.add_order(**order)
            m.add_order(**dict(order, qty=3))
            m.match_deal(order["code"], 99.0, 3, 8.0)
            m.modify_order("b" * 16, qty=1)
            m.cancel_order("b" * 16)
        got, expected = responses(plain), responses(routed)
        assert len(got) == 6  # 2 new, 2 deals, modify, cancel
        assert [list(r) for r in got] == [list(r) for r in expected]
        assert got == expected
        for a, b in zip(got, expected):
            for key in ("order", "trade_status"):
                if key in a:
                    assert list(a[key]) == list(b[key])
        assert console_lines.lines[:2] == [f"[green]新增委託單 {'a' * 16} 成功[/green]",
                                           f"[green]新增委託單 {'b' * 16} 成功[/green]"]


class TestReplacementsOnTheFillPath:
    def test_deal_report_methods_replaced_on_the_instance(self, matcher):
        queued = []
        matcher.get_simulation_stock_deal_response = lambda data: {"fmt": sorted(data)}
        matcher.add_response_to_queue = queued.append
        matcher.add_order(**STOCK)
        matcher.match_deal("2330", 500.0, 5, 1.0)
        assert queued[-1] == {"fmt": sorted(["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account",
                                             "action", "code", "quantity", "price", "exchange_ts",
                                             "order_cond", "order_lot"])}
        matcher.build_deal_response = lambda trade: {"built": trade["quantity"]}
        matcher.add_order(**STOCK)
        matcher.match_deal("2330", 500.0, 1, 2.0)
        assert queued[-1] == {"built": 1}

    def test_builders_replaced_in_a_subclass(self, console_lines):
        seen = []

        class Audited(Matcher):
            def build_order_response(self, trade, operation_type, code_obj):
                seen.append((operation_type, code_obj))
                return super().build_order_response(trade, operation_type, code_obj)

            def build_deal_response(self, trade):
                return dict(super().build_deal_response(trade), audited=True)

        m = Audited()
        m.add_order(**FUTURE)
        m.match_deal("TXFA4", 17000.0, 1, 3.0)
        new, deal = responses(m)
        assert seen == [(OperationType.NEW, SuccessCode.CreateOrder)]
        assert new["operation_status_code"] == "00" and new["operation_message"] == "委託成功"
        assert deal["audited"] is True and list(deal)[-2:] == ["exchange_ts", "audited"]


class TestKeywordArguments:
    """add_order matches interned keyword names by identity and leaves every other
    case to the general argument parser."""

    def test_names_that_are_not_interned(self, matcher, wait_idle):
        text = json.dumps(STOCK)
        payload = json.loads(text)  # keys built at run time, not interned
        assert all(sys.intern(k) is not k for k in payload)
        matcher.add_order(**payload)
        matcher.add_pending_order_queue("add", json.loads(text))
        wait_idle(matcher)
        first, second = matcher.pending_orders
        assert {k: first[k] for k in first if k != "trade_id"} == {k: second[k] for k in second if k != "trade_id"}
        assert first["order_cond"] is OrderCond.MARGIN_TRADING and first["quantity"] == 2

    def test_errors_of_the_general_parser(self, matcher):
        args = list(STOCK.values())[:7]
        with pytest.raises(TypeError, match="multiple values for argument 'code'"):
            matcher.add_order(*args, code="2330")
        with pytest.raises(TypeError, match="unexpected keyword argument 'venue'"):
            matcher.add_order(*args, venue="TWSE")
        with pytest.raises(TypeError, match="missing required argument: 'order_type'"):
            matcher.add_order(**{k: v for k, v in STOCK.items() if k != "order_type"})
        with pytest.raises(TypeError, match="at most 10"):
            matcher.add_order(*args, "Cash", "Common", "Auto", "extra")
        assert matcher.pending_orders == []

    def test_optional_arguments_in_any_order(self, matcher):
        matcher.add_order(oc_type="New", order_type="IOC", price_type="MKT", qty=1, price=0.0, action="Buy",
                          product_type="Future", code="TXFA4")
        (record,) = matcher.pending_orders
        assert record["oc_type"] is OCType.NEW and record["order_type"] is OrderType.IOC
        assert list(record)[-1] == "oc_type"

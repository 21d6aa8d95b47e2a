"""Order and deal reports: key orders, values, conversions, failures and replacement
of the format methods."""

from __future__ import annotations

import copy

import pytest

from tovik_backtest.constant import (
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
)
from tovik_backtest.modules.matcher.matcher import Matcher

TOP_KEYS = ["operation_type", "operation_status_code", "operation_message", "order", "trade_status"]
STOCK_ORDER_KEYS = ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity",
                    "order_type", "order_cond", "order_lot", "price_type"]
FUTURE_ORDER_KEYS = ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity",
                     "order_type", "price_type", "oc_type"]
DEAL_HEAD = ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account", "action", "code",
             "quantity", "price"]
STOCK_DEAL_KEYS = DEAL_HEAD + ["order_cond", "order_lot", "exchange_ts"]
FUTURE_DEAL_KEYS = DEAL_HEAD + ["exchange_ts"]


def stock_record(**changes):
    record = {
        "operation_type": "New", "operation_code": "00", "operation_message": "委託成功",
        "trade_id": "abcdEFGH12345_-x", "account_id": "BT-00001", "code": "2330",
        "product_type": "Stock", "action": Action.BUY, "price": 580.0, "quantity": 3,
        "price_type": PriceType.LMT, "order_type": OrderType.ROD, "exchange_ts": None,
        "order_cond": OrderCond.MARGIN_TRADING, "order_lot": OrderLot.ODD,
    }
    record.update(changes)
    return record


def future_record(**changes):
    record = stock_record(code="TXFA4", product_type="Future", action=Action.SELL, price=17500.0,
                          quantity=1, order_type=OrderType.FOK, price_type=PriceType.MKP)
    del record["order_cond"], record["order_lot"]
    record["oc_type"] = OCType.COVER
    record.update(changes)
    return record


def deal_of(record, quantity, price, ts):
    deal = copy.deepcopy(record)
    deal.update(quantity=quantity, price=price, exchange_ts=ts)
    return deal


class TestOrderReports:
    def test_stock_order_report(self, matcher):
        trade = stock_record()
        report = matcher.build_order_response(trade, OperationType.UPDATE_QTY, SuccessCode.ModifyOrder)
        assert list(report) == TOP_KEYS
        assert report["operation_type"] is OperationType.UPDATE_QTY
        assert report["operation_status_code"] == SuccessCode.ModifyOrder.code
        assert report["operation_message"] == SuccessCode.ModifyOrder.message
        order = report["order"]
        assert list(order) == STOCK_ORDER_KEYS
        assert order["id"] == order["seqno"] == order["ordno"] == trade["trade_id"]
        assert order["account"] == "BT-00001" and order["code"] == "2330"
        assert order["action"] is Action.BUY and order["price"] == 580.0 and order["quantity"] == 3
        assert order["order_type"] is OrderType.ROD and order["price_type"] is PriceType.LMT
        assert order["order_cond"] is OrderCond.MARGIN_TRADING and order["order_lot"] is OrderLot.ODD
        assert report["trade_status"] == {"id": trade["trade_id"], "exchange": "TOVIK Backtest Exchange",
                                          "exchange_ts": None}
        assert list(report["trade_status"]) == ["id", "exchange", "exchange_ts"]
        assert trade == stock_record()  # input untouched

    def test_future_order_report(self, matcher):
        report = matcher.build_order_response(future_record(), OperationType.CANCEL, SuccessCode.OrderBeCancel)
        assert list(report) == TOP_KEYS
        order = report["order"]
        assert list(order) == FUTURE_ORDER_KEYS
        assert order["oc_type"] is OCType.COVER and order["order_type"] is OrderType.FOK
        assert order["price_type"] is PriceType.MKP and order["action"] is Action.SELL
        assert report["operation_message"] == SuccessCode.OrderBeCancel.message

    def test_reports_of_orders_entered_through_the_queue(self, matcher, stock_order, future_order,
                                                         wait_idle, drain):
        matcher.add_pending_order_queue("add", stock_order())
        matcher.add_pending_order_queue("add", future_order())
        wait_idle(matcher)
        stock, future = drain(matcher)
        assert [list(stock["order"]), list(future["order"])] == [STOCK_ORDER_KEYS, FUTURE_ORDER_KEYS]
        assert stock["operation_type"] is OperationType.NEW
        assert stock["operation_status_code"] == "00"
        assert stock["trade_status"]["id"] == matcher.pending_orders[0]["trade_id"]
        assert future["trade_status"]["exchange_ts"] is None

    def test_exchange_ts_is_the_latest_tick_when_built(self, matcher):
        trade = stock_record(exchange_ts=111.0)  # the record's own time is not used
        assert matcher.build_order_response(trade, OperationType.NEW,
                                            SuccessCode.CreateOrder)["trade_status"]["exchange_ts"] is None
        matcher.set_current_tick({"code": "2330", "timestamp": 222.5})
        report = matcher.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        assert report["trade_status"]["exchange_ts"] == 222.5
        matcher.current_tick_infos["2330"] = {"tick": None}  # an entry without "ts"
        report = matcher.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        assert report["trade_status"]["exchange_ts"] is None

    def test_account_and_exchange_read_at_build_time(self, matcher):
        matcher.account_info["account_id"] = "BT-00002"
        matcher.exchange_info = {"name": "Other"}
        report = matcher.build_order_response(stock_record(), OperationType.NEW, SuccessCode.CreateOrder)
        assert report["order"]["account"] == "BT-00002" and report["trade_status"]["exchange"] == "Other"


class TestDealReports:
    def test_stock_deal_report(self, matcher):
        deal = deal_of(stock_record(), 1, 579.0, 1700000000.5)
        report = matcher.build_deal_response(deal)
        assert list(report) == STOCK_DEAL_KEYS
        trade_id = deal["trade_id"]
        assert report["id"] == report["seqno"] == report["ordno"] == report["exchange_seqno"] == trade_id
        assert report["broker_id"] == "TOVIK Backtest Exchange" and report["account"] == "BT-00001"
        assert report["action"] is Action.BUY and report["code"] == "2330"
        assert (report["quantity"], report["price"], report["exchange_ts"]) == (1, 579.0, 1700000000.5)
        assert report["order_cond"] is OrderCond.MARGIN_TRADING and report["order_lot"] is OrderLot.ODD

    def test_future_deal_report(self, matcher):
        report = matcher.build_deal_response(deal_of(future_record(), 1, 17499.0, 5.0))
        assert list(report) == FUTURE_DEAL_KEYS
        assert "oc_type" not in report and "order_type" not in report and "price_type" not in report
        assert report["broker_id"] == "TOVIK Backtest Exchange" and report["account"] == "BT-00001"
        assert (report["quantity"], report["price"], report["exchange_ts"]) == (1, 17499.0, 5.0)


class TestFormatMethods:
    def test_enumeration_fields_converted_action_not(self, matcher):
        data = {
            "operation_type": "UpdatePrice", "operation_code": "00", "operation_message": "改單成功",
            "trade_id": "t", "account_id": "a", "code": "2330", "action": "Buy", "price": 1.0,
            "quantity": 1, "price_type": "LMT", "order_type": "IOC", "exchange_ts": 3.0,
            "order_cond": "Cash", "order_lot": "Common",
        }
        before = dict(data)
        report = matcher.get_simulation_stock_order_response(data)
        assert report["operation_type"] is OperationType.UPDATE_PRICE
        assert report["order"]["order_type"] is OrderType.IOC
        assert report["order"]["price_type"] is PriceType.LMT
        assert report["order"]["order_cond"] is OrderCond.CASH
        assert report["order"]["order_lot"] is OrderLot.COMMON
        assert type(report["order"]["action"]) is str  # passed through as given
        assert data == before
        deal = matcher.get_simulation_stock_deal_response(
            {"id": 1, "seqno": 2, "ordno": 3, "exchange_seqno": 4, "broker_id": 5, "account": 6,
             "action": "Sell", "code": 7, "quantity": 8, "price": 9, "exchange_ts": 10,
             "order_cond": "ShortSelling", "order_lot": "IntradayOdd"})
        assert deal["order_cond"] is OrderCond.SHORT_SELLING and deal["order_lot"] is OrderLot.INTRADAY_ODD
        assert [deal[k] for k in DEAL_HEAD] == [1, 2, 3, 4, 5, 6, "Sell", 7, 8, 9]

    def test_refused_enumeration_value_reaches_the_caller(self, matcher):
        with pytest.raises(ValueError, match="OCType"):
            matcher.build_order_response(future_record(oc_type="Sometimes"), OperationType.NEW,
                                         SuccessCode.CreateOrder)

    def test_replacement_on_the_instance_is_used(self, matcher, stock_order, drain):
        seen = []

        def custom(data):
            seen.append(data)
            return {"custom": data["trade_id"]}

        matcher.get_simulation_stock_order_response = custom
        matcher.get_simulation_future_deal_response = lambda data: {"deal": data["price"]}
        trade = stock_record()
        assert matcher.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder) == {
            "custom": trade["trade_id"]}
        assert seen[0] is not trade and list(seen[0])[-2:] == ["order_cond", "order_lot"]
        assert matcher.build_deal_response(deal_of(future_record(), 1, 2.0, 3.0)) == {"deal": 2.0}
        matcher.add_order(**stock_order())
        assert drain(matcher) == [{"custom": matcher.pending_orders[0]["trade_id"]}]

    def test_replacement_in_a_subclass_is_used(self, console_lines):
        class Flat(Matcher):
            def get_simulation_future_order_response(self, data):
                return dict(data)

        report = Flat().build_order_response(future_record(), OperationType.NEW, SuccessCode.CreateOrder)
        assert list(report)[-1] == "oc_type" and report["operation_type"] is OperationType.NEW
        assert len(report) == 13


class TestBuilderFailures:
    @pytest.mark.parametrize("product", ["stock", "FUTURE", "Bond", None])
    def test_unsupported_product_type(self, matcher, product):
        with pytest.raises(Exception, match=f"^不支援的商品類型: {product}$") as info:
            matcher.build_order_response(stock_record(product_type=product), OperationType.NEW,
                                         SuccessCode.CreateOrder)
        assert type(info.value) is Exception
        with pytest.raises(Exception, match=f"^不支援的商品類型: {product}$"):
            matcher.build_deal_response(deal_of(stock_record(product_type=product), 1, 1.0, 1.0))

    def test_missing_common_field_wins_over_bad_product(self, matcher):
        trade = stock_record(product_type="Bond")
        del trade["order_type"]
        with pytest.raises(KeyError, match="order_type"):
            matcher.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        deal = deal_of(stock_record(product_type="Bond"), 1, 1.0, 1.0)
        del deal["exchange_ts"]
        with pytest.raises(KeyError, match="exchange_ts"):
            matcher.build_deal_response(deal)
        stock = stock_record()
        del stock["order_lot"]
        with pytest.raises(KeyError, match="order_lot"):
            matcher.build_order_response(stock, OperationType.NEW, SuccessCode.CreateOrder)

    def test_first_missing_key_in_report_order_is_reported(self, matcher):
        trade = stock_record()
        del trade["trade_id"], trade["code"]
        with pytest.raises(KeyError, match="trade_id"):
            matcher.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder)
        data = {"trade_id": "t", "order_type": "ROD"}  # no operation_type, nor the rest
        with pytest.raises(KeyError, match="operation_type"):
            matcher.get_simulation_future_order_response(data)
        data["operation_type"] = "New"
        with pytest.raises(KeyError, match="operation_code"):
            matcher.get_simulation_future_order_response(data)

    @pytest.mark.parametrize("bad", [None, [("trade_id", "x")], type("Record", (dict,), {})(stock_record())])
    def test_record_must_be_a_plain_dict(self, matcher, bad):
        with pytest.raises(TypeError, match="'trade'"):
            matcher.build_order_response(bad, OperationType.NEW, SuccessCode.CreateOrder)
        with pytest.raises(TypeError, match="'trade'"):
            matcher.build_deal_response(bad)
        for name in ("get_simulation_stock_order_response", "get_simulation_future_order_response",
                     "get_simulation_stock_deal_response", "get_simulation_future_deal_response"):
            with pytest.raises(TypeError, match="'data'"):
                getattr(matcher, name)(bad)


@pytest.mark.parametrize("call", ["add_order", "build_deal_response", "build_order_response"])
def test_a_lone_surrogate_is_refused_as_an_unknown_product_type(call):
    # UTF-8 cannot hold "\ud800": the refusal still names it, escaped, instead of failing itself
    from tovik_backtest.constant import OperationType, SuccessCode

    m = Matcher()
    trade = {"operation_code": "00", "operation_message": "x", "trade_id": "a", "account_id": "b", "code": "2330",
             "product_type": "\ud800", "action": "Buy", "price": 580.0, "quantity": 5, "price_type": "LMT",
             "order_type": "ROD", "exchange_ts": 1.0, "order_cond": "Cash", "order_lot": "Common"}
    calls = {
        "add_order": lambda: m.add_order("2330", "\ud800", "Buy", 580.0, 1, "LMT", "ROD"),
        "build_deal_response": lambda: m.build_deal_response(trade),
        "build_order_response": lambda: m.build_order_response(trade, OperationType.NEW, SuccessCode.CreateOrder),
    }
    with pytest.raises(Exception, match=r"不支援的商品類型: \\ud800") as info:
        calls[call]()
    assert type(info.value) is Exception
    assert m.pending_orders == []

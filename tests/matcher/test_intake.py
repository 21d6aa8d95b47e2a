"""Matcher construction, the intake worker, the tick table, order ids, the queue
operations and order entry."""

from __future__ import annotations

import inspect
import json
import math
import queue
import string
import sys
import threading

import pytest

from tovik_backtest.constant import (
    Action,
    OCType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
)
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.positions.positions import Positions

import testkit

FIELDS = [
    "pending_orders",
    "response_queue",
    "pending_order_queue",
    "current_tick_infos",
    "positions",
    "account_info",
    "exchange_info",
]
COMMON_KEYS = [
    "operation_type",
    "operation_code",
    "operation_message",
    "trade_id",
    "account_id",
    "code",
    "product_type",
    "action",
    "price",
    "quantity",
    "price_type",
    "order_type",
    "exchange_ts",
]
URL_SAFE = set(string.ascii_letters + string.digits + "_-")


def worker_threads_of(m) -> list[threading.Thread]:
    return [
        t
        for t in threading.enumerate()
        if getattr(getattr(t, "_target", None), "__self__", None) is m
    ]


class RecordingBook:
    """A position book that is false while it holds nothing (like one whose len counts
    open positions) and remembers every tick it is told."""

    def __init__(self) -> None:
        self.ticks: list = []

    def __len__(self) -> int:
        return 0

    def set_current_tick(self, tick) -> None:
        self.ticks.append(tick)


class TestConstruction:
    def test_fields_in_order_with_initial_values(self, matcher):
        assert list(vars(matcher)) == FIELDS
        assert matcher.pending_orders == [] and type(matcher.pending_orders) is list
        assert type(matcher.pending_order_queue) is queue.Queue
        assert type(matcher.response_queue) is queue.SimpleQueue
        assert matcher.pending_order_queue.qsize() == 0 and matcher.response_queue.qsize() == 0
        assert matcher.current_tick_infos == {}
        assert type(matcher.positions) is Positions
        assert matcher.account_info == {"account_id": "BT-00001"}
        assert matcher.exchange_info == {"name": "TOVIK Backtest Exchange"}

    def test_worker_is_a_running_daemon_serving_this_matcher(self, matcher):
        (worker,) = worker_threads_of(matcher)
        assert worker.daemon and worker.is_alive()
        assert worker._target == matcher._Matcher__receive_pending_order

    def test_positions_argument_kept_unless_none(self, console_lines):
        book = RecordingBook()
        assert not book  # false, yet it is the host's book
        assert Matcher(book).positions is book
        assert Matcher(positions=book).positions is book
        assert type(Matcher(None).positions) is Positions

    def test_two_matchers_are_independent(self, matcher, stock_order, wait_idle):
        other = Matcher()
        for field in FIELDS[:4] + FIELDS[5:]:
            assert getattr(matcher, field) is not getattr(other, field), field
        assert worker_threads_of(matcher)[0] is not worker_threads_of(other)[0]
        matcher.add_pending_order_queue("add", stock_order())
        wait_idle(matcher)
        assert len(matcher.pending_orders) == 1 and matcher.response_queue.qsize() == 1
        assert other.pending_orders == [] and other.response_queue.qsize() == 0

    def test_second_init_is_refused_and_changes_nothing(self, matcher):
        before = dict(vars(matcher))
        with pytest.raises(RuntimeError, match="__init__"):
            matcher.__init__()
        assert vars(matcher) == before
        assert all(vars(matcher)[k] is v for k, v in before.items())
        assert len(worker_threads_of(matcher)) == 1

    @pytest.mark.parametrize(
        "args, kwargs",
        [((1, 2), {}), ((), {"book": 1}), ((1,), {"positions": 1})],
    )
    def test_bad_constructor_arguments(self, console_lines, args, kwargs):
        with pytest.raises(TypeError):
            Matcher(*args, **kwargs)

    def test_documented_signatures(self):
        params = inspect.signature(Matcher.add_order).parameters
        assert list(params)[1:] == [
            "code", "product_type", "action", "price", "qty", "price_type", "order_type",
            "order_cond", "order_lot", "oc_type",
        ]
        assert params["order_cond"].default == OrderCond.CASH.value
        assert params["order_lot"].default == OrderLot.COMMON.value
        assert params["oc_type"].default == OCType.AUTO.value
        first_lines = {
            "__init__": "Matcher Module Constructor",
            "add_order": "新增委託單到待成交列表",
            "_Matcher__init_current_tick_info": "初始化當前 Tick 資訊",
            "_Matcher__get_random_uuid": "產生隨機的 UUID",
            "_Matcher__receive_pending_order": "接收委託單",
            "reset_tick_infos": "重置當前 Tick 資訊",
            "set_current_tick": "設置當前的 Tick",
            "pop_response": "從回報佇列中取出回報資料",
            "add_pending_order_queue": "將委託單加入待成交佇列",
            "add_response_to_queue": "將回報資料加入回報佇列",
        }
        for name, line in first_lines.items():
            assert getattr(Matcher, name).__doc__.splitlines()[0] == line, name
        assert list(inspect.signature(Matcher.add_pending_order_queue).parameters) == [
            "self", "action", "payload",
        ]


class Recording(Matcher):
    """Records the order operations the worker calls, in the order it calls them."""

    def __init__(self) -> None:
        self.calls: list[tuple] = []
        super().__init__()

    def add_order(self, **kwargs):
        self.calls.append(("add", kwargs["code"]))

    def modify_order(self, trade_id, qty, price):
        self.calls.append(("modify", trade_id, qty, price))

    def cancel_order(self, trade_id):
        self.calls.append(("cancel", trade_id))


class TestIntakeLoop:
    def test_messages_from_many_threads_are_served_in_queue_order(self, console_lines, wait_idle):
        m = Recording()
        expected: list[tuple] = []
        put_lock = threading.Lock()
        barrier = threading.Barrier(4)

        def submit(n: int) -> None:
            barrier.wait(timeout=10)
            for i in range(50):
                code = f"{n}-{i}"
                for action, payload, call in [
                    ("add", {"code": code}, ("add", code)),
                    ("modify", {"trade_id": code, "qty": i, "price": 1.5}, ("modify", code, i, 1.5)),
                    ("cancel", {"trade_id": code}, ("cancel", code)),
                ]:
                    with put_lock:  # the put order is the order the worker must follow
                        m.add_pending_order_queue(action, payload)
                        expected.append(call)

        threads = [threading.Thread(target=submit, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=10)
            assert not t.is_alive()
        wait_idle(m)
        assert m.calls == expected and len(expected) == 600

    def test_modify_without_qty_or_price_passes_none(self, console_lines, wait_idle):
        m = Recording()
        m.add_pending_order_queue("modify", {"trade_id": "abc"})
        m.add_pending_order_queue("modify", {"trade_id": "def", "price": 3})
        wait_idle(m)
        assert m.calls == [("modify", "abc", None, None), ("modify", "def", None, 3)]

    def test_unsupported_action_prints_one_line_and_service_goes_on(
        self, matcher, console_lines, error_records, stock_order, wait_idle
    ):
        matcher.add_pending_order_queue("delete", {})
        wait_idle(matcher)
        assert console_lines.lines == ["[red]不支援的操作: delete[/red]"]
        assert error_records.lines == [] and matcher.response_queue.qsize() == 0
        matcher.add_pending_order_queue("add", stock_order())
        wait_idle(matcher)
        assert len(matcher.pending_orders) == 1 and matcher.response_queue.qsize() == 1

    def test_message_without_payload(self, matcher, console_lines, error_records, wait_idle):
        matcher.pending_order_queue.put({"action": "add"})
        wait_idle(matcher)
        assert console_lines.lines == ["[red]接收委託單失敗: 'payload'[/red]"]
        (record,) = error_records.parsed()
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == "'payload'"
        assert "KeyError" in record["traceback"]
        assert record["data"] == {"info": {"action": "add"}}

    def test_add_with_none_payload(self, matcher, console_lines, error_records, wait_idle):
        matcher.pending_order_queue.put({"action": "add", "payload": None})
        wait_idle(matcher)
        text = "argument after ** must be a mapping, not NoneType"
        assert console_lines.lines == [f"[red]接收委託單失敗: {text}[/red]"]
        (record,) = error_records.parsed()
        assert record["error"] == text and "TypeError" in record["traceback"]
        assert record["data"] == {"info": {"action": "add", "payload": None}}

    def test_failure_record_is_default_json(self, matcher, console_lines, error_records, stock_order, wait_idle):
        matcher.add_pending_order_queue("add", stock_order(product_type="Bond"))
        wait_idle(matcher)
        assert console_lines.lines == ["[red]接收委託單失敗: 不支援的商品類型: Bond[/red]"]
        (text,) = error_records.lines
        record = json.loads(text)
        assert text == json.dumps(record)  # one line, default separators, \u escapes
        assert "\\u4e0d" in text and "不" not in text
        assert record["error"] == "不支援的商品類型: Bond"
        assert record["data"] == {"info": {"action": "add", "payload": stock_order(product_type="Bond")}}
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0

    def test_other_failures_are_reported_and_counted_done(self, matcher, console_lines, error_records, wait_idle):
        for message in ["not a dict", {"payload": {}}, {"action": "cancel", "payload": {}},
                        {"action": "modify", "payload": {"qty": 1}}]:
            matcher.pending_order_queue.put(message)
        wait_idle(matcher)
        assert len(console_lines.lines) == 4 and len(error_records.lines) == 4
        assert all(line.startswith("[red]接收委託單失敗: ") for line in console_lines.lines)
        assert [r["data"]["info"] for r in error_records.parsed()] == [
            "not a dict", {"payload": {}}, {"action": "cancel", "payload": {}},
            {"action": "modify", "payload": {"qty": 1}},
        ]
        assert matcher.pending_order_queue.unfinished_tasks == 0

    def test_unencodable_payload_still_logged(self, matcher, console_lines, error_records, stock_order, wait_idle):
        matcher.add_pending_order_queue("add", stock_order(extra=object()))
        wait_idle(matcher)
        (record,) = error_records.parsed()
        assert "unexpected keyword argument 'extra'" in record["error"]
        assert record["data"]["info"]["payload"]["extra"].startswith("<object object")
        matcher.add_pending_order_queue("add", stock_order())
        wait_idle(matcher)
        assert len(matcher.pending_orders) == 1

    def test_payload_whose_repr_fails_still_logged(self, matcher, error_records, wait_idle):
        class Opaque:
            def __repr__(self):
                raise RuntimeError("no text form")

        matcher.pending_order_queue.put({"action": "cancel", "payload": {"x": Opaque()}})
        wait_idle(matcher)
        (record,) = error_records.parsed()
        assert record["error"] == "'trade_id'" and record["data"] == "<unrepresentable dict>"

    def test_loop_survives_a_failing_console(self, matcher, console_lines, error_records, stock_order,
                                             wait_idle, monkeypatch):
        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

        def refuse_failure_lines(text):
            if text.startswith("[red]"):
                raise OSError("console gone")

        console_lines.hook = refuse_failure_lines
        matcher.add_pending_order_queue("launch", {})
        matcher.pending_order_queue.put({"action": "add"})
        matcher.add_pending_order_queue("add", stock_order())
        wait_idle(matcher)
        assert len(unraisable) == 2
        assert all(isinstance(u.exc_value, OSError) for u in unraisable)
        # the unsupported-action line failing is itself a failed cycle; records still go out
        assert [r["error"] for r in error_records.parsed()] == ["console gone", "'payload'"]
        assert len(matcher.pending_orders) == 1 and matcher.response_queue.qsize() == 1


class TestQueueOperations:
    @pytest.mark.parametrize(
        "action, payload",
        [
            (None, {}),
            (1, {}),
            (type("Text", (str,), {})("add"), {}),
            ("add", None),
            ("add", [("code", "2330")]),
            ("add", type("Mapping", (dict,), {})()),
        ],
    )
    def test_type_errors_queue_nothing(self, matcher, action, payload):
        spare = queue.Queue()
        matcher.pending_order_queue = spare  # the worker waits on the old queue meanwhile
        with pytest.raises(TypeError):
            matcher.add_pending_order_queue(action, payload)
        assert spare.qsize() == 0

    def test_message_holds_the_payload_itself(self, matcher):
        spare = queue.Queue()
        matcher.pending_order_queue = spare
        payload = {"trade_id": "x"}
        assert matcher.add_pending_order_queue("cancel", payload) is None
        message = spare.get_nowait()
        assert list(message) == ["action", "payload"]
        assert message["action"] == "cancel" and message["payload"] is payload

    def test_response_round_trip_keeps_identity(self, matcher, pop_report):
        reports = [{"n": i} for i in range(3)]
        for r in reports:
            assert matcher.add_response_to_queue(r) is None
        assert [pop_report(matcher) for _ in reports] == reports
        with pytest.raises(TypeError):
            matcher.add_response_to_queue([1])
        assert matcher.response_queue.qsize() == 0

    def test_pop_response_waits_for_a_report(self, matcher, stock_order):
        got = queue.SimpleQueue()
        threading.Thread(target=lambda: got.put(matcher.pop_response()), daemon=True).start()
        with pytest.raises(queue.Empty):
            got.get(timeout=0.2)
        matcher.add_pending_order_queue("add", stock_order())
        report = got.get(timeout=10)
        assert report["order"]["id"] == matcher.pending_orders[0]["trade_id"]


class TestTickTable:
    def test_entries_created_then_updated_in_place(self, console_lines):
        book = RecordingBook()
        m = Matcher(book)
        t1 = {"code": "2330", "timestamp": 1.0, "close": 10.0}
        t2 = {"code": "2330", "timestamp": 2.0, "close": 11.0}
        t3 = {"code": "2317", "timestamp": 2.5}
        m.set_current_tick(t1)
        entry = m.current_tick_infos["2330"]
        assert list(entry) == ["ts", "tick"] and entry["ts"] == 1.0 and entry["tick"] is t1
        assert m.set_current_tick(t2) is None
        assert m.current_tick_infos["2330"] is entry and entry["ts"] == 2.0 and entry["tick"] is t2
        m.set_current_tick(t3)
        assert list(m.current_tick_infos) == ["2330", "2317"]
        assert book.ticks == [t1, t2, t3] and book.ticks[0] is t1

    def test_reset_drops_the_table(self, matcher):
        matcher.set_current_tick({"code": "2330", "timestamp": 1.0})
        old = matcher.current_tick_infos
        old_entry = old["2330"]
        assert matcher.reset_tick_infos() is None
        assert matcher.current_tick_infos == {} and matcher.current_tick_infos is not old
        matcher.set_current_tick({"code": "2330", "timestamp": 5.0})
        assert matcher.current_tick_infos["2330"] is not old_entry
        assert old == {"2330": old_entry} and old_entry["ts"] == 1.0

    def test_bad_ticks(self, console_lines):
        book = RecordingBook()
        m = Matcher(book)
        first = {"code": "2330", "timestamp": 1.0}
        m.set_current_tick(first)
        with pytest.raises(KeyError, match="code"):
            m.set_current_tick({"timestamp": 2.0})
        assert m.current_tick_infos == {"2330": {"ts": 1.0, "tick": first}}
        no_ts = {"code": "2330"}
        with pytest.raises(KeyError, match="timestamp"):
            m.set_current_tick(no_ts)
        entry = m.current_tick_infos["2330"]
        assert entry["tick"] is no_ts and entry["ts"] == 1.0
        for bad in (None, [("code", "2330")], type("Tick", (dict,), {})(code="1", timestamp=1)):
            with pytest.raises(TypeError):
                m.set_current_tick(bad)
        assert book.ticks == [first]

    def test_new_tick_info_entries(self, matcher):
        a = matcher._Matcher__init_current_tick_info("2330")
        b = matcher._Matcher__init_current_tick_info("2330")
        assert list(a.items()) == [("ts", None), ("tick", None)] and a is not b
        with pytest.raises(TypeError):
            matcher._Matcher__init_current_tick_info(2330)


def test_order_ids_are_16_url_safe_characters_and_differ(matcher):
    ids = [matcher._Matcher__get_random_uuid() for _ in range(500)]
    assert all(type(i) is str and len(i) == 16 and set(i) <= URL_SAFE for i in ids)
    assert len(set(ids)) == len(ids)
    # all 64 symbols turn up across 8000 draws: the whole alphabet is in use
    assert set("".join(ids)) == URL_SAFE


class TestAddOrder:
    def test_stock_record(self, matcher, stock_order, console_lines):
        assert matcher.add_order(**stock_order()) is None
        (record,) = matcher.pending_orders
        assert list(record) == COMMON_KEYS + ["order_cond", "order_lot"]
        assert record["operation_type"] == "New"
        assert (record["operation_code"], record["operation_message"]) == ("00", "委託成功")
        assert record["account_id"] == "BT-00001"
        assert (record["code"], record["product_type"]) == ("2330", "Stock")
        assert record["action"] is Action.BUY
        assert record["price"] == 580.0 and record["quantity"] == 2
        assert record["price_type"] is PriceType.LMT and record["order_type"] is OrderType.ROD
        assert record["exchange_ts"] is None
        assert record["order_cond"] is OrderCond.CASH and record["order_lot"] is OrderLot.COMMON
        assert console_lines.lines == [f"[green]新增委託單 {record['trade_id']} 成功[/green]"]

    def test_future_record(self, matcher, future_order):
        matcher.add_order(**future_order())
        matcher.add_order(**future_order(oc_type="DayTrade", order_cond="MarginTrading"))
        first, second = matcher.pending_orders
        assert list(first) == COMMON_KEYS + ["oc_type"]
        assert first["action"] is Action.SELL and first["order_type"] is OrderType.IOC
        assert first["oc_type"] is OCType.AUTO and second["oc_type"] is OCType.DAY_TRADE

    def test_stock_options_and_positional_call(self, matcher):
        matcher.add_order("2330", "Stock", "Sell", 1, 3, "MKT", "FOK", "ShortSelling", "Odd", "Cover")
        (record,) = matcher.pending_orders
        assert record["order_cond"] is OrderCond.SHORT_SELLING and record["order_lot"] is OrderLot.ODD
        assert "oc_type" not in record and record["price_type"] is PriceType.MKT

    def test_integer_price_becomes_float(self, matcher, stock_order):
        matcher.add_order(**stock_order(price=100, qty=7))
        record = matcher.pending_orders[0]
        assert type(record["price"]) is float and record["price"] == 100.0
        assert record["quantity"] == 7 and "qty" not in record

    def test_exchange_ts_follows_the_instrument_tick(self, matcher, stock_order):
        matcher.add_order(**stock_order())
        matcher.set_current_tick({"code": "2317", "timestamp": 9.0})
        matcher.add_order(**stock_order())
        matcher.set_current_tick({"code": "2330", "timestamp": 1700000000.25})
        matcher.add_order(**stock_order())
        assert [r["exchange_ts"] for r in matcher.pending_orders] == [None, None, 1700000000.25]

    def test_identical_orders_rest_in_entry_order_with_distinct_ids(self, matcher, stock_order, drain):
        matcher.add_order(**stock_order())
        matcher.add_order(**stock_order())
        a, b = matcher.pending_orders
        assert a is not b and a["trade_id"] != b["trade_id"]
        assert [r["order"]["id"] for r in drain(matcher)] == [a["trade_id"], b["trade_id"]]

    def test_report_follows_the_stored_record(self, console_lines, stock_order):
        seen = []

        class Spy(Matcher):
            def build_order_response(self, trade, operation_type, code_obj):
                seen.append((trade, list(self.pending_orders), self.response_queue.qsize()))
                return super().build_order_response(trade, operation_type, code_obj)

        m = Spy()
        queued_at_print = []
        console_lines.hook = lambda text: queued_at_print.append(m.response_queue.qsize())
        m.add_order(**stock_order())
        ((trade, resting, queued_before),) = seen
        assert trade is m.pending_orders[0] and resting == [trade] and queued_before == 0
        assert queued_at_print == [1]

    @pytest.mark.parametrize("qty", [0, -3, -(10**30)])
    def test_refused_quantity(self, matcher, stock_order, console_lines, qty):
        with pytest.raises(Exception) as info:
            matcher.add_order(**stock_order(qty=qty))
        assert type(info.value) is Exception
        assert str(info.value) == f"委託數量必須大於 0: {qty}"
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0
        assert console_lines.lines == []

    @pytest.mark.parametrize("price, text", [(math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf"),
                                             (-0.5, "-0.5"), (-1, "-1")])
    def test_refused_price(self, matcher, stock_order, price, text):
        with pytest.raises(Exception) as info:
            matcher.add_order(**stock_order(price=price))
        assert type(info.value) is Exception
        assert str(info.value) == f"委託價格必須為有限且不小於 0 的數字: {text}"
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0

    def test_zero_price_market_order_allowed(self, matcher, stock_order):
        matcher.add_order(**stock_order(price=0, price_type="MKT"))
        assert matcher.pending_orders[0]["price"] == 0.0

    @pytest.mark.parametrize(
        "changes",
        [
            {"code": 2330},
            {"product_type": None},
            {"action": Action.BUY},  # a member is not exactly text
            {"price": "580"},
            {"price": None},
            {"qty": True},
            {"qty": 2.0},
            {"price_type": b"LMT"},
            {"order_type": ["ROD"]},
            {"order_cond": None},
            {"order_lot": 1},
            {"oc_type": 1},  # checked even though a stock order ignores it
            {"unknown": 1},
        ],
    )
    def test_type_errors_store_nothing(self, matcher, stock_order, console_lines, changes):
        with pytest.raises(TypeError):
            matcher.add_order(**stock_order(**changes))
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0
        assert console_lines.lines == []

    def test_missing_argument(self, matcher, stock_order):
        args = stock_order()
        del args["order_type"]
        with pytest.raises(TypeError, match="order_type"):
            matcher.add_order(**args)
        assert matcher.pending_orders == []

    @pytest.mark.parametrize("changes", [{"action": "buy"}, {"price_type": "LIMIT"},
                                         {"order_type": "GTC"}, {"order_lot": "Whole"}])
    def test_unknown_vocabulary_stores_nothing(self, matcher, stock_order, changes):
        with pytest.raises(ValueError):
            matcher.add_order(**stock_order(**changes))
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0

    @pytest.mark.parametrize("product", ["stock", "FUTURE", "Option", ""])
    def test_unsupported_product_stores_nothing(self, matcher, stock_order, product):
        with pytest.raises(Exception, match=f"^不支援的商品類型: {product}$") as info:
            matcher.add_order(**stock_order(product_type=product))
        assert type(info.value) is Exception
        assert matcher.pending_orders == [] and matcher.response_queue.qsize() == 0

    def test_failed_acknowledgement_keeps_the_order(self, matcher, stock_order, console_lines, error_records):
        def broken(data):
            raise RuntimeError("格式錯誤")

        matcher.get_simulation_stock_order_response = broken
        assert matcher.add_order(**stock_order(price=581)) is None
        assert len(matcher.pending_orders) == 1 and matcher.response_queue.qsize() == 0
        assert console_lines.lines == ["[red]發生錯誤: 格式錯誤[/red]"]
        (text,) = error_records.lines
        record = json.loads(text)
        assert text == json.dumps(record)
        assert record["error"] == "格式錯誤" and "RuntimeError" in record["traceback"]
        assert record["data"] == {
            "code": "2330", "product_type": "Stock", "action": "Buy", "price": 581.0, "qty": 2,
            "price_type": "LMT", "order_type": "ROD", "order_cond": "Cash", "order_lot": "Common",
            "oc_type": "Auto",
        }
        assert list(record["data"]) == [
            "code", "product_type", "action", "price", "qty", "price_type", "order_type",
            "order_cond", "order_lot", "oc_type",
        ]

    def test_failed_console_line_after_the_report(self, matcher, stock_order, console_lines, error_records):
        def refuse_green(text):
            if text.startswith("[green]"):
                raise ValueError("no console")

        console_lines.hook = refuse_green
        matcher.add_order(**stock_order())
        assert len(matcher.pending_orders) == 1 and matcher.response_queue.qsize() == 1
        assert console_lines.lines == ["[red]發生錯誤: no console[/red]"]
        assert len(error_records.lines) == 1

    def test_replaced_fields_and_methods_are_used(self, matcher, stock_order, console_lines):
        sent = []
        matcher._Matcher__get_random_uuid = lambda: "X" * 16
        matcher.add_response_to_queue = sent.append
        matcher.account_info = {"account_id": "BT-00009"}
        matcher.pending_orders = resting = []
        matcher.add_order(**stock_order())
        assert resting[0]["trade_id"] == "X" * 16 and resting[0]["account_id"] == "BT-00009"
        assert sent[0]["order"]["account"] == "BT-00009" and matcher.response_queue.qsize() == 0

        class Tagged(Matcher):
            def _Matcher__init_current_tick_info(self, code):
                return {"ts": None, "tick": None, "code": code}

        tagged = Tagged()
        tagged.set_current_tick({"code": "2330", "timestamp": 1.0})
        assert tagged.current_tick_infos["2330"]["code"] == "2330"

    def test_add_order_on_an_uninitialised_instance(self, stock_order):
        bare = Matcher.__new__(Matcher)
        with pytest.raises(RuntimeError):
            bare.add_order(**stock_order())


EXIT_WHILE_BUSY = """
import sys, threading, time
import tovik_backtest.utils as utils
utils.console.print = lambda *a, **k: None
from tovik_backtest.modules.matcher.matcher import Matcher
payload = dict(code="2330", product_type="Stock", action="Buy", price=1.0, qty=1,
               price_type="LMT", order_type="ROD")

def feed(m):
    while True:
        m.add_pending_order_queue("add", payload)
        if len(m.pending_orders) > 500:
            m.pending_orders.clear()

for m in [Matcher() for _ in range(3)]:
    threading.Thread(target=feed, args=(m,), daemon=True).start()
    threading.Thread(target=lambda m=m: [m.pop_response() for _ in iter(int, 1)], daemon=True).start()
time.sleep(float(sys.argv[1]))
"""


@pytest.mark.parametrize("seconds", ["0.05", "0.15", "0.3"])
def test_process_exits_cleanly_while_workers_are_busy(seconds):
    import subprocess

    env = testkit.child_env()
    done = subprocess.run([sys.executable, "-c", EXIT_WHILE_BUSY, seconds], env=env,
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]

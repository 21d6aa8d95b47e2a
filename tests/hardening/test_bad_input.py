"""Every method of Matcher and Ticker, public and private, fed wrong types, wrong shapes
and extreme values: each call either works or raises the documented error, and a
refused call leaves the resting orders, the queues and the cache files as they were.

The property tests run in a child interpreter (started by the last test of this file),
so a crash of the interpreter shows as a failed test instead of ending the run; the
child counts the cases it tried and the parent checks the total.
"""

from __future__ import annotations

import json
import math
import os
import queue
import shutil
import sys
import tempfile
import threading
import time
from collections import Counter
from fractions import Fraction
from pathlib import Path

import polars as pl
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import testkit

COUNTS_ENV = "TOVIK_BAD_INPUT_COUNTS"
IN_CHILD = bool(os.environ.get(COUNTS_ENV))
# cases the child must try: the ci profile runs every test's full example count
MIN_CASES = 10_000 if testkit.PROFILE == "ci" else 300
WAIT = 10.0

child_only = pytest.mark.skipif(not IN_CHILD, reason="run by test_no_input_crashes_the_interpreter")
CASES: Counter = Counter()


def counted(name: str) -> None:
    CASES[name] += 1


# ---------------------------------------------------------------------------
# Values a host can pass.


class SubStr(str):
    pass


class SubInt(int):
    pass


class SubFloat(float):
    pass


class SubDict(dict):
    pass


class SubList(list):
    pass


class HostError(Exception):
    """Raised by the argument's own methods; it must reach the caller unchanged."""


class Opaque:
    def __repr__(self) -> str:
        return "Opaque()"


class Hostile:
    """Every protocol a C++ caller might use on it fails with HostError."""

    def __str__(self):
        raise HostError("str")

    def __repr__(self):
        raise HostError("repr")

    def __bool__(self):
        raise HostError("bool")

    def __hash__(self):
        raise HostError("hash")

    def __eq__(self, other):
        raise HostError("eq")

    def __float__(self):
        raise HostError("float")

    def __index__(self):
        raise HostError("index")

    def __len__(self):
        raise HostError("len")

    def __getitem__(self, key):
        raise HostError("getitem")

    def keys(self):
        raise HostError("keys")


SPECIAL_TEXTS = [
    "",
    " ",
    "台積電",
    "\u0000",
    "2330\x00",
    "../2330",
    "a/b",
    "a\\b",
    "/",
    ".",
    "..",
    "\ud800",  # lone surrogate: not encodable as UTF-8
    "Buy",
    "Sell",
    "LMT",
    "MKT",
    "ROD",
    "IOC",
    "FOK",
    "Stock",
    "Future",
    "stock",
    "2330",
    "TXFR1",
    "2024-01-02",
    "2024-13-45",
    "add",
    "modify",
    "cancel",
]
EXTREME_FLOATS = [
    math.nan,
    math.inf,
    -math.inf,
    -0.0,
    0.0,
    1e308,
    -1e308,
    5e-324,
    2.0**63,
    -1.0,
    0.5,
]
HUGE_INTS = [2**63, -(2**63) - 1, 2**64, 10**30, -(10**30), 10**400, -(10**400), 0, -1, 1]

long_text = st.builds(lambda n: "x" * n, st.just(10_000))
texts = st.one_of(st.sampled_from(SPECIAL_TEXTS), long_text, st.text(max_size=12))
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**6), max_value=10**6),
    st.sampled_from(HUGE_INTS),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(EXTREME_FLOATS),
    texts,
    st.binary(max_size=6),
    st.builds(SubStr, texts),
    st.builds(SubInt, st.sampled_from(HUGE_INTS)),
    st.builds(SubFloat, st.sampled_from(EXTREME_FLOATS)),
    st.builds(Opaque),
    st.builds(Hostile),
    st.just(Fraction(7, 3)),
    st.just(complex(1, 2)),
    st.just(object),
)


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=3),
        st.tuples(children, children),
        st.dictionaries(texts, children, max_size=3),
        st.builds(SubDict, st.dictionaries(texts, children, max_size=3)),
        st.builds(SubList, st.lists(children, max_size=3)),
    )


anything = st.recursive(scalars, _containers, max_leaves=5)


def either(valid, *edges):
    """A valid value, an edge value of the right type, or anything at all."""
    return st.one_of(valid, valid, *edges, anything)


edge_ints = st.sampled_from(HUGE_INTS)
edge_floats = st.sampled_from(EXTREME_FLOATS)


@st.composite
def call_of(draw, params):
    """(args, kwargs) for a method whose parameters are ``params``: (name, strategy,
    required) in order. Arguments go positionally up to a drawn split, by keyword after
    it; sometimes one is dropped, one is added, or an unknown keyword is passed."""
    present = []
    for name, strategy, required in params:
        if not required and draw(st.booleans()):
            present.append((name, None, False))
            continue
        present.append((name, draw(strategy), True))
    split = draw(st.integers(min_value=0, max_value=len(present)))
    args, kwargs = [], {}
    for i, (name, value, given_) in enumerate(present):
        if not given_:
            split = min(split, i)
            continue
        if i < split:
            args.append(value)
        else:
            kwargs[name] = value
    shape = draw(st.sampled_from(["ok", "ok", "ok", "extra", "unknown", "missing", "twice"]))
    if shape == "extra":
        args = args + [draw(anything)] * (len(params) + 1 - len(args))
    elif shape == "unknown":
        kwargs[draw(st.sampled_from(["bogus", "qty_", "Code", "self"]))] = draw(anything)
    elif shape == "missing" and (args or kwargs):
        if kwargs:
            kwargs.pop(next(iter(kwargs)))
        else:
            args = args[:-1]
    elif shape == "twice" and args:
        kwargs[params[0][0]] = args[0]
    return args, kwargs


def refused_as_documented(exc: BaseException, allowed) -> bool:
    """``allowed``: (exception class, message prefix or None); the class must match
    exactly, so that a general Exception is not confused with one of its subclasses."""
    if isinstance(exc, HostError):
        return True
    for cls, prefix in allowed:
        if type(exc) is cls and (prefix is None or str(exc).startswith(prefix)):
            return True
    return False


def attempt(label, call, allowed, snapshot, *, partial_ok=lambda exc: False):
    """Runs ``call``; a refusal must be documented and must change nothing that
    ``snapshot`` sees (unless ``partial_ok`` says that refusal comes after a
    documented first step). Returns ("ok", result) or ("refused", exception)."""
    counted(label)
    before = snapshot()
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - every refusal is classified below; SystemExit and the like fail the test
        assert refused_as_documented(exc, allowed), f"{label}: undocumented {type(exc).__name__}: {str(exc)[:300]}"
        if type(exc) is TypeError:
            assert str(exc), f"{label}: TypeError without a message"
        if not partial_ok(exc):
            after = snapshot()
            assert after == before, f"{label}: refused call ({type(exc).__name__}: {exc}) changed state"
        return "refused", exc
    return "ok", result


TYPE_ONLY = [(TypeError, None)]


# ---------------------------------------------------------------------------
# Child-process set-up: captured output, a temporary data directory, one matcher and
# two tickers shared by the examples (a Matcher per example would leave thousands of
# worker threads behind).

if IN_CHILD:
    from tovik_backtest import utils
    from tovik_backtest.constant import (
        BASIC_INFO,
        FLAG,
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

    LINES: list[str] = []
    RECORDS: list[str] = []
    _out_lock = threading.Lock()

    def _print(*args, **kwargs):
        with _out_lock:
            LINES.append(args[0] if args else "")

    def _error(text, *args, **kwargs):
        with _out_lock:
            RECORDS.append(text)

    utils.console.print = _print
    utils.logger.error = _error

    # An error the intake loop cannot even write into a record (a message whose own
    # text form fails) goes to the unraisable hook; the loop must go on all the same.
    UNRAISABLE: list[str] = []
    sys.unraisablehook = lambda info: UNRAISABLE.append(type(info.exc_value).__name__)
    # A back-filling thread ends with the error of its table (documented); kept here.
    THREAD_ERRORS: list[BaseException] = []
    threading.excepthook = lambda args: THREAD_ERRORS.append(args.exc_value)

    DATA_DIR = Path(tempfile.mkdtemp(prefix="tovik-bad-input-"))
    BASIC_INFO.data_dir = str(DATA_DIR / "data")


class QuietBook:
    """Position book stand-in that accepts every call (the book's own checks are not
    what is tested here)."""

    def __init__(self):
        self.calls = 0

    def set_current_tick(self, tick):
        self.calls += 1

    def add_trade_record(self, **kwargs):
        self.calls += 1

    def set_positions(self, trade, product_type):
        self.calls += 1


STOCK = {
    "code": "2330",
    "product_type": "Stock",
    "action": "Buy",
    "price": 580.0,
    "qty": 5,
    "price_type": "LMT",
    "order_type": "ROD",
}
FUTURE = {
    "code": "TXFR1",
    "product_type": "Future",
    "action": "Sell",
    "price": 17500.0,
    "qty": 2,
    "price_type": "LMT",
    "order_type": "IOC",
}
BASELINE_ORDERS = [
    STOCK,
    FUTURE,
    dict(STOCK, action="Sell", price=590.0, qty=3, order_type="FOK", order_cond="MarginTrading"),
    dict(FUTURE, price_type="MKT", order_type="ROD", price=0.0, oc_type="New"),
]

_matcher = None


def matcher():
    """The shared matcher, set back to four resting orders and one tick."""
    global _matcher
    if _matcher is None:
        _matcher = Matcher(QuietBook())
    m = _matcher
    wait_idle(m)
    while True:
        try:
            m.response_queue.get_nowait()
        except queue.Empty:
            break
    m.pending_orders[:] = []
    m.reset_tick_infos()
    m.set_current_tick({"code": "2330", "timestamp": 1_704_186_000.0, "close": 580.0})
    for order in BASELINE_ORDERS:
        m.add_order(**order)
    for _ in BASELINE_ORDERS:
        m.response_queue.get_nowait()
    LINES.clear()
    RECORDS.clear()
    UNRAISABLE.clear()
    return m


def wait_idle(m) -> None:
    done = threading.Event()

    def join():
        m.pending_order_queue.join()
        done.set()

    threading.Thread(target=join, daemon=True).start()
    assert done.wait(WAIT), "the intake worker did not serve its messages in time"


def matcher_state(m):
    return (
        [(id(r), list(r.items())) for r in m.pending_orders],
        m.response_queue.qsize(),
        m.pending_order_queue.qsize(),
        [(k, id(v), list(v.items())) for k, v in m.current_tick_infos.items()],
    )


def trade_ids(m):
    return [r["trade_id"] for r in m.pending_orders]


codes = st.sampled_from(["2330", "TXFR1", "2317", "9999", "台積電"])
prices = st.one_of(st.floats(min_value=0, max_value=1000), st.integers(min_value=0, max_value=1000))
quantities = st.integers(min_value=1, max_value=10)


def enum_text(enum):
    return st.sampled_from([member.value for member in enum] if IN_CHILD else ["x"])


# ---------------------------------------------------------------------------
# Matcher: order entry, modification, cancellation, matching.

ADD_ORDER_REFUSALS = [
    (TypeError, None),
    (ValueError, None),  # a text that names no member of an enumeration
    (Exception, "委託數量必須大於 0"),
    (Exception, "委託數量超出上限"),
    (Exception, "委託價格必須為有限且不小於 0 的數字"),
    (Exception, "不支援的商品類型: "),
]


@child_only
@settings(max_examples=testkit.examples(1500))
@given(data=st.data())
def test_add_order_refuses_or_stores_a_sound_record(data):
    m = matcher()
    params = [
        ("code", either(codes), True),
        ("product_type", either(st.sampled_from(["Stock", "Future"])), True),
        ("action", either(enum_text(Action)), True),
        ("price", either(prices, edge_floats, edge_ints), True),
        ("qty", either(quantities, edge_ints), True),
        ("price_type", either(enum_text(PriceType)), True),
        ("order_type", either(enum_text(OrderType)), True),
        ("order_cond", either(enum_text(OrderCond)), False),
        ("order_lot", either(enum_text(OrderLot)), False),
        ("oc_type", either(enum_text(OCType)), False),
    ]
    args, kwargs = data.draw(call_of(params))
    count = len(m.pending_orders)
    outcome, _ = attempt(
        "add_order",
        lambda: m.add_order(*args, **kwargs),
        ADD_ORDER_REFUSALS,
        lambda: matcher_state(m),
    )
    if outcome == "ok":
        assert len(m.pending_orders) == count + 1
        record = m.pending_orders[-1]
        assert type(record["price"]) is float and math.isfinite(record["price"]) and record["price"] >= 0
        assert type(record["quantity"]) is int and record["quantity"] > 0
        assert record["product_type"] in ("Stock", "Future")
        report = m.response_queue.get_nowait()
        assert report["order"]["id"] == record["trade_id"]
        # A stored order never poisons matching: a tick of its instrument is served.
        m.match_deal(record["code"], record["price"], 1_000_000, 1_704_186_001.0)


MODIFY_REFUSALS = [
    (TypeError, None),
    (Exception, "請至少提供數量或價格來修改委託單 "),
    (Exception, "修改的數量 "),
    (Exception, "修改的價格 "),
]


@child_only
@settings(max_examples=testkit.examples(1200))
@given(data=st.data())
def test_modify_and_cancel_refuse_or_change_one_order(data):
    m = matcher()
    ids = trade_ids(m)
    trade_id = either(st.sampled_from(ids + ["no-such-order-00"]))
    which = data.draw(st.sampled_from(["modify", "cancel"]))
    quantities_before = {r["trade_id"]: r["quantity"] for r in m.pending_orders}
    if which == "modify":
        params = [
            ("trade_id", trade_id, True),
            (
                "qty",
                either(st.one_of(st.none(), st.integers(-3, 8), st.sampled_from(HUGE_INTS))),
                False,
            ),
            (
                "price",
                either(st.one_of(st.none(), st.floats(), st.sampled_from(EXTREME_FLOATS))),
                False,
            ),
        ]
        args, kwargs = data.draw(call_of(params))

        def cut_then_bad_price(exc):
            # A cut is made and reported before a refused price (documented order).
            return str(exc).startswith("修改的價格 ")

        attempt(
            "modify_order",
            lambda: m.modify_order(*args, **kwargs),
            MODIFY_REFUSALS,
            lambda: matcher_state(m),
            partial_ok=cut_then_bad_price,
        )
        for record in m.pending_orders:
            # Nothing ever raises an open quantity or leaves a price unusable.
            assert 0 <= record["quantity"] <= quantities_before[record["trade_id"]]
            assert math.isfinite(record["price"]) and record["price"] >= 0
        assert [r["trade_id"] for r in m.pending_orders] == ids
    else:
        args, kwargs = data.draw(call_of([("trade_id", trade_id, True)]))
        outcome, _ = attempt(
            "cancel_order",
            lambda: m.cancel_order(*args, **kwargs),
            TYPE_ONLY,
            lambda: matcher_state(m),
        )
        if outcome == "ok":
            left = trade_ids(m)
            assert len(ids) - len(left) in (0, 1) and all(i in ids for i in left)


@child_only
@settings(max_examples=testkit.examples(1200))
@given(data=st.data())
def test_match_deal_refuses_before_touching_the_book(data):
    m = matcher()
    params = [
        ("code", either(codes), True),
        ("tick_close", either(st.one_of(prices, st.sampled_from(EXTREME_FLOATS))), True),
        ("tick_qty", either(st.one_of(st.integers(-5, 20), st.sampled_from(HUGE_INTS))), True),
        ("tick_ts", either(st.floats(min_value=0, max_value=2e9)), True),
    ]
    args, kwargs = data.draw(call_of(params))
    sizes = {r["trade_id"]: r["quantity"] for r in m.pending_orders}
    outcome, _ = attempt(
        "match_deal",
        lambda: m.match_deal(*args, **kwargs),
        [(TypeError, None), (ValueError, "match_deal(): argument ")],
        lambda: matcher_state(m),
    )
    if outcome == "ok":
        for record in m.pending_orders:
            assert 0 <= record["quantity"] <= sizes[record["trade_id"]]
        while True:
            try:
                report = m.response_queue.get_nowait()
            except queue.Empty:
                break
            quantity = report["order"]["quantity"] if "order" in report else report["quantity"]
            assert type(quantity) is int and quantity >= 0


ticks = st.dictionaries(
    st.sampled_from(["code", "timestamp", "close", "qty", "extra", "Code"]),
    either(st.one_of(codes, st.floats(min_value=0, max_value=2e9))),
    max_size=5,
)


@child_only
@settings(max_examples=testkit.examples(800))
@given(data=st.data())
def test_tick_table_and_queue_operations(data):
    m = matcher()
    which = data.draw(
        st.sampled_from(["set_current_tick", "add_response_to_queue", "add_pending_order_queue", "init_info"])
    )
    state = lambda: matcher_state(m)
    if which == "set_current_tick":
        args, kwargs = data.draw(call_of([("tick", either(ticks), True)]))

        def no_timestamp(exc):
            # The entry's tick is replaced before the missing "timestamp" is noticed.
            return type(exc) is KeyError and exc.args == ("timestamp",)

        attempt(
            which,
            lambda: m.set_current_tick(*args, **kwargs),
            [(TypeError, None), (KeyError, None)],
            state,
            partial_ok=no_timestamp,
        )
    elif which == "add_response_to_queue":
        args, kwargs = data.draw(call_of([("response", either(st.dictionaries(texts, scalars, max_size=3)), True)]))
        outcome, _ = attempt(which, lambda: m.add_response_to_queue(*args, **kwargs), TYPE_ONLY, state)
        if outcome == "ok":
            assert type(m.response_queue.get_nowait()) is dict
    elif which == "add_pending_order_queue":
        payload = st.one_of(st.just(dict(STOCK)), st.dictionaries(texts, scalars, max_size=4))
        params = [
            ("action", either(st.sampled_from(["add", "modify", "cancel", "delete"])), True),
            ("payload", either(payload), True),
        ]
        args, kwargs = data.draw(call_of(params))
        outcome, _ = attempt(which, lambda: m.add_pending_order_queue(*args, **kwargs), TYPE_ONLY, state)
        wait_idle(m)  # whatever was queued is served (and must not stop the worker)
    else:
        args, kwargs = data.draw(call_of([("code", either(codes), True)]))
        outcome, entry = attempt(which, lambda: m._Matcher__init_current_tick_info(*args, **kwargs), TYPE_ONLY, state)
        if outcome == "ok":
            assert entry == {"ts": None, "tick": None}


NO_ARGUMENT_METHODS = [
    "pop_response",
    "reset_tick_infos",
    "_Matcher__get_random_uuid",
    "_Matcher__receive_pending_order",  # refused before it would start serving
]


@child_only
@settings(max_examples=testkit.examples(900))
@given(
    name=st.sampled_from(NO_ARGUMENT_METHODS),
    args=st.lists(anything, min_size=0, max_size=2),
    kwargs=st.dictionaries(st.sampled_from(["x", "self", "timeout", "block"]), anything, max_size=2),
)
def test_methods_without_arguments_refuse_any(name, args, kwargs):
    m = matcher()
    if not args and not kwargs and name in ("pop_response", "_Matcher__receive_pending_order"):
        args = [None]  # the no-argument call would wait for ever
    method = getattr(m, name)
    outcome, result = attempt(name, lambda: method(*args, **kwargs), TYPE_ONLY, lambda: matcher_state(m))
    if args or kwargs:
        assert outcome == "refused"
    elif name == "_Matcher__get_random_uuid":
        assert type(result) is str and len(result) == 16


@child_only
@settings(max_examples=testkit.examples(500))
@given(data=st.data())
def test_resting_orders_replaced_from_outside_never_crash_the_book(data):
    # A host may put anything into pending_orders. The book must then fail with an
    # ordinary error (the record's own fault reaches the caller) or go on; it must
    # never read past what is there.
    m = matcher()
    base = dict(data.draw(st.sampled_from(m.pending_orders)))
    junk = data.draw(st.lists(st.one_of(anything, damaged_record(base)), min_size=1, max_size=3))
    for item in junk:
        m.pending_orders.insert(data.draw(st.integers(0, len(m.pending_orders))), item)
    ids = trade_ids_or_none(m)
    calls = data.draw(
        st.lists(
            st.sampled_from(["match_deal", "modify_order", "cancel_order", "add_order", "set_current_tick"]),
            min_size=1,
            max_size=4,
        )
    )
    for name in calls:
        counted("outside records")
        trade_id = data.draw(st.sampled_from([*ids, "no-such-order-00"]))
        args = {
            "match_deal": ("2330", data.draw(prices), data.draw(st.integers(0, 20)), 1_704_186_001.0),
            "modify_order": (trade_id, data.draw(st.one_of(st.none(), st.integers(1, 3))), 101.5),
            "cancel_order": (trade_id,),
            "add_order": tuple(STOCK.values()),
            "set_current_tick": ({"code": "2330", "timestamp": 1_704_186_002.0, "close": 580.0},),
        }[name]
        try:
            getattr(m, name)(*args)
        except Exception as exc:  # noqa: BLE001 - the records' own faults reach the caller
            assert not isinstance(exc, (SystemError, MemoryError)), repr(exc)
            assert str(exc) or isinstance(exc, KeyError), f"{name}: {type(exc).__name__} without a message"


def trade_ids_or_none(m):
    ids = []
    for record in m.pending_orders:
        try:
            trade_id = record["trade_id"]
        except Exception:  # noqa: BLE001, S112 - junk put there by the test
            continue
        if type(trade_id) is str:
            ids.append(trade_id)
    return ids


# ---------------------------------------------------------------------------
# Matcher: report builders (pure: no call may change anything).

REPORT_REFUSALS = [
    (TypeError, None),
    (KeyError, None),
    (ValueError, None),
    (AttributeError, None),  # a code_obj without `code` or `message`
    (Exception, "不支援的商品類型: "),
]


@st.composite
def damaged_record(draw, base):
    record = dict(base)
    for _ in range(draw(st.integers(0, 3))):
        action = draw(st.sampled_from(["drop", "replace", "add"]))
        key = draw(st.sampled_from(list(base) + ["extra", "oc_type", "order_cond"]))
        if action == "drop":
            record.pop(key, None)
        elif action == "replace":
            record[key] = draw(anything)
        else:
            record[draw(texts)] = draw(anything)
    wrap = draw(st.sampled_from([dict, dict, dict, SubDict]))
    return wrap(record)


@child_only
@settings(max_examples=testkit.examples(1500))
@given(data=st.data())
def test_report_builders_build_or_refuse_without_side_effects(data):
    m = matcher()
    base = dict(data.draw(st.sampled_from(m.pending_orders)))
    which = data.draw(
        st.sampled_from(
            [
                "build_order_response",
                "build_deal_response",
                "get_simulation_stock_order_response",
                "get_simulation_future_order_response",
                "get_simulation_stock_deal_response",
                "get_simulation_future_deal_response",
            ]
        )
    )
    record = either(damaged_record(base))
    if which == "build_order_response":
        params = [
            ("trade", record, True),
            ("operation_type", either(st.sampled_from(list(OperationType))), True),
            ("code_obj", either(st.sampled_from(list(SuccessCode))), True),
        ]
    elif which == "build_deal_response":
        params = [("trade", record, True)]
    else:
        # A common fields record is what a builder would hand over; damage it.
        common = dict(base, operation_code="00", operation_message="ok", account_id="BT-00001")
        common.update(
            id=base["trade_id"],
            seqno=base["trade_id"],
            ordno=base["trade_id"],
            exchange_seqno=base["trade_id"],
            broker_id="x",
            account="BT-00001",
        )
        params = [("data", either(damaged_record(common)), True)]
    args, kwargs = data.draw(call_of(params))
    inputs = [a for a in [*args, *kwargs.values()] if type(a) in (dict, SubDict)]
    copies = [list(a.items()) for a in inputs]
    outcome, report = attempt(
        which, lambda: getattr(m, which)(*args, **kwargs), REPORT_REFUSALS, lambda: matcher_state(m)
    )
    assert [list(a.items()) for a in inputs] == copies, "a report builder changed its input"
    if outcome == "ok":
        assert type(report) is dict and report


# ---------------------------------------------------------------------------
# Matcher: messages of any shape put straight on the pending-order queue.

messages = st.one_of(
    anything,
    st.fixed_dictionaries(
        {"action": either(st.sampled_from(["add", "modify", "cancel", "delete", "Add"]))},
        optional={
            "payload": either(
                st.one_of(
                    st.builds(
                        lambda drop, extra: {
                            **{k: v for k, v in STOCK.items() if k != drop},
                            **extra,
                        },
                        st.sampled_from([None, "code", "qty", "price"]),
                        st.dictionaries(
                            st.sampled_from(["bogus", "qty", "price", "oc_type"]),
                            anything,
                            max_size=1,
                        ),
                    ),
                    st.fixed_dictionaries(
                        {"trade_id": either(st.just("no-such-order-00"))},
                        optional={"qty": anything, "price": anything},
                    ),
                    st.dictionaries(texts, anything, max_size=3),
                )
            ),
            "extra": anything,
        },
    ),
)


@child_only
@settings(max_examples=testkit.examples(400))
@given(batch=st.lists(messages, min_size=1, max_size=8))
def test_intake_survives_any_message(batch):
    m = matcher()
    counted_messages = len(batch)
    CASES["intake message"] += counted_messages - 1
    counted("intake message")
    ids = set(trade_ids(m))
    for message in batch:
        m.pending_order_queue.put(message)
    wait_idle(m)
    # Every message was carried out to one end: a failure line with one error record,
    # an unsupported-action line, a "不存在" line, or an order stored with its report.
    failures = [line for line in LINES if line.startswith("[red]接收委託單失敗: ")]
    assert len(failures) == len(RECORDS) + UNRAISABLE.count("HostError")
    assert set(UNRAISABLE) <= {"HostError"}
    for text in RECORDS:
        record = json.loads(text)
        assert list(record) == ["error", "traceback", "data"]
    added = [r for r in m.pending_orders if r["trade_id"] not in ids]
    reports = []
    while True:
        try:
            reports.append(m.response_queue.get_nowait())
        except queue.Empty:
            break
    assert len(reports) >= len(added)
    for record in added:
        assert type(record["quantity"]) is int and record["quantity"] > 0
    # The worker is still serving.
    m.add_pending_order_queue("add", dict(STOCK))
    wait_idle(m)
    assert m.response_queue.get(timeout=WAIT)["operation_type"] == OperationType.NEW


# ---------------------------------------------------------------------------
# Ticker.

PAST_DAYS = ["2024-01-02", "2024-01-03", "2024-01-04"]
DAY_ROWS = {("2330", "2024-01-02"): 40, ("TXFR1", "2024-01-03"): 25, ("台積電", "2024-01-04"): 12}
date_texts = st.sampled_from(PAST_DAYS + ["2024-01-02 09:00:00", "2024-01-03T13:30:00", "2024-01-04 08:45"])
market_texts = st.sampled_from(["Stock", "Future", "stock", ""])

_tickers: dict[str, object] = {}


def ticker(kind: str = "shared"):
    if kind not in _tickers:
        from tovik_backtest.modules.ticker.ticker import Ticker as _Ticker

        class Broker:
            def __init__(self):
                self.Contracts = testkit.contracts(("2330", "2317", "台積電"), ("TXFR1",))

            def __bool__(self):
                return True

            def ticks(self, *, contract, date):
                n = DAY_ROWS.get((contract.code, date), 0)
                base = 1_704_186_000_000_000_000
                return {
                    "ts": [base + i for i in range(n)],
                    "close": [100.0 + i * 0.5 for i in range(n)],
                    "volume": [1 + i % 4 for i in range(n)],
                    "bid_price": [99.5] * n,
                    "bid_volume": [3] * n,
                    "ask_price": [100.5] * n,
                    "ask_volume": [4] * n,
                    "tick_type": [1] * n,
                }

        _tickers[kind] = _Ticker(Broker())
    return _tickers[kind]


def cache_files():
    root = Path(BASIC_INFO.data_dir)
    found = []
    for path in sorted(root.rglob("*")):
        if path.is_file():
            stat = path.stat()
            found.append((str(path.relative_to(root)), stat.st_size, stat.st_mtime_ns))
    return found


def queue_items(q):
    with q.mutex:
        return list(q.queue)


def ticker_state(t):
    return (
        queue_items(t.tick_queue),
        queue_items(t.allow_next_tick_flag_queue),
        queue_items(t.backfilling_notify_finish_queue),
        t.backfilling_finish_flag,
        t.exit_send_thread_flag,
        cache_files(),
    )


def every_cache_file_is_whole():
    """Each cache file (temporary files aside) reads back with the tick schema."""
    schema = ticker().tick_df_schema
    for path in (Path(BASIC_INFO.data_dir) / "sino" / "ticks").glob("*.csv"):
        table = pl.read_csv(path, schema=schema)
        assert table.null_count().sum_horizontal().item() == 0, path


FETCH_REFUSALS = [
    (TypeError, None),
    (ValueError, None),  # an unreadable date text, a code or date that can't be a file name
    (KeyError, None),  # an instrument the broker does not know
]


@child_only
@settings(max_examples=testkit.examples(700))
@given(data=st.data())
def test_name_and_path_services(data):
    t = ticker()
    which = data.draw(st.sampled_from(["filename", "contract", "save_path"]))
    state = lambda: ticker_state(t)
    if which == "filename":
        args, kwargs = data.draw(call_of([("code", either(codes), True), ("date", either(date_texts), True)]))
        outcome, name = attempt(
            which,
            lambda: t._Ticker__tick_filename_formatter(*args, **kwargs),
            [(TypeError, None), (ValueError, "不合法的")],
            state,
        )
        if outcome == "ok":
            assert "/" not in name and "\x00" not in name and name.endswith(" - ticks.csv")
    elif which == "contract":
        args, kwargs = data.draw(call_of([("code", either(codes), True), ("market_type", either(market_texts), True)]))
        attempt(
            which,
            lambda: t._Ticker__make_sino_contract_object(*args, **kwargs),
            [(TypeError, None), (KeyError, None)],
            state,
        )
    else:
        # Folder names stay plain names here: a valid call creates the folders it names.
        folder = st.sampled_from(["sino", "ticks", "x y", "台"])
        # No text that leads out of the data folder: a valid call would create it.
        inside = anything.filter(lambda v: not (isinstance(v, str) and ("/" in v or "\\" in v or ".." in v)))
        name = st.one_of(st.none(), st.sampled_from(["a.csv", "b - ticks.csv"]), inside)
        subs = data.draw(st.lists(st.one_of(folder, folder, inside), max_size=3))
        args = [data.draw(name), *subs]
        kwargs = {}
        if data.draw(st.booleans()) and not subs:
            kwargs = {"file_name": args.pop(0)}
        outcome, path = attempt(
            which,
            lambda: t._Ticker__generate_save_path(*args, **kwargs),
            # A folder the file system refuses (a name too long) fails as make_dir fails.
            [(TypeError, None), (ValueError, None), (OSError, None)],
            state,
        )
        if outcome == "ok":
            assert str(path).startswith(BASIC_INFO.data_dir)


@child_only
@settings(max_examples=testkit.examples(700))
@given(data=st.data())
def test_fetch_and_merge_refuse_without_touching_the_cache(data):
    t = ticker()
    which = data.draw(st.sampled_from(["fetch", "auto", "get_ticks_df", "combine", "combine"]))
    state = lambda: ticker_state(t)
    if which == "fetch":
        params = [
            ("code", either(codes), True),
            ("product_type", either(market_texts), True),
            ("start_from", either(date_texts), True),
            ("end_to", either(date_texts), True),
        ]
        call = lambda a, k: t.fetch_sino_history_ticks(*a, **k)
    elif which == "auto":
        params = [
            ("code", either(codes), True),
            ("product_type", either(market_texts), True),
            ("date", either(st.sampled_from(PAST_DAYS + ["2024-1-2"])), True),
        ]
        call = lambda a, k: t._Ticker__auto_fetch_ticks(*a, **k)
    elif which == "get_ticks_df":
        params = [
            ("code", either(codes), True),
            ("market_type", either(market_texts), True),
            ("start_from", either(date_texts), True),
            ("end_to", either(date_texts), True),
        ]
        call = lambda a, k: t.get_ticks_df(*a, **k)
    else:
        whole = st.fixed_dictionaries({"code": either(codes), "market": either(market_texts)})
        entry = st.one_of(
            whole,
            whole,
            st.fixed_dictionaries({"code": codes}),  # no market
            st.fixed_dictionaries({"market": market_texts}),  # no code
            anything,
        )
        params = [
            ("codes", either(st.lists(entry, min_size=1, max_size=3)), True),
            ("start_from", either(date_texts), True),
            ("end_to", either(date_texts), True),
        ]
        call = lambda a, k: t._Ticker__process_and_combine_ticks(*a, **k)
    args, kwargs = data.draw(call_of(params))
    if data.draw(st.booleans()):
        # An empty cache, so that a call which wrongly writes before refusing is seen.
        for path in (Path(BASIC_INFO.data_dir) / "sino" / "ticks").glob("*"):
            if path.is_file():
                path.unlink()
    outcome, table = attempt(which, lambda: call(args, kwargs), FETCH_REFUSALS, state)
    if outcome == "ok":
        assert isinstance(table, pl.DataFrame)
        assert table.columns[:8] == list(t.tick_df_schema)
    every_cache_file_is_whole()


known_entries = st.sampled_from(
    [
        {"code": "2330", "market": "Stock"},
        {"code": "TXFR1", "market": "Future"},
        {"code": "2317", "market": "Stock"},
    ]
)
broken_entries = st.one_of(
    st.fixed_dictionaries({"code": st.sampled_from(["2330", "TXFR1"])}),
    st.fixed_dictionaries({"market": market_texts}),
    st.builds(SubDict, st.fixed_dictionaries({"code": st.just("2330")})),
    st.sampled_from([None, 7, "2330", ["2330", "Stock"], ("2330", "Stock")]),
    st.builds(Hostile),
    st.fixed_dictionaries({"code": st.builds(lambda: ["unhashable"]), "market": st.just("Stock")}),
)


@child_only
@settings(max_examples=testkit.examples(250))
@given(
    before=st.lists(known_entries, min_size=1, max_size=2),
    broken=broken_entries,
    after=st.lists(known_entries, max_size=1),
    start=st.sampled_from(PAST_DAYS[:2]),
    which=st.sampled_from(["combine", "send_ticks", "backfilling"]),
)
def test_a_refused_instrument_list_loads_nothing(before, broken, after, start, which):
    # Every entry is checked before the first day is loaded: a list that is refused
    # leaves no new cache file behind, even for the entries ahead of the broken one.
    t = ticker() if which == "combine" else ticker("replay")
    for path in (Path(BASIC_INFO.data_dir) / "sino" / "ticks").glob("*"):
        if path.is_file():
            path.unlink()
    codes_list = [*before, broken, *after]
    if which == "combine":
        call = lambda: t._Ticker__process_and_combine_ticks(codes_list, start, PAST_DAYS[2])
    elif which == "send_ticks":
        call = lambda: t.send_ticks(codes_list, start, PAST_DAYS[2])
    else:
        call = lambda: t.backfilling(codes_list, start, PAST_DAYS[2])
    outcome, _ = attempt(
        f"refused list ({which})",
        call,
        [(TypeError, None), (KeyError, None)],
        cache_files,
    )
    assert outcome == "refused"
    for q in (t.tick_queue, t.backfilling_notify_finish_queue):
        with q.mutex:
            q.queue.clear()


def drain_replay(t):
    """Waits (bounded) for the replay started by a working send_ticks to end, then
    empties the tick queue and restores one waiting token."""
    deadline = time.monotonic() + WAIT
    exit_value = FLAG.exit_send_tick.value
    while time.monotonic() < deadline:
        if any(item.get("tovik_status") == exit_value for item in queue_items(t.tick_queue)):
            break
        time.sleep(0.002)
    else:
        pytest.fail("the replay did not put its exit marker in time")
    replay_threads = lambda: [th for th in threading.enumerate() if th.name.endswith("(_Ticker__push_tick_to_queue)")]
    if not testkit.wait_until(lambda: not replay_threads(), WAIT):
        pytest.fail("the replay thread did not end after its exit marker")
    for q in (t.tick_queue, t.allow_next_tick_flag_queue, t.backfilling_notify_finish_queue):
        with q.mutex:
            q.queue.clear()
    t.allow_next_tick_flag_queue.put(True)


@child_only
@settings(max_examples=testkit.examples(400))
@given(data=st.data())
def test_replay_entry_points_refuse_before_any_work(data):
    # Only the days without ticks are listed, so every replay that starts is empty and
    # ends by itself.
    t = ticker("replay")
    entry = either(st.fixed_dictionaries({"code": st.sampled_from(["2317", "9999"]), "market": either(market_texts)}))
    code_lists = either(st.lists(entry, max_size=2))
    bound = st.one_of(st.none(), st.just(""), st.sampled_from(["2024-01-04"]), anything)
    which = data.draw(st.sampled_from(["send_ticks", "backfilling"]))
    state = lambda: ticker_state(t)
    for exc in THREAD_ERRORS:
        assert type(exc) in (TypeError, KeyError, ValueError, HostError), repr(exc)
    THREAD_ERRORS.clear()
    if which == "send_ticks":
        params = [
            ("codes", code_lists, True),
            ("start_from", either(st.just("2024-01-04")), True),
            ("end_to", either(st.just("2024-01-04")), True),
            ("backfilling_start_from", bound, False),
            ("backfilling_end_to", bound, False),
        ]
        args, kwargs = data.draw(call_of(params))

        def after_reset(exc):
            # Building the table failed: the queues were emptied and flags reset first
            # (documented); the type checks before that change nothing.
            return type(exc) is not TypeError or "send_ticks()" not in str(exc)

        outcome, _ = attempt(
            which,
            lambda: t.send_ticks(*args, **kwargs),
            [(TypeError, None), (KeyError, None), (ValueError, None)],
            state,
            partial_ok=after_reset,
        )
        if outcome == "ok":
            drain_replay(t)
        else:
            time.sleep(0.01)  # a back-filling thread may have started before the failure
            for q in (t.tick_queue, t.backfilling_notify_finish_queue):
                with q.mutex:
                    q.queue.clear()
    else:
        params = [
            ("codes", code_lists, True),
            ("start_from", bound, False),
            ("end_to", bound, False),
        ]
        args, kwargs = data.draw(call_of(params))

        def notice_posted(exc):
            # Every back-filling run that got past its type checks ends with its notice.
            return not (type(exc) is TypeError and "backfilling()" in str(exc))

        outcome, exc = attempt(
            which,
            lambda: t.backfilling(*args, **kwargs),
            [(TypeError, None), (KeyError, None), (ValueError, None)],
            state,
            partial_ok=notice_posted,
        )
        if outcome == "ok" or notice_posted(exc):
            assert t.backfilling_finish_flag is True
            assert t.backfilling_notify_finish_queue.get_nowait() == {"tovik_status": FLAG.finish_backfilling.value}
        with t.backfilling_notify_finish_queue.mutex:
            t.backfilling_notify_finish_queue.queue.clear()


def frames():
    """Tables that are not the merged tick table, or hold values a record can't use."""
    good = {
        "ts": [1_704_186_000_000_000_000, 1_704_186_000_500_000_000],
        "close": [100.0, 100.5],
        "volume": [1, 2],
        "bid_price": [99.5, 100.0],
        "bid_volume": [1, 1],
        "ask_price": [100.5, 101.0],
        "ask_volume": [1, 1],
        "tick_type": [1, 2],
        "code": ["2330", "2330"],
    }

    @st.composite
    def damaged(draw):
        columns = dict(good)
        action = draw(st.sampled_from(["drop", "null", "unknown code", "text ts", "huge ts"]))
        if action == "drop":
            columns.pop(draw(st.sampled_from(["ts", "code", "close", "volume", "tick_type"])))
        elif action == "null":
            columns[draw(st.sampled_from(["ts", "close", "volume", "code"]))] = [None, None]
        elif action == "unknown code":
            columns["code"] = ["2330", draw(st.sampled_from(["9999", "", "台積電", "x" * 300]))]
        elif action == "text ts":
            columns["ts"] = ["x", "y"]
        else:
            columns["ts"] = [2**62, -(2**62)]
        return pl.DataFrame(columns)

    return st.one_of(anything, damaged(), st.just(pl.DataFrame({"a": [1]})), st.just(pl.DataFrame(good).head(0)))


@child_only
@settings(max_examples=testkit.examples(400))
@given(df=frames())
def test_replay_body_with_a_bad_table_ends_with_the_exit_marker(df):
    t = ticker("body")
    t.code_market_map["2330"] = "Stock"
    with t.tick_queue.mutex:
        t.tick_queue.queue.clear()
    t.exit_send_thread_flag = False
    t.backfilling_finish_flag = True
    # Enough tokens for every row: a valid row is sent, a bad one ends the replay.
    with t.allow_next_tick_flag_queue.mutex:
        t.allow_next_tick_flag_queue.queue.clear()
    for _ in range(4):
        t.allow_next_tick_flag_queue.put(True)
    RECORDS.clear()
    counted("_Ticker__push_tick_to_queue")
    box: queue.SimpleQueue = queue.SimpleQueue()

    def run():
        try:
            t._Ticker__push_tick_to_queue(df)
            box.put(None)
        except Exception as exc:  # noqa: BLE001 - handed to the test thread and checked there
            box.put(exc)

    threading.Thread(target=run, daemon=True).start()
    try:
        exc = box.get(timeout=WAIT)
    except queue.Empty:
        pytest.fail("the replay body did not return in time")
    items = queue_items(t.tick_queue)
    exit_marker = {"tovik_status": FLAG.exit_send_tick.value}
    # Whatever went wrong, the consumer is released: the exit marker comes last, once.
    assert items and items[-1] == exit_marker and items.count(exit_marker) == 1
    for item in items[:-1]:
        assert list(item)[:3] == ["market_type", "timestamp", "code"]
    if exc is not None:
        assert len(RECORDS) == 1 and json.loads(RECORDS[0])["error"] == str(exc)


@child_only
@settings(max_examples=testkit.examples(800))
@given(
    name=st.sampled_from(["pop_tick", "allow_next_tick", "stop_send_ticks", "_Ticker__notify_backfilling_finish"]),
    args=st.lists(anything, min_size=1, max_size=2),
)
def test_ticker_methods_without_arguments_refuse_any(name, args):
    t = ticker()
    attempt(name, lambda: getattr(t, name)(*args), TYPE_ONLY, lambda: ticker_state(t))


UNINITIALISED_CALLS = {
    "add_order": ("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD"),
    "modify_order": ("x", 1),
    "cancel_order": ("x",),
    "match_deal": ("2330", 1.0, 1, 1.0),
    "set_current_tick": ({"code": "2330", "timestamp": 1.0},),
    "add_pending_order_queue": ("add", {}),
    "add_response_to_queue": ({},),
    "pop_response": (None,),
    "build_order_response": ({}, None, None),
    "fetch_sino_history_ticks": ("2330", "Stock", "2024-01-02", "2024-01-02"),
    "get_ticks_df": ("2330", "Stock", "2024-01-02", "2024-01-02"),
    "send_ticks": ([], "2024-01-02", "2024-01-02"),
    "backfilling": ([], "2024-01-02"),
    "allow_next_tick": (),
    "stop_send_ticks": (),
    "pop_tick": (None,),
    "_Ticker__notify_backfilling_finish": (),
    "_Ticker__process_and_combine_ticks": ([], "2024-01-02", "2024-01-02"),
    "_Ticker__auto_fetch_ticks": ("2330", "Stock", "2024-01-02"),
    "_Ticker__make_sino_contract_object": ("2330", "Stock"),
}


@child_only
@pytest.mark.parametrize("class_name", ["Matcher", "Ticker"])
def test_methods_of_an_instance_never_initialised_fail_cleanly(class_name):
    # An instance made with __new__ alone has no fields and no native state: every
    # method refuses with an ordinary error instead of touching memory it doesn't have.
    from tovik_backtest.modules.ticker.ticker import Ticker as _Ticker

    cls = Matcher if class_name == "Matcher" else _Ticker
    tried = 0
    for name, args in UNINITIALISED_CALLS.items():
        if not hasattr(cls, name):
            continue
        obj = cls.__new__(cls)
        counted(f"uninitialised {class_name}")
        tried += 1
        with pytest.raises((RuntimeError, AttributeError, TypeError)):
            getattr(obj, name)(*args)
    assert tried >= 8


@pytest.fixture(scope="module", autouse=True)
def _write_counts():
    yield
    if IN_CHILD:
        Path(os.environ[COUNTS_ENV]).write_text(json.dumps(CASES))
        shutil.rmtree(DATA_DIR, ignore_errors=True)


# ---------------------------------------------------------------------------
# The parent: runs the property tests above in a child interpreter.


@pytest.mark.slow
@pytest.mark.skipif(IN_CHILD, reason="this is the child run")
def test_no_input_crashes_the_interpreter(tmp_path):
    counts = tmp_path / "counts.json"
    proc = testkit.run_python(
        ["-X", "faulthandler", "-m", "pytest", __file__, "-q", "-p", "no:cacheprovider", "-x"],
        timeout=600,
        env_extra={COUNTS_ENV: str(counts)},
    )
    tail = (proc.stdout[-6000:] + "\n" + proc.stderr[-4000:]).strip()
    assert proc.returncode >= 0, f"the child interpreter crashed (signal {-proc.returncode}):\n{tail}"
    assert proc.returncode == 0, tail
    cases = Counter(json.loads(counts.read_text()))
    total = sum(cases.values())
    summary = ", ".join(f"{name} {n}" for name, n in sorted(cases.items()))
    print(f"\nbad-input cases tried: {total} ({summary})", file=sys.stderr)
    assert total >= MIN_CASES, f"only {total} cases were tried: {summary}"

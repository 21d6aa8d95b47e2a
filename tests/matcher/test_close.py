"""close() and the context manager: the worker serves what is queued, then ends."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

from tovik_backtest.modules.matcher.matcher import Matcher

import testkit

ORDER = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0, "qty": 1,
         "price_type": "LMT", "order_type": "ROD"}


def workers() -> set[threading.Thread]:
    return {t for t in threading.enumerate() if t is not threading.main_thread()}


def test_close_serves_what_is_queued_then_the_worker_is_gone(console_lines):
    before = workers()
    m = Matcher()
    started = workers() - before
    assert len(started) == 1
    for _ in range(50):
        m.add_pending_order_queue("add", dict(ORDER))
    m.close()
    assert len(m.pending_orders) == 50 and m.response_queue.qsize() == 50
    assert not any(t.is_alive() for t in started)
    m.pending_order_queue.join()  # every message, the stop included, counted as done


def test_with_block_closes_and_reports_the_block_error(console_lines):
    before = workers()
    with pytest.raises(ZeroDivisionError):
        with Matcher() as m:
            assert isinstance(m, Matcher)
            m.add_pending_order_queue("add", dict(ORDER))
            1 / 0  # noqa: B018 - the error must pass through __exit__
    assert workers() == before and len(m.pending_orders) == 1


# (call after close, expected error text or None when it still works)
AFTER_CLOSE = [
    (lambda m: m.add_pending_order_queue("add", dict(ORDER)), "closed|已關閉"),
    (lambda m: m.add_pending_order_queue("cancel", {"trade_id": "x"}), "closed|已關閉"),
    (lambda m: m.pop_response(), "已關閉"),  # nothing queued: waiting would never end
    (lambda m: m.close(), None),
    (lambda m: m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD"), None),
    (lambda m: m.match_deal("2330", 100.0, 1, 1.0), None),
    (lambda m: m.cancel_order("missing"), None),
]


@pytest.mark.parametrize(("call", "error"), AFTER_CLOSE)
def test_calls_after_close(console_lines, call, error):
    m = Matcher()
    m.close()
    if error is None:
        call(m)
    else:
        with pytest.raises(RuntimeError, match=f"Matcher.*({error}).*新的 Matcher"):
            call(m)
    assert m.pending_order_queue.qsize() == 0


def test_reports_queued_before_close_can_still_be_taken(console_lines):
    m = Matcher()
    m.add_pending_order_queue("add", dict(ORDER))
    m.close()
    assert m.pop_response()["operation_type"] is not None
    with pytest.raises(RuntimeError, match="已關閉"):
        m.pop_response()


def test_object_is_freed_after_close_and_del(console_lines):
    m = Matcher()
    m.add_order("2330", "Stock", "Buy", 100.0, 1, "LMT", "ROD")
    m.match_deal("2330", 200.0, 1, 1.0)  # the order book holds its records and list
    ref = weakref.ref(m)
    m.close()
    del m
    gc.collect()
    assert ref() is None


def test_never_closed_matcher_keeps_its_worker_and_the_process_exits():
    script = textwrap.dedent("""
        import threading
        from tovik_backtest.modules.matcher.matcher import Matcher
        m = Matcher()
        assert threading.active_count() == 2
        with Matcher() as n:
            assert threading.active_count() == 3
        assert threading.active_count() == 2
        print("ok")
    """)
    # the child finds the package where this interpreter does (installed or in place)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env=testkit.child_env())
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("ok")

"""Long add/fill/modify/cancel loops leave memory and reference counts where they were."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import tracemalloc
from typing import Any

import pytest

from tovik_backtest import utils
from tovik_backtest.modules.matcher.matcher import Matcher

import testkit

# One round of everything the order book does: entries of all three order types, a
# record with a mutable value (the deep-copy fallback), a cut and a re-price, fills,
# exchange cancellations, scans of another instrument, user cancellations.
ROUNDS = textwrap.dedent('''
    class Book:
        """Keeps nothing, so only the matcher could grow."""
        def set_current_tick(self, tick): pass
        def add_trade_record(self, **kwargs): pass
        def set_positions(self, trade, product_type): pass

    def rounds(m, n):
        for i in range(n):
            code = "C" + str(i % 50)
            m.set_current_tick({"code": code, "timestamp": float(i), "close": 100.0})
            m.add_order(code, "Stock", "Buy", 100.0, 3, "LMT", "ROD")
            m.add_order(code, "Future", "Sell", 100.0, 2, "LMT", "IOC")
            m.add_order(code, "Stock", "Buy", 100.0, 4, "MKT", "FOK")
            m.pending_orders[-1]["note"] = [i]
            first = m.pending_orders[0]
            m.modify_order(first["trade_id"], 1 if first["quantity"] > 1 else None, 99.5)
            m.match_deal(code, 100.0, 3, float(i))
            m.match_deal("other", 100.0, 3, float(i))
            for r in list(m.pending_orders)[:-5]:
                m.cancel_order(r["trade_id"])
            while not m.response_queue.empty():
                m.response_queue.get_nowait()
''')

namespace: dict[str, Any] = {}
exec(ROUNDS, namespace)  # noqa: S102 - the same code also runs in a subprocess


@pytest.fixture(autouse=True)
def quiet(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(utils.console, "print", lambda *a, **k: None)


def test_traced_memory_is_flat_over_a_long_loop() -> None:
    m = Matcher(namespace["Book"]())
    namespace["rounds"](m, 300)  # warm-up: side array, interned codes, caches
    gc.collect()
    tracemalloc.start()
    try:
        namespace["rounds"](m, 200)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        namespace["rounds"](m, 2000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # a single leaked record per round would be some 1.5 MB here
    assert grown < 64 * 1024, f"{grown} bytes kept by 2000 rounds"


def test_reference_counts_of_inputs_and_records_are_unchanged() -> None:
    m = Matcher(namespace["Book"]())
    m.add_order("KEEP", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
    resting = m.pending_orders[0]
    close, ts = 100.25, 1234.5

    def body() -> None:
        m.match_deal("X", close, 1, ts)
        m.add_order("X", "Stock", "Sell", 1.0, 1, "LMT", "IOC")
        m.match_deal("X", close, 1, ts)
        m.modify_order(resting["trade_id"], None, close)
        while not m.response_queue.empty():
            m.response_queue.get_nowait()

    body()  # the first scan's side array and the re-priced record take their references
    counts = [sys.getrefcount(o) for o in (resting, close, ts)]
    for _ in range(5000):
        body()
    assert [sys.getrefcount(o) for o in (resting, close, ts)] == counts
    assert m.pending_orders == [resting]


@pytest.mark.slow
def test_resident_memory_is_flat_in_a_long_run() -> None:
    script = ROUNDS + textwrap.dedent('''
        import gc
        import tovik_backtest.utils as utils
        from tovik_backtest.modules.matcher.matcher import Matcher

        def rss_kb():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])

        utils.console.print = lambda *a, **k: None
        m = Matcher(Book())
        rounds(m, 5000)
        gc.collect()
        before = rss_kb()
        rounds(m, 40000)
        gc.collect()
        print(before, rss_kb())
    ''')
    # the child imports the package from wherever this process imported it
    env = testkit.child_env()
    done = subprocess.run([sys.executable, "-c", script], check=False, capture_output=True, text=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    before, after = map(int, done.stdout.split())
    # 40,000 rounds: one leaked record per round would be about 30 MB
    assert after - before < 6 * 1024, f"resident memory grew from {before} kB to {after} kB"

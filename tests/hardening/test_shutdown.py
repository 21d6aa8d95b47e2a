"""The interpreter exits cleanly while matchers and tickers are in the middle of work.

Each run is a fresh interpreter that leaves, at the moment it ends, intake workers with
thousands of queued messages, a thread matching ticks, a replay being paced by a host
thread, a replay parked on its token and a back-filling thread waiting for a token.
CPython ends such daemon threads when they next want the GIL; none of that may turn
into an abort, a crash or an error at exit.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

import testkit

# twenty interpreters ending with busy workers
pytestmark = pytest.mark.slow

SCRIPT = textwrap.dedent('''
    import random
    import sys
    import threading
    import time

    import polars as pl

    import tovik_backtest.utils as utils
    from tovik_backtest.modules.matcher.matcher import Matcher
    from tovik_backtest.modules.ticker.ticker import Ticker

    rng = random.Random(int(sys.argv[1]))
    sink = []
    utils.console.print = lambda text, *a, **k: sink.append(text)

    CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]

    def table(n, base=1_704_186_000_000_000_000):
        return pl.DataFrame({
            "ts": [base + i * 250_000_000 for i in range(n)],
            "close": [500.0 + (i % 20) * 0.5 for i in range(n)],
            "volume": [1 + i % 7 for i in range(n)],
            "bid_price": [499.5] * n, "bid_volume": [3] * n,
            "ask_price": [500.5] * n, "ask_volume": [4] * n,
            "tick_type": [1 + i % 2 for i in range(n)],
            "code": [CODES[i % 2]["code"] for i in range(n)],
        })

    def new_ticker(tables):
        tk = Ticker(None)
        tk.code_market_map.update({"2330": "Stock", "TXFR1": "Future"})
        tk._Ticker__process_and_combine_ticks = lambda codes, start, end: tables[start]
        return tk

    matchers = [Matcher() for _ in range(3)]

    # A daemon thread matching ticks against the first matcher's book without end.
    def match_forever(m):
        i = 0
        while True:
            i += 1
            m.set_current_tick({"code": "2330", "timestamp": float(i), "close": 500.0})
            m.match_deal("2330", 500.0 + i % 5, 2, float(i))
            while not m.response_queue.empty():
                m.response_queue.get_nowait()
    threading.Thread(target=match_forever, args=(matchers[0],), daemon=True).start()

    tables = {"a": table(50_000), "bf": table(20_000)}

    # A replay paced as fast as a host thread can grant tokens.
    paced = new_ticker(tables)
    paced.send_ticks(CODES, "a", "a")
    def pace(tk):
        while True:
            item = tk.tick_queue.get(timeout=30)
            if "tovik_status" in item:
                return
            tk.allow_next_tick()
    threading.Thread(target=pace, args=(paced,), daemon=True).start()

    # A replay that delivered a few ticks and is parked waiting for the next token.
    parked = new_ticker(tables)
    parked.send_ticks(CODES, "a", "a")
    for _ in range(3):
        parked.tick_queue.get(timeout=30)
        parked.allow_next_tick()
    parked.tick_queue.get(timeout=30)

    # Back-filling whose first record is out and whose thread waits for a token.
    filling = new_ticker(tables)
    filling.send_ticks(CODES, "a", "a", "bf")
    first = filling.tick_queue.get(timeout=30)
    assert first["is_backfilling"] is True, first

    # Intake workers left with a long backlog of orders.
    for m in matchers:
        for i in range(rng.randrange(20_000, 40_000)):
            m.add_pending_order_queue("add", {
                "code": "2330", "product_type": "Stock", "action": "Buy" if i % 2 else "Sell",
                "price": 500.0 + i % 7, "qty": 1 + i % 3, "price_type": "LMT", "order_type": "ROD"})

    time.sleep(rng.uniform(0.0, 0.1))
    busy = sum(m.pending_order_queue.qsize() for m in matchers)
    print("exiting", busy, flush=True)
''')

RUNS = 20


@pytest.mark.parametrize("run", range(RUNS))
def test_exit_with_busy_workers_and_parked_replays(run: int) -> None:
    env = dict(testkit.child_env(), PYTHONFAULTHANDLER="1")
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(run)], capture_output=True, text=True, env=env,
                          timeout=120, check=False)
    assert done.returncode == 0, f"exit code {done.returncode}\n{done.stderr[-4000:]}"
    # the exit really came while the intake workers still had messages to serve
    words = done.stdout.split()
    assert words[:1] == ["exiting"], done.stdout
    assert int(words[1]) > 0, "the intake workers were idle before the exit"
    for sign in ("Fatal Python error", "terminate called", "Traceback", "AddressSanitizer", "runtime error",
                 "nanobind: leaked"):
        assert sign not in done.stderr, done.stderr[-4000:]

"""Resident memory stays flat over long runs of the matcher and the replay.

A fresh interpreter runs 200,000 add/fill/cancel cycles through a Matcher and replays
200,000 ticks through a Ticker paced by the host; after a warm-up, its resident set
may move by a few MiB at most (allocator slack), where a leak of even one small object
per cycle or per tick would add tens of MiB.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

import testkit

CYCLES = 200_000
TICKS = 200_000
WARM_UP = 20_000
# Allocator slack allowed after the warm-up; 200,000 leaked dicts would be some 40 MiB.
SLACK_KB = 4 * 1024

SCRIPT = textwrap.dedent('''
    import gc
    import json
    import sys

    import polars as pl

    import tovik_backtest.utils as utils
    from tovik_backtest.constant import FLAG
    from tovik_backtest.modules.matcher.matcher import Matcher
    from tovik_backtest.modules.ticker.ticker import Ticker

    cycles, ticks, warm_up = map(int, sys.argv[1:4])
    utils.console.print = lambda *a, **k: None

    def rss_kb():
        gc.collect()
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])

    class Book:
        """Keeps nothing, so only the matcher could grow."""
        def set_current_tick(self, tick): pass
        def add_trade_record(self, **kwargs): pass
        def set_positions(self, trade, product_type): pass

    def run_cycles(m, start, n):
        filled = 0
        for i in range(start, start + n):
            code = "C" + str(i % 64)
            ts = float(i)
            m.set_current_tick({"code": code, "timestamp": ts, "close": 100.0})
            m.add_order(code, "Stock", "Buy", 100.0, 3, "LMT", "ROD")
            trade_id = m.pending_orders[-1]["trade_id"]
            m.match_deal(code, 100.0, 1 + i % 2, ts)
            m.cancel_order(trade_id)
            while not m.response_queue.empty():
                report = m.response_queue.get_nowait()
                filled += report.get("operation") is None
        return filled

    m = Matcher(Book())
    run_cycles(m, 0, warm_up)
    matcher_before = rss_kb()
    run_cycles(m, warm_up, cycles - warm_up)
    matcher_after = rss_kb()
    resting = len(m.pending_orders)

    n = ticks
    base = 1_704_186_000_000_000_000
    df = pl.DataFrame({
        "ts": [base + i * 1_000_000 for i in range(n)],
        "close": [500.0 + (i % 40) * 0.5 for i in range(n)],
        "volume": [1 + i % 7 for i in range(n)],
        "bid_price": [499.5] * n, "bid_volume": [3] * n,
        "ask_price": [500.5] * n, "ask_volume": [4] * n,
        "tick_type": [1 + i % 2 for i in range(n)],
        "code": ["2330" if i % 3 else "TXFR1" for i in range(n)],
    })
    tk = Ticker(None)
    tk.code_market_map.update({"2330": "Stock", "TXFR1": "Future"})
    tk._Ticker__process_and_combine_ticks = lambda codes, start, end: df
    tk.send_ticks([{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}], "a", "a")
    exit_status = FLAG.exit_send_tick.value

    def replay(limit):
        got = 0
        while got < limit:
            item = tk.pop_tick()
            if item.get("tovik_status") == exit_status:
                return got, True
            got += 1
            tk.allow_next_tick()
        return got, False

    warm, _ = replay(warm_up)
    ticker_before = rss_kb()
    rest, ended = replay(ticks)
    ticker_after = rss_kb()
    print(json.dumps({
        "matcher": [matcher_before, matcher_after], "resting": resting,
        "ticks": warm + rest, "ended": ended, "ticker": [ticker_before, ticker_after],
    }))
''')


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("TOVIK_SANITIZED")),
                    reason="resident memory is no measure under the sanitizer's allocator (quarantine)")
def test_resident_memory_is_flat_over_long_matching_and_replay_runs() -> None:
    env = testkit.child_env()
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(CYCLES), str(TICKS), str(WARM_UP)],
                          capture_output=True, text=True, env=env, timeout=900, check=False)
    assert done.returncode == 0, done.stderr[-4000:]
    figures = json.loads(done.stdout.splitlines()[-1])
    print(figures)  # shown with -s: resident kB before and after, per part
    # every cycle ended with its order cancelled, and the replay ran to its exit marker
    assert figures["resting"] == 0
    assert figures["ticks"] == TICKS and figures["ended"]
    for part in ("matcher", "ticker"):
        before, after = figures[part]
        assert after - before < SLACK_KB, f"{part}: resident memory grew from {before} kB to {after} kB"

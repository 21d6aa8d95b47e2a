"""The interpreter exits while a daemon thread is inside one long call of a native class.

Each child starts one call on a daemon thread (a broker download, a merge, get_ticks_df
over decades of days that all fail, a matching loop, an order loop, a paced replay) and
lets the main thread return after a short random pause. CPython ends the thread when it
next wants the GIL; the exit must be clean: code 0 and nothing on stderr.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

import testkit

# two dozen interpreters ending in the middle of a call
pytestmark = pytest.mark.slow

SCRIPT = textwrap.dedent('''
    import random
    import sys
    import threading
    import time

    import tovik_backtest.utils as utils
    from tovik_backtest.modules.matcher.matcher import Matcher
    from tovik_backtest.modules.ticker.ticker import Ticker

    call, seed = sys.argv[1], int(sys.argv[2])
    rng = random.Random(seed)
    # console lines and error records would go to stdout/stderr: kept in memory instead
    sink = []
    utils.console.print = lambda text, *a, **k: sink.append(text)
    utils.logger.error = lambda text, *a, **k: sink.append(text)

    class Broker:
        class Contracts:
            Stocks = {"2330": object()}
            Futures = {"TXFR1": object()}
        def __bool__(self):
            return True
        def ticks(self, *, contract, date):
            n = 2000
            return {
                "ts": [1_704_186_000_000_000_000 + i for i in range(n)], "close": [500.0] * n,
                "volume": [1] * n, "bid_price": [499.5] * n, "bid_volume": [1] * n,
                "ask_price": [500.5] * n, "ask_volume": [1] * n, "tick_type": [1] * n,
            }

    def forever(fn):
        def run():
            while True:
                fn()
        return run

    if call == "get_ticks_df":
        tk = Ticker(None)  # not logged in: every day fails and is logged
        work = lambda: tk.get_ticks_df("2330", "Stock", "1990-01-01", "2024-01-02")
    elif call == "fetch":
        tk = Ticker(Broker())
        work = forever(lambda: tk.fetch_sino_history_ticks("2330", "Stock", "2020-01-01", "2020-01-20"))
    elif call == "merge":
        tk = Ticker(Broker())
        codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
        work = forever(lambda: tk.merge_ticks(codes, "2020-01-01", "2020-01-10"))
    elif call == "replay":
        tk = Ticker(Broker())
        tk.send_ticks([{"code": "2330", "market": "Stock"}], "2020-01-01", "2020-01-03", "2020-01-04")
        def work():
            while True:
                item = tk.pop_tick()
                if "tovik_status" in item and item["tovik_status"] != "finish_backfilling":
                    return
                tk.allow_next_tick()
    elif call == "match_deal":
        m = Matcher()
        def work():
            i = 0
            while True:
                i += 1
                m.set_current_tick({"code": "2330", "timestamp": float(i), "close": 500.0})
                m.match_deal("2330", 500.0 + i % 5, 2, float(i))
                while not m.response_queue.empty():
                    m.response_queue.get_nowait()
    elif call == "add_order":
        m = Matcher()
        m.set_current_tick({"code": "2330", "timestamp": 1.0, "close": 500.0})
        def work():
            i = 0
            while True:
                i += 1
                m.add_order("2330", "Stock", "Buy" if i % 2 else "Sell", 500.0 + i % 7, 1, "LMT", "ROD")
                while not m.response_queue.empty():
                    m.response_queue.get_nowait()
    else:
        raise SystemExit(f"unknown call {call!r}")

    threading.Thread(target=work, daemon=True).start()
    time.sleep(rng.uniform(0.5, 1.5))
    print("exiting", len(sink) > 0, flush=True)
''')

CALLS = ("fetch", "merge", "get_ticks_df", "match_deal", "add_order", "replay")
RUNS = 4 * len(CALLS)


def _run(run: int, data_dir: str) -> tuple[str, subprocess.CompletedProcess]:
    call = CALLS[run % len(CALLS)]
    env = dict(testkit.child_env(), PYTHONFAULTHANDLER="1",
               TOVIK_BACKTEST_DATA_DIR=os.path.join(data_dir, str(run)))
    done = subprocess.run([sys.executable, "-c", SCRIPT, call, str(run)], capture_output=True, text=True,
                          env=env, timeout=120, check=False, cwd=data_dir)
    return call, done


def test_exit_during_every_long_call(tmp_path) -> None:
    # concurrent children keep the whole run short; each one is its own interpreter
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda run: _run(run, str(tmp_path)), range(RUNS)))
    failures = [
        f"{call}: exit code {done.returncode}, stdout {done.stdout[-200:]!r}\n{done.stderr[-3000:]}"
        for call, done in results
        if done.returncode != 0 or done.stderr or not done.stdout.startswith("exiting")
    ]
    assert not failures, "\n\n".join(failures)
    assert {call for call, _ in results} == set(CALLS)

"""Cache files survive a killed process: a child interpreter downloads large days through
a Ticker (two threads over the same instruments and days) and is killed with SIGKILL
at a random moment, many times over; after every kill each file under the cache
folder is either absent or complete (every row of its day) and readable with the tick
schema. Temporary files may be left behind, but are never taken for cache files."""

from __future__ import annotations

import datetime as dt
import inspect
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import textwrap
import time
import zlib

import polars as pl
import pytest

import testkit

# twenty children killed while they download
pytestmark = pytest.mark.slow

KILL_RUNS = 20
DAYS = 16
FIRST_DAY = dt.date(2021, 1, 4)
CODES = {"2330": "Stock", "TXFR1": "Future"}
STEP_NS = 10_000_000


def base_ts(date: str) -> int:
    """The day's first tick: 09:00 of ``date`` (Taipei wall time written as UTC), inside
    the hours of both markets, so every file lies within its own trading day."""
    return (dt.date.fromisoformat(date) - dt.date(1970, 1, 1)).days * 86_400 * 10**9 + 9 * 3600 * 10**9


def rows_for(code: str, date: str) -> int:
    """Tick count of one instrument-day: large, and different for every day."""
    return 30_000 + zlib.crc32(f"{code} {date}".encode()) % 60_000


CHILD = (
    "import zlib\n"
    + inspect.getsource(rows_for)
    + "import datetime as dt\n"
    + inspect.getsource(base_ts)
    + textwrap.dedent(
        f"""
    import datetime as dt
    import json
    import sys
    import threading
    from types import SimpleNamespace

    from tovik_backtest import utils
    from tovik_backtest.constant import BASIC_INFO

    utils.console.print = lambda *a, **k: None
    utils.logger.error = lambda *a, **k: None
    data_dir, first, count, threads = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[5])
    logged_in = sys.argv[4] == "1"
    BASIC_INFO.data_dir = data_dir

    from tovik_backtest.modules.ticker.ticker import Ticker

    STEP_NS, LIMIT = {STEP_NS}, 90_000
    COLUMNS = {{
        "ts": list(range(0, LIMIT * STEP_NS, STEP_NS)),
        "close": [100.0 + (i % 400) * 0.25 for i in range(LIMIT)],
        "volume": [1 + i % 9 for i in range(LIMIT)],
        "bid_price": [99.75 + (i % 400) * 0.25 for i in range(LIMIT)],
        "bid_volume": [1 + i % 13 for i in range(LIMIT)],
        "ask_price": [100.25 + (i % 400) * 0.25 for i in range(LIMIT)],
        "ask_volume": [1 + i % 11 for i in range(LIMIT)],
        "tick_type": [1 + i % 2 for i in range(LIMIT)],
    }}


    class Broker:
        def __init__(self):
            self.Contracts = SimpleNamespace(
                Stocks={{"2330": SimpleNamespace(code="2330")}},
                Futures={{"TXFR1": SimpleNamespace(code="TXFR1")}},
            )

        def __bool__(self):
            return True

        def ticks(self, *, contract, date):
            n = rows_for(contract.code, date)
            day = {{name: values[:n] for name, values in COLUMNS.items()}}
            day["ts"] = [base_ts(date) + ts for ts in day["ts"]]
            return day


    ticker = Ticker(Broker() if logged_in else None)
    start = dt.date({FIRST_DAY.year}, {FIRST_DAY.month}, {FIRST_DAY.day}) + dt.timedelta(days=first)
    end = start + dt.timedelta(days=count - 1)
    codes = {CODES!r}
    rows = {{}}

    def load(order):
        for code in order:
            table = ticker.get_ticks_df(code, codes[code], start.isoformat(), end.isoformat())
            rows[code] = table.height

    workers = [threading.Thread(target=load, args=(list(codes)[:: 1 if i % 2 == 0 else -1],)) for i in range(threads)]
    print("go", flush=True)
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print(json.dumps(rows), flush=True)
    """
    )
)

SCHEMA = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}
CACHE_NAME = re.compile(r"(?P<code>\S+) (?P<date>\d{4}-\d{2}-\d{2}) - ticks\.csv")
TEMP_NAME = re.compile(r"\..+ - ticks\.csv\.[0-9a-f]+\.tmp")


def check_cache(tick_dir) -> tuple[dict[tuple[str, str], int], int]:
    """Every cache file is whole; returns {(code, date): rows} and the temp-file count."""
    whole: dict[tuple[str, str], int] = {}
    temps = 0
    if not tick_dir.exists():
        return whole, temps
    for path in tick_dir.iterdir():
        if TEMP_NAME.fullmatch(path.name):
            temps += 1
            continue
        match = CACHE_NAME.fullmatch(path.name)
        assert match, f"unexpected file in the cache folder: {path.name}"
        code, date = match["code"], match["date"]
        table = pl.read_csv(path, schema=SCHEMA)
        n = rows_for(code, date)
        assert table.height == n, f"{path.name}: {table.height} rows of {n}"
        assert table.null_count().sum_horizontal().item() == 0, path.name
        assert table["ts"][-1] == base_ts(date) + (n - 1) * STEP_NS, f"{path.name}: last row is not the day's last tick"
        whole[(code, date)] = n
    return whole, temps


def run_to_end(data_dir, *, logged_in, threads=1, timeout=300.0):
    proc = testkit.run_python(
        ["-c", CHILD, str(data_dir), "0", str(DAYS), "1" if logged_in else "0", str(threads)],
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def start_child(data_dir):
    """A child loading the window with two threads; returns once it starts loading."""
    proc = subprocess.Popen(
        [sys.executable, *testkit.interpreter_flags(), "-c", CHILD, str(data_dir), "0", str(DAYS), "1", "2"],
        cwd=testkit.ROOT,
        env=testkit.child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    ready, _, _ = select.select([proc.stdout], [], [], 60.0)
    if not ready:
        proc.kill()
        pytest.fail("the child did not start loading in time")
    line = proc.stdout.readline()
    assert line.strip() == "go", line + proc.stderr.read()
    return proc


def finish(proc, timeout=60.0):
    try:
        proc.wait(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()


def drop_whole_files(tick_dir) -> None:
    """Removes the complete cache files so the next child writes them again; the
    temporary files left by kills stay."""
    for path in tick_dir.iterdir():
        if CACHE_NAME.fullmatch(path.name):
            path.unlink()


def test_cache_files_are_whole_after_random_kills(tmp_path, capsys):
    data_dir = tmp_path / "data"
    tick_dir = data_dir / "sino" / "ticks"
    rng = random.Random(int(os.environ.get("TOVIK_KILL_SEED", "20240102")))

    # An uninterrupted run tells how long loading the window takes on this machine.
    began = time.monotonic()
    finish(start_child(data_dir), timeout=300)
    loading = time.monotonic() - began
    check_cache(tick_dir)

    killed_mid_run = 0
    cached_after_kill = []
    for _ in range(KILL_RUNS):
        drop_whole_files(tick_dir)
        proc = start_child(data_dir)
        time.sleep(rng.uniform(0.0, loading * 0.45))
        killed_mid_run += proc.poll() is None
        proc.send_signal(signal.SIGKILL)
        finish(proc)
        whole, temps = check_cache(tick_dir)
        cached_after_kill.append(len(whole))
    # Most kills must land while the child is still writing, or the test proves nothing.
    assert killed_mid_run >= KILL_RUNS * 3 // 4, f"only {killed_mid_run} of {KILL_RUNS} kills hit a running child"
    assert len(set(cached_after_kill)) > 1, "every kill landed at the same point"

    # Without a broker only whole cache files are read: temporary files left by the
    # kills are not taken for cache files, and no file is found unreadable.
    offline = run_to_end(data_dir, logged_in=False)
    for code in CODES:
        assert offline[code] == sum(n for (c, _), n in whole.items() if c == code)
    assert not any(".corrupt" in p.name for p in tick_dir.iterdir())

    # With the broker, the missing days are downloaded and every day is complete.
    online = run_to_end(data_dir, logged_in=True)
    for code in CODES:
        expected = sum(rows_for(code, (FIRST_DAY + dt.timedelta(days=d)).isoformat()) for d in range(DAYS))
        assert online[code] == expected
    whole_after, _ = check_cache(tick_dir)
    assert len(whole_after) == DAYS * len(CODES)
    with capsys.disabled():
        print(
            f"\nkill runs: {KILL_RUNS}, {killed_mid_run} while the child was loading "
            f"(uncut load time {loading:.2f} s); "
            f"whole files found after each kill: {cached_after_kill}; temporary files left: {temps}"
        )

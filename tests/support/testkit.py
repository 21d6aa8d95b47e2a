"""Helpers shared by the test folders: the tick columns and a fake broker, cache files
written the way the ticker stores them, the paced replay's records and bounded waits,
child interpreters that import the package as this process does, and the hypothesis
example counts of the chosen profile.

The folder holding this module is on pytest's ``pythonpath``, so tests import it by
name (``import testkit``)."""

from __future__ import annotations

import datetime as dt
import os
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import polars as pl
import pytest
from hypothesis import HealthCheck, settings

from tovik_backtest import utils
from tovik_backtest.constant import FLAG

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"

# ---------------------------------------------------------------------------
# Hypothesis profiles. `ci` keeps each property test's own example count; `dev`, the
# default of `make test`, caps every count small. Both have no per-example deadline
# (the first call may import polars or touch the disk) and keep no example database in
# the work tree. TOVIK_HYPOTHESIS_PROFILE picks one.

PROFILE_ENV = "TOVIK_HYPOTHESIS_PROFILE"
DEV_EXAMPLES = 25
_COMMON = dict(
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("ci", **_COMMON)
settings.register_profile("dev", max_examples=DEV_EXAMPLES, **_COMMON)
PROFILE = os.environ.get(PROFILE_ENV, "dev")
if PROFILE not in ("ci", "dev"):
    raise ValueError(f"{PROFILE_ENV}={PROFILE!r} is not a profile: use 'ci' or 'dev'")


def load_profile() -> None:
    settings.load_profile(PROFILE)


def examples(full: int) -> int:
    """A property test's example count: ``full`` under the ci profile, at most the dev
    cap otherwise."""
    return full if PROFILE == "ci" else min(full, DEV_EXAMPLES)


# ---------------------------------------------------------------------------
# Ticks, the broker, and the cache.

TICK_COLUMNS = (
    "ts",
    "close",
    "volume",
    "bid_price",
    "bid_volume",
    "ask_price",
    "ask_volume",
    "tick_type",
)
MERGED_COLUMNS = (*TICK_COLUMNS, "code")
MERGED_SCHEMA = pl.Schema(
    {
        "ts": pl.Int64,
        "close": pl.Float64,
        "volume": pl.Int64,
        "bid_price": pl.Float64,
        "bid_volume": pl.Int64,
        "ask_price": pl.Float64,
        "ask_volume": pl.Int64,
        "tick_type": pl.Int64,
        "code": pl.String,
    }
)

NOT_LOGGED_IN = "永豐 API 尚未初始化, 請先登入永豐 API"


def day_ticks(date: str, n: int = 3, *, seed: int = 0, step_ns: int = 1_000_000_000) -> dict:
    """Eight tick columns for one day: n ticks from 09:00 of ``date``, ``step_ns`` apart."""
    day = dt.datetime.strptime(date, "%Y-%m-%d")
    base = int((day - dt.datetime(1970, 1, 1)).total_seconds()) * 1_000_000_000 + 9 * 3600 * 10**9
    return {
        "ts": [base + i * step_ns for i in range(n)],
        "close": [100.0 + seed + i * 0.5 + 0.1 for i in range(n)],
        "volume": [1 + (i + seed) % 5 for i in range(n)],
        "bid_price": [99.9 + seed + i * 0.5 for i in range(n)],
        "bid_volume": [10 + i for i in range(n)],
        "ask_price": [100.1 + seed + i * 0.5 for i in range(n)],
        "ask_volume": [20 + i for i in range(n)],
        "tick_type": [1 + i % 2 for i in range(n)],
    }


def contracts(stocks, futures, **fields) -> SimpleNamespace:
    """A broker's ``Contracts``: ``Stocks`` and ``Futures`` by code, each with ``code``."""
    return SimpleNamespace(
        Stocks={code: SimpleNamespace(code=code, **fields.get("stock", {})) for code in stocks},
        Futures={code: SimpleNamespace(code=code, **fields.get("future", {})) for code in futures},
    )


class FakeTicks:
    """Shaped like the broker's own result object: keys() and item access, not a dict."""

    def __init__(self, columns: dict):
        self._columns = columns

    def keys(self):
        return list(self._columns)

    def __getitem__(self, key):
        return self._columns[key]


class FakeBroker:
    """Stands in for a logged-in shioaji API object.

    ``data[(code, date)]`` gives that day's ticks (missing days have no ticks);
    ``failures[(code, date)]`` is how many calls for that day raise before it works
    (a negative count fails for ever). Every ``ticks`` call is recorded in ``calls``.
    """

    def __init__(self, stocks=("2330", "2317"), futures=("TXFR1", "MXFR1"), *, as_object=False):
        self.Contracts = contracts(stocks, futures, stock={"kind": "stock"}, future={"kind": "future"})
        self.data: dict[tuple[str, str], dict] = {}
        self.failures: dict[tuple[str, str], int] = {}
        self.calls: list[tuple[object, str]] = []
        self.as_object = as_object
        self._lock = threading.Lock()

    def __bool__(self) -> bool:
        return True

    def ticks(self, *, contract, date):
        with self._lock:
            self.calls.append((contract, date))
            key = (contract.code, date)
            left = self.failures.get(key, 0)
            if left:
                self.failures[key] = left - 1 if left > 0 else left
                raise RuntimeError(f"broker refused {contract.code} {date}")
        columns = self.data.get(key) or {name: [] for name in TICK_COLUMNS}
        return FakeTicks(columns) if self.as_object else dict(columns)

    def dates_called(self, code: str | None = None) -> list[str]:
        return [date for contract, date in self.calls if code is None or contract.code == code]


def cache_file(tick_dir, code: str, date: str) -> Path:
    """The cache file of one instrument-day under the ticker's tick folder."""
    return Path(tick_dir) / f"{code} {date} - ticks.csv"


def write_cache_day(data_dir, code: str, day: str, stamps, base: float = 100.0, *, closes=None, volumes=None) -> Path:
    """Writes one instrument-day into the cache of ``data_dir``: one tick per time
    stamp, its prices ``closes[k]`` (else rising by one from ``base``) and its volume
    ``volumes[k]`` (else 1)."""
    from tovik_backtest.sample_data import TICK_SCHEMA, cache_dir
    from tovik_backtest.tick_cache import tick_file_name

    cols: dict[str, list] = {name: [] for name in TICK_SCHEMA}
    for k, ts in enumerate(stamps):
        price = closes[k] if closes is not None else base + k
        volume = volumes[k] if volumes is not None else 1
        for name in TICK_SCHEMA:
            cols[name].append(ts if name == "ts" else (price if TICK_SCHEMA[name] == pl.Float64 else volume))
    path = cache_dir(data_dir) / tick_file_name(code, day)
    path.parent.mkdir(parents=True, exist_ok=True)
    pl.DataFrame(cols, schema=TICK_SCHEMA).write_csv(path)
    return path


def day_csv(date: str, n: int = 4) -> str:
    """The text of a cache file holding ``day_ticks(date, n)``."""
    return pl.DataFrame(day_ticks(date, n)).select(TICK_COLUMNS).write_csv()


def settle(data_dir, ago: float = 3600, pattern: str = "*.csv") -> None:
    """Dates the cache files back: only files settled for a while get a kept copy."""
    from tovik_backtest.sample_data import cache_dir

    for path in cache_dir(data_dir).glob(pattern):
        stamp = path.stat().st_mtime_ns - int(ago * 10**9)
        os.utime(path, ns=(stamp, stamp))


# ---------------------------------------------------------------------------
# The paced replay's records.


EXIT = {"tovik_status": FLAG.exit_send_tick.value}
FINISHED = {"tovik_status": FLAG.finish_backfilling.value}


def expected(df, market_map, backfilling=False) -> list[dict]:
    """The records the replay must give for a merged table, built the plain way."""
    return [
        {
            "market_type": market_map[row["code"]],
            "timestamp": utils.format_nano_ts_to_second_ts(row["ts"], 8),
            "code": row["code"],
            "close": row["close"],
            "qty": row["volume"],
            "tick_type": row["tick_type"],
            "is_simulate": False,
            "is_backfilling": backfilling,
        }
        for row in df.iter_rows(named=True)
    ]


def take(ticker, timeout=5):
    """The next record on the ticker's queue, waiting at most ``timeout`` seconds."""
    return ticker.tick_queue.get(timeout=timeout)


def nothing_more(ticker, wait=0.3) -> bool:
    """Asserts that nothing arrives on the ticker's queue within ``wait`` seconds."""
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=wait)
    return True


def consume(ticker, grant=True, limit=10_000) -> list:
    """Everything up to and including the exit marker, granting after each tick."""
    out = []
    for _ in range(limit):
        item = take(ticker)
        out.append(item)
        if item == EXIT:
            return out
        if grant and "tovik_status" not in item:
            ticker.allow_next_tick()
    raise AssertionError("no exit marker")


def wait_until(predicate, timeout=5) -> bool:
    """Polls ``predicate`` until it holds or ``timeout`` seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


class WatchedQueue(queue.Queue):
    """A queue that counts the looks finding it empty (a ``get`` or ``get_nowait`` that
    raised ``queue.Empty``). A parked replay looks at its token and notice queues
    again after each wake or time-out, so a growing count shows a thread waiting on
    the queue."""

    def __init__(self) -> None:
        super().__init__()
        self.empty_looks = 0

    def get(self, block=True, timeout=None):
        try:
            return super().get(block, timeout)
        except queue.Empty:
            with self.mutex:
                self.empty_looks += 1
            raise


def watch_queues(ticker) -> None:
    """Gives the ticker watched token and notice queues holding what its own held (a
    new ticker's token queue starts with one token); it looks them up on each use."""
    for name in ("allow_next_tick_flag_queue", "backfilling_notify_finish_queue"):
        old, watched = getattr(ticker, name), WatchedQueue()
        while not old.empty():
            watched.put(old.get_nowait())
        setattr(ticker, name, watched)


def wait_for_looks(q: WatchedQueue, looks: int = 2, timeout: float = 5) -> None:
    """Waits until ``looks`` more looks found ``q`` empty: a thread is parked on it.
    Two looks mean a whole wait lay between them, so the thread was registered as
    waiting; the waits grow to 32 ms, so six or more looks mean it is long past its
    first ones."""
    start = q.empty_looks
    assert wait_until(lambda: q.empty_looks >= start + looks, timeout), "no thread waits on the queue"


REPLAY_THREADS = ("(_Ticker__push_tick_to_queue)", "(backfilling)")


def replay_threads_ended(kinds=REPLAY_THREADS, timeout: float = 5) -> bool:
    """Waits until no replay or back-filling thread of any ticker is alive (their
    threads are named after the ticker methods they run; ``kinds`` picks which)."""
    return wait_until(lambda: not any(t.name.endswith(kinds) for t in threading.enumerate()), timeout)


# ---------------------------------------------------------------------------
# Child interpreters.


def child_env(env_extra=None) -> dict:
    """The environment of a child interpreter that imports the package the way this
    process did (an installed copy, or the in-place build under src/)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    env.update(env_extra or {})
    return env


def interpreter_flags() -> list[str]:
    """This interpreter's development mode and warning filters, for a child."""
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    return flags + [f"-W{option}" for option in sys.warnoptions]


def run_python(args, *, timeout: float, env_extra=None, cwd=ROOT) -> subprocess.CompletedProcess:
    """Runs this interpreter in a child; fails the test if it does not end in time."""
    try:
        return subprocess.run(
            [sys.executable, *interpreter_flags(), *args],
            cwd=cwd,
            env=child_env(env_extra),
            capture_output=True,
            text=True,
            timeout=timeout,
            check=False,
        )
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        pytest.fail(f"subprocess did not finish within {timeout} s; last output:\n{out[-4000:]}")

"""Shared helpers for the hardening tests: a hypothesis profile, a fake broker, a
temporary data directory, captured console output, and subprocess runs with a
time limit."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, settings

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"

# One profile for every property test here: no per-example deadline (the first call
# of a method may import polars or touch the disk), no example database left in the
# work tree, and the health checks that only flag slow generation turned off.
settings.register_profile(
    "hardening",
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("TOVIK_HYPOTHESIS_PROFILE", "hardening"))

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


class HardeningBroker:
    """A logged-in broker stand-in. ``rows[(code, date)]`` is that day's tick count
    (days not listed have none); every ``ticks`` call is counted."""

    def __init__(self, stocks=("2330", "2317"), futures=("TXFR1",), rows=None):
        self.Contracts = SimpleNamespace(
            Stocks={code: SimpleNamespace(code=code) for code in stocks},
            Futures={code: SimpleNamespace(code=code) for code in futures},
        )
        self.rows: dict[tuple[str, str], int] = dict(rows or {})
        self.calls = 0
        self._lock = threading.Lock()

    def __bool__(self) -> bool:
        return True

    def ticks(self, *, contract, date):
        with self._lock:
            self.calls += 1
        n = self.rows.get((contract.code, date), 0)
        base = 1_704_186_000_000_000_000
        return {
            "ts": [base + i * 1_000_000 for i in range(n)],
            "close": [100.0 + (i % 50) * 0.5 for i in range(n)],
            "volume": [1 + i % 7 for i in range(n)],
            "bid_price": [99.5 + (i % 50) * 0.5 for i in range(n)],
            "bid_volume": [10 + i % 3 for i in range(n)],
            "ask_price": [100.5 + (i % 50) * 0.5 for i in range(n)],
            "ask_volume": [20 + i % 5 for i in range(n)],
            "tick_type": [1 + i % 2 for i in range(n)],
        }


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


@pytest.fixture(scope="session")
def hardening():
    """The helpers above, for the test modules (conftest is not importable by name)."""
    return SimpleNamespace(
        ROOT=ROOT,
        SRC=SRC,
        TICK_COLUMNS=TICK_COLUMNS,
        HardeningBroker=HardeningBroker,
        run_python=run_python,
        child_env=child_env,
        interpreter_flags=interpreter_flags,
    )

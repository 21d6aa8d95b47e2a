"""Parameter sweeps: every combination of a strategy's parameters as its own back-test.

``refs`` (how workers find the strategy class), ``grid`` (the combinations), ``cache``
(the tick cache filled before the runs), ``backends`` (one run, and Ray or a process pool
to carry the runs out), ``table`` (the ranked result table) and ``driver`` (``sweep``).
"""

from __future__ import annotations

from tovik_backtest.errors import RayUnavailable, SweepError
from tovik_backtest.sweeps.backends import INSTALL_HINT, RunJob, import_ray, run_one
from tovik_backtest.sweeps.cache import missing_days, precache
from tovik_backtest.sweeps.driver import SweepInterrupted, sweep
from tovik_backtest.sweeps.grid import expand_grid
from tovik_backtest.sweeps.refs import StrategyRef
from tovik_backtest.sweeps.table import FIGURES, RESERVED_COLUMNS, build_table

__all__ = [
    "FIGURES",
    "INSTALL_HINT",
    "RESERVED_COLUMNS",
    "RayUnavailable",
    "RunJob",
    "StrategyRef",
    "SweepError",
    "SweepInterrupted",
    "build_table",
    "expand_grid",
    "import_ray",
    "missing_days",
    "precache",
    "run_one",
    "sweep",
]

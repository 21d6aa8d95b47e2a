"""Tick-level back-testing for Taiwan stock and futures strategies.

``Backtest`` and ``Strategy`` are the runner's API; the simulated exchange and the tick
replay are the C++ modules ``tovik_backtest.modules.matcher.matcher`` and
``tovik_backtest.modules.ticker.ticker``.
"""

from __future__ import annotations

from typing import Any

from tovik_backtest.version import __version__

__all__ = ["Backtest", "BacktestError", "BacktestResult", "Costs", "OrderRefused", "RunConfig", "Strategy",
           "compare_fills", "search", "sweep", "__version__"]


def __getattr__(name: str) -> Any:
    # Loaded on first use, so importing the package (e.g. for its constants) stays light.
    if name in ("Backtest", "Strategy"):
        from tovik_backtest import runner

        return getattr(runner, name)
    if name in ("BacktestError", "OrderRefused"):
        from tovik_backtest import errors

        return getattr(errors, name)
    if name == "RunConfig":
        from tovik_backtest.config import RunConfig

        return RunConfig
    if name == "Costs":
        from tovik_backtest.costs import Costs

        return Costs
    if name == "BacktestResult":
        from tovik_backtest.results import BacktestResult

        return BacktestResult
    if name == "compare_fills":
        from tovik_backtest.compare import compare_fills

        return compare_fills
    if name == "search":
        from tovik_backtest.searches import search

        return search
    if name == "sweep":
        from tovik_backtest.sweeps import sweep

        return sweep
    raise AttributeError(f"module 'tovik_backtest' has no attribute {name!r}")

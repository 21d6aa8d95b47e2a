"""The names a search takes for its sampler, objective and walk-forward window (kept
apart so the command line can offer them without loading Optuna)."""

from __future__ import annotations

__all__ = ["OBJECTIVES", "SAMPLERS", "WINDOWS"]

OBJECTIVES = ("net_pnl", "sharpe", "sortino", "calmar", "profit_factor")
SAMPLERS = ("tpe", "random", "grid")
WINDOWS = ("anchored", "rolling")

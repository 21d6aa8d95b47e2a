"""Parameter search with Optuna on the sweep's back-ends, with walk-forward folds.

``space`` (the parameters and their values or ranges), ``objective`` (what is
maximised), ``study`` (one study: batches asked, run and told in trial order),
``folds`` (walk-forward folds by trading days), ``result`` (the tables and the stitched
out-of-sample equity) and ``driver`` (``search``). Loaded on first use: importing the
package does not load Optuna.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any

from tovik_backtest.searches.choices import OBJECTIVES, SAMPLERS, WINDOWS

__all__ = ["OBJECTIVES", "SAMPLERS", "WINDOWS", "Fold", "Objective", "SearchInterrupted", "SearchResult",
           "Space", "cut_folds", "parse_space", "search"]

_WHERE = {"SearchInterrupted": "driver", "search": "driver", "Fold": "folds", "cut_folds": "folds",
          "Objective": "objective", "SearchResult": "result", "Space": "space", "parse_space": "space"}


def __getattr__(name: str) -> Any:
    if name in _WHERE:
        return getattr(import_module(f"tovik_backtest.searches.{_WHERE[name]}"), name)
    raise AttributeError(f"module 'tovik_backtest.searches' has no attribute {name!r}")

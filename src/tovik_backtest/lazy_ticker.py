"""The ticker of a back-test run, loaded when a day must come from it.

Most cached runs read every day from the tables kept beside the cache and never need
the ticker, whose extension imports the broker library when it loads. ``LazyTicker``
takes the place of ``Ticker`` in such a run: it holds the broker session, and makes
the real ticker (once, under a lock, so the day reader's helper threads share it) on
the first use of anything else.
"""

from __future__ import annotations

import threading
from typing import Any

__all__ = ["LazyTicker"]


class LazyTicker:
    """``Ticker(api)`` made on first use; ``api`` is at hand without it."""

    def __init__(self, api: Any) -> None:
        self.api = api
        self._ticker: Any = None
        self._lock = threading.Lock()

    @property
    def loaded(self) -> bool:
        """Whether the real ticker has been made."""
        return self._ticker is not None

    def _real(self) -> Any:
        with self._lock:
            if self._ticker is None:
                from tovik_backtest.modules.ticker.ticker import Ticker

                self._ticker = Ticker(self.api)
            return self._ticker

    def __getattr__(self, name: str) -> Any:
        # Only for names this object lacks: everything but ``api`` is the ticker's.
        if name.startswith("__") or name in ("_ticker", "_lock"):
            raise AttributeError(name)
        return getattr(self._real(), name)

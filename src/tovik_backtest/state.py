"""The state array a run shares with the native loop (``Matcher.drive_ticks``), seen
through its named layout.

The extension says where each slot lies (``STATE_SLOTS``, ``STATE_CODE_FIELDS``,
``EQUITY_ROW_FIELDS``); this module only gives those numbers names to be read and
written by, so the host never does slot arithmetic of its own.
"""

from __future__ import annotations

from array import array

import numpy as np
import numpy.typing as npt

from tovik_backtest.modules.matcher import matcher as _native

__all__ = ["EngineState", "ROW_FIELDS", "UNSET"]

_SLOTS: dict[str, int] = dict(_native.STATE_SLOTS)
_CODE_FIELDS: tuple[str, ...] = tuple(_native.STATE_CODE_FIELDS)
ROW_FIELDS: tuple[str, ...] = tuple(_native.EQUITY_ROW_FIELDS)
UNSET: int = _native.STATE_UNSET  # a time or interval not known yet


class EngineState:
    """The int64 state of one run over ``n`` instruments (index k in the run's order).

    ``state["peak_cents"]`` reads a slot, ``state.of("units", k)`` a field of code k.
    """

    __slots__ = ("array", "n", "_first")

    def __init__(self, n: int) -> None:
        self.n = n
        self.array = array("q", bytes(8 * (_SLOTS["per_code"] + len(_CODE_FIELDS) * n)))
        self._first = {name: _SLOTS["per_code"] + f * n for f, name in enumerate(_CODE_FIELDS)}
        for slot in ("now_ns", "boundary_ns", "peak_ns", "bucket"):
            self[slot] = UNSET
        self["interval_ns"] = 60 * 10**9  # rows of a minute unless told otherwise
        self["share_peak_cents"] = 1  # no fall yet: 0 of 1
        for k in range(n):
            self.put("latest_row", k, -1)

    def __getitem__(self, slot: str) -> int:
        return self.array[_SLOTS[slot]]

    def __setitem__(self, slot: str, value: int) -> None:
        self.array[_SLOTS[slot]] = value

    def of(self, field: str, k: int) -> int:
        return self.array[self._first[field] + k]

    def put(self, field: str, k: int, value: int) -> None:
        self.array[self._first[field] + k] = value

    def slot(self, name: str) -> int:
        """Where a slot lies in ``array`` (for code that reads it often)."""
        return _SLOTS[name]

    def at(self, field: str, k: int) -> int:
        """Where field ``field`` of code ``k`` lies in ``array``."""
        return self._first[field] + k

    def open_row(self) -> tuple[int, ...]:
        """The row of the interval the last tick fell in (still open), as the table's rows are."""
        start = _SLOTS["equity_open"]
        return (self["bucket"] * self["interval_ns"], *self.array[start:start + len(ROW_FIELDS) - 1])

    @staticmethod
    def table(rows: int) -> npt.NDArray[np.int64]:
        """Room for ``rows`` rows of the equity table, for ``drive_ticks``."""
        return np.zeros(rows * len(ROW_FIELDS), dtype=np.int64)

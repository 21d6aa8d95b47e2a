"""Vocabulary shared by the matcher, the ticker and strategies.

Text values follow the live broker's vocabulary so that strategy code ports unchanged.
Every order enumeration is a ``str`` enumeration: a member compares equal to its own
text value (``Action.BUY == "Buy"``), which the matcher's buy test relies on.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from enum import Enum, StrEnum
from typing import Self

__all__ = [
    "Action",
    "PriceType",
    "OrderType",
    "OrderCond",
    "OrderLot",
    "OCType",
    "OperationType",
    "SuccessCode",
    "FLAG",
    "BASIC_INFO",
    "DATA_DIR_ENV",
]


class _TextEnum(StrEnum):
    """A text enumeration whose members are found by member or by exact text value."""

    @classmethod
    def from_value(cls, value: Self | str) -> Self:
        """Return the member for ``value``: a member of this enumeration or its text value."""
        if type(value) is cls:
            return value
        if type(value) is str:
            member = cls._value2member_map_.get(value)
            if member is not None:
                return member  # type: ignore[return-value]
        raise ValueError(f"{cls.__name__} has no member for value {value!r}")

    # The matcher reads the member of a text straight from _value2member_map_ while
    # from_value is this very function (it looks for the mark), instead of calling it.
    from_value.__func__.looks_up_text = True  # type: ignore[attr-defined]


class Action(_TextEnum):
    BUY = "Buy"
    SELL = "Sell"


class PriceType(_TextEnum):
    LMT = "LMT"  # limit
    MKT = "MKT"  # market
    MKP = "MKP"  # market with protection


class OrderType(_TextEnum):
    ROD = "ROD"  # rest of day
    IOC = "IOC"  # immediate or cancel
    FOK = "FOK"  # fill or kill


class OrderCond(_TextEnum):
    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class OrderLot(_TextEnum):
    COMMON = "Common"
    BLOCK_TRADE = "BlockTrade"
    FIXING = "Fixing"
    ODD = "Odd"
    INTRADAY_ODD = "IntradayOdd"


class OCType(_TextEnum):
    AUTO = "Auto"
    NEW = "New"
    COVER = "Cover"
    DAY_TRADE = "DayTrade"


class OperationType(_TextEnum):
    NEW = "New"
    UPDATE_QTY = "UpdateQty"
    UPDATE_PRICE = "UpdatePrice"
    CANCEL = "Cancel"


class SuccessCode(Enum):
    """Status of a successful operation: ``code`` and ``message`` are copied into reports."""

    CreateOrder = ("00", "委託成功")
    ModifyOrder = ("00", "改單成功")
    OrderBeCancel = ("00", "刪單成功")

    code: str
    message: str

    def __init__(self, code: str, message: str) -> None:
        # plain attributes: every report reads both, and a property costs a Python call
        self.code = code
        self.message = message


class FLAG(Enum):
    """``tovik_status`` values of the ticker's control records."""

    exit_send_tick = "exit_send_tick"
    finish_backfilling = "finish_backfilling"


DATA_DIR_ENV = "TOVIK_BACKTEST_DATA_DIR"


class _BasicInfo:
    """Package settings. ``data_dir`` is worked out anew on every read.

    Order of precedence: a value assigned by the host (``BASIC_INFO.data_dir = path``;
    assign None to drop it, or use ``with BASIC_INFO.override(path):`` for a while), the
    environment variable ``TOVIK_BACKTEST_DATA_DIR``, then ``~/.tovik_backtest/data``.
    """

    def __init__(self) -> None:
        self._data_dir: str | None = None

    @property
    def data_dir(self) -> str:
        if self._data_dir is not None:
            return self._data_dir
        from_env = os.environ.get(DATA_DIR_ENV)
        if from_env:
            return from_env
        return os.path.join(os.path.expanduser("~"), ".tovik_backtest", "data")

    @data_dir.setter
    def data_dir(self, value: str | os.PathLike[str] | None) -> None:
        if value is None:
            self._data_dir = None
            return
        if not isinstance(value, (str, os.PathLike)):
            raise TypeError(f"data_dir must be a path text, not {type(value).__name__}")
        self._data_dir = os.fspath(value)

    @property
    def assigned_data_dir(self) -> str | None:
        """The folder the host assigned, or None when ``data_dir`` comes from the
        environment or the default (what to assign back to restore a setting)."""
        return self._data_dir

    @contextlib.contextmanager
    def override(self, path: str | os.PathLike[str] | None) -> Iterator[None]:
        """Use ``path`` as ``data_dir`` inside the block, then restore what was there before.

        ``path`` None leaves ``data_dir`` as it is (a caller's "no folder given").
        """
        if path is None:
            yield
            return
        saved = self._data_dir
        self.data_dir = path
        try:
            yield
        finally:
            self._data_dir = saved


BASIC_INFO = _BasicInfo()

"""Walk-forward folds: the period's trading days cut into consecutive parts, each fold's
parameters searched on days before it and scored on the fold itself."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from tovik_backtest.errors import BacktestError, describe
from tovik_backtest.market import trading_days
from tovik_backtest.searches.choices import WINDOWS

__all__ = ["Fold", "WINDOWS", "cut_folds"]



@dataclass(frozen=True)
class Fold:
    """One fold: its in-sample days (searched on) and out-of-sample days (scored on)."""

    number: int
    in_sample: tuple[str, ...]
    out_of_sample: tuple[str, ...]

    def as_dict(self) -> dict[str, Any]:
        return {"fold": self.number, "is_start": self.in_sample[0], "is_end": self.in_sample[-1],
                "is_days": len(self.in_sample), "oos_start": self.out_of_sample[0],
                "oos_end": self.out_of_sample[-1], "oos_days": len(self.out_of_sample)}


def check_window(window: Any) -> None:
    if window in WINDOWS:
        return
    if type(window) is int and window > 0:
        return
    raise BacktestError(f"window must be 'anchored', 'rolling' or a whole number of trading days > 0, "
                        f"not {describe(window)}")


def cut_folds(start: str, end: str, folds: int, window: str | int = "anchored") -> list[Fold]:
    """``folds`` folds over the trading days from ``start`` to ``end``.

    The days are cut into ``folds + 1`` consecutive parts as even as can be (earlier parts
    take the extra days); fold k is scored on part k and searched on: every part before
    it (``anchored``), the one part before it (``rolling``), or the ``window`` trading
    days before it (a whole number).
    """
    if type(folds) is not int or folds < 1:
        raise BacktestError(f"walk_forward must be a whole number of folds >= 1, not {describe(folds)}")
    check_window(window)
    days = [d.isoformat() for d in trading_days(start[:10], end[:10])]
    if len(days) < folds + 1:
        raise BacktestError(f"{folds} walk-forward folds need at least {folds + 1} trading days, and "
                            f"{start} to {end} has {len(days)}: use fewer folds or a longer period")
    size, extra = divmod(len(days), folds + 1)
    parts: list[list[str]] = []
    at = 0
    for i in range(folds + 1):
        n = size + (1 if i < extra else 0)
        parts.append(days[at:at + n])
        at += n
    out = []
    for k in range(1, folds + 1):
        before = [d for part in parts[:k] for d in part]
        if window == "anchored":
            in_sample = before
        elif window == "rolling":
            in_sample = parts[k - 1]
        else:
            in_sample = before[-int(window):]
        out.append(Fold(k, tuple(in_sample), tuple(parts[k])))
    return out

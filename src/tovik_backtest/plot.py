"""Prices with fills, net equity and drawdown of a back-test (needs the ``plot`` extra).

Times are Taipei wall time; breaks between sessions are cut out of the x axis."""

from __future__ import annotations

import bisect
import datetime as dt
import io
from collections.abc import Callable
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.modules.positions.positions import Positions


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


def _pyplot() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise PlotUnavailable(
            "plotting needs matplotlib: pip install 'tovik_backtest[plot]'"
        ) from None
    return plt


def pnl_curve(result: Any) -> list[tuple[float, float]]:
    """Realised P&L after each fill, summed over instruments, as (time, P&L) points.

    The fills are replayed through a fresh position book, so the curve ends where the
    run's own book does.
    """
    book = Positions()
    realised = 0.0
    points: list[tuple[float, float]] = []
    for deal in result.deals:
        before = book.get(deal["code"])
        was = before.realized_pnl if before is not None else 0.0
        book.set_positions(deal, "")
        realised += book.positions[deal["code"]].realized_pnl - was
        points.append((float(deal["exchange_ts"]), realised))
    return points


_GAP_NS = 30 * 60 * 1_000_000_000  # a pause this long is a break between sessions


class SessionAxis:
    """Maps times (ns, Taipei wall time) to an x axis on which the breaks between
    sessions (nights, weekends, holidays) take no width."""

    def __init__(self, times_ns: list[int]) -> None:
        times = sorted(set(times_ns))
        self.starts: list[int] = []  # first time of each session
        self.ends: list[int] = []  # last time of each session
        self.offsets: list[int] = []  # x of that first time
        x = 0
        for t in times:
            if not self.ends or t - self.ends[-1] > _GAP_NS:
                if self.ends:
                    x += self.ends[-1] - self.starts[-1] + _GAP_NS // 30  # a sliver marks the break
                self.starts.append(t)
                self.ends.append(t)
                self.offsets.append(x)
            else:
                self.ends[-1] = t

    @classmethod
    def of_array(cls, times: Any) -> SessionAxis:
        """The same axis from an int64 array of times (ns), worked out on the array."""
        import numpy as np

        t = np.unique(np.asarray(times, dtype=np.int64))
        axis = cls([])
        if len(t):
            cut = np.flatnonzero(np.diff(t) > _GAP_NS) + 1
            starts, ends = t[np.r_[0, cut]], t[np.r_[cut - 1, len(t) - 1]]
            offsets = np.r_[0, np.cumsum(ends[:-1] - starts[:-1] + _GAP_NS // 30)]
            axis.starts, axis.ends, axis.offsets = starts.tolist(), ends.tolist(), offsets.tolist()
        return axis

    def x(self, t: int) -> float:
        """Hours along the compressed axis."""
        if not self.starts:
            return 0.0
        i = max(bisect.bisect_right(self.starts, t) - 1, 0)
        # a time in a break (a session close after the last tick) sits at its session's end
        t = min(max(t, self.starts[i]), self.ends[i])
        return (self.offsets[i] + t - self.starts[i]) / 3.6e12

    def xs(self, times: list[int]) -> list[float]:
        return [self.x(t) for t in times]

    def array(self, times: Any) -> Any:
        """``x`` of every time of an int64 array (ns), as a float64 array of hours."""
        import numpy as np

        t = np.asarray(times, dtype=np.int64)
        if not self.starts:
            return np.zeros(len(t))
        starts = np.asarray(self.starts, dtype=np.int64)
        i = np.maximum(np.searchsorted(starts, t, side="right") - 1, 0)
        t = np.clip(t, starts[i], np.asarray(self.ends, dtype=np.int64)[i])
        return (np.asarray(self.offsets, dtype=np.int64)[i] + t - starts[i]) / 3.6e12

    def sessions(self) -> dict[str, list[float]]:
        """Each session's first time (ms, wall time written as UTC), last time and its x
        (hours): what a page needs to turn an x back into the time it stands for."""
        return {"start_ms": [s / 1e6 for s in self.starts], "end_ms": [e / 1e6 for e in self.ends],
                "x": [o / 3.6e12 for o in self.offsets]}

    def label(self, ax: Any) -> None:
        """One tick mark per session, labelled with its day and start."""
        if not self.starts:
            return
        step = max(1, len(self.starts) // 12)
        ticks = list(range(0, len(self.starts), step))
        ax.set_xticks([self.offsets[i] / 3.6e12 for i in ticks])
        ax.set_xticklabels([_wall(self.starts[i]) for i in ticks], fontsize="x-small", rotation=30)
        ax.set_xlabel("sessions, Asia/Taipei (breaks removed)", fontsize="small")


def _wall(t: int) -> str:
    return (dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=t // 1000)).strftime("%m-%d %H:%M")


def panels(result: Any, ticks: pl.DataFrame | None = None) -> list[tuple[str, Callable[[Any], None]]]:
    """(title, draw) pairs: prices with fills per instrument, net equity, drawdown;
    ``draw(ax)`` draws the panel on a matplotlib axes."""
    fills = result.book.fills
    equity = result.equity("fill")
    eq_times = [t for t, _ in result.book.equity]
    prices: dict[str, tuple[list[int], list[float]]] = {}
    if ticks is not None and ticks.height:
        for inst in result.instruments:
            rows = ticks.filter(pl.col("code") == inst.code)
            prices[inst.code] = (rows["ts"].to_list(), rows["close"].to_list())
    # sessions are where trading happened; closes after the last tick sit at its end
    traded = [f.time_ns for f in fills] + [t for ts, _ in prices.values() for t in ts]
    axis = SessionAxis(traded or eq_times)

    def price_panel(code: str) -> Callable[[Any], None]:
        def draw(ax: Any) -> None:
            if code in prices:
                ax.plot(axis.xs(prices[code][0]), prices[code][1], lw=0.6, color="0.4", label="close")
            for side, colour, marker in (("Buy", "tab:green", "^"), ("Sell", "tab:red", "v")):
                mine = [f for f in fills if f.code == code and f.action == side]
                ax.scatter(axis.xs([f.time_ns for f in mine]), [f.price for f in mine],
                           c=colour, marker=marker, s=30, label=side.lower(), zorder=3)
            ax.legend(loc="upper left", fontsize="small")
        return draw

    def curve_panel(column: str, colour: str) -> Callable[[Any], None]:
        def draw(ax: Any) -> None:
            if equity.height:
                ax.step(axis.xs(eq_times), equity[column].to_list(), where="post", color=colour)
            ax.set_ylabel("TWD")
        return draw

    out = [(f"{i.code}: price and fills", price_panel(i.code)) for i in result.instruments]
    out.append(("net equity (TWD)", curve_panel("equity", "tab:blue")))
    out.append(("drawdown (TWD)", curve_panel("drawdown", "tab:red")))
    return [(title, _labelled(title, draw, axis)) for title, draw in out]


def _labelled(title: str, draw: Callable[[Any], None], axis: SessionAxis) -> Callable[[Any], None]:
    def run(ax: Any) -> None:
        draw(ax)
        ax.set_title(title)
        axis.label(ax)
    return run


def figure_png(draws: list[Callable[[Any], None]], height: float = 3.0) -> bytes:
    """The panels drawn one below the other, as PNG bytes."""
    plt = _pyplot()
    fig, axes = plt.subplots(len(draws), 1, figsize=(11, height * len(draws)), squeeze=False)
    try:
        for ax, draw in zip(axes[:, 0], draws):
            draw(ax)
        fig.tight_layout()
        buffer = io.BytesIO()
        fig.savefig(buffer, format="png", dpi=100)
    finally:
        plt.close(fig)
    return buffer.getvalue()


def plot_result(result: Any, path: Path, ticks: pl.DataFrame | None = None) -> Path:
    """Prices with fills, net equity and drawdown, one below the other, as a PNG."""
    _pyplot()
    png = figure_png([draw for _, draw in panels(result, ticks)])
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(png)
    return path

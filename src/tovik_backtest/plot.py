"""Price, fills and P&L curve of a back-test as a PNG (needs the ``plot`` extra)."""

from __future__ import annotations

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


def plot_result(result: Any, path: Path, ticks: pl.DataFrame | None = None) -> Path:
    plt = _pyplot()
    codes = [i.code for i in result.instruments]
    fig, axes = plt.subplots(len(codes) + 1, 1, figsize=(11, 3 * (len(codes) + 1)), squeeze=False)
    for ax, code in zip(axes[:-1, 0], codes):
        if ticks is not None and ticks.height:
            rows = ticks.filter(pl.col("code") == code)
            ax.plot((rows["ts"] / 1e9 - 8 * 3600).to_list(), rows["close"].to_list(),
                    lw=0.6, color="0.4", label="close")
        for side, colour, marker in (("Buy", "tab:green", "^"), ("Sell", "tab:red", "v")):
            fills = [d for d in result.deals if d["code"] == code and d["action"] == side]
            ax.scatter([d["exchange_ts"] for d in fills], [d["price"] for d in fills],
                       c=colour, marker=marker, s=30, label=side.lower(), zorder=3)
        ax.set_title(code)
        ax.legend(loc="upper left", fontsize="small")
    curve = pnl_curve(result)
    ax = axes[-1, 0]
    if curve:
        ax.step([t for t, _ in curve], [p for _, p in curve], where="post", color="tab:blue")
    ax.set_title("realised P&L (points)")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path

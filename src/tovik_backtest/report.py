"""A run as one self-contained HTML page: summary table, curves, prices with fills and
round trips. Images are embedded as base64, so the file needs nothing beside it."""

from __future__ import annotations

import base64
import html
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.plot import _pyplot, figure_png, panels

__all__ = ["write_report", "render_report"]

_STYLE = """
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin: 1em 0; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
img { max-width: 100%; }
.note { color: #a40; }
"""


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:,.4f}" if abs(value) < 10 and value != int(value) else f"{value:,.2f}"
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{value:,}"
    return html.escape("" if value is None else str(value))


def _table(columns: list[str], rows: list[list[Any]]) -> str:
    head = "".join(f"<th>{html.escape(c)}</th>" for c in columns)
    body = "".join("<tr>" + "".join(f"<td>{_cell(v)}</td>" for v in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _frame(frame: pl.DataFrame) -> str:
    return _table(frame.columns, [list(r) for r in frame.iter_rows()])


def _image(png: bytes, alt: str) -> str:
    data = base64.b64encode(png).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


def render_report(result: Any, ticks: pl.DataFrame | None = None) -> str:
    """The page's HTML text."""
    _pyplot()
    summary = result.summary()
    per = summary["instruments"]
    keys = ["market", "fills", "net_position", "pnl_points", "gross_pnl", "commission", "tax", "net_pnl"]
    rows = [[code, *(f[k] for k in keys)] for code, f in per.items()]
    o = summary["overall"]
    rows.append(["overall", "", o["fills"], "", "", o["gross_pnl"], o["commission"], o["tax"], o["net_pnl"]])
    measures = ["capital", "max_drawdown", "max_drawdown_pct", "round_trips", "win_rate", "profit_factor",
                "average_trade", "sharpe", "exposure", "ticks"]
    parts = [
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Back-test report</title>",
        f"<style>{_STYLE}</style></head><body><h1>Back-test report</h1>",
    ]
    if summary["params"]:
        parts.append("<p>parameters: " + html.escape(", ".join(f"{k}={v!r}" for k, v in summary["params"].items()))
                     + "</p>")
    parts.append("<h2>Summary (TWD)</h2>" + _table(["code", *keys], rows))
    parts.append(_table(["measure", "value"], [[m, o[m]] for m in measures]))
    parts += [f"<p class='note'>{html.escape(n)}</p>" for n in summary["notes"]]
    drawn = panels(result, ticks)
    curves, prices = drawn[-2:], drawn[:-2]
    parts.append("<h2>Equity and drawdown</h2>" + _image(figure_png([d for _, d in curves]), "equity"))
    parts.append("<h2>Prices and fills</h2>")
    parts += [_image(figure_png([draw]), title) for title, draw in prices]
    parts.append("<h2>Round trips</h2>" + _frame(result.round_trips()))
    parts.append("</body></html>\n")
    return "".join(parts)


def write_report(result: Any, path: Path, ticks: pl.DataFrame | None = None) -> Path:
    text = render_report(result, ticks)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path

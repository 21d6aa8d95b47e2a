"""A run as one self-contained, interactive HTML page (needs plotly, the ``plot`` extra).

The page carries plotly's own script, so it opens without a network. On it: the run's
settings and order counts, the summary and measures, prices with every fill per
instrument over net equity and drawdown on one session-compressed time axis (zoomable
down to single ticks; the lines are drawn a few points per pixel, fills always), a
month-by-day heat map of daily net P&L, and the round trips in a table that sorts on a
click of its header."""

from __future__ import annotations

import base64
import bisect
import html
import json
import zlib
from importlib import resources
from pathlib import Path
from typing import Any

import numpy as np
import polars as pl

from tovik_backtest.plot import PlotUnavailable, SessionAxis
from tovik_backtest.report_data import ReportData, wall_ns

__all__ = ["write_report", "render_report", "render_data", "save_report", "write_page"]

_STYLE = """
body { font-family: sans-serif; margin: 1.5em 2em; color: #222; }
h1 { margin-bottom: 0.2em; }
table { border-collapse: collapse; margin: 0.6em 0 1.2em; font-size: 0.85em; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: right; }
th:first-child, td:first-child, td.t { text-align: left; }
table.sortable th { cursor: pointer; background: #f3f3f3; }
table.sortable th[data-order=up]::after { content: " \\25B2"; }
table.sortable th[data-order=down]::after { content: " \\25BC"; }
.partial { color: #fff; background: #b00; padding: 0.4em 0.8em; font-weight: bold; }
.note { color: #a40; }
.side { display: flex; flex-wrap: wrap; gap: 2em; align-items: flex-start; }
.scroll { max-height: 30em; overflow-y: auto; }
"""


def _plotly() -> Any:
    try:
        import plotly
    except ImportError:
        raise PlotUnavailable("the report needs plotly: pip install 'tovik_backtest[plot]'") from None
    return plotly


def _cell(value: Any) -> str:
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, float):
        return f"{value:,.4f}" if abs(value) < 10 and value != int(value) else f"{value:,.2f}"
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, list | tuple):
        return html.escape(", ".join(str(v) for v in value))
    return html.escape("" if value is None else str(value))


def _align(value: Any) -> str:
    return " class='t'" if isinstance(value, str | list | tuple) else ""


def _table(columns: list[str], rows: list[list[Any]], css: str = "") -> str:
    head = "".join(f"<th>{html.escape(c)}</th>" for c in columns)
    body = "".join("<tr>" + "".join(f"<td{_align(v)}>{_cell(v)}</td>" for v in row) + "</tr>"
                   for row in rows)
    cls = f' class="{css}"' if css else ""
    return f"<table{cls}><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _time_text(value: Any) -> Any:
    return value.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] if hasattr(value, "strftime") else value


def _deflated(raw: bytes) -> str:
    return base64.b64encode(zlib.compress(raw, 6)).decode("ascii")


def _pack(values: Any, scale: float, rounded: bool = False) -> dict[str, Any]:
    """A line's values for the page: whole multiples of 1 / ``scale`` (cents; or, with
    ``rounded``, the nearest one: ms of the time axis) as int32 steps from a base, which
    deflate to a byte or two each; other values as float64."""
    values = np.asarray(values, dtype=np.float64)
    whole = np.round(values * scale)
    exact = rounded or np.all(np.abs(whole / scale - values) <= 1e-9 * np.maximum(1.0, np.abs(values)))
    if len(values) and exact:
        steps = np.diff(whole.astype(np.int64), prepend=np.int64(whole[0]))
        if np.all(np.abs(steps) < 2**31):
            return {"steps": _deflated(steps.astype("<i4").tobytes()), "base": int(whole[0]), "scale": scale}
    return {"values": _deflated(values.astype("<f8").tobytes())}


def _trip_of_fills(data: ReportData) -> list[str]:
    """For each fill, the round trip(s) it belongs to, as a line of text (a reversing
    fill closes one and opens the next)."""
    trips: dict[str, list[tuple[int, int, int, dict[str, Any]]]] = {}
    frame = data.trips
    if frame.height:
        spans = zip(wall_ns(frame["entry_time"]).to_list(), wall_ns(frame["exit_time"]).to_list())
        for n, ((entry, exit_), trip) in enumerate(zip(spans, frame.iter_rows(named=True)), start=1):
            trips.setdefault(trip["code"], []).append((entry, exit_, n, trip))
    times = wall_ns(data.fills["time"]).to_list() if data.fills.height else []
    entries = {code: [t[0] for t in mine] for code, mine in trips.items()}
    out = []
    for code, time in zip(data.fills["code"].to_list(), times):
        mine = trips.get(code, [])
        i = bisect.bisect_right(entries.get(code, []), time)
        lines = [f"round trip #{n} {t['side'].lower()} {t['quantity']:,}: net {t['net']:,.0f} TWD"
                 for entry, exit_, n, t in mine[max(i - 2, 0):i] if entry <= time <= exit_]
        out.append("<br>".join(lines) or "in the position still open at the end")
    return out


def _fill_text(data: ReportData) -> list[str]:
    fills = data.fills
    trips = _trip_of_fills(data)
    texts = []
    reason = "fill_reason" in fills.columns
    for row, trip in zip(fills.iter_rows(named=True), trips):
        parts = [f"<b>{row['action']} {row['quantity']:,} {html.escape(row['code'])} @ {row['price']:,}</b>",
                 _time_text(row["time"]),
                 f"order {html.escape(str(row['trade_id']))} ({row['price_type']} {row['order_type']})"]
        if reason:
            parts.append(f"reason {row['fill_reason']}")
        parts.append(f"cost {row['commission'] + row['tax']:,.0f} TWD "
                     f"(commission {row['commission']:,.0f}, tax {row['tax']:,.0f})")
        parts.append(trip)
        texts.append("<br>".join(parts))
    return texts


def _lines_figure(data: ReportData) -> tuple[Any, dict[str, Any]]:
    """Prices and fills per instrument over equity and drawdown, and the packed lines."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    codes = list(dict.fromkeys([*data.summary["instruments"]]))
    fill_ns = wall_ns(data.fills["time"]).to_numpy() if data.fills.height else np.zeros(0, np.int64)
    price_ns = data.prices["ts"].to_numpy()
    traded = np.concatenate([fill_ns, price_ns])
    axis = SessionAxis.of_array(traded if len(traded) else data.equity["time"].to_numpy())
    rows = len(codes) + 2
    fig = make_subplots(rows=rows, cols=1, shared_xaxes=True, vertical_spacing=0.03,
                        row_heights=[3] * len(codes) + [2, 1.4],
                        subplot_titles=[f"{c}: price and fills" for c in codes] + ["net equity (TWD)",
                                                                                 "drawdown (TWD)"])
    series: list[dict[str, Any]] = []

    def packed(x: Any, y: Any, **trace: Any) -> None:
        order = np.argsort(x, kind="stable")
        series.append({"trace": len(fig.data), "x": _pack(np.asarray(x)[order], 3.6e6, rounded=True),
                       "y": _pack(np.asarray(y)[order], 100)})
        fig.add_trace(go.Scatter(x=[], y=[], mode="lines", **trace), row=row, col=1)

    hover = _fill_text(data)
    actions = np.asarray(data.fills["action"].to_list(), dtype=object)
    fill_codes = np.asarray(data.fills["code"].to_list(), dtype=object)
    fill_x = axis.array(fill_ns)
    for row, code in enumerate(codes, start=1):
        mine = data.prices.filter(pl.col("code") == code)
        packed(axis.array(mine["ts"].to_numpy()), mine["close"].to_numpy(), name=f"{code} price",
               line={"width": 1, "color": "#666"}, hovertemplate=f"%{{text}}<br>%{{y:,}}<extra>{code}</extra>")
        for side, colour, symbol in (("Buy", "#1a9850", "triangle-up"), ("Sell", "#d73027", "triangle-down")):
            pick = np.flatnonzero((fill_codes == code) & (actions == side))
            fig.add_trace(go.Scatter(
                x=fill_x[pick], y=data.fills["price"].to_numpy()[pick], mode="markers",
                name=f"{code} {side.lower()}", marker={"color": colour, "symbol": symbol, "size": 9},
                hovertext=[hover[i] for i in pick], hoverinfo="text"), row=row, col=1)
    eq_x = axis.array(data.equity["time"].to_numpy())
    row = rows - 1
    packed(eq_x, data.equity["equity"].to_numpy(), name="net equity", line={"width": 1.2, "color": "#2166ac"},
           hovertemplate="%{text}<br>%{y:,.0f} TWD<extra>equity</extra>")
    row = rows
    packed(eq_x, data.equity["drawdown"].to_numpy(), name="drawdown", fill="tozeroy",
           line={"width": 1, "color": "#b2182b"}, hovertemplate="%{text}<br>%{y:,.0f} TWD<extra>drawdown</extra>")
    everything = np.concatenate([axis.array(traded), eq_x]) if len(traded) or len(eq_x) else np.zeros(1)
    extent = [float(everything.min()), float(everything.max())]
    if extent[0] == extent[1]:
        extent[1] += 1 / 60
    fig.update_layout(height=260 * len(codes) + 420, margin={"l": 60, "r": 20, "t": 40, "b": 40},
                      template="plotly_white", hovermode="closest", showlegend=False, dragmode="zoom")
    fig.update_xaxes(range=extent, tickangle=0)
    fig.update_xaxes(title_text="sessions, Asia/Taipei (breaks removed)", row=rows, col=1)
    plan = {"div": "lines", "extent": extent, "sessions": axis.sessions(), "series": series}
    return fig, plan


def _heat_map(data: ReportData) -> Any | None:
    import plotly.graph_objects as go

    if not data.daily.height:
        return None
    months = sorted({d.strftime("%Y-%m") for d in data.daily["day"].to_list()})
    z: list[list[float | None]] = [[None] * 31 for _ in months]
    text: list[list[str]] = [[""] * 31 for _ in months]
    for day, pnl in zip(data.daily["day"].to_list(), data.daily["net_pnl"].to_list()):
        m = months.index(day.strftime("%Y-%m"))
        z[m][day.day - 1] = pnl
        text[m][day.day - 1] = f"{day.isoformat()} ({day.strftime('%a')}): {pnl:+,.0f} TWD"
    fig = go.Figure(go.Heatmap(z=z, x=list(range(1, 32)), y=months, text=text, hoverinfo="text",
                               colorscale="RdYlGn", zmid=0, xgap=2, ygap=2,
                               colorbar={"title": {"text": "TWD"}}))
    fig.update_layout(height=120 + 40 * len(months), template="plotly_white",
                      margin={"l": 70, "r": 20, "t": 30, "b": 40},
                      xaxis={"title": {"text": "day of month"}, "dtick": 1, "type": "linear"},
                      yaxis={"autorange": "reversed", "type": "category"})
    return fig


def _settings_rows(settings: dict[str, Any]) -> list[list[Any]]:
    costs = settings.get("costs") or {}
    period = f"{settings.get('start', '?')} to {settings.get('end', '?')}"
    if settings.get("backfill_start") or settings.get("backfill_end"):
        period += f" (warm-up {settings.get('backfill_start')} to {settings.get('backfill_end')})"
    params = settings.get("params") or {}
    instruments = [f"{i['code']}:{i['market']}" if isinstance(i, dict) else str(i)
                   for i in settings.get("instruments") or []]
    sizes = settings.get("contract_sizes") or {}
    return [
        ["strategy", settings.get("strategy")],
        ["parameters", ", ".join(f"{k}={v!r}" for k, v in params.items()) or "none"],
        ["instruments", instruments],
        ["contract sizes", ", ".join(f"{k}={v}" for k, v in sizes.items()) or "the exchange's"],
        ["period", period],
        ["costs", ", ".join(f"{k}={v}" for k, v in costs.items())],
        ["capital (TWD)", settings.get("capital")],
        ["fill model", settings.get("fill_model")],
        ["seed", settings.get("seed")],
        ["package version", settings.get("version")],
    ]


def _measure_tables(overall: dict[str, Any]) -> str:
    scalars = [[k, v] for k, v in overall.items() if not isinstance(v, dict | list)]
    parts = [_table(["measure", "value"], scalars)]
    for key, value in overall.items():
        if isinstance(value, dict) and value and all(isinstance(v, dict) for v in value.values()):
            columns = list(dict.fromkeys(c for v in value.values() for c in v))
            parts.append(f"<h3>{html.escape(key.replace('_', ' '))}</h3>"
                         + _table(["", *columns], [[name, *(v.get(c) for c in columns)] for name, v in value.items()]))
        elif isinstance(value, dict):
            parts.append(f"<h3>{html.escape(key.replace('_', ' '))}</h3>"
                         + _table(["", "value"], [[k, v] for k, v in value.items()]))
    return "".join(parts)


def _figure_html(fig: Any, div: str) -> str:
    html_text: str = fig.to_html(full_html=False, include_plotlyjs=False, div_id=div,
                                 config={"displaylogo": False, "responsive": True})
    return html_text


def render_data(data: ReportData) -> str:
    """The page's HTML text, from what it is drawn from."""
    plotly = _plotly()
    summary = data.summary
    partial = bool(summary.get("partial"))
    title = "Back-test report" + (" (partial)" if partial else "")
    overall = summary["overall"]
    parts = ["<!DOCTYPE html><html><head><meta charset='utf-8'>",
             f"<title>{html.escape(title)}</title><style>{_STYLE}</style>",
             f"<script>{plotly.offline.get_plotlyjs()}</script></head><body>"]
    if partial:
        parts.append(f"<p class='partial'>partial: the run stopped ({html.escape(str(summary.get('error')))}); "
                     "these are its results up to that point</p>")
    parts.append(f"<h1>{html.escape(title)}</h1>")
    counts = [[code, s["orders"], s["fills"], s["exchange_cancels"], s["expired"]]
              for code, s in summary["instruments"].items()]
    counts.append(["overall", overall["orders"], overall["fills"], overall["exchange_cancels"], overall["expired"]])
    parts.append("<div class='side'><div><h2>Settings</h2>" + _table(["setting", "value"],
                                                                      _settings_rows(data.settings)))
    parts.append("</div><div><h2>Orders</h2>" + _table(
        ["code", "orders", "fills", "exchange cancellations", "expired day orders"], counts) + "</div></div>")
    keys = ["market", "fills", "net_position", "pnl_points", "gross_pnl", "commission", "tax", "net_pnl"]
    rows = [[code, *(f.get(k) for k in keys)] for code, f in summary["instruments"].items()]
    rows.append(["overall", "", overall["fills"], "", "", overall["gross_pnl"], overall["commission"],
                 overall["tax"], overall["net_pnl"]])
    parts.append("<h2>Summary (TWD)</h2>" + _table(["code", *keys], rows))
    if data.benchmark.height:
        held = [[r["code"], r["quantity"], _time_text(r["entry_time"]), r["entry_price"], _time_text(r["exit_time"]),
                 r["exit_price"], r["commission"] + r["tax"], r["net"], r["return_pct"], r["max_drawdown"],
                 summary["instruments"].get(r["code"], {}).get("net_pnl")]
                for r in data.benchmark.iter_rows(named=True)]
        parts.append("<h2>Buy and hold (one lot or contract, the same costs)</h2>" + _table(
            ["code", "quantity", "bought", "at", "sold", "at", "costs", "net", "return_pct", "max_drawdown",
             "strategy's net"], held))
    parts += [f"<p class='note'>{html.escape(n)}</p>" for n in [*summary.get("notes", []), *data.notes]]
    fig, plan = _lines_figure(data)
    parts.append("<h2>Prices, fills, equity and drawdown</h2>"
                 "<p>Drag to zoom (down to single ticks), double-click to see the whole run; "
                 "hover a fill for its order, costs and round trip.</p>" + _figure_html(fig, "lines"))
    heat = _heat_map(data)
    if heat is not None:
        parts.append("<h2>Daily net P&amp;L</h2>" + _figure_html(heat, "daily"))
    parts.append("<h2>Measures</h2>" + _measure_tables(overall))
    trips = data.trips
    trip_rows = [[n, *(_time_text(v) if hasattr(v, "strftime") else v for v in row)]
                 for n, row in enumerate(trips.iter_rows(), start=1)]
    parts.append(f"<h2>Round trips ({trips.height:,})</h2><p>Click a column's name to sort by it.</p>"
                 "<div class='scroll'>" + _table(["#", *trips.columns], trip_rows, "sortable") + "</div>")
    script = resources.files("tovik_backtest").joinpath("report.js").read_text(encoding="utf-8")
    series = json.dumps(plan).replace("</", "<\\/")
    parts.append(f"<script type='application/json' id='report-series'>{series}</script>")
    parts.append(f"<script>{script}</script></body></html>\n")
    return "".join(parts)


def render_report(result: Any, ticks: pl.DataFrame | None = None) -> str:
    """The page's HTML text for a result (prices from ``ticks`` or the run's cache)."""
    _plotly()
    return render_data(ReportData.of(result, ticks))


def write_report(result: Any, path: Path, ticks: pl.DataFrame | None = None) -> Path:
    return write_page(render_report(result, ticks), path)


def save_report(result: Any, folder: Path, ticks: pl.DataFrame | None = None) -> Path | None:
    """Beside a saved result: what its page is drawn from (so ``tovik-backtest report``
    can draw it again) and, where plotly is installed, report.html."""
    data = ReportData.of(result, ticks)
    data.save(folder)
    try:
        _plotly()
    except PlotUnavailable:
        return None
    return write_page(render_data(data), folder / "report.html")


def write_page(text: str, path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path

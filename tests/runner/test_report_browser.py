"""The report page opened in a real headless Chromium: it renders, its plots carry their
traces, zooming draws single ticks, the round-trip table sorts, and the console stays
free of errors."""

import os
import shutil

import pytest

from tovik_backtest.runner import Backtest, merged_ticks
from tovik_backtest.sample_strategy import MovingAverageCross

pytest.importorskip("plotly")
playwright = pytest.importorskip("playwright.sync_api", reason="playwright is not installed (pip install playwright)")


def _chromium():
    for name in (os.environ.get("TOVIK_CHROMIUM"), "chromium", "chromium-browser", "google-chrome"):
        path = name and shutil.which(name)
        if path:
            return path
    return None


CHROMIUM = _chromium()
pytestmark = pytest.mark.skipif(
    CHROMIUM is None, reason="no Chromium found (apt-get install chromium, or set TOVIK_CHROMIUM)")


@pytest.fixture(scope="module")
def run(one_sample_day, tmp_path_factory):
    data_dir, start, end = one_sample_day("browser", 11)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock", "TXFR1:Future"], start, end,
                      data_dir=data_dir).run()
    path = result.report(tmp_path_factory.mktemp("page") / "run.html")
    return result, path


@pytest.fixture(scope="module")
def page(run):
    _, path = run
    with playwright.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        try:
            tab = browser.new_page(viewport={"width": 700, "height": 900})
            problems = []
            tab.on("console", lambda m: problems.append(f"{m.type}: {m.text}") if m.type == "error" else None)
            tab.on("pageerror", lambda e: problems.append(f"page error: {e}"))
            tab.on("requestfailed", lambda r: problems.append(f"request failed: {r.url}"))
            tab.goto(path.as_uri())
            tab.wait_for_function("window.reportReady !== undefined", timeout=60_000)
            yield tab, problems
        finally:
            browser.close()


TRACES = "document.getElementById('lines')._fullData.map(t => [t.name, t._length === undefined ? " \
         "(t.x ? t.x.length : 0) : t._length])"


def test_page_renders_without_console_errors(page):
    tab, problems = page
    assert tab.evaluate("window.reportReady") is True
    assert tab.title() == "Back-test report"
    assert problems == []


def test_every_plot_has_its_traces(page, run):
    tab, _ = page
    result, _ = run
    drawn = dict(tab.evaluate(TRACES))
    trades = result.trades()
    for code in ("2330", "TXFR1"):
        assert drawn[f"{code} price"] > 100
        for side in ("Buy", "Sell"):  # every fill is drawn, never sampled
            assert drawn[f"{code} {side.lower()}"] == trades.filter(
                (trades["code"] == code) & (trades["action"] == side)).height
    assert drawn["net equity"] > 0 and drawn["drawdown"] > 0
    heat = tab.evaluate("document.getElementById('daily')._fullData.map(t => t.type)")
    assert heat == ["heatmap"]


def _price_points(tab, name):
    return tab.evaluate(f"""(() => {{
        const t = document.getElementById('lines').data.find(t => t.name === {name!r});
        return [Array.from(t.x), Array.from(t.y)];
    }})()""")


def test_whole_run_keeps_extremes_and_zoom_shows_every_tick(page, run):
    tab, _ = page
    result, _ = run
    xs, ys = _price_points(tab, "2330 price")
    config = result.config
    closes = merged_ticks(["2330:Stock"], config["start"], config["end"], data_dir=config["data_dir"])["close"]
    # drawn a few points per pixel, the highest and lowest prices are still there
    assert max(ys) == closes.max() and min(ys) == closes.min()
    assert len(ys) < len(closes)
    # zoomed into a few minutes, every tick in view is drawn
    a, b = xs[len(xs) // 2], xs[len(xs) // 2] + 0.05
    tab.evaluate(f"Plotly.relayout(document.getElementById('lines'), {{'xaxis.range': [{a}, {b}]}})")
    tab.wait_for_timeout(500)
    zx, _ = _price_points(tab, "2330 price")
    inside = [x for x in zx if a <= x <= b]
    assert 0 < len(inside) and len(zx) - len(inside) <= 2  # and one point either side, for the line
    labels = tab.evaluate("document.getElementById('lines').layout.xaxis.ticktext")
    assert all(len(t) == 8 and t.count(":") == 2 for t in labels)  # minutes: labelled to the second
    # a double-click's autorange comes back to the whole run
    tab.evaluate("Plotly.relayout(document.getElementById('lines'), {'xaxis.autorange': true})")
    tab.wait_for_timeout(500)
    assert _price_points(tab, "2330 price")[1] == ys


def test_round_trip_table_sorts_on_its_header(page, run):
    tab, _ = page
    result, _ = run
    column = result.round_trips().columns.index("net") + 1
    read = (f"Array.from(document.querySelectorAll('table.sortable tbody tr'))"
            f".map(r => Number(r.cells[{column}].textContent.replace(/,/g, '')))")
    header = tab.locator("table.sortable thead th", has_text="net").last
    header.click()
    up = tab.evaluate(read)
    assert up == sorted(result.round_trips()["net"].to_list())
    header.click()
    assert tab.evaluate(read) == sorted(up, reverse=True)


def test_hover_text_of_a_fill_names_order_cost_and_trip(page, run):
    tab, _ = page
    result, _ = run
    first = result.trades().row(0, named=True)
    text = tab.evaluate(f"document.getElementById('lines').data.find(t => t.name === "
                        f"{first['code'] + ' ' + first['action'].lower()!r}).hovertext[0]")
    assert first["trade_id"] in text and "cost" in text and "round trip" in text
    assert first["fill_reason"] is None or f"reason {first['fill_reason']}" in text

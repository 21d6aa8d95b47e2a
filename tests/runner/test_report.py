import datetime as dt
import json
import re

import numpy as np
import polars as pl
import pytest

from tovik_backtest.cli import main
from tovik_backtest.errors import BacktestError
from tovik_backtest.plot import SessionAxis
from tovik_backtest.report_data import ReportData, wall_ns
from tovik_backtest.runner import Backtest
from tovik_backtest.sample_strategy import MovingAverageCross

pytest.importorskip("plotly")

from tovik_backtest.report import _trip_of_fills, render_data  # noqa: E402

H = 3_600_000_000_000
TZ = "Asia/Taipei"


@pytest.fixture(scope="module")
def saved_run(one_sample_day, tmp_path_factory):
    data_dir, start, end = one_sample_day("report", 5)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock", "TXFR1:Future"], start, end,
                      data_dir=data_dir, seed=7).run()
    folder = result.save(tmp_path_factory.mktemp("saved") / "run")
    return result, folder


def test_saved_page_is_self_contained_and_says_what_ran(saved_run):
    result, folder = saved_run
    page = (folder / "report.html").read_text(encoding="utf-8")
    # nothing is fetched when the page opens: no script, style or image from elsewhere
    assert not re.search(r"<(script|link|img)[^>]+(src|href)=", page)
    assert "Plotly" in page and "<title>Back-test report</title>" in page
    for setting in ("tovik_backtest.sample_strategy:MovingAverageCross", "fast=5", "2330:Stock, TXFR1:Future",
                    "fill model", "package version", "Buy and hold"):
        assert setting in page
    summary = result.summary()
    for code, figures in summary["instruments"].items():
        cell = r"<td[^>]*>([\d,]+)</td>"
        row = re.search(rf"<tr><td class='t'>{code}</td>{cell * 4}</tr>", page)
        assert row is not None, code
        counts = [int(v.replace(",", "")) for v in row.groups()]
        assert counts == [figures["orders"], figures["fills"], figures["exchange_cancels"], figures["expired"]]


def test_report_command_draws_the_saved_page_again(saved_run, tmp_path, capsys):
    _, folder = saved_run
    again = tmp_path / "again.html"
    assert main(["report", str(folder), "--out", str(again)]) == 0
    # everything the page shows was saved: the page drawn again is the same page
    assert again.read_bytes() == (folder / "report.html").read_bytes()
    assert str(again) in capsys.readouterr().out


def test_saved_report_data_reads_back_unchanged(saved_run):
    result, folder = saved_run
    fresh = ReportData.of(result)
    loaded = ReportData.load(folder)
    assert loaded.summary == json.loads(json.dumps(fresh.summary, default=str))
    for name in ("fills", "trips", "equity", "daily", "prices", "benchmark"):
        assert getattr(loaded, name).equals(getattr(fresh, name)), name
    assert loaded.prices.height == result.ticks  # every tick of the run, not a sample
    assert loaded.benchmark["code"].to_list() == ["2330", "TXFR1"]


@pytest.mark.parametrize("remove, message", [
    (None, "is not a folder of saved results"),
    ("summary.json", "summary.json missing"),
    ("trades.csv", "trades.csv missing"),
])
def test_report_command_refuses_what_is_not_a_saved_result(saved_run, tmp_path, capsys, remove, message):
    _, folder = saved_run
    target = tmp_path / "nothing"
    if remove is not None:
        target.mkdir()
        for f in folder.iterdir():
            if f.name not in (remove, "report.html"):
                (target / f.name).write_bytes(f.read_bytes())
    assert main(["report", str(target)]) == 2
    err = capsys.readouterr().err
    assert message in err and "--out" in err
    assert not (target / "report.html").exists()  # nothing half-drawn is left


@pytest.mark.parametrize("cache_kept", [True, False])
def test_report_without_saved_prices_reads_the_cache_or_says_so(saved_run, tmp_path, cache_kept):
    result, folder = saved_run
    for f in folder.iterdir():
        if f.name != "prices.parquet":
            (tmp_path / f.name).write_bytes(f.read_bytes())
    if not cache_kept:  # the result points at a tick cache that is gone
        summary = json.loads((tmp_path / "summary.json").read_text(encoding="utf-8"))
        summary["config"]["data_dir"] = str(tmp_path / "gone")
        (tmp_path / "summary.json").write_text(json.dumps(summary), encoding="utf-8")
    data = ReportData.load(tmp_path)
    if cache_kept:
        assert data.prices.equals(ReportData.load(folder).prices)
    else:
        assert data.prices.height == 0
        assert "prices.parquet is not in" in render_data(data)


def test_saved_without_page_keeps_what_the_report_command_draws_from(saved_run, tmp_path, capsys):
    result, folder = saved_run
    bare = result.save(tmp_path / "bare", page=False)
    assert not {"report.html", "prices.parquet"} & {f.name for f in bare.iterdir()}
    assert main(["report", str(bare)]) == 0
    again = ReportData.load(bare)
    assert again.prices.height == result.ticks and again.daily.equals(ReportData.load(folder).daily)


def test_partial_run_page_says_partial_in_title_and_first_line(one_sample_day, tmp_path):
    data_dir, start, end = one_sample_day("partial", 6)

    class Breaks(MovingAverageCross):
        def on_tick(self, tick):
            super().on_tick(tick)
            if self.position(tick["code"]) != 0:
                raise RuntimeError("strategy broke")

    with pytest.raises(RuntimeError) as info:
        Backtest(Breaks(fast=5, slow=20), ["2330:Stock"], start, end, data_dir=data_dir).run()
    page = info.value.partial_result.report(tmp_path / "p.html").read_text(encoding="utf-8")
    assert "<title>Back-test report (partial)</title>" in page
    body = page.split("<body>", 1)[1]
    assert body.startswith("<p class='partial'>partial:") and "strategy broke" in body.split("</p>")[0]


def _zoned(ns_values):
    return pl.Series(ns_values, dtype=pl.Int64).cast(pl.Datetime("ns")).dt.replace_time_zone(TZ)


def _data(fills, trips):
    """A report's data with only fills (code, time) and trips (code, side, entry, exit, qty, net)."""
    fill_frame = pl.DataFrame({"code": [c for c, _ in fills]}).with_columns(
        _zoned([t for _, t in fills]).alias("time"))
    trip_frame = pl.DataFrame({
        "code": [t[0] for t in trips], "side": [t[1] for t in trips],
        "quantity": [t[4] for t in trips], "net": [float(t[5]) for t in trips],
    }).with_columns(_zoned([t[2] for t in trips]).alias("entry_time"),
                    _zoned([t[3] for t in trips]).alias("exit_time"))
    empty = pl.DataFrame()
    return ReportData({}, fill_frame, trip_frame, empty, empty, empty, [])


TRIPS = [("X", "Long", 10, 20, 1000, 500), ("X", "Short", 20, 30, 2000, -100), ("Y", "Long", 15, 25, 1, 40)]


@pytest.mark.parametrize("fill, expected", [
    (("X", 10), ["#1 long"]),  # the opening fill
    (("X", 15), ["#1 long"]),  # adding to it
    (("X", 20), ["#1 long", "#2 short"]),  # a reversal closes one trip and opens the next
    (("X", 30), ["#2 short"]),
    (("Y", 20), ["#3 long"]),  # trips are matched within the fill's own instrument
    (("X", 40), ["still open"]),  # after the last closed trip
])
def test_each_fill_names_its_round_trips(fill, expected):
    (line,) = _trip_of_fills(_data([fill], TRIPS))
    for part in expected:
        assert part in line
    assert line.count("round trip") == sum(1 for p in expected if p.startswith("#"))


def test_fill_names_the_trip_net():
    (line,) = _trip_of_fills(_data([("X", 12)], TRIPS))
    assert line == "round trip #1 long 1,000: net 500 TWD"


@pytest.mark.parametrize("times", [
    [9 * H, 10 * H, 13 * H, 33 * H, 34 * H],
    [9 * H],
    [5, 5, 5, 2 * H, 2 * H + 1, 100 * H, 101 * H, 101 * H + 7],
    list(range(0, 50 * H, H // 3)),
])
def test_session_axis_from_an_array_is_the_same_axis(times):
    one, other = SessionAxis(times), SessionAxis.of_array(np.array(times))
    assert (one.starts, one.ends, one.offsets) == (other.starts, other.ends, other.offsets)
    probe = sorted(set(times) | {t + H // 7 for t in times} | {min(times) - H})
    assert other.array(np.array(probe)).tolist() == pytest.approx(one.xs(probe))


def test_wall_time_reads_taipei_clock_from_any_zone():
    utc = pl.Series([dt.datetime(2024, 1, 2, 1, 0)]).dt.replace_time_zone("UTC")
    assert wall_ns(utc).to_list() == [int(dt.datetime(2024, 1, 2, 9, 0, tzinfo=dt.UTC).timestamp()) * 10**9]


def test_load_refuses_a_damaged_summary(saved_run, tmp_path):
    _, folder = saved_run
    for f in folder.iterdir():
        (tmp_path / f.name).write_bytes(f.read_bytes())
    (tmp_path / "summary.json").write_text("{not json", encoding="utf-8")
    with pytest.raises(BacktestError, match="cannot be read"):
        ReportData.load(tmp_path)


def _unpacked(packed):
    import base64
    import zlib

    if "values" in packed:
        return np.frombuffer(zlib.decompress(base64.b64decode(packed["values"])), "<f8").tolist()
    steps = np.frombuffer(zlib.decompress(base64.b64decode(packed["steps"])), "<i4")
    return ((packed["base"] + np.cumsum(steps)) / packed["scale"]).tolist()


@pytest.mark.parametrize("values, scale, rounded, kind, back", [
    ([582.5, 581.0, 17_499.0, 0.01], 100, False, "steps", None),  # prices in cents: exact steps
    ([1 / 3, 2 / 3], 100, False, "values", None),  # not whole cents: kept as they are
    ([0.0, 3e7], 100, False, "values", None),  # a step beyond int32 (3e9 cents)
    ([1.0000001, 2.5], 3.6e6, True, "steps", [1.0, 2.5]),  # time axis: to the nearest ms
    ([], 100, False, "values", None),
])
def test_lines_are_packed_without_losing_what_is_drawn(values, scale, rounded, kind, back):
    from tovik_backtest.report import _pack

    packed = _pack(values, scale, rounded)
    assert kind in packed
    assert _unpacked(packed) == pytest.approx(back if back is not None else values, abs=1e-12)

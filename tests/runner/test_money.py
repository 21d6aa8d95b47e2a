"""Results in TWD: contract sizes, costs per fill, round trips, equity and its measures."""

import datetime as dt
import math
import re

import polars as pl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.market import posix_seconds_to_ns
from tovik_backtest.measures import drawdown_measures, drawdowns, sharpe, trip_measures
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.money import Recorder, Sizes
from tovik_backtest.results import BacktestResult, InstrumentStats

import testkit


def secs(day, hour, minute=0):
    # POSIX seconds of a Taipei wall time (the tick record's "timestamp")
    taipei = dt.timezone(dt.timedelta(hours=8))
    return dt.datetime(2024, 1, day, hour, minute, tzinfo=taipei).timestamp()


class TestContractSizes:
    @pytest.mark.parametrize("code, sizes, expected", [
        ("TXFR1", None, 200),
        ("MXFA4", None, 50),
        ("TMFR1", None, 10),
        ("XYZR1", {"XYZ": 2000}, 2000),  # by product
        ("XYZR1", {"XYZR1": 300}, 300),  # by code
        ("TXFR1", {"TXF": 100}, 100),  # an override wins
    ])
    def test_futures_accepted(self, code, sizes, expected):
        assert Sizes.of([Instrument(code, "Future")], sizes).point_values[code] == expected

    @pytest.mark.parametrize("code, sizes, message", [
        ("XYZR1", None, r"^contract size of futures product XYZ \(code XYZR1\) is unknown"),
        ("XYZR1", {"ABC": 5}, r"XYZ=2000"),
        ("TXFR1", {"TXF": 0}, r"TXF must be a whole number > 0"),
        ("TXFR1", {"TXF": 2.5}, r"TXF must be a whole number > 0"),
        ("TXFR1", [("TXF", 5)], r"must be a dict"),
    ])
    def test_refused_in_one_line(self, code, sizes, message):
        with pytest.raises(BacktestError, match=message) as caught:
            Sizes.of([Instrument(code, "Future")], sizes)
        assert "\n" not in str(caught.value)

    def test_backtest_refuses_unknown_product_before_running(self):
        from tovik_backtest.runner import Backtest, Strategy

        with pytest.raises(BacktestError, match="XYZ"):
            Backtest(Strategy(), ["XYZR1:Future"], "2024-01-02", "2024-01-02")

    @pytest.mark.parametrize("kwargs, message", [
        ({"costs": {"stock_tax_rate": 0.003}}, "costs must be a Costs"),
        ({"capital": 0}, "capital must be a TWD amount > 0"),
        ({"capital": float("inf")}, "capital must be a TWD amount > 0"),
        ({"capital": "1e6"}, "capital must be a TWD amount > 0"),
        ({"contract_sizes": {"TXF": True}}, "TXF must be a whole number > 0"),
    ])
    def test_backtest_refuses_bad_money_settings(self, kwargs, message):
        from tovik_backtest.runner import Backtest, Strategy

        with pytest.raises(BacktestError, match=message):
            Backtest(Strategy(), ["TXFR1:Future"], "2024-01-02", "2024-01-02", **kwargs)

    @pytest.mark.parametrize("unit, sizes, expected", [
        (500, None, 500),  # the broker's contract knows its lot
        (500, {"2330": 2000}, 2000),  # what the caller says wins
        (None, None, 1000),  # no size field: the exchange's board lot
    ])
    def test_broker_contract_unit(self, unit, sizes, expected):
        class Contract:
            pass

        contract = Contract()
        if unit is not None:
            contract.unit = unit

        class Api:
            class Contracts:
                Stocks = {"2330": contract}

        assert Sizes.of([Instrument("2330", "Stock")], sizes, Api()).lot_shares["2330"] == expected

    @pytest.mark.parametrize("code, multiplier, sizes, expected", [
        ("TXFR1", 200, None, 200),
        ("XYZR1", 2000, None, 2000),  # an unknown product the broker knows needs no size
        ("MXFR1", 50.0, None, 50),  # a whole float from the broker counts
        ("TXFR1", 0, None, 200),  # an empty field: the product table
        ("TXFR1", 12.5, None, 200),  # not a whole number: the product table
        ("TXFR1", 100, {"TXF": 300}, 300),  # what the caller says wins
        ("TXFR1", 100, {"TXFR1": 400}, 400),
    ])
    def test_broker_futures_multiplier(self, code, multiplier, sizes, expected):
        class Contract:
            pass

        contract = Contract()
        contract.multiplier = multiplier

        class Api:
            class Contracts:
                Futures = {code: contract}

        assert Sizes.of([Instrument(code, "Future")], sizes, Api()).point_values[code] == expected

    @pytest.mark.parametrize("lot, sizes, per", [
        ("Common", None, 1000), ("Odd", None, 1), ("IntradayOdd", None, 1),
        ("Common", {"2330": 500}, 500), ("Odd", {"2330": 500}, 1),
    ])
    def test_stock_units(self, lot, sizes, per):
        assert Sizes.of([Instrument("2330", "Stock")], sizes).units("2330", "Stock", lot) == ("Stock", per, 1)


def deal(trade_id, code, action, qty, price, ts, lot="Common"):
    d = {"id": trade_id, "code": code, "action": action, "quantity": qty, "price": price, "exchange_ts": ts}
    if lot is not None:
        d["order_lot"] = lot
    return d


def order(trade_id, order_type="ROD", price_type="LMT"):
    return {"operation_type": "New", "order": {"id": trade_id, "order_type": order_type,
                                               "price_type": price_type}}


def replay(instruments, events, costs=None, capital=1_000_000.0, sizes=None, every="1m"):
    """Feed (tick|report) events through a Recorder as the reference loop does (a tick's
    price, then the reports of its fills, then its marks); build the result."""
    sizes = Sizes.of(instruments, sizes)
    rec = Recorder(instruments, sizes, costs, capital, every)
    reports = []
    stats = {i.code: InstrumentStats(i.code, i.market) for i in instruments}
    book = Positions()
    ticking = None  # (code, ts) of the tick whose fills are being reported

    def marked():
        if ticking is not None:
            rec.mark(*ticking)

    for kind, item in events:
        if kind == "report":
            reports.append(item)
            rec.report(item)
            if "operation_type" not in item:
                book.set_positions(item, "")
                stats[item["code"]].fills += 1
        else:
            marked()
            ts = posix_seconds_to_ns(item["timestamp"])
            rec.closes(ts)
            book.set_current_tick({"code": item["code"], "close": item["close"]})
            rec.price(item["code"], item["close"])
            ticking = (item["code"], ts)
            stats[item["code"]].ticks += 1
    marked()
    rec.finish()
    return BacktestResult(instruments=list(instruments), reports=reports, positions=book, stats=stats,
                          backfilling_ticks=0, wall_seconds=1.0, recorder=rec,
                          costs=costs or Costs(), capital=capital)


def tick(code, close, ts):
    return ("tick", {"code": code, "close": close, "timestamp": ts})


STOCK = [Instrument("2330", "Stock")]


def stock_round_trip(sell_day):
    # buy 2 lots at 580 on 2 Jan, sell them at 590 (same day: day-trade tax)
    return [
        tick("2330", 580.0, secs(2, 9, 30)),
        ("report", order("a")), ("report", deal("a", "2330", "Buy", 2, 580.0, secs(2, 9, 30))),
        tick("2330", 590.0, secs(sell_day, 10)),
        ("report", order("b", "IOC")), ("report", deal("b", "2330", "Sell", 2, 590.0, secs(sell_day, 10))),
    ]


class TestCostsPerFill:
    @pytest.mark.parametrize("sell_day, sell_tax", [
        (2, 1770),  # 1,180,000 x 0.15% day trade
        (3, 3540),  # 1,180,000 x 0.3%
    ])
    def test_two_lot_round_trip(self, sell_day, sell_tax):
        result = replay(STOCK, stock_round_trip(sell_day))
        buy_commission = math.floor(580 * 2000 * 0.001425)  # 1,653
        sell_commission = math.floor(590 * 2000 * 0.001425)  # 1,681
        trades = result.trades()
        assert trades["commission"].to_list() == [buy_commission, sell_commission]
        assert trades["tax"].to_list() == [0, sell_tax]
        assert trades["value"].to_list() == [1_160_000, 1_180_000]
        assert trades["realized_pnl"].to_list() == [0, 20_000]
        assert trades["order_type"].to_list() == ["ROD", "IOC"]
        per = result.summary()["instruments"]["2330"]
        total = buy_commission + sell_commission + sell_tax
        assert (per["gross_pnl"], per["commission"], per["tax"], per["net_pnl"]) == (
            20_000, buy_commission + sell_commission, sell_tax, 20_000 - total)
        assert per["pnl_points"] == 20.0  # 10 points x 2 lots, as the book counts

    def test_futures_in_twd_and_the_note(self):
        fut = [Instrument("TXFR1", "Future")]
        events = [tick("TXFR1", 17000.0, secs(2, 9)),
                  ("report", deal("a", "TXFR1", "Buy", 1, 17000.0, secs(2, 9), lot=None)),
                  tick("TXFR1", 17010.0, secs(2, 10)),
                  ("report", deal("b", "TXFR1", "Sell", 1, 17010.0, secs(2, 10), lot=None))]
        result = replay(fut, events)
        trades = result.trades()
        # tax: value x 0.002%, rounded: 3,400,000 -> 68, 3,402,000 -> 68.04 -> 68
        assert trades["tax"].to_list() == [68, 68]
        assert trades["realized_pnl"].to_list() == [0, 10 * 200]
        assert len(result.summary()["notes"]) == 1
        with_fee = replay(fut, events, costs=Costs(futures_commission_per_contract=20))
        overall = with_fee.summary()["overall"]
        assert (overall["commission"], overall["net_pnl"], with_fee.summary()["notes"]) == (40, 2000 - 136 - 40, [])

    def test_mixed_instruments_add_twd_not_points(self):
        both = [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")]
        events = stock_round_trip(3) + [
            tick("TXFR1", 17000.0, secs(3, 11)),
            ("report", deal("c", "TXFR1", "Sell", 2, 17000.0, secs(3, 11), lot=None)),
            tick("TXFR1", 16990.0, secs(3, 12))]  # open short: 10 points x 2 x 200 unrealised
        summary = replay(both, events, costs=Costs.none()).summary()
        assert summary["overall"]["gross_pnl"] == 20_000 + 4_000
        assert summary["instruments"]["TXFR1"]["gross_pnl"] == 4_000
        for gone in ("pnl", "realized_pnl", "unrealized_pnl"):
            assert gone not in summary["overall"]

    def test_odd_and_board_lots_net_in_shares(self):
        events = [tick("2330", 100.0, secs(2, 9)), ("report", deal("a", "2330", "Buy", 1, 100.0, secs(2, 9))),
                  tick("2330", 101.0, secs(2, 10)),
                  ("report", deal("b", "2330", "Sell", 1000, 101.0, secs(2, 10), lot="Odd"))]
        result = replay(STOCK, events, costs=Costs.none())
        trips = result.round_trips()
        assert trips.select("quantity", "gross").rows() == [(1000, 1000.0)]
        # open after the first tick's buy, flat after the second's sell of 1,000 odd shares
        assert result.summary()["overall"]["exposure"] == 0.5


SUMMARY_KEYS = {"market", "ticks", "orders", "fills", "filled_qty", "exchange_cancels", "expired", "late_requests",
                "net_position",
                "realized_pnl", "unrealized_pnl", "pnl_points", "gross_pnl", "commission", "tax", "net_pnl"}
OVERALL_KEYS = {"ticks", "orders", "fills", "filled_qty", "exchange_cancels", "expired", "gross_pnl", "commission",
                "tax",
                "net_pnl", "capital", "max_drawdown", "max_drawdown_pct", "max_drawdown_pct_of_capital",
                "max_drawdown_duration", "round_trips", "win_rate",
                "profit_factor", "average_trade", "sharpe", "exposure", "backfilling_ticks", "wall_seconds",
                "ticks_per_second", "skipped_days", "limits_unchecked", "errors", "fill_model", "late_requests",
                "return_pct", "annual_return", "sortino", "calmar", "daily_returns", "longest_losing_streak",
                "average_duration", "costs_share", "by_instrument", "by_side"}


class TestTables:
    def test_summary_keys(self):
        summary = replay(STOCK, stock_round_trip(2)).summary()
        assert set(summary["instruments"]["2330"]) == SUMMARY_KEYS
        assert set(summary["overall"]) == OVERALL_KEYS

    @pytest.mark.parametrize("method, columns", [
        ("trades", ["time", "trade_id", "code", "action", "price_type", "order_type", "order_lot", "quantity",
                    "price", "value", "commission", "tax", "realized_pnl", "fill_reason"]),
        ("round_trips", ["code", "side", "entry_time", "exit_time", "quantity", "entry_price", "exit_price",
                         "gross", "costs", "net", "mae", "mfe", "mae_points", "mfe_points", "duration",
                         "worst_time"]),
        ("equity", ["time", "equity_open", "equity_high", "equity_low", "equity_close", "drawdown_open",
                    "drawdown_high", "drawdown_low", "drawdown_close"]),
        ("fill", ["time", "equity", "drawdown"]),
    ])
    def test_columns_and_time_zone(self, method, columns):
        result = replay(STOCK, stock_round_trip(3))
        frame = result.equity("fill") if method == "fill" else getattr(result, method)()
        assert frame.columns == columns
        assert frame.schema[columns[2] if method == "round_trips" else "time"] == pl.Datetime("ns", "Asia/Taipei")

    def test_trade_time_is_taipei_wall_time(self):
        first = replay(STOCK, stock_round_trip(2)).trades()["time"][0]
        assert (first.hour, first.minute, str(first.tzinfo)) == (9, 30, "Asia/Taipei")

    def test_round_trip_values(self):
        row = replay(STOCK, stock_round_trip(3)).round_trips().row(0, named=True)
        costs = 1653 + 1681 + 3540
        assert (row["side"], row["quantity"], row["entry_price"], row["exit_price"]) == ("Long", 2000, 580, 590)
        assert (row["gross"], row["costs"], row["net"]) == (20_000, costs, 20_000 - costs)

    def test_equity_rows_per_fill_and_session_close(self):
        equity = replay(STOCK, stock_round_trip(3)).equity("fill")
        times = [(t.day, t.hour, t.minute) for t in equity["time"]]
        # buy, close of 2 Jan (13:30), sell on 3 Jan, close of 3 Jan
        assert times == [(2, 9, 30), (2, 13, 30), (3, 10, 0), (3, 13, 30)]
        buy_cost = 1653
        assert equity["equity"].to_list() == [
            1e6 - buy_cost, 1e6 - buy_cost, 1e6 + 20_000 - (1653 + 1681 + 3540), 1e6 + 20_000 - 6874]

    def test_reversal_closes_one_trip_and_opens_another(self):
        events = [tick("2330", 100.0, secs(2, 9)), ("report", deal("a", "2330", "Buy", 1, 100.0, secs(2, 9))),
                  tick("2330", 110.0, secs(2, 10)), ("report", deal("b", "2330", "Sell", 3, 110.0, secs(2, 10))),
                  tick("2330", 105.0, secs(2, 11)), ("report", deal("c", "2330", "Buy", 2, 105.0, secs(2, 11)))]
        trips = replay(STOCK, events, costs=Costs.none()).round_trips()
        assert trips.select("side", "quantity", "entry_price", "exit_price", "gross").rows() == [
            ("Long", 1000, 100.0, 110.0, 10_000.0), ("Short", 2000, 110.0, 105.0, 10_000.0)]


class TestMeasures:
    CURVE = [100.0, 120.0, 90.0, 130.0, 117.0]

    def test_drawdown_on_a_synthetic_curve(self):
        assert drawdowns(self.CURVE, 100.0) == [0.0, 0.0, -30.0, 0.0, -13.0]
        got = drawdown_measures(self.CURVE, 100.0)
        assert got == {"max_drawdown": 30.0, "max_drawdown_pct": 30.0 / 120.0}

    @pytest.mark.parametrize("days, capital, expected", [
        ([], 100.0, None),
        ([110.0], 100.0, None),  # one day: no spread
        ([110.0, 120.0], 100.0, None),  # no variation
        # daily P&L 10, -5, 20 over capital 100
        ([110.0, 105.0, 125.0], 100.0,
         (25 / 3 / 100) / math.sqrt(((10 - 25 / 3) ** 2 + (-5 - 25 / 3) ** 2 + (20 - 25 / 3) ** 2) / 2 / 100 ** 2)
         * math.sqrt(252)),
    ])
    def test_sharpe(self, days, capital, expected):
        got = sharpe(days, capital)
        assert got == expected if expected is None else got == pytest.approx(expected)

    @pytest.mark.parametrize("nets, expected", [
        ([], {"round_trips": 0, "win_rate": None, "profit_factor": None, "average_trade": None}),
        ([10.0, -5.0, 20.0, -5.0], {"round_trips": 4, "win_rate": 0.5, "profit_factor": 3.0,
                                    "average_trade": 5.0}),
        ([7.0], {"round_trips": 1, "win_rate": 1.0, "profit_factor": None, "average_trade": 7.0}),
    ])
    def test_trip_measures(self, nets, expected):
        assert trip_measures(nets) == expected

    def test_exposure_counts_ticks_with_a_position(self):
        # ticks: open after buy (1), open (2), flat after sell (3)
        events = [tick("2330", 100.0, secs(2, 9)), ("report", deal("a", "2330", "Buy", 1, 100.0, secs(2, 9))),
                  tick("2330", 101.0, secs(2, 9, 5)),
                  tick("2330", 102.0, secs(2, 9, 10)), ("report", deal("b", "2330", "Sell", 1, 102.0, secs(2, 9, 10)))]
        assert replay(STOCK, events).summary()["overall"]["exposure"] == pytest.approx(2 / 3)


class TestReport:
    def test_report_is_self_contained(self, tmp_path):
        pytest.importorskip("plotly")
        path = replay(STOCK, stock_round_trip(3)).report(tmp_path / "r.html")
        text = path.read_text(encoding="utf-8")
        # plotly's script is inside the page: no element loads anything from elsewhere
        assert "Plotly" in text and not re.search(r"<(script|link|img|iframe)[^>]+(src|href)=", text)
        assert "net_pnl" in text and "Round trips" in text

    def test_save_writes_every_file(self, tmp_path):
        folder = replay(STOCK, stock_round_trip(3)).save(tmp_path / "o")
        names = {"reports.jsonl", "trades.csv", "round_trips.csv", "equity.csv", "summary.json"}
        assert names <= {p.name for p in folder.iterdir()}
        assert (folder / "round_trips.csv").read_text().startswith("code,side,entry_time")


def test_real_run_contract_size_scales_futures_money(tmp_path):
    from tovik_backtest.runner import Backtest
    from tovik_backtest.sample_data import sample_period, write_sample_data
    from tovik_backtest.sample_strategy import MovingAverageCross

    write_sample_data(tmp_path, days=1, seed=4)
    start, end = sample_period(1)

    def figures(**kwargs):
        result = Backtest(MovingAverageCross(fast=5, slow=20), ["TXFR1:Future"], start, end,
                          data_dir=tmp_path, costs=Costs.none(), **kwargs).run()
        return result.summary()

    default, halved = figures(), figures(contract_sizes={"TXF": 100})
    points = default["instruments"]["TXFR1"]["pnl_points"]
    assert default["overall"]["fills"] > 0 and halved["instruments"]["TXFR1"]["pnl_points"] == points
    assert default["overall"]["gross_pnl"] == pytest.approx(points * 200)
    assert halved["overall"]["gross_pnl"] == pytest.approx(points * 100)
    assert default["overall"]["net_pnl"] == default["overall"]["gross_pnl"]


# ---- the accounting identity over random fills -------------------------------------------

FILL = st.tuples(st.sampled_from(["Buy", "Sell"]), st.integers(1, 4), st.integers(0, 40),
                 st.sampled_from(["2330", "TXFR1"]), st.integers(2, 5))


@settings(max_examples=testkit.examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(fills=st.lists(FILL, min_size=1, max_size=14), last_steps=st.integers(0, 40))
def test_net_pnl_is_cash_flow_plus_open_value_minus_costs(fills, last_steps):
    # whatever the book's averaging, net P&L = sells - buys + open position at the last
    # price - commission - tax
    instruments = [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")]
    units = {"2330": 1000, "TXFR1": 200}
    base = {"2330": 500.0, "TXFR1": 17000.0}
    events, cash, position = [], 0.0, {"2330": 0, "TXFR1": 0}
    for n, (action, qty, steps, code, day) in enumerate(sorted(fills, key=lambda f: f[4])):
        price = base[code] + steps
        ts = secs(day, 10, n)
        events += [tick(code, price, ts), ("report", order(str(n))),
                   ("report", deal(str(n), code, action, qty, price, ts))]
        sign = 1 if action == "Buy" else -1
        cash -= sign * qty * units[code] * price
        position[code] += sign * qty
    last = {code: base[code] + last_steps for code in base}
    for code in base:
        events.append(tick(code, last[code], secs(5, 13)))
    overall = replay(instruments, events).summary()["overall"]
    open_value = sum(position[c] * units[c] * last[c] for c in base)
    expected = cash + open_value - overall["commission"] - overall["tax"]
    assert overall["net_pnl"] == pytest.approx(expected, abs=0.02)
    assert overall["gross_pnl"] == pytest.approx(cash + open_value, abs=0.02)


# ---- equity marked at every tick, exact money, excursions -------------------------------

def at(minute, second=0):
    # POSIX seconds of 2 Jan 2024, 10:mm:ss Taipei
    return secs(2, 10, minute) + second


def dip_and_recover(low):
    """Buy a lot at 100, the price falls to ``low`` and comes back, sell at 100."""
    half = (100.0 + low) / 2
    return [tick("2330", 100.0, at(0)), ("report", order("a")),
            ("report", deal("a", "2330", "Buy", 1, 100.0, at(0))),
            tick("2330", half, at(1)), tick("2330", low, at(2, 30)), tick("2330", half, at(3)),
            tick("2330", 100.0, at(4)), ("report", order("b")),
            ("report", deal("b", "2330", "Sell", 1, 100.0, at(4)))]


class TestEquityEveryTick:
    @pytest.mark.parametrize("low, fall", [(40.0, 60_000.0), (99.5, 500.0)])
    def test_a_dip_between_two_fills_is_the_max_drawdown(self, low, fall):
        result = replay(STOCK, dip_and_recover(low), costs=Costs.none())
        overall = result.summary()["overall"]
        assert overall["max_drawdown"] == fall
        assert overall["max_drawdown_pct"] == fall / 1_000_000  # its peak is the capital
        assert overall["max_drawdown_pct_of_capital"] == fall / 1_000_000
        assert overall["max_drawdown_duration"] == 4 * 60  # from the buy to the recovery
        # the fills and session closes alone never see it
        assert result.equity("fill")["drawdown"].min() == 0.0
        minutes = result.equity("1m")
        assert minutes["drawdown_low"].min() == -fall
        assert minutes.row(2, named=True) == {
            "time": minutes["time"][2], "equity_open": 1e6 - fall, "equity_high": 1e6 - fall,
            "equity_low": 1e6 - fall, "equity_close": 1e6 - fall, "drawdown_open": -fall,
            "drawdown_high": -fall, "drawdown_low": -fall, "drawdown_close": -fall}
        trip = result.round_trips().row(0, named=True)
        assert (trip["mae"], trip["mfe"], trip["mae_points"], trip["net"]) == (-fall, 0.0, -fall / 1000, 0.0)
        assert trip["worst_time"].minute == 2 and trip["worst_time"].second == 30
        assert trip["duration"] == dt.timedelta(minutes=4)

    def test_the_open_position_of_one_instrument_is_marked_at_its_own_last_tick(self):
        both = [Instrument("2330", "Stock"), Instrument("TXFR1", "Future")]
        events = [tick("2330", 582.0, at(0)), ("report", deal("a", "2330", "Buy", 1, 582.0, at(0))),
                  tick("2330", 558.0, at(1)),
                  tick("TXFR1", 17000.0, at(2)), ("report", deal("b", "TXFR1", "Buy", 1, 17000.0, at(2), lot=None))]
        fills = replay(both, events, costs=Costs.none()).equity("fill")
        assert fills["equity"].to_list()[:2] == [1e6, 1e6 - 24_000]  # 2330 at 558, not at its fill's 582

    def test_drawdown_is_measured_from_the_capital(self):
        # the first mark is already below the capital: the buy's commission and a lower tick
        events = [tick("2330", 100.0, at(0)), ("report", order("a")),
                  ("report", deal("a", "2330", "Buy", 1, 100.0, at(0))), tick("2330", 99.5, at(1))]
        overall = replay(STOCK, events).summary()["overall"]
        assert overall["max_drawdown"] == 142 + 500  # floor(100,000 x 0.1425%) + 0.5 x 1,000

    @pytest.mark.parametrize("prices, duration", [
        ([100.0, 99.0, 101.0, 100.5], 120),  # peak at 0, recovered at 2 min; the later 1 min is shorter
        ([100.0, 101.0, 100.5, 100.0, 100.5], 180),  # peak at 1 min, under it to the last tick at 4 min
        ([100.0, 100.0, 100.0, 99.0, 100.0], 120),  # at the peak again at 2 min: the period starts there
    ])
    def test_drawdown_duration_runs_from_the_peak_to_the_recovery_or_the_end(self, prices, duration):
        events = [tick("2330", prices[0], at(0)), ("report", deal("a", "2330", "Buy", 1, prices[0], at(0)))]
        events += [tick("2330", p, at(n)) for n, p in enumerate(prices[1:], start=1)]
        assert replay(STOCK, events, costs=Costs.none()).summary()["overall"]["max_drawdown_duration"] == duration

    def test_share_of_the_peak_and_of_the_capital_differ_after_a_gain(self):
        events = [tick("2330", 100.0, at(0)), ("report", deal("a", "2330", "Buy", 1, 100.0, at(0))),
                  tick("2330", 600.0, at(1)), tick("2330", 350.0, at(2))]
        overall = replay(STOCK, events, costs=Costs.none()).summary()["overall"]
        assert overall["max_drawdown"] == 250_000
        assert overall["max_drawdown_pct"] == 250_000 / 1_500_000
        assert overall["max_drawdown_pct_of_capital"] == 0.25

    @pytest.mark.parametrize("every, rows", [("1m", 5), ("5m", 1), ("1d", 1)])
    def test_coarser_tables_are_made_from_the_kept_rows(self, every, rows):
        result = replay(STOCK, dip_and_recover(40.0), costs=Costs.none(), every="1s")
        table = result.equity(every)
        assert table.height == rows
        assert table["drawdown_low"].min() == -60_000 and table["equity_high"].max() == 1e6
        assert table["equity_close"][-1] == 1e6 and table["equity_open"][0] == 1e6

    def test_a_table_finer_than_the_run_kept_is_refused(self):
        result = replay(STOCK, dip_and_recover(40.0))
        with pytest.raises(BacktestError, match=r"equity_every='1s'"):
            result.equity("1s")
        with pytest.raises(BacktestError, match="every must be"):
            result.equity("2m")


class TestExactMoney:
    def test_fills_add_up_to_their_round_trip_and_the_summary_to_the_cent(self):
        # average cost 20.0333...: the first sell realises 66.67, the second 133.33
        events = [tick("2330", 20.0, at(0)), ("report", deal("a", "2330", "Buy", 1, 20.0, at(0))),
                  tick("2330", 20.05, at(1)), ("report", deal("b", "2330", "Buy", 2, 20.05, at(1))),
                  tick("2330", 20.1, at(2)), ("report", deal("c", "2330", "Sell", 1, 20.1, at(2))),
                  tick("2330", 20.1, at(3)), ("report", deal("d", "2330", "Sell", 2, 20.1, at(3)))]
        result = replay(STOCK, events)
        realized = result.trades()["realized_pnl"].to_list()
        assert realized == [0.0, 0.0, 66.67, 133.33]
        trip = result.round_trips().row(0, named=True)
        summary = result.summary()["overall"]
        costs = sum(result.trades()["commission"]) + sum(result.trades()["tax"])
        assert round(sum(realized) * 100) == round(trip["gross"] * 100) == 20_000
        assert round(trip["net"] * 100) == round(summary["net_pnl"] * 100) == round((200 - costs) * 100)

    @pytest.mark.parametrize("closing, opening", [(1, 2), (2, 1), (1, 1)])
    def test_a_reversing_fill_shares_its_cost_by_units(self, closing, opening):
        events = [tick("TXFR1", 17000.0, at(0)),
                  ("report", deal("a", "TXFR1", "Buy", closing, 17000.0, at(0), lot=None)),
                  tick("TXFR1", 17010.0, at(1)),
                  ("report", deal("b", "TXFR1", "Sell", closing + opening, 17010.0, at(1), lot=None)),
                  tick("TXFR1", 17000.0, at(2)),
                  ("report", deal("c", "TXFR1", "Buy", opening, 17000.0, at(2), lot=None))]
        result = replay([Instrument("TXFR1", "Future")], events,
                        costs=Costs(futures_commission_per_contract=30, futures_tax_rate=0))
        trips = result.round_trips()
        # 30 a contract: the reversing fill's cost goes 30 per contract to each trip
        assert trips["costs"].to_list() == [60.0 * closing, 60.0 * opening]
        assert trips["side"].to_list() == ["Long", "Short"]

    def test_a_trip_closed_in_parts_reports_the_average_exit(self):
        events = [tick("2330", 100.0, at(0)), ("report", deal("a", "2330", "Buy", 2, 100.0, at(0))),
                  tick("2330", 110.0, at(1)), ("report", deal("b", "2330", "Sell", 1, 110.0, at(1))),
                  tick("2330", 120.0, at(2)), ("report", deal("c", "2330", "Sell", 1, 120.0, at(2)))]
        trip = replay(STOCK, events, costs=Costs.none()).round_trips().row(0, named=True)
        assert (trip["exit_price"], trip["gross"], trip["mfe"]) == (115.0, 30_000.0, 30_000.0)

    @pytest.mark.parametrize("amount, expected", [(12.5, 1250), (12.345, 1234), (0.015, 2), (1653.0, 165300)])
    def test_fees_are_counted_to_the_cent_from_their_decimal_text(self, amount, expected):
        from tovik_backtest.ledger import fee_cents

        assert fee_cents(amount) == expected


@pytest.mark.parametrize("code, events, points", [
    # a lot bought at 100, 500 odd shares sold at 101: 500 TWD is half a lot's point
    ("2330", [tick("2330", 100.0, at(0)), ("report", deal("a", "2330", "Buy", 1, 100.0, at(0))),
              tick("2330", 101.0, at(1)), ("report", deal("b", "2330", "Sell", 500, 101.0, at(1), lot="Odd"))],
     {"realized_pnl": 0.5, "unrealized_pnl": 0.5, "pnl_points": 1.0}),
    ("TXFR1", [tick("TXFR1", 17000.0, at(0)), ("report", deal("a", "TXFR1", "Sell", 2, 17000.0, at(0), lot=None)),
               tick("TXFR1", 16990.0, at(1)), ("report", deal("b", "TXFR1", "Buy", 1, 16990.0, at(1), lot=None)),
               tick("TXFR1", 16995.0, at(2))],
     {"realized_pnl": 10.0, "unrealized_pnl": 5.0, "pnl_points": 15.0}),
])
def test_the_points_view_is_the_twd_book_over_twd_per_point(code, events, points):
    market = "Stock" if code == "2330" else "Future"
    per = replay([Instrument(code, market)], events, costs=Costs.none()).summary()["instruments"][code]
    assert {k: per[k] for k in points} == points
    assert per["gross_pnl"] == points["pnl_points"] * (1000 if market == "Stock" else 200)

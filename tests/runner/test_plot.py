import sys

import pytest

from tovik_backtest.plot import PlotUnavailable, pnl_curve
from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross


class FakeResult:
    def __init__(self, deals):
        self.deals = deals


def deal(action, qty, price, ts):
    return {"code": "X", "action": action, "quantity": qty, "price": price, "exchange_ts": ts}


def test_pnl_curve_realises_on_closing_fills_only():
    curve = pnl_curve(FakeResult([deal("Buy", 2, 10.0, 1), deal("Buy", 2, 12.0, 2),
                                  deal("Sell", 3, 13.0, 3), deal("Sell", 3, 9.0, 4)]))
    # avg 11 on 4 long; sell 3 at 13 -> +6; sell 1 at 9 closes the last long (-2) and opens a short
    assert curve == [(1.0, 0.0), (2.0, 0.0), (3.0, 6.0), (4.0, 4.0)]


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    write_sample_data(tmp_path / "data", days=1, seed=3)
    start, end = sample_period(1)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock"], start, end,
                      data_dir=tmp_path / "data").run()
    path = result.plot(tmp_path / "run.png")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_missing_matplotlib_is_a_clear_error(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    from tovik_backtest.plot import plot_result

    with pytest.raises(PlotUnavailable, match=r"pip install 'tovik_backtest\[plot\]'"):
        plot_result(FakeResult([]), tmp_path / "x.png")


H = 3_600_000_000_000  # an hour in ns


@pytest.mark.parametrize("t, x", [
    (9 * H, 0.0),  # first session opens at 0
    (13 * H, 4.0),
    (13 * H + H // 2, 4.0),  # a close after the last tick sits at the session's end
    (24 * H + 9 * H, 4.0 + 1 / 60),  # next day: the night takes only a sliver
    (24 * H + 10 * H, 5.0 + 1 / 60),
])
def test_session_axis_removes_breaks(t, x):
    from tovik_backtest.plot import SessionAxis

    every_20_min = list(range(9 * H, 13 * H + 1, H // 3)) + list(range(33 * H, 34 * H + 1, H // 3))
    axis = SessionAxis(every_20_min)
    assert axis.x(t) == pytest.approx(x)

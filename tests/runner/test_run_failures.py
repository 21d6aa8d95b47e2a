"""A run that stops on the strategy's error keeps what it produced, and says so."""

import io
import json

import pytest
from rich.console import Console

from tovik_backtest import cli
from tovik_backtest.cli import common
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data

START, END = sample_period(2)

STRATEGY = '''
from tovik_backtest.runner import Strategy

class Breaks(Strategy):
    seen = 0

    def on_tick(self, tick):
        self.seen += 1
        if self.seen == 1:
            self.buy(tick["code"], tick["close"], 1)
        if self.seen == 500:
            raise ZeroDivisionError("the strategy's own bug")
'''


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    write_sample_data(folder, days=2, seed=5)
    return folder


def _breaks(tmp_path):
    path = tmp_path / "breaks.py"
    path.write_text(STRATEGY, encoding="utf-8")
    return path


def test_the_error_carries_the_partial_result(cache, tmp_path):
    namespace: dict = {}
    exec(STRATEGY, namespace)  # noqa: S102 - the same class the command line loads
    with pytest.raises(ZeroDivisionError) as info:
        Backtest(namespace["Breaks"](), ["2330:Stock"], START, END, data_dir=cache).run()
    partial = info.value.partial_result
    summary = partial.summary()
    assert summary["partial"] is True and summary["error"] == "ZeroDivisionError: the strategy's own bug"
    assert 0 < partial.ticks < 1000 and summary["overall"]["orders"] == 1
    assert any("partial_result" in note for note in info.value.__notes__)


def test_cli_saves_the_partial_result(cache, tmp_path):
    out = tmp_path / "out"
    argv = ["run", "--strategy", f"{_breaks(tmp_path)}:Breaks", "-i", "2330:Stock", "--start", START,
            "--end", END, "--data-dir", str(cache), "--out", str(out)]
    with pytest.raises(ZeroDivisionError):  # the traceback reaches the user; the exit is not 0
        cli.main(argv)
    summary = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert summary["partial"] is True and "the strategy's own bug" in summary["error"]
    assert (out / "reports.jsonl").read_text(encoding="utf-8").count("\n") >= 1


@pytest.mark.parametrize("fails", [True, False])
def test_no_progress_bar_is_left_behind(monkeypatch, fails):
    screen = io.StringIO()
    monkeypatch.setattr(common, "out", Console(file=screen, width=100))

    class Result:
        ticks, backfilling_ticks, ticks_per_second = 10, 0, 1.0

    class Run:
        progress = None

        def run(self):
            self.progress(5, 10)
            if fails:
                raise RuntimeError("stopped")
            return Result()

    if fails:
        with pytest.raises(RuntimeError):
            common.run_with_progress(Run())
    else:
        common.run_with_progress(Run())
    assert ("back-test" in screen.getvalue()) is not fails


def test_a_strategy_base_run_has_no_partial_marks(cache):
    summary = Backtest(Strategy(), ["2330:Stock"], START, END, data_dir=cache).run().summary()
    assert "partial" not in summary and "error" not in summary

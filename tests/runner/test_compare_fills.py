"""The optimism gap: compare_fills and `run --fills a,b`, and the fill options of the
commands."""

from __future__ import annotations

import json

import pytest

from tovik_backtest import cli, compare_fills
from tovik_backtest.errors import BacktestError
from tovik_backtest.fills import Queue, Touch
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]
STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("compare")
    write_sample_data(folder, days=2, seed=4)
    return folder, *sample_period(2)


def _strategy():
    return MovingAverageCross(fast=5, slow=20)


def test_compare_fills_gives_one_row_per_model_and_the_gap_to_the_first(sample):
    folder, start, end = sample
    table = compare_fills(_strategy, INSTRUMENTS, start, end, data_dir=folder,
                          models=[Touch(), Queue(), Queue("proportional")])
    assert table["model"].to_list() == [Touch().name, Queue().name, Queue("proportional").name]
    rows = table.to_dicts()
    assert rows[0]["net_pnl_gap"] == 0 and rows[0]["fills_gap"] == 0
    for row in rows:
        assert row["net_pnl_gap"] == pytest.approx(rows[0]["net_pnl"] - row["net_pnl"], abs=0.01)
        assert row["fills_gap"] == rows[0]["fills"] - row["fills"]
    assert rows[0]["fills"] > rows[1]["fills"]  # the sample strategy's entries rest at the last price


@pytest.mark.parametrize("kwargs, match", [
    ({"models": []}, "list of fill models"),
    ({"models": Queue()}, "list of fill models"),
    ({"models": [Touch(), Touch()]}, "twice"),
    ({"models": ["queue"]}, "Touch\\(\\) or Queue\\(\\)"),
    ({"fills": Queue()}, "models=\\[...\\]"),
    ({"speed": 3}, "no use for speed"),
])
def test_compare_fills_refuses_bad_models_before_any_run(sample, kwargs, match):
    folder, start, end = sample
    made = []
    with pytest.raises(BacktestError, match=match):
        compare_fills(lambda: made.append(1) or _strategy(), INSTRUMENTS, start, end, data_dir=folder, **kwargs)
    assert made == []


def test_run_with_two_models_prints_a_line_each_and_the_gap(sample, tmp_path, capsys):
    folder, start, end = sample
    code = cli.main(["run", "-i", "2330:Stock", "--start", start, "--end", end, "--strategy", STRATEGY,
                     "--data-dir", str(folder), "--fills", "touch,queue", "--latency-ms", "1.5",
                     "--out", str(tmp_path / "out"), "-p", "fast=5", "-p", "slow=20"])
    assert code == 0
    lines = capsys.readouterr().out.splitlines()
    assert any(line.startswith("touch(latency=1.5 ms): net P&L") for line in lines)
    assert any(line.startswith("queue(cancels=none, latency=1.5 ms): net P&L") for line in lines)
    assert any(line.startswith("optimism gap of touch(latency=1.5 ms) over queue(") for line in lines)
    for name, model in (("touch", Touch(1.5)), ("queue", Queue(latency_ms=1.5))):
        summary = json.loads((tmp_path / "out" / name / "summary.json").read_text(encoding="utf-8"))
        assert summary["overall"]["fill_model"] == model.name


def test_run_with_one_model_names_it_in_the_summary(sample, capsys):
    folder, start, end = sample
    code = cli.main(["run", "-i", "2330:Stock", "--start", start, "--end", end, "--strategy", STRATEGY,
                     "--data-dir", str(folder), "--fills", "queue-proportional", "--jitter-ms", "2",
                     "-p", "fast=5", "-p", "slow=20"])
    assert code == 0
    assert "fills by queue(cancels=proportional, latency=0 ms, jitter=2 ms)" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["--fills", "fifo"], "unknown fill model 'fifo'"),
    (["--fills", "queue,queue"], "twice"),
    (["--latency-ms", "-3"], ">= 0"),
    (["--jitter-ms", "soon"], "milliseconds"),
    (["--fills", "touch,queue", "--plot", "x.png"], "draw one run"),
])
def test_bad_fill_options_exit_2_in_one_line(sample, argv, message, capsys):
    folder, start, end = sample
    try:
        code = cli.main(["run", "-i", "2330:Stock", "--start", start, "--end", end, "--strategy", STRATEGY,
                         "--data-dir", str(folder), *argv])
    except SystemExit as exc:
        code = exc.code
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]


def test_sweep_takes_one_fill_model(sample, capsys):
    folder, start, end = sample
    code = cli.main(["sweep", "--strategy", STRATEGY, "-i", "2330:Stock", "--start", start, "--end", end,
                     "--data-dir", str(folder), "-p", "fast=5", "--fills", "touch,queue", "--local-processes", "1"])
    assert code == 2
    assert "runs one" in capsys.readouterr().err

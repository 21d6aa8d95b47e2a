import os
import re
import subprocess
import sys

import pytest

from tovik_backtest import cli
from tovik_backtest.tick_cache import ticks_dir


def run_cli(*args, env=None, timeout=120):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-m", "tovik_backtest", *args], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["nonsense"],
        ["run", "--start", "2024-01-02", "--end", "2024-01-03", "--strategy", "m:C"],  # no instrument
        ["run", "-i", "2330", "--start", "2024-01-02", "--end", "2024-01-03", "--strategy", "m:C"],
        ["run", "-i", "2330:Stock", "--start", "2024/01/02", "--end", "2024-01-03", "--strategy", "m:C"],
        ["sample-data", "--out", "x", "--days", "0"],
        ["demo", "--days", "many"],
    ],
)
def test_bad_arguments_give_one_line_and_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "error:" in err


@pytest.mark.parametrize("strategy", ["no_colon", "no.such.module:X", "tovik_backtest.runner:Backtest"])
def test_bad_strategy_exits_2(strategy, capsys):
    code = cli.main(["run", "-i", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02",
                     "--strategy", strategy])
    assert code == 2
    assert len(capsys.readouterr().err.strip().splitlines()) == 1


def test_fetch_without_credentials_exits_2():
    env = {k: "" for k in ("SJ_API_KEY", "SJ_SECRET_KEY")}
    done = run_cli("fetch", "-i", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02", env=env)
    assert done.returncode == 2
    assert "SJ_API_KEY" in done.stderr and "Traceback" not in done.stderr


def test_every_command_has_help():
    for command in ("demo", "run", "fetch", "sample-data"):
        done = run_cli(command, "--help")
        assert done.returncode == 0 and "usage:" in done.stdout


def test_sample_data_command(tmp_path):
    done = run_cli("sample-data", "--out", str(tmp_path), "--days", "1", "--seed", "5")
    assert done.returncode == 0, done.stderr
    assert len(list(ticks_dir(tmp_path).glob("*.csv"))) == 2


def test_demo_end_to_end(tmp_path):
    home = tmp_path / "home"
    done = run_cli("demo", "--days", "1", "--out", str(tmp_path / "out"),
                   env={"HOME": str(home), "TOVIK_BACKTEST_DATA_DIR": ""})
    assert done.returncode == 0, done.stderr
    assert "Back-test summary" in done.stdout and "overall" in done.stdout
    assert (tmp_path / "out" / "summary.json").is_file()
    assert not (home / ".tovik_backtest").exists()  # never the user's cache


def test_run_command_with_a_strategy_file(tmp_path):
    from tovik_backtest.sample_data import sample_period, write_sample_data

    write_sample_data(tmp_path / "data", days=1, seed=1)
    start, end = sample_period(1)
    strategy = tmp_path / "mine.py"
    strategy.write_text(
        "from tovik_backtest import Strategy\n"
        "class Mine(Strategy):\n"
        "    def on_tick(self, tick):\n"
        "        if not self.pending_orders and self.position(tick['code']) == 0:\n"
        "            self.buy(tick['code'], tick['close'], 1)\n"
    )
    done = run_cli("run", "-i", "2330:Stock", "--start", start, "--end", end, "--strategy",
                   f"{strategy}:Mine", "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "o"))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "o" / "trades.csv").read_text().count("\n") >= 2


# ---- results in TWD --------------------------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    (["run", "-i", "XYZR1:Future", "--start", "2024-01-02", "--end", "2024-01-02",
      "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross"], "XYZ"),
    (["run", "-i", "TXFR1:Future", "--start", "2024-01-02", "--end", "2024-01-02",
      "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross", "--contract-size", "TXF"],
     "PRODUCT=TWD_PER_POINT"),
    (["demo", "--contract-size", "TXF=-5"], "whole number"),
    (["sweep", "--strategy", "m:C", "-i", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02",
      "-p", "fast=5", "--contract-size", "txf=5"], "capital letters"),
])
def test_bad_contract_sizes_exit_2_in_one_line(argv, message, capsys):
    try:
        code = cli.main(argv)
    except SystemExit as exc:
        code = exc.code
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]


@pytest.mark.parametrize("overall, line", [
    ({"net_pnl": 12345.0, "gross_pnl": 15000.0, "commission": 1655.0, "tax": 1000.0},
     "net P&L 12,345 TWD (gross 15,000, commission 1,655, tax 1,000)"),
    ({"net_pnl": -140.5, "gross_pnl": 0.0, "commission": 70.5, "tax": 70.0},
     "net P&L -140.50 TWD (gross 0, commission 70.50, tax 70)"),
])
def test_money_line(overall, line):
    from tovik_backtest.cli.common import money_line

    assert money_line(overall) == line


def test_run_prints_twd_and_writes_report(tmp_path):
    from tovik_backtest.costs import FUTURES_WITHOUT_COMMISSION_NOTE
    from tovik_backtest.sample_data import sample_period, write_sample_data

    pytest.importorskip("matplotlib")
    write_sample_data(tmp_path / "data", days=1, seed=2)
    start, end = sample_period(1)
    done = run_cli("run", "-i", "2330:Stock", "-i", "TXFR1:Future", "--start", start, "--end", end,
                   "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                   "--data-dir", str(tmp_path / "data"), "--contract-size", "TXF=100",
                   "--report", str(tmp_path / "r.html"))
    assert done.returncode == 0, done.stderr
    last = done.stdout.strip().splitlines()[-2]  # the report's path is the very last line
    assert re.match(r"^net P&L -?[\d,.]+ TWD \(gross -?[\d,.]+, commission [\d,.]+, tax [\d,.]+\) · ", last)
    assert FUTURES_WITHOUT_COMMISSION_NOTE in done.stdout
    assert (tmp_path / "r.html").read_text(encoding="utf-8").startswith("<!DOCTYPE html>")

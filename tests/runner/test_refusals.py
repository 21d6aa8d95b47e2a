"""What a run refuses, and how: set-up checked before anything runs, order requests
answered at the call, day orders expired at their session close, quotes of the tick."""


import pytest

import tovik_backtest
from tovik_backtest import cli
from tovik_backtest.runner import Backtest, BacktestError, OrderRefused, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data

START, END = sample_period(2)
DAY_NS = 86_400_000_000_000


@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    write_sample_data(folder, days=2, seed=7)
    return folder


def test_errors_are_importable_from_the_package():
    assert tovik_backtest.OrderRefused is OrderRefused
    assert issubclass(tovik_backtest.OrderRefused, tovik_backtest.BacktestError)


# ---- set-up refused before anything runs ------------------------------------------------

SETUPS = [
    # (instruments, start, end, backfill_start, backfill_end, data_dir, message)
    (["2330:Stock", "2330:Stock"], START, END, None, None, "ok", "given twice"),
    (["2330:Stock"], END, START, None, None, "ok", "period is reversed"),
    (["2330:Stock"], START, END, "2023-12-01", START, "ok", "warm-up must end before"),
    (["2330:Stock"], START, END, END, END, "ok", "warm-up must end before"),
    (["2330:Stock"], START, END, f"{START} 09:00:00", f"{START} 10:00:00", "ok", "warm-up must end before"),
    (["2330:Stock"], START, END, "2023-12-29", "2023-12-28", "ok", "warm-up is reversed"),
    (["2330:Stock"], "2024-13-01", END, None, None, "ok", "start '2024-13-01' is not a date"),
    (["2330:Stock"], START, "soon", None, None, "ok", "end 'soon' is not a date"),
    (["2330:Stock"], START, END, "yesterday", None, "ok", "backfill_start 'yesterday' is not a date"),
    (["2330:Stock"], START, END, None, None, "file", "is a file"),
    (["2330:Stock"], START, END, None, None, "missing", "does not exist"),
]


def _data_dir(kind, sample_dir, tmp_path):
    if kind == "file":
        path = tmp_path / "ticks.txt"
        path.write_text("not a folder")
        return path
    return tmp_path / "nowhere" if kind == "missing" else sample_dir


@pytest.mark.parametrize("instruments, start, end, bstart, bend, data, message", SETUPS)
def test_set_up_refused(instruments, start, end, bstart, bend, data, message, sample_dir, tmp_path):
    with pytest.raises(BacktestError, match=message):
        Backtest(Strategy(), instruments, start, end, backfill_start=bstart, backfill_end=bend,
                 data_dir=_data_dir(data, sample_dir, tmp_path))


def test_same_code_in_two_markets_and_a_warm_up_the_day_before_are_accepted(sample_dir):
    Backtest(Strategy(), ["2330:Stock", "2330:Future"], END, END, backfill_start=START,
             backfill_end=START, data_dir=sample_dir, contract_sizes={"2330": 2000})


def test_a_strategy_instance_runs_once(sample_dir):
    strategy = Strategy()
    Backtest(strategy, ["2330:Stock"], START, START, data_dir=sample_dir).run()
    with pytest.raises(BacktestError, match="already been run"):
        Backtest(strategy, ["2330:Stock"], START, START, data_dir=sample_dir)
    again = Backtest(Strategy(), ["2330:Stock"], START, START, data_dir=sample_dir)
    again.run()
    with pytest.raises(BacktestError, match="already been run"):
        again.run()


@pytest.mark.parametrize("instruments", [["2330:Stock"], ["0050:Stock", "TXFR1:Future"]])
def test_a_run_without_ticks_is_an_error(instruments, tmp_path):
    # refused for its missing days, and still an error when they are allowed
    with pytest.raises(BacktestError, match="trading days have no ticks") as info:
        Backtest(Strategy(), instruments, START, END, data_dir=tmp_path).run()
    assert f"{instruments[0].split(':')[0]} {START}: not in the cache" in str(info.value)
    with pytest.raises(BacktestError, match="no cached data was found") as info:
        Backtest(Strategy(), instruments, START, END, data_dir=tmp_path, allow_missing=True).run()
    assert instruments[0] in str(info.value) and START in str(info.value)


# ---- the command line: one line and exit code 2 -----------------------------------------

def _cli_cases(sample, tmp):
    (tmp / "file").write_text("x")
    base = ["run", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
            "--start", START, "--end", END, "--data-dir", str(sample)]
    return {
        "duplicate": base + ["-i", "2330:Stock", "-i", "2330:Stock"],
        "reversed": base[:3] + ["--start", END, "--end", START, "--data-dir", str(sample), "-i", "2330:Stock"],
        "missing dir": base[:7] + ["--data-dir", str(tmp / "none"), "-i", "2330:Stock"],
        "no ticks": base[:7] + ["--data-dir", str(tmp), "-i", "2330:Stock"],
        "out is a file": base + ["-i", "2330:Stock", "--out", str(tmp / "file")],
        "out under a file": base + ["-i", "2330:Stock", "--out", str(tmp / "file" / "run")],
        "param twice": base + ["-i", "2330:Stock", "--param", "fast=5", "--param", "fast=6"],
        "param values": base + ["-i", "2330:Stock", "--param", "fast=5,6"],
        "unknown param": base + ["-i", "2330:Stock", "--param", "fastest=5"],
    }


@pytest.mark.parametrize("case", ["duplicate", "reversed", "missing dir", "no ticks", "out is a file",
                                  "out under a file", "param twice", "param values", "unknown param"])
def test_cli_refuses_with_one_line(case, sample_dir, tmp_path, capsys):
    argv = _cli_cases(sample_dir, tmp_path)[case]
    code = cli.main(argv)
    captured = capsys.readouterr()
    assert code == 2
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and "error:" in lines[0]
    assert "Back-test summary" not in captured.out  # refused before (or instead of) a result


def test_cli_run_takes_params_and_seed(sample_dir, tmp_path, capsys):
    def ids(seed, out):
        argv = ["run", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross", "-i", "2330:Stock",
                "--start", START, "--end", END, "--data-dir", str(sample_dir), "--param", "fast=3",
                "--param", "slow=7", "--seed", str(seed), "--out", str(out)]
        assert cli.main(argv) == 0
        summary = (out / "summary.json").read_text()
        return (out / "trades.csv").read_text(), summary

    trades0, summary0 = ids(0, tmp_path / "a")
    trades1, _ = ids(1, tmp_path / "b")
    assert '"fast": 3' in summary0 and '"slow": 7' in summary0
    assert trades0 != trades1  # other seed, other order ids
    def without_id(rows: str) -> list[list[str]]:
        return [[v for i, v in enumerate(r.split(",")) if i != 1] for r in rows.splitlines()]

    assert without_id(trades0) == without_id(trades1)

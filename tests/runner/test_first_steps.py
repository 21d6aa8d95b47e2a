"""What a newcomer does first, from the command line: the README's example after the
sample data it names, the names it imports, the sample strategy's exits, periods the
exchange calendar cannot answer or that hold no trading day, and `make test` right
after `make demo` without installing again."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from tovik_backtest.sample_data import sample_period, write_sample_data

import testkit

README = (testkit.ROOT / "README.md").read_text(encoding="utf-8")
STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"


def _cli(*args, cwd, timeout=120):
    return testkit.run_python(["-m", "tovik_backtest", *args], timeout=timeout, cwd=cwd)


def _section(title: str) -> str:
    start = README.index(f"## {title}")
    end = README.find("\n## ", start + 3)
    return README[start : end if end > 0 else None]


def test_the_readme_example_runs_after_the_command_it_names(tmp_path):
    section = _section("A back-test in five lines")
    (command,) = re.findall(r"^\.venv/bin/tovik-backtest (sample-data .*)$", section, re.M)
    done = _cli(*command.split(), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    run = testkit.run_python(["-c", example], timeout=180, cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "net P&L" in run.stdout
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["overall"]["ticks"] > 0


def test_the_readme_names_the_command_where_make_puts_it():
    setup = _section("Set-up")
    assert ".venv/bin/tovik-backtest" in setup and ".venv/bin/activate" in setup
    installed = os.path.join(os.path.dirname(sys.executable), "tovik-backtest")
    if not os.path.exists(installed):
        pytest.skip("the package is not installed in this interpreter's environment (run through make test)")
    done = subprocess.run([installed, "--help"], capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0 and "sample-data" in done.stdout


def test_the_names_of_the_examples_import_from_the_package():
    done = testkit.run_python(
        [
            "-c",
            "from tovik_backtest import Backtest, Costs, RunConfig, Strategy\nprint(Costs().stock_commission_discount)",
        ],
        timeout=60,
    )
    assert done.returncode == 0, done.stderr


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    data_dir = tmp_path_factory.mktemp("first-steps")
    write_sample_data(data_dir, days=3)
    return data_dir


def test_the_sample_strategy_exits_with_ioc_limits_at_the_last_price(sample, tmp_path):
    start, end = sample_period(3)
    done = _cli(
        "run",
        "-i",
        "2330:Stock",
        "-i",
        "TXFR1:Future",
        "--start",
        start,
        "--end",
        end,
        "--strategy",
        STRATEGY,
        "--data-dir",
        str(sample),
        "--out",
        str(tmp_path / "o"),
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    reports = [json.loads(line) for line in (tmp_path / "o" / "reports.jsonl").read_text().splitlines()]
    exits = [r["order"] for r in reports if r.get("operation_type") == "New" and r["order"]["action"] == "Sell"]
    assert exits and {(o["price_type"], o["order_type"]) for o in exits} == {("LMT", "IOC")}
    assert all(o["price"] > 0 for o in exits)
    assert "IOC limit" in README and "through the market" not in README


@pytest.mark.parametrize(
    "start, end, words",
    [
        ("2030-01-02", "2030-01-03", "past the last trading day the exchange calendar knows"),
        ("2024-01-06", "2024-01-07", "holds no trading day"),  # a weekend
        ("2024-02-08", "2024-02-14", "holds no trading day"),  # the Lunar New Year holidays
    ],
    ids=["past the calendar", "weekend", "holidays"],
)
def test_a_period_without_trading_days_is_one_line_and_exit_2(sample, tmp_path, start, end, words):
    done = _cli(
        "run",
        "-i",
        "2330:Stock",
        "--start",
        start,
        "--end",
        end,
        "--strategy",
        STRATEGY,
        "--data-dir",
        str(sample),
        cwd=tmp_path,
    )
    assert done.returncode == 2, done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and words in lines[0] and "Traceback" not in done.stderr
    assert "fetch the days first" not in lines[0]


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
def test_make_test_after_make_demo_installs_nothing_again(tmp_path):
    venv = tmp_path / "venv"
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "python").write_text("")
    stamp = venv / ".tovik-installed"

    def planned():
        done = subprocess.run(
            ["make", "-C", str(testkit.ROOT), "-n", "install", f"VENV={venv}"],
            capture_output=True,
            text=True,
            timeout=60,
            check=False,
        )
        assert done.returncode == 0, done.stderr
        return done.stdout

    stamp.write_text("")  # what the install of `make demo` left, newer than every source
    assert "pip install" not in planned()
    os.utime(stamp, (0, 0))  # a source changed since
    assert "pip install" in planned()

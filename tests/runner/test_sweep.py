import datetime as dt
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import polars as pl
import pytest

from tovik_backtest import cli
from tovik_backtest.cli.sweep import parse_param
from tovik_backtest.runner import Backtest, BacktestError
from tovik_backtest.sample_data import write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.sweeps import (
    RayUnavailable,
    StrategyRef,
    SweepError,
    expand_grid,
    precache,
    sweep,
)
from tovik_backtest.sweeps import refs as strategy_refs
from tovik_backtest.sweeps.table import FIGURES
from tovik_backtest.tick_cache import tick_file

# No testkit import here: Ray workers import this module for its strategies, and
# the folder of the shared test helpers is on the path of pytest's process only.
INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]
GRID = {"fast": [5, 10], "slow": [30, 60]}
# Figures that depend on the machine's speed, not on the run.
TIMING = ("wall_seconds", "ticks_per_second")


class Exploding(MovingAverageCross):
    """Fails part-way through the replay when asked to."""

    params = {"explode": False}

    def __init__(self, **params):
        super().__init__(**params)
        self.seen = 0

    def on_tick(self, tick):
        self.seen += 1
        if self.explode and self.seen == 50:
            raise RuntimeError("strategy blew up on purpose")
        super().on_tick(tick)


class Crashing(MovingAverageCross):
    """Ends its worker process abruptly, as a crash in native code would."""

    params = {"crash": False}

    def on_start(self):
        if self.crash:
            os._exit(3)


pytestmark = pytest.mark.usefixtures("hang_watchdog")


@pytest.fixture(scope="module")
def sample(one_sample_day):
    return one_sample_day("sweep-data", seed=3)


@pytest.fixture(scope="module")
def sequential(sample):
    """The grid's back-tests run one after another in this process, keyed by parameters."""
    data_dir, start, end = sample
    out = {}
    for params in expand_grid(GRID):
        result = Backtest(MovingAverageCross(**params), INSTRUMENTS, start, end,
                          data_dir=data_dir).run()
        out[(params["fast"], params["slow"])] = result.summary()["overall"]
    return out


@pytest.fixture(scope="module")
def local_ray():
    try:
        import ray
    except ImportError as exc:
        pytest.skip(f"Ray cannot be imported ({exc}); install it with pip install 'ray>=2.30'")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


def figures(table):
    """Rows keyed by parameters, without timing figures or output paths."""
    rows = table.drop([*TIMING, "result"]).iter_rows(named=True)
    return {(r["fast"], r["slow"]): r for r in rows}


def assert_matches_sequential(table, sequential):
    assert table.height == len(sequential)
    rows = figures(table)
    assert set(rows) == set(sequential)
    for key, expected in sequential.items():
        got = rows[key]
        assert got["error"] is None, got["error"]
        for name in FIGURES:
            if name not in TIMING:
                assert got[name] == expected[name], (key, name)
    # Ranked by net P&L (highest first), ties by parameters.
    ranking = sorted(sequential, key=lambda k: (-sequential[k]["net_pnl"], k))
    assert list(zip(table["fast"], table["slow"], strict=True)) == ranking


# ---- grid and command-line values ------------------------------------------------------------


class TestGrid:
    def test_every_combination_last_parameter_fastest(self):
        combos = expand_grid({"fast": [5, 10, 20], "slow": (30, 60), "qty": range(1, 2)})
        assert len(combos) == 6
        assert combos[0] == {"fast": 5, "slow": 30, "qty": 1}
        assert combos[1] == {"fast": 5, "slow": 60, "qty": 1}
        assert combos[-1] == {"fast": 20, "slow": 60, "qty": 1}
        assert len({tuple(c.items()) for c in combos}) == 6

    def test_empty_grid_is_one_run_with_defaults(self):
        assert expand_grid({}) == [{}]

    def test_equal_values_of_different_types_are_different_runs(self):
        assert expand_grid({"x": [1, True, 1.0]}) == [{"x": 1}, {"x": True}, {"x": 1.0}]

    @pytest.mark.parametrize(
        ("grid", "error", "words"),
        [
            ([("fast", [5])], TypeError, "mapping"),
            ({"fast": 5}, TypeError, "list, tuple or range"),
            ({"fast": "5,10"}, TypeError, "list, tuple or range"),
            ({"fast": []}, SweepError, "no values"),
            ({"fast": [5, 10, 5]}, SweepError, "more than once"),
            ({"net_pnl": [1]}, SweepError, "clashes"),
            ({"not a name": [1]}, SweepError, "not a valid"),
        ],
    )
    def test_bad_grids(self, grid, error, words):
        with pytest.raises(error, match=words):
            expand_grid(grid)


class TestParamParsing:
    def test_value_types(self):
        name, values = parse_param("x=5, -3,0.25,1e-3,TRUE,false,abc,'7',\"a,b\"")
        assert name == "x"
        assert values == [5, -3, 0.25, 0.001, True, False, "abc", "7", "a,b"]
        assert [type(v) for v in values[:4]] == [int, int, float, float]

    @pytest.mark.parametrize(
        "param",
        ["fast", "fast=", "fast=5,,10", "fast=5,5", "1x=5", "net_pnl=1", "fast='5", "fast=inf"],
    )
    def test_bad_param_exits_2_with_one_line(self, param, capsys):
        with pytest.raises(SystemExit) as info:
            cli.main(["sweep", "--strategy", "m:C", "-i", "2330:Stock", "--start", "2024-01-02",
                      "--end", "2024-01-02", "--param", param])
        assert info.value.code == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and "error:" in err[0] and "param" in err[0].lower()

    def test_same_param_twice_exits_2(self, capsys):
        code = cli.main(["sweep", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                         "-i", "2330:Stock", "--start", "2024-01-02", "--end", "2024-01-02",
                         "--local-processes", "1", "-p", "fast=5", "-p", "fast=10"])
        assert code == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and "fast" in err[0] and "more than once" in err[0]

    def test_address_and_local_processes_exclude_each_other(self, capsys):
        with pytest.raises(SystemExit) as info:
            cli.main(["sweep", "--strategy", "m:C", "-i", "2330:Stock", "--start", "2024-01-02",
                      "--end", "2024-01-02", "--address", "auto", "--local-processes", "2"])
        assert info.value.code == 2
        assert len(capsys.readouterr().err.strip().splitlines()) == 1


# ---- set-up errors are found before any work --------------------------------------------------


class TestSetUpErrors:
    def call(self, sample, **overrides):
        data_dir, start, end = sample
        args = {"strategy_cls": MovingAverageCross, "grid": GRID, "instruments": INSTRUMENTS,
                "start": start, "end": end, "data_dir": data_dir, "local_processes": 1}
        args.update(overrides)
        return sweep(args.pop("strategy_cls"), args.pop("grid"), args.pop("instruments"),
                     args.pop("start"), args.pop("end"), **args)

    def test_strategy_must_be_a_module_level_strategy_class(self, sample):
        with pytest.raises(TypeError, match="Strategy subclass"):
            self.call(sample, strategy_cls=MovingAverageCross())
        with pytest.raises(TypeError, match="Strategy subclass"):
            self.call(sample, strategy_cls=dict)

        class Local(MovingAverageCross):
            pass

        with pytest.raises(SweepError, match="inside a function"):
            self.call(sample, strategy_cls=Local)

    @pytest.mark.parametrize(
        ("overrides", "error", "words"),
        [
            ({"instruments": []}, BacktestError, "at least one"),
            ({"instruments": "2330:Stock"}, BacktestError, "list of instruments"),
            ({"instruments": ["2330:Stock", "2330:Stock"]}, BacktestError, "given twice"),
            ({"instruments": ["2330"]}, BacktestError, "CODE:MARKET"),
            ({"start": "2024-01-05", "end": "2024-01-02"}, BacktestError, "after end"),
            ({"start": "yesterday"}, BacktestError, "not a date"),
            ({"backfill_start": "2024-01-01", "backfill_end": "2023-12-01"}, BacktestError, "after"),
            ({"local_processes": 0}, SweepError, "at least 1"),
            ({"local_processes": 2.0}, SweepError, "whole number"),
            ({"address": "auto"}, SweepError, "not both"),
            ({"progress": 3}, TypeError, "callable"),
        ],
    )
    def test_bad_arguments(self, sample, overrides, error, words):
        with pytest.raises(error, match=words):
            self.call(sample, **overrides)

    def test_non_empty_output_folder_is_refused_and_left_alone(self, sample, tmp_path):
        keep = tmp_path / "notes.txt"
        keep.write_text("mine")
        with pytest.raises(SweepError, match="not empty"):
            self.call(sample, out=tmp_path)
        assert [p.name for p in tmp_path.iterdir()] == ["notes.txt"]
        assert keep.read_text() == "mine"
        with pytest.raises(SweepError, match="is a file"):
            self.call(sample, out=keep)

    def test_missing_ray_is_a_clear_error(self, sample, monkeypatch):
        monkeypatch.setitem(sys.modules, "ray", None)
        with pytest.raises(RayUnavailable, match="pip install"):
            self.call(sample, local_processes=None)

    def test_missing_ray_makes_the_command_exit_2(self, sample, monkeypatch, capsys):
        data_dir, start, end = sample
        monkeypatch.setitem(sys.modules, "ray", None)
        code = cli.main(["sweep", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                         "-i", "2330:Stock", "--start", start, "--end", end,
                         "--data-dir", str(data_dir), "-p", "fast=5,10"])
        assert code == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1
        assert "Ray is not installed" in err[0] and "tovik_backtest[cluster]" in err[0]
        assert "--local-processes" in err[0]

    def test_strategy_from_a_file_is_loaded_from_that_file(self, tmp_path, monkeypatch):
        # Named like a standard module, so the name alone would lead workers astray.
        source = tmp_path / "json.py"
        source.write_text(textwrap.dedent("""
            from tovik_backtest.sample_strategy import MovingAverageCross

            class Fileborn(MovingAverageCross):
                params = {"fast": 7}

                def __init__(self, **params):  # a function of the file's own
                    super().__init__(**params)

            class Bare(MovingAverageCross):
                pass
        """))
        cls = cli.load_strategy_class(f"{source}:Fileborn")
        ref = StrategyRef.of(cls)
        assert not ref.by_name and ref.file == str(source.resolve())
        monkeypatch.setattr(strategy_refs, "_LOADED", {})
        loaded = ref.load()
        assert loaded is not cls and loaded.__qualname__ == "Fileborn"
        assert loaded().params == {"fast": 7, "slow": 80, "qty": 1}
        assert ref.load() is loaded  # the file runs once per process
        with pytest.raises(SweepError, match="cannot tell which file"):
            StrategyRef.of(cli.load_strategy_class(f"{source}:Bare"))

    def test_package_attribute_is_the_function_every_time(self):
        import tovik_backtest
        from tovik_backtest import sweeps

        assert tovik_backtest.sweep is sweeps.sweep
        assert tovik_backtest.sweep is sweeps.sweep  # still the function once the module is loaded


# ---- pre-caching ------------------------------------------------------------------------------


class FakeBroker:
    """A broker login and ticker that write a header-only cache file per requested day."""

    def __init__(self, data_dir, skip=()):
        self.data_dir = Path(data_dir)
        self.logins = 0
        self.logouts = 0
        self.requests = []
        self.skip = set(skip)
        broker = self

        class Api:
            def logout(self):
                broker.logouts += 1

        class Ticker:
            def __init__(self, api):
                assert isinstance(api, Api)

            def get_ticks_df(self, code, market, start, end):
                assert start == end
                broker.requests.append((code, market, start))
                if (code, start) in broker.skip:
                    return
                path = tick_file(broker.data_dir, code, start)
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text("ts,close\n")

        self.api_cls, self.ticker_cls = Api, Ticker

    def login(self):
        self.logins += 1
        return self.api_cls()


def instruments(*texts):
    from tovik_backtest.runner import parse_instrument

    return [parse_instrument(t) for t in texts]


class TestPrecache:
    TODAY = dt.date(2024, 3, 1)

    def test_downloads_each_missing_day_once(self, tmp_path):
        write_sample_data(tmp_path, days=1, seed=1)  # 2024-01-02 cached for both instruments
        broker = FakeBroker(tmp_path)
        count = precache(instruments("2330:Stock", "TXFR1:Future"),
                         [("2024-01-02", "2024-01-04"), ("2024-01-03 09:00", "2024-01-05")],
                         tmp_path, login=broker.login, ticker_cls=broker.ticker_cls,
                         today=self.TODAY)
        assert broker.logins == 1 and broker.logouts == 1
        expected = [(c, m, d) for d in ("2024-01-03", "2024-01-04", "2024-01-05")
                    for c, m in (("2330", "Stock"), ("TXFR1", "Future"))]
        assert broker.requests == expected
        assert count == len(expected)
        # Everything is cached now: no second login, no request.
        again = precache(instruments("2330:Stock", "TXFR1:Future"), [("2024-01-02", "2024-01-05")],
                         tmp_path, login=broker.login, ticker_cls=broker.ticker_cls,
                         today=self.TODAY)
        assert again == 0 and broker.logins == 1 and len(broker.requests) == len(expected)

    def test_weekend_days_are_asked_for_too(self, tmp_path):
        broker = FakeBroker(tmp_path)
        precache(instruments("2330:Stock"), [("2024-01-05", "2024-01-08")], tmp_path,
                 login=broker.login, ticker_cls=broker.ticker_cls, today=self.TODAY)
        assert [r[2] for r in broker.requests] == ["2024-01-05", "2024-01-06", "2024-01-07",
                                                   "2024-01-08"]

    def test_a_day_the_broker_did_not_deliver_stops_the_sweep(self, tmp_path):
        broker = FakeBroker(tmp_path, skip={("2330", "2024-01-03")})
        with pytest.raises(SweepError, match="2330 2024-01-03"):
            precache(instruments("2330:Stock"), [("2024-01-02", "2024-01-04")], tmp_path,
                     login=broker.login, ticker_cls=broker.ticker_cls, today=self.TODAY)
        assert broker.logouts == 1

    def test_broker_failures_become_clear_errors(self, tmp_path):
        def refused():
            raise ConnectionError("bad key")

        with pytest.raises(SweepError, match="broker login failed.*bad key"):
            precache(instruments("2330:Stock"), [("2024-01-02", "2024-01-02")], tmp_path,
                     login=refused, ticker_cls=object, today=self.TODAY)
        broker = FakeBroker(tmp_path)

        class Broken(broker.ticker_cls):
            def get_ticks_df(self, code, market, start, end):
                if start == "2024-01-03":
                    raise KeyError(code)
                super().get_ticks_df(code, market, start, end)

        with pytest.raises(SweepError, match="2330 2024-01-03 failed: KeyError"):
            precache(instruments("2330:Stock"), [("2024-01-02", "2024-01-04")], tmp_path,
                     login=broker.login, ticker_cls=Broken, today=self.TODAY)
        assert broker.logouts == 1
        assert [r[2] for r in broker.requests] == ["2024-01-02"]

    def test_today_and_later_cannot_be_cached(self, tmp_path):
        broker = FakeBroker(tmp_path)
        with pytest.raises(SweepError, match="only days before today"):
            precache(instruments("2330:Stock"), [("2024-02-28", "2024-03-01")], tmp_path,
                     login=broker.login, ticker_cls=broker.ticker_cls, today=self.TODAY)
        assert broker.logins == 0 and broker.requests == []

    def test_missing_days_without_credentials(self, tmp_path, monkeypatch):
        monkeypatch.delenv("SJ_API_KEY", raising=False)
        monkeypatch.delenv("SJ_SECRET_KEY", raising=False)
        with pytest.raises(cli.UsageError, match="SJ_API_KEY") as info:
            precache(instruments("2330:Stock"), [("2024-01-02", "2024-01-03")], tmp_path,
                     today=self.TODAY)
        assert "2 instrument-days are not cached" in str(info.value)

    def test_command_without_login_stops_before_any_run(self, sample, tmp_path, monkeypatch):
        _, start, end = sample
        monkeypatch.delenv("SJ_API_KEY", raising=False)
        code = cli.main(["sweep", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                         "-i", "2317:Stock", "--start", start, "--end", end,
                         "--data-dir", str(tmp_path), "--local-processes", "1",
                         "--out", str(tmp_path / "out")])
        assert code == 2
        assert not (tmp_path / "out").exists()


# ---- real sweeps ------------------------------------------------------------------------------


def test_ray_sweep_equals_sequential_runs(local_ray, sample, sequential):
    data_dir, start, end = sample
    seen = []
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir,
                  progress=lambda done, total: seen.append((done, total)))
    assert_matches_sequential(table, sequential)
    assert seen == [(i, 4) for i in range(5)]
    assert table["ticks"].min() > 0


def test_process_pool_gives_the_same_table_as_ray(local_ray, sample, sequential):
    data_dir, start, end = sample
    on_pool = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir,
                    local_processes=2)
    on_ray = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir)
    assert_matches_sequential(on_pool, sequential)
    assert on_pool.drop(*TIMING).equals(on_ray.drop(*TIMING))
    assert on_pool.schema == on_ray.schema


@pytest.mark.parametrize("backend", ["ray", "pool"])
def test_failing_run_is_reported_in_its_row(backend, request, sample, sequential, tmp_path):
    data_dir, start, end = sample
    if backend == "ray":
        request.getfixturevalue("local_ray")
    where = {"local_processes": 2} if backend == "pool" else {}
    table = sweep(Exploding, {"explode": [False, True], "fast": [5, 10], "slow": [30]},
                  INSTRUMENTS, start, end, data_dir=data_dir, out=tmp_path / "out", **where)
    assert table.height == 4
    good = table.filter(pl.col("error").is_null())
    bad = table.filter(pl.col("error").is_not_null())
    assert good["explode"].to_list() == [False, False]
    assert bad["explode"].to_list() == [True, True]
    # Failed runs come last and carry the error, not figures.
    assert table["error"].is_not_null().to_list() == [False, False, True, True]
    for row in bad.iter_rows(named=True):
        assert row["error"].startswith("RuntimeError: strategy blew up on purpose")
        assert "on_tick" in row["error"]
        assert row["net_pnl"] is None and row["ticks"] is None
        assert "blew up" in (Path(row["result"]) / "error.txt").read_text()
    for row in good.iter_rows(named=True):
        expected = sequential[(row["fast"], 30)]
        assert (row["net_pnl"], row["fills"], row["ticks"]) == (
            expected["net_pnl"], expected["fills"], expected["ticks"])


@pytest.mark.parametrize("backend", ["ray", "pool"])
def test_crashed_worker_loses_only_its_own_run(backend, request, sample, sequential):
    data_dir, start, end = sample
    if backend == "ray":
        request.getfixturevalue("local_ray")
    where = {"local_processes": 2} if backend == "pool" else {}
    table = sweep(Crashing, {"crash": [False, True], "fast": [5, 10], "slow": [30]},
                  INSTRUMENTS, start, end, data_dir=data_dir, **where)
    assert table.height == 4
    crashed = table.filter(pl.col("crash"))
    assert crashed["error"].null_count() == 0 and crashed["net_pnl"].null_count() == 2
    kept = table.filter(~pl.col("crash"))
    assert kept["error"].null_count() == 2
    for row in kept.iter_rows(named=True):
        assert row["net_pnl"] == sequential[(row["fast"], 30)]["net_pnl"]


def test_out_folder_holds_the_table_and_every_run(local_ray, sample, sequential, tmp_path):
    data_dir, start, end = sample
    out = tmp_path / "sweep"
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir, out=out)
    saved = pl.read_csv(out / "sweep.csv")
    # a column of nothing but gaps (no error; no Sharpe ratio of a one-day run) reads back as text
    empty = [c for c in saved.columns if saved[c].null_count() == saved.height]
    assert saved.drop(*TIMING).equals(table.drop(*TIMING).with_columns(
        pl.col(c).cast(saved.schema[c]) for c in empty))
    about = json.loads((out / "sweep.json").read_text())
    assert about["strategy"] == "tovik_backtest.sample_strategy:MovingAverageCross"
    assert about["runs"] == 4 and about["failed"] == 0
    folders = {Path(p) for p in table["result"]}
    assert len(folders) == 4 and all(f.parent == out.resolve() / "runs" for f in folders)
    for row in table.iter_rows(named=True):
        summary = json.loads((Path(row["result"]) / "summary.json").read_text())
        assert summary["params"]["fast"] == row["fast"] and summary["params"]["slow"] == row["slow"]
        assert summary["overall"]["net_pnl"] == row["net_pnl"]
        assert (Path(row["result"]) / "trades.csv").is_file()
        # no page per run (plotly and the period's prices each time); `report` draws one
        assert not (Path(row["result"]) / "report.html").exists()


def test_command_on_ray_prints_ranked_table(local_ray, sample, sequential, capsys):
    data_dir, start, end = sample
    code = cli.main(["sweep", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                     "-i", INSTRUMENTS[0], "-i", INSTRUMENTS[1], "--start", start, "--end", end,
                     "--data-dir", str(data_dir), "-p", "fast=5,10", "-p", "slow=30,60"])
    assert code == 0
    text = capsys.readouterr().out
    assert "ranked by net P&L" in text and "4 runs" in text
    best = max(sequential, key=lambda k: (sequential[k]["net_pnl"], tuple(-x for x in k)))
    assert f"{sequential[best]['net_pnl']:,.2f}" in text


def test_command_with_strategy_file_on_process_pool(sample, tmp_path):
    # A strategy given as a file path is not importable by name in the workers.
    data_dir, start, end = sample
    source = tmp_path / "my_strategy.py"
    source.write_text(textwrap.dedent("""
        from tovik_backtest.sample_strategy import MovingAverageCross

        class Halved(MovingAverageCross):
            def __init__(self, **params):
                super().__init__(**params)
    """))
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-m", "tovik_backtest", "sweep", "--strategy", f"{source}:Halved",
         "-i", "2330:Stock", "--start", start, "--end", end, "--data-dir", str(data_dir),
         "-p", "fast=5,10,40", "-p", "slow=30", "--local-processes", "2", "--out", str(out)],
        check=False, capture_output=True, text=True, timeout=180, env=env)
    # fast=40 is refused by the strategy: that run fails, the command says so and exits 1.
    assert done.returncode == 1, done.stderr
    assert "ranked by net P&L" in done.stdout and "3 runs" in done.stdout
    assert "1 run failed: ValueError: need 0 < fast < slow" in " ".join(done.stdout.split())
    saved = pl.read_csv(out / "sweep.csv")
    assert saved["fast"].to_list()[-1] == 40 and saved["error"].null_count() == 2
    assert sorted(saved["fast"].to_list()[:2]) == [5, 10]


def test_process_pool_sweep_equals_sequential_runs_in_ranked_order(sample, sequential):
    # Without Ray: the pool's table holds every run's figures, best net P&L first.
    data_dir, start, end = sample
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir, local_processes=2)
    assert_matches_sequential(table, sequential)
    assert table["net_pnl"].to_list() == sorted(table["net_pnl"].to_list(), reverse=True)


def _order_ids(folder):
    lines = (Path(folder) / "reports.jsonl").read_text().splitlines()
    return [r["order"]["id"] for r in map(json.loads, lines) if "order" in r]


@pytest.mark.parametrize("seed", [5, 6])
def test_the_sweep_seed_reaches_every_run(sample, tmp_path, seed):
    data_dir, start, end = sample
    grid = {"fast": [5], "slow": [30, 60]}
    table = sweep(MovingAverageCross, grid, INSTRUMENTS, start, end, data_dir=data_dir, local_processes=1,
                  seed=seed, out=tmp_path / "sweep")
    for row in table.iter_rows(named=True):
        alone = Backtest(MovingAverageCross(fast=row["fast"], slow=row["slow"]), INSTRUMENTS, start, end,
                         data_dir=data_dir, seed=seed, quiet=True).run()
        ids = [r["order"]["id"] for r in alone.reports if "order" in r]
        assert ids and _order_ids(row["result"]) == ids
        other = Backtest(MovingAverageCross(fast=row["fast"], slow=row["slow"]), INSTRUMENTS, start, end,
                         data_dir=data_dir, seed=seed + 100, quiet=True).run()
        assert [r["order"]["id"] for r in other.reports if "order" in r] != ids  # the seed shows in the ids

"""The parameter search: it finds a planted optimum, gives the same trials on any number
of workers, resumes where it was stopped, and scores walk-forward folds only on days it
did not search on."""

import datetime as dt
import json
import uuid
from pathlib import Path
from zoneinfo import ZoneInfo

import polars as pl
import pytest

from tovik_backtest import cli
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.market import trading_days
from tovik_backtest.runner import Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.searches import SearchInterrupted, cut_folds, search
from tovik_backtest.searches.objective import Objective, figures_of

pytestmark = pytest.mark.usefixtures("hang_watchdog")

TAIPEI = ZoneInfo("Asia/Taipei")
# Every fill costs far more than a price move, so net P&L falls with every round trip.
DEAR = Costs(stock_min_commission=100_000)
PLANTED = {"x": 9, "y": 4}
# Figures that depend on the machine's speed, not on the run.
TIMING = ("wall_seconds", "ticks_per_second")


class Planted(Strategy):
    """Makes one losing round trip for every step its parameters are away from PLANTED."""

    params = {"x": 0, "y": 0}

    def on_start(self):
        self.left = abs(self.x - PLANTED["x"]) + abs(self.y - PLANTED["y"])

    def on_tick(self, tick):
        if tick["code"] != "2330" or tick["is_backfilling"]:
            return
        held = self.position("2330")
        if held > 0:
            self.sell("2330", tick["close"], held, price_type="MKT", order_type="IOC")
        elif self.left > 0:
            self.buy("2330", tick["close"], 1, price_type="MKT", order_type="IOC")

    def on_deal(self, report):
        if report["action"] == "Buy":
            self.left -= 1


class DayRecorder(Strategy):
    """Trades a round trip at the start of every day it sees and writes the days it saw
    to a file of its own in ``log_dir``."""

    params = {"x": 0, "log_dir": ""}

    def on_start(self):
        self.days, self.flat_after = [], None

    def on_tick(self, tick):
        if tick["code"] != "2330":
            return
        day = dt.datetime.fromtimestamp(tick["timestamp"], TAIPEI).date().isoformat()
        if not self.days or self.days[-1] != day:
            self.days.append(day)
            self.buy("2330", tick["close"], 1 + self.x % 2, price_type="MKT", order_type="IOC")
        elif self.position("2330") > 0:
            self.sell("2330", tick["close"], self.position("2330"), price_type="MKT", order_type="IOC")

    def on_end(self):
        (Path(self.log_dir) / f"{uuid.uuid4().hex}.json").write_text(json.dumps(self.days))


@pytest.fixture(scope="module")
def one_day(one_sample_day):
    return one_sample_day("search-day", seed=5)


@pytest.fixture(scope="module")
def eight_days(tmp_path_factory):
    folder = tmp_path_factory.mktemp("search-days")
    write_sample_data(folder, days=8, seed=5)
    return (folder, *sample_period(8))


def _same(a, b):
    return a.drop(TIMING).equals(b.drop(TIMING))


# ---- finding what is there ------------------------------------------------------------------

def test_search_finds_the_planted_optimum_within_its_budget(one_day):
    data_dir, start, end = one_day
    result = search(Planted, {"x": (0, 30), "y": (0, 30)}, ["2330:Stock"], start, end, data_dir=data_dir,
                    costs=DEAR, trials=64, local_processes=2)
    assert result.table.height == 64 and result.table["error"].null_count() == 64
    assert result.best == PLANTED and result.best_value == 0.0
    # every other set made round trips, each a loss
    others = result.table.filter((pl.col("x") != 9) | (pl.col("y") != 4))
    assert others["value"].max() < 0 and (others["round_trips"] > 0).all()


@pytest.mark.parametrize("sampler", ["tpe", "random", "grid"])
def test_the_same_seed_gives_the_same_trials_on_any_number_of_workers(sampler, one_day):
    data_dir, start, end = one_day
    space = {"x": (5, 12), "y": [3, 4, 5]}
    runs = [search(Planted, space, ["2330:Stock"], start, end, data_dir=data_dir, costs=DEAR, trials=12,
                   batch=4, sampler=sampler, seed=3, local_processes=workers).table
            for workers in (1, 2)]
    assert _same(runs[0], runs[1])
    assert runs[0]["trial"].to_list() == list(range(12))
    if sampler == "grid":  # the grid tries each of its 24 sets at most once
        assert runs[0].select("x", "y").unique().height == 12


@pytest.mark.parametrize(("space", "trials", "expected"), [
    ({"x": [9, 3, 5]}, 10, 3),  # a budget beyond the grid tries the grid once
    ({"x": (8, 10), "y": [4]}, 3, 3),  # a budget the size of the grid exhausts it
])
def test_the_grid_sampler_stops_at_the_end_of_its_grid(space, trials, expected, one_day):
    data_dir, start, end = one_day
    result = search(Planted, space, ["2330:Stock"], start, end, data_dir=data_dir, costs=DEAR, trials=trials,
                    batch=2, sampler="grid", local_processes=1)
    assert result.table.height == expected
    assert result.table.select(list(space)).unique().height == expected
    assert result.best["x"] == 9


def test_a_search_on_ray_gives_the_pool_s_trials(one_day):
    pytest.importorskip("ray")
    data_dir, start, end = one_day
    args = dict(data_dir=data_dir, costs=DEAR, trials=8, batch=4, seed=1)
    on_pool = search(Planted, {"x": (0, 20)}, ["2330:Stock"], start, end, local_processes=2, **args)
    on_ray = search(Planted, {"x": (0, 20)}, ["2330:Stock"], start, end, **args)
    assert _same(on_pool.table, on_ray.table)


# ---- interrupt and resume ------------------------------------------------------------------

class StopAfter:
    """A progress callback that interrupts the search once ``trials`` have finished."""

    def __init__(self, trials):
        self.trials = trials

    def __call__(self, done, total):
        if done >= self.trials:
            raise KeyboardInterrupt


@pytest.mark.parametrize("walk_forward", [None, 2])
def test_an_interrupted_search_resumes_into_the_same_result(walk_forward, eight_days, tmp_path):
    data_dir, start, end = eight_days
    args = dict(data_dir=data_dir, trials=8, batch=4, seed=2, local_processes=2, walk_forward=walk_forward)
    space = {"fast": (2, 20), "slow": [30, 60]}
    one_go = search(MovingAverageCross, space, ["2330:Stock"], start, end, out=tmp_path / "one", **args)
    out = tmp_path / "out"
    with pytest.raises(SearchInterrupted) as info:
        # mid-batch: the second batch has runs finished and runs cut off
        search(MovingAverageCross, space, ["2330:Stock"], start, end, out=out, progress=StopAfter(6), **args)
    stop = info.value
    assert isinstance(stop, KeyboardInterrupt) and stop.out == out.resolve()
    assert json.loads((out / "search.json").read_text())["partial"] is True
    kept = (out / "trials.jsonl").read_text().splitlines()
    assert len(kept) >= 6

    resumed = search(MovingAverageCross, space, ["2330:Stock"], start, end, out=out, resume=True, **args)
    assert _same(resumed.table, one_go.table)
    assert resumed.best == one_go.best
    lines = (out / "trials.jsonl").read_text().splitlines()
    assert lines[:len(kept)] == kept and len(lines) == one_go.table.height  # nothing ran twice
    about = json.loads((out / "search.json").read_text())
    assert about["partial"] is False and about["best"] == one_go.best
    if walk_forward:
        assert resumed.folds.equals(one_go.folds) and resumed.headline == one_go.headline
        assert resumed.equity.equals(one_go.equity)


@pytest.mark.parametrize(("change", "words"), [
    ({"trials": 9}, "trials was"),
    ({"seed": 5}, "seed was"),
    ({"objective": "sharpe"}, "objective was"),
    ({"costs": DEAR}, "costs was"),
])
def test_resume_refuses_another_search(change, words, one_day, tmp_path):
    data_dir, start, end = one_day
    args = dict(data_dir=data_dir, trials=4, batch=4, local_processes=1, out=tmp_path / "o")
    search(Planted, {"x": (0, 9)}, ["2330:Stock"], start, end, **args)
    before = (tmp_path / "o" / "trials.jsonl").read_text()
    with pytest.raises(Exception, match=f"different search \\({words}"):
        search(Planted, {"x": (0, 9)}, ["2330:Stock"], start, end, resume=True, **{**args, **change})
    assert (tmp_path / "o" / "trials.jsonl").read_text() == before


# ---- walk-forward ----------------------------------------------------------------------------

def test_no_in_sample_day_enters_the_walk_forward_headline(eight_days, tmp_path):
    data_dir, start, end = eight_days
    logs = tmp_path / "seen"
    logs.mkdir()
    result = search(DayRecorder, {"x": (0, 5), "log_dir": [str(logs)]}, ["2330:Stock"], start, end,
                    data_dir=data_dir, trials=4, batch=4, walk_forward=3, local_processes=2)
    folds = {row["fold"]: row for row in result.folds.iter_rows(named=True)}
    days = [d.isoformat() for d in trading_days(start, end)]
    cut = cut_folds(start, end, 3)
    assert [(f.out_of_sample[0], f.out_of_sample[-1]) for f in cut] == [
        (folds[k]["oos_start"], folds[k]["oos_end"]) for k in (1, 2, 3)]
    oos_days = {f.number: set(f.out_of_sample) for f in cut}
    # every point of the stitched curve lies on a day its own fold was scored on
    for fold, stamp in result.equity.select("fold", "time").iter_rows():
        assert stamp.date().isoformat() in oos_days[fold]
    assert result.headline["days"] == sum(len(f.out_of_sample) for f in cut)
    assert result.headline["net_pnl"] == pytest.approx(sum(r["oos_net_pnl"] for r in folds.values()))
    # the out-of-sample runs saw their fold's days and nothing else
    seen = [json.loads(p.read_text()) for p in logs.iterdir()]
    for fold in cut:
        assert list(fold.out_of_sample) in seen
        assert all(set(run).isdisjoint(fold.out_of_sample) or set(run) >= set(fold.out_of_sample)
                   for run in seen)
    # searched on the days before each fold, never on the fold
    for fold in cut:
        assert max(fold.in_sample) < min(fold.out_of_sample)
    # the first part is only ever searched on; every later day is scored once
    assert [d for f in cut for d in f.out_of_sample] == days[len(cut[0].in_sample):]


@pytest.mark.parametrize(("count", "folds", "window", "expected"), [
    # parts of 2 trading days each; fold k scored on part k
    (10, 4, "anchored", [(2, 2), (4, 2), (6, 2), (8, 2)]),
    (10, 4, "rolling", [(2, 2), (2, 2), (2, 2), (2, 2)]),
    (10, 4, 3, [(2, 2), (3, 2), (3, 2), (3, 2)]),
    # 11 days: the first part takes the extra day
    (11, 4, "anchored", [(3, 2), (5, 2), (7, 2), (9, 2)]),
    (2, 1, "anchored", [(1, 1)]),
])
def test_folds_cut_the_trading_days(count, folds, window, expected):
    days = [d.isoformat() for d in trading_days("2024-01-02", "2024-03-29")][:count]
    cut = cut_folds(days[0], days[-1], folds, window)
    assert [(len(f.in_sample), len(f.out_of_sample)) for f in cut] == expected
    assert [d for f in cut for d in f.out_of_sample] == days[count - sum(n for _, n in expected):]
    for f in cut:
        assert f.in_sample == tuple(days[days.index(f.out_of_sample[0]) - len(f.in_sample):
                                         days.index(f.out_of_sample[0])])


@pytest.mark.parametrize(("args", "words"), [
    ({"walk_forward": 9}, "need at least 10 trading days"),
    ({"walk_forward": 0}, "walk_forward must be a whole number of folds >= 1"),
    ({"walk_forward": 2, "window": "sliding"}, "window must be 'anchored', 'rolling'"),
    ({"walk_forward": 2, "backfill_start": "2023-12-28"}, "takes no warm-up period"),
    ({"trials": 0}, "trials must be a whole number of at least 1"),
    ({"batch": 2.0}, "batch must be a whole number"),
    ({"sampler": "cmaes"}, "sampler must be one of tpe, random, grid"),
    ({"objective": "omega"}, "objective 'omega' is not one of"),
    ({"space": {"x": (5, 1)}}, "empty or reversed"),
    ({"space": {"x": (0.5, 3.5)}}, "'x' of Planted takes a whole number"),
    ({"space": {"x": [1, 1]}}, "lists the value 1 more than once"),
    ({"space": {"x": {1, 2}}}, "takes a list of values or a (low, high) range"),
    ({"space": {}}, "space must map at least one parameter"),
    ({"space": {"value": [1]}}, "clashes with a column"),
])
def test_a_bad_search_is_refused_before_anything_runs(args, words, eight_days, tmp_path):
    data_dir, start, end = eight_days
    space = args.pop("space", {"x": (0, 9)})
    with pytest.raises(BacktestError) as info:
        search(Planted, space, ["2330:Stock"], start, end, data_dir=data_dir, local_processes=1,
               out=tmp_path / "o", **args)
    assert words in str(info.value)
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize(("objective", "expected"), [
    ("net_pnl", 120.0),
    ("sharpe", 1.5),
    ("profit_factor", None),
    (lambda figures: figures["net_pnl"] / 2, 60.0),
    (lambda figures: float("nan"), None),
    (lambda figures: 1 / 0, None),
])
def test_objectives_score_a_run_or_say_why_not(objective, expected):
    value, why = Objective(objective).score({"net_pnl": 120.0, "sharpe": 1.5, "profit_factor": None})
    assert value == expected
    assert (why is None) == (expected is not None)


@pytest.mark.parametrize(("equity", "drawdown", "expected_sortino", "expected_calmar"), [
    # daily returns +1%, -1%, +2% of 100: mean 2/300, downside sqrt(1e-4 / 3); net 2 over 3 days
    ([101.0, 100.0, 102.0], 1.0, (2 / 300) / (1e-4 / 3) ** 0.5 * 252 ** 0.5, (2 / 100 * 252 / 3) / (1 / 100)),
    ([101.0, 102.0], 0.0, None, None),  # no losing day, no drawdown
    ([99.0], 1.0, None, (-1 / 100 * 252) / (1 / 100)),  # one day: no Sortino ratio
])
def test_stitched_figures_follow_the_summary_s_rules(equity, drawdown, expected_sortino, expected_calmar):
    overall = {"capital": 100.0, "net_pnl": equity[-1] - 100.0, "max_drawdown": drawdown, "sharpe": None}
    figures = figures_of(overall, equity, [])
    assert figures["sortino"] == (None if expected_sortino is None else pytest.approx(expected_sortino))
    assert figures["calmar"] == (None if expected_calmar is None else pytest.approx(expected_calmar))
    # a run's own summary figures are taken as they are
    assert figures_of({**overall, "sortino": 7.0, "calmar": 8.0}, equity, [])["sortino"] == 7.0


# ---- the command -----------------------------------------------------------------------------

def test_search_command_prints_and_saves_the_tables(eight_days, tmp_path, capsys):
    data_dir, start, end = eight_days
    code = cli.main(["search", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                     "-p", "fast=2..20", "-p", "slow=30,60", "-i", "2330:Stock", "--start", start, "--end", end,
                     "--data-dir", str(data_dir), "--trials", "4", "--batch", "4", "--walk-forward", "2",
                     "--objective", "net_pnl", "--local-processes", "2", "--out", str(tmp_path / "o")])
    text = capsys.readouterr().out
    assert code == 0
    assert "Walk-forward folds" in text and "out of sample (2 folds" in text
    assert pl.read_csv(tmp_path / "o" / "trials.csv").height == 8
    assert pl.read_csv(tmp_path / "o" / "folds.csv").height == 2
    assert (tmp_path / "o" / "folds" / "1" / "summary.json").is_file()


@pytest.mark.parametrize(("argv", "words"), [
    (["-p", "fast=5..1"], "empty or reversed"),
    (["-p", "fast=a..b"], "runs between two numbers"),
    (["-p", "fast=2..9", "-p", "fast=3..4"], "given more than once"),
    ([], "at least one --param"),
    (["-p", "fast=2..9", "--window", "0", "--walk-forward", "2"], "--window"),
    (["-p", "fast=2..9", "--resume"], "--resume needs --out"),
])
def test_search_command_refuses_in_one_line(argv, words, one_day, capsys):
    data_dir, start, end = one_day
    try:
        code = cli.main(["search", "--strategy", "tovik_backtest.sample_strategy:MovingAverageCross",
                         "-i", "2330:Stock", "--start", start, "--end", end, "--data-dir", str(data_dir),
                         "--local-processes", "1", *argv])
    except SystemExit as exc:
        code = exc.code
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and words in err[0]

"""One run configuration for every way of running, and declared strategy parameters:
what each refuses, and that a run, a sweep and the command line agree on the figures."""

import dataclasses
import json

import pytest

from tovik_backtest import cli
from tovik_backtest.config import RunConfig, load_costs
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.searches import search
from tovik_backtest.sweeps import sweep

STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"
INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]
# Not the defaults: a figure that ignored any of them would differ.
COSTS = Costs(stock_commission_discount=0.35, futures_commission_per_contract=25)


@pytest.fixture(scope="module")
def sample(one_sample_day):
    return one_sample_day("config-data", seed=5)


class Tuned(Strategy):
    params = {"window": 10, "ratio": 0.5, "enabled": True, "label": "a", "anything": None}

    def ignored(self):
        return None


class Deeper(Tuned):
    params = {"window": 30, "extra": 2}


# ---- declared parameters -------------------------------------------------------------------

@pytest.mark.parametrize(("given", "words"), [
    ({"windw": 5}, "has no parameter 'windw' (it declares: window, ratio"),
    ({"buy": 1}, "'buy' is Strategy.buy (a method)"),
    ({"positions": 1}, "'positions' is Strategy.positions (a property)"),
    ({"ignored": 1}, "'ignored' is Tuned.ignored (a method)"),
    ({"window": "5"}, "'window' of Tuned takes a whole number (its default is 10), not str '5'"),
    ({"window": 5.0}, "takes a whole number"),
    ({"window": True}, "takes a whole number"),
    ({"ratio": "0.5"}, "'ratio' of Tuned takes a number"),
    ({"ratio": False}, "'ratio' of Tuned takes a number"),
    ({"enabled": 1}, "'enabled' of Tuned takes True or False"),
    ({"label": 3}, "'label' of Tuned takes a text"),
])
def test_a_parameter_the_strategy_does_not_take_is_refused(given, words):
    with pytest.raises(BacktestError) as info:
        Tuned(**given)
    assert words in str(info.value)


@pytest.mark.parametrize(("declaration", "words"), [
    ({"buy": 1}, "would hide Strategy.buy (a method)"),
    ({"positions": 1}, "would hide Strategy.positions (a property)"),
    ({"on_tick": 1}, "would hide Strategy.on_tick"),
    ({"params": 1}, "would hide Bad.params (an attribute)"),
    ({"_secret": 1}, "private name"),
    ({"two words": 1}, "plain identifier"),
    (["fast"], "must be a dict"),
])
def test_a_declaration_that_would_hide_or_is_malformed_is_refused(declaration, words):
    with pytest.raises(BacktestError) as info:
        type("Bad", (Strategy,), {"params": declaration})
    assert words in str(info.value)


def test_values_follow_the_declaration_and_its_inheritance():
    s = Deeper(ratio=2, anything=[1, 2])
    assert s.params == {"window": 30, "ratio": 2.0, "enabled": True, "label": "a",
                        "anything": [1, 2], "extra": 2}
    assert type(s.ratio) is float and s.window == 30 and s.extra == 2
    assert Tuned().window == 10  # a subclass's default leaves its base's alone
    with pytest.raises(BacktestError, match="Tuned has no parameter 'extra'"):
        Tuned(extra=1)


def test_the_sample_strategy_declares_what_it_takes():
    assert MovingAverageCross(fast=3).params == {"fast": 3, "slow": 80, "qty": 1}
    with pytest.raises(BacktestError, match="no parameter 'fats'"):
        MovingAverageCross(fats=3)


# ---- the configuration ---------------------------------------------------------------------

@pytest.mark.parametrize(("change", "words"), [
    ({"instruments": "2330:Stock"}, "list of instruments"),
    ({"instruments": []}, "at least one instrument"),
    ({"instruments": ["2330:Stock", "2330:Stock"]}, "given twice"),
    ({"start": "2024-01-09", "end": "2024-01-02"}, "period is reversed"),
    ({"backfill_start": "2024-01-02", "backfill_end": "2024-01-05"}, "warm-up must end before"),
    ({"costs": {"stock_commission_discount": 0.5}}, "costs must be a Costs"),
    ({"capital": 0}, "capital must be a TWD amount > 0"),
    ({"capital": float("nan")}, "capital must be a TWD amount > 0"),
    ({"contract_sizes": {"TXF": 0}}, "contract size of TXF must be a whole number > 0"),
    ({"contract_sizes": 5}, "contract_sizes must map"),
    ({"seed": 1.0}, "seed must be a whole number"),
    ({"allow_missing": "yes"}, "allow_missing must be True or False"),
    ({"data_dir": 3}, "data_dir must be a folder path"),
])
def test_a_bad_field_is_refused_when_the_configuration_is_made(change, words):
    fields = {"instruments": ["2330:Stock"], "start": "2024-01-03", "end": "2024-01-04", **change}
    with pytest.raises(BacktestError) as info:
        RunConfig(**fields)
    assert words in str(info.value)


def test_a_configuration_is_frozen_and_reads_back_as_json(tmp_path):
    config = RunConfig(instruments=["2330:Stock", ("TXFR1", "Future")], start="2024-01-03",
                       end="2024-01-04", data_dir=tmp_path, costs=COSTS,
                       contract_sizes={"TXF": 100, "2330": 500}, seed=4)
    with pytest.raises(dataclasses.FrozenInstanceError):
        config.seed = 5  # type: ignore[misc]
    plain = json.loads(json.dumps(config.as_dict()))
    assert plain["instruments"] == [{"code": "2330", "market": "Stock"},
                                    {"code": "TXFR1", "market": "Future"}]
    assert plain["costs"]["stock_commission_discount"] == 0.35
    assert plain["contract_sizes"] == {"2330": 500, "TXF": 100}
    assert plain["data_dir"] == str(tmp_path) and plain["seed"] == 4 and plain["fills"] is None
    assert config.replace(seed=9).seed == 9 and config.seed == 4
    with pytest.raises(BacktestError, match="capital"):
        config.replace(capital=-1)


def test_backtest_takes_a_config_or_its_fields_but_not_both(sample):
    data_dir, start, end = sample
    config = RunConfig(instruments=INSTRUMENTS, start=start, end=end, data_dir=data_dir, costs=COSTS, seed=2)
    by_fields = Backtest(Strategy(), INSTRUMENTS, start, end, data_dir=data_dir, costs=COSTS, seed=2)
    assert by_fields.config == config
    with pytest.raises(BacktestError, match="seed given beside config"):
        Backtest(Strategy(), config=config, seed=3)
    with pytest.raises(BacktestError, match="give the run's instruments, start, end"):
        Backtest(Strategy())


# ---- one figure whatever runs it --------------------------------------------------------------

def _figures(overall):
    return {k: overall[k] for k in ("net_pnl", "gross_pnl", "commission", "tax", "fills", "sharpe",
                                    "max_drawdown", "round_trips")}


@pytest.fixture(scope="module")
def single_run(sample, tmp_path_factory):
    data_dir, start, end = sample
    config = RunConfig(instruments=INSTRUMENTS, start=start, end=end, data_dir=data_dir, costs=COSTS,
                       capital=400_000, contract_sizes={"TXF": 150}, seed=6)
    result = Backtest(MovingAverageCross(fast=5, slow=30), config=config).run()
    folder = result.save(tmp_path_factory.mktemp("single"))
    return config, result.summary(), json.loads((folder / "summary.json").read_text())


def test_summary_json_keeps_the_configuration(single_run):
    config, _, saved = single_run
    assert saved["config"] == json.loads(json.dumps(config.as_dict()))
    assert saved["params"] == {"fast": 5, "slow": 30, "qty": 1}


def test_sweep_and_single_run_of_one_configuration_agree(single_run, hang_watchdog, tmp_path):
    config, summary, _ = single_run
    assert summary["overall"]["commission"] > 0  # the costs are charged, so they are compared
    table = sweep(MovingAverageCross, {"fast": [5], "slow": [30]}, config=config, local_processes=1,
                  out=tmp_path / "s")
    row = table.row(0, named=True)
    assert row["error"] is None
    assert {k: row[k] for k in _figures(summary["overall"])} == _figures(summary["overall"])
    about = json.loads((tmp_path / "s" / "sweep.json").read_text())
    assert about["config"]["costs"] == dataclasses.asdict(COSTS) and about["capital"] == 400_000


def test_search_and_single_run_of_one_configuration_agree(single_run, hang_watchdog):
    config, summary, _ = single_run
    result = search(MovingAverageCross, {"fast": [5], "slow": [30]}, config=config, trials=1,
                    local_processes=1)
    row = result.table.row(0, named=True)
    assert result.best == {"fast": 5, "slow": 30} and row["value"] == summary["overall"]["net_pnl"]
    assert {k: row[k] for k in _figures(summary["overall"])} == _figures(summary["overall"])


def test_command_run_of_the_same_configuration_agrees(single_run, tmp_path):
    config, summary, _ = single_run
    costs = tmp_path / "costs.toml"
    costs.write_text("[costs]\nstock_commission_discount = 0.9\nfutures_commission_per_contract = 25\n")
    argv = ["run", "--strategy", STRATEGY, "-p", "fast=5", "-p", "slow=30", "--start", config.start,
            "--end", config.end, "--data-dir", str(config.data_dir), "--capital", "400000",
            "--contract-size", "TXF=150", "--seed", "6", "--costs", str(costs),
            "--commission-discount", "0.35", "--out", str(tmp_path / "o")]
    for inst in INSTRUMENTS:
        argv += ["-i", inst]
    assert cli.main(argv) == 0
    saved = json.loads((tmp_path / "o" / "summary.json").read_text())
    # --commission-discount wins over the file; the file's fee is kept
    assert saved["config"]["costs"] == dataclasses.asdict(COSTS)
    assert _figures(saved["overall"]) == _figures(summary["overall"])


@pytest.mark.parametrize(("text", "words"), [
    ("stock_commission_discount = 0.6\nbrokerage = 1\n", "has no use for brokerage"),
    ("stock_commission_discount = -1\n", "finite number >= 0"),
    ("stock_commission_discount = 'cheap'\n", "must be an int or float"),
    ("stock_commission_discount = \n", "not valid TOML"),
])
def test_a_bad_costs_file_is_refused(tmp_path, text, words):
    path = tmp_path / "costs.toml"
    path.write_text(text)
    with pytest.raises(BacktestError) as info:
        load_costs(path)
    assert words in str(info.value) and str(path) in str(info.value)


def test_costs_file_at_top_level_and_overrides():
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "c.toml"
        path.write_text("stock_commission_discount = 0.6\nstock_tax_rate = 0.002\n")
        costs = load_costs(path, stock_tax_rate=0.001)
    assert costs == Costs(stock_commission_discount=0.6, stock_tax_rate=0.001)


# ---- every refusal of a parameter, from each entry ------------------------------------------

PARAM_REFUSALS = {
    "unknown": ("fats", 5, "no parameter 'fats'"),
    "hides a method": ("buy", 5, "'buy' is Strategy.buy"),
    "hides a property": ("positions", 5, "'positions' is Strategy.positions"),
    "wrong type": ("fast", "abc", "'fast' of MovingAverageCross takes a whole number"),
}


@pytest.mark.parametrize("case", list(PARAM_REFUSALS))
def test_python_entries_refuse_the_parameter_before_running(case, sample, tmp_path):
    data_dir, start, end = sample
    name, value, words = PARAM_REFUSALS[case]
    with pytest.raises(BacktestError, match=words):
        Backtest(MovingAverageCross(**{name: value}), INSTRUMENTS, start, end, data_dir=data_dir)
    with pytest.raises(BacktestError, match=words):
        sweep(MovingAverageCross, {"slow": [30, 60], name: [value]}, INSTRUMENTS, start, end,
              data_dir=data_dir, local_processes=1, out=tmp_path / "s")
    with pytest.raises(BacktestError, match=words):
        search(MovingAverageCross, {"slow": (30, 60), name: [value]}, INSTRUMENTS, start, end,
               data_dir=data_dir, local_processes=1, out=tmp_path / "q")
    assert not (tmp_path / "s").exists() and not (tmp_path / "q").exists()  # nothing ran or was written


@pytest.mark.parametrize("command", ["run", "sweep", "search"])
@pytest.mark.parametrize("case", list(PARAM_REFUSALS))
def test_commands_refuse_the_parameter_in_one_line(command, case, sample, tmp_path, capsys):
    data_dir, start, end = sample
    name, value, words = PARAM_REFUSALS[case]
    argv = [command, "--strategy", STRATEGY, "-i", "2330:Stock", "--start", start, "--end", end,
            "--data-dir", str(data_dir), "-p", f"{name}={value}", "--out", str(tmp_path / "o")]
    if command != "run":
        argv += ["--local-processes", "1"]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and words in err[0]
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize(("options", "words"), [
    (["--cost", "brokerage=1"], "--cost takes NAME=VALUE"),
    (["--commission-discount", "-0.5"], "must be a finite number >= 0"),
    (["--futures-fee", "ten"], "not a number"),
    (["--costs", "/no/such/costs.toml"], "cannot read the costs file"),
])
def test_bad_cost_options_exit_2_in_one_line(options, words, sample, capsys):
    data_dir, start, end = sample
    code = None
    try:
        code = cli.main(["run", "--strategy", STRATEGY, "-i", "2330:Stock", "--start", start, "--end", end,
                         "--data-dir", str(data_dir), *options])
    except SystemExit as exc:
        code = exc.code
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and words in err[0]

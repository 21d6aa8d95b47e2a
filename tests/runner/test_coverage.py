"""Days a run lacks are named and refused (or skipped and listed); the modules' error
records are kept whole, counted and shown readable."""

import json
import logging

import pytest

from tovik_backtest import cli, utils
from tovik_backtest.errorlog import ErrorLog, readable
from tovik_backtest.runner import Backtest, BacktestError, Strategy
from tovik_backtest.sample_data import write_sample_data
from tovik_backtest.tick_cache import tick_file

DAYS = ["2024-01-02", "2024-01-03", "2024-01-04"]


@pytest.fixture
def cache(tmp_path):
    write_sample_data(tmp_path, days=3, seed=3)
    return tmp_path


def _run(cache, **kwargs):
    kwargs.setdefault("instruments", ["2330:Stock"])
    return Backtest(Strategy(), kwargs.pop("instruments"), kwargs.pop("start", DAYS[0]),
                    kwargs.pop("end", DAYS[-1]), data_dir=cache, **kwargs).run()


@pytest.mark.parametrize("gone, kwargs, named", [
    (["2330 2024-01-04"], {}, ["2330 2024-01-04"]),
    (["TXFR1 2024-01-03"], {"instruments": ["2330:Stock", "TXFR1:Future"]}, ["TXFR1 2024-01-03"]),
    # the warm-up's days count as much as the period's
    (["2330 2024-01-02"], {"start": DAYS[1], "backfill_start": DAYS[0], "backfill_end": DAYS[0]},
     ["2330 2024-01-02"]),
    (["2330 2024-01-02", "2330 2024-01-04"], {}, ["2330 2024-01-02", "2330 2024-01-04"]),
])
def test_missing_days_are_named_then_refused_or_skipped(cache, gone, kwargs, named):
    for item in gone:
        code, day = item.split()
        tick_file(cache, code, day).unlink()
    with pytest.raises(BacktestError) as info:
        _run(cache, **dict(kwargs))
    message = str(info.value)
    assert "\n" not in message and "allow_missing=True" in message
    for item in named:
        assert f"{item}: not in the cache; log in (`--login`) to download it" in message
    result = _run(cache, allow_missing=True, **dict(kwargs))
    skipped = result.summary()["overall"]["skipped_days"]
    assert [s.split(":")[0] for s in skipped] == named
    assert result.ticks > 0 and any("ran without" in n for n in result.notes)
    assert result.errors == []  # a day known missing is not asked of the ticker again


def test_a_file_set_aside_during_the_run_counts_as_missing(cache):
    path = tick_file(cache, "2330", DAYS[1])
    path.write_text("this is not a tick table\n\x00\x01 garbage", encoding="utf-8")
    with pytest.raises(BacktestError, match="found during the run") as info:
        _run(cache)
    assert "2330 2024-01-03: its cached file could not be read and was set aside as" in str(info.value)
    path.write_text("ts,close\nbroken,row,with,extra\n", encoding="utf-8")
    result = _run(cache, allow_missing=True)
    (skipped,) = result.summary()["overall"]["skipped_days"]
    assert skipped.startswith("2330 2024-01-03: its cached file could not be read and was set aside as "
                              "2330 2024-01-03 - ticks.csv.corrupt.")
    assert result.summary()["overall"]["errors"] == len(result.errors) >= 1


@pytest.mark.parametrize("text, line", [
    (json.dumps({"error": "永豐 API 尚未初始化", "traceback": "...", "data": {"code": "2330"}}),
     "error: 永豐 API 尚未初始化 (code 2330)"),
    (json.dumps({"error": "boom", "traceback": "", "data": {"code": "2330", "date": 1704124800.0}}),
     "error: boom (code 2330, date 2024-01-02)"),
    (json.dumps({"error": "boom", "data": "raw text"}), "error: boom (raw text)"),
    (json.dumps({"error": "boom", "data": {}}), "error: boom"),
    ("not json at all", "error: not json at all"),
    (json.dumps([1, 2]), "error: [1, 2]"),
])
def test_readable_error_lines(text, line):
    assert readable(text) == line


def test_error_log_keeps_records_whole_and_quiet(capsys):
    shown = []
    logger = utils.logger
    before = (list(logger.handlers), logger.propagate)
    with ErrorLog(shown.append) as log:
        utils.logger.error(json.dumps({"error": "壞了", "data": {"code": "2330"}}))
    utils.logger.error  # noqa: B018 - the logger is usable again afterwards
    assert log.records == ['{"error": "\\u58de\\u4e86", "data": {"code": "2330"}}']
    assert shown == ["error: 壞了 (code 2330)"]
    assert capsys.readouterr().err == ""  # nothing reached the last-resort handler
    assert (list(logger.handlers), logger.propagate) == before
    assert isinstance(logger, logging.Logger)


def test_cli_saves_errors_and_allows_missing(cache, tmp_path, capsys):
    tick_file(cache, "2330", DAYS[1]).write_text("garbage\n\x00", encoding="utf-8")
    base = ["run", "--strategy", "tovik_backtest.runner:Strategy", "-i", "2330:Stock", "--start", DAYS[0],
            "--end", DAYS[-1], "--data-dir", str(cache)]
    assert cli.main(base) == 2
    assert "found during the run" in capsys.readouterr().err
    tick_file(cache, "2330", DAYS[1]).write_text("garbage\n\x00", encoding="utf-8")
    out = tmp_path / "out"
    assert cli.main([*base, "--allow-missing", "--out", str(out)]) == 0
    captured = capsys.readouterr()
    assert "error: " in captured.err and "\\u" not in captured.err  # readable, real characters
    records = (out / "errors.jsonl").read_text(encoding="utf-8").splitlines()
    summary = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert len(records) == summary["overall"]["errors"] >= 1
    assert json.loads(records[0])["error"]
    assert summary["overall"]["skipped_days"][0].startswith("2330 2024-01-03: its cached file")

"""Instrument codes are checked once, where an instrument is read: only the exchange's
code alphabet and lengths pass, so no code can name a file outside the data folder."""

import os

import pytest

from tovik_backtest.instruments import Instrument, parse_instrument
from tovik_backtest.runner import Backtest, BacktestError, Strategy
from tovik_backtest.sample_data import write_sample_data
from tovik_backtest.tick_cache import TICK_SCHEMA


@pytest.mark.parametrize(
    "text, ok",
    [
        ("2330:Stock", True),
        ("0050:Stock", True),
        ("00632R:Stock", True),
        ("2881A:Stock", True),
        ("TXFR1:Future", True),
        ("MXFA4:Future", True),
        ("TXF202412:Future", True),
        ("233:Stock", False),  # too short
        ("2330123:Stock", False),  # too long
        ("ABCD:Stock", False),  # a stock code begins with a digit
        ("2330:Future", True),  # the same code in the other market is another instrument
        ("TX:Future", False),
        ("TXF2024120101:Future", False),
        ("txfr1:Future", False),  # capital letters only
        ("TXFR1 :Future", True),  # blanks around the code are dropped when parsing text
        ("TX FR1:Future", False),
        ("../../../outside/evil:Stock", False),
        ("../x:Future", False),
        ("..:Stock", False),
        ("23\\30:Stock", False),
        ("2330\x00:Stock", False),
        ("台積電:Stock", False),
        ("２３３０:Stock", False),  # full-width digits are not the exchange's
        ("TXF" + "R" * 297 + ":Future", False),
    ],
)
def test_codes_outside_the_exchange_alphabet_are_refused(text, ok):
    if ok:
        assert parse_instrument(text).code == text.partition(":")[0].strip()
        return
    with pytest.raises(BacktestError, match="code") as raised:
        parse_instrument(text)
    message = str(raised.value)
    assert "\n" not in message and len(message) < 200  # one line, even for a 300-character code


@pytest.mark.parametrize(
    "value",
    [
        {"code": "../evil", "market": "Stock"},
        ("../evil", "Future"),
    ],
)
def test_every_form_of_instrument_is_checked(value):
    with pytest.raises(BacktestError, match="not a"):
        parse_instrument(value)
    with pytest.raises(BacktestError, match="not a"):
        Instrument(*(value.values() if isinstance(value, dict) else value))


@pytest.mark.parametrize("code", ["../../../outside/evil", "9" * 300])
def test_a_run_never_opens_a_file_outside_the_data_folder(tmp_path, code):
    data = tmp_path / "nested" / "deeper" / "data"
    write_sample_data(data, days=1)
    outside = data / "sino" / "ticks" / f"{code} 2024-01-02 - ticks.csv"
    if len(code) < 100:  # the path the code would read: a real file, outside the data folder
        outside.parent.mkdir(parents=True, exist_ok=True)
        outside.write_text(",".join(TICK_SCHEMA) + "\n")
        assert not os.path.realpath(outside).startswith(os.path.realpath(data))
    with pytest.raises(BacktestError, match="is not a stock code"):
        Backtest(Strategy(), [f"{code}:Stock"], "2024-01-02", "2024-01-02", data_dir=data).run()
    if len(code) < 100:
        assert outside.exists() and list(outside.parent.glob("*.corrupt.*")) == []

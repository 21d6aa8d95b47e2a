import datetime as dt
import logging

import pytest

from tovik_backtest import utils


class TestFormatToDt:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("2024-01-02", dt.datetime(2024, 1, 2)),
            ("2024-01-02 09:30:15", dt.datetime(2024, 1, 2, 9, 30, 15)),
            ("2024-01-02 09:30:15.250", dt.datetime(2024, 1, 2, 9, 30, 15, 250000)),
            ("2024-01-02T09:30:15", dt.datetime(2024, 1, 2, 9, 30, 15)),
            (" 2024-02-29\n", dt.datetime(2024, 2, 29)),
            ("2024-1-2", dt.datetime(2024, 1, 2)),
        ],
    )
    def test_accepted_forms(self, text, expected):
        assert utils.format_to_dt(text) == expected

    @pytest.mark.parametrize("text", ["2024/01/02", "", "yesterday", "2024-13-01", "2023-02-29", "2024-00-10"])
    def test_bad_text_names_itself(self, text):
        with pytest.raises(ValueError) as info:
            utils.format_to_dt(text)
        assert repr(text) in str(info.value)

    def test_non_text_is_a_type_error(self):
        with pytest.raises(TypeError):
            utils.format_to_dt(20240102)

    def test_supports_what_the_ticker_needs(self):
        moment = utils.format_to_dt("2024-01-02")
        assert (moment + dt.timedelta(days=1)).strftime("%Y-%m-%d") == "2024-01-03"
        assert isinstance(moment.timestamp(), float)


def test_nano_ts_is_taiwan_wall_clock_stamped_as_utc():
    # 2024-01-02 09:00 in Taipei is 01:00 UTC.
    taipei_as_utc = int(dt.datetime(2024, 1, 2, 9, 0, tzinfo=dt.UTC).timestamp()) * 10**9
    true_posix = dt.datetime(2024, 1, 2, 1, 0, tzinfo=dt.UTC).timestamp()
    assert utils.format_nano_ts_to_second_ts(taipei_as_utc, 8) == true_posix


def test_make_dir_creates_parents_and_tolerates_existing(tmp_path):
    target = tmp_path / "a" / "b" / "c"
    utils.make_dir(str(target))
    utils.make_dir(str(target))
    assert target.is_dir()


def test_console_and_logger():
    assert isinstance(utils.logger, logging.Logger) and utils.logger.name == "tovik_backtest"
    assert hasattr(utils.console, "print")


@pytest.mark.parametrize("enabled", [True, False])
def test_quiet_console_swaps_the_module_console_and_restores_it(enabled):
    original = utils.console
    with pytest.raises(RuntimeError):
        with utils.quiet_console(enabled):
            # The native modules look the console up on the module at every call.
            assert (utils.console is original) is not enabled
            utils.console.print("per-order line")
            if enabled:
                assert utils.console.file.getvalue() == ""
            raise RuntimeError
    assert utils.console is original

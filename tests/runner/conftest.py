import faulthandler

import pytest

from tovik_backtest.sample_data import sample_period, write_sample_data


@pytest.fixture
def hang_watchdog():
    # Sweeps block on worker processes; a hang ends the test run with every thread's stack.
    faulthandler.dump_traceback_later(240, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def one_sample_day(tmp_path_factory):
    """A folder with one generated trading day, and that day as (data_dir, start, end)."""

    def make(name: str, seed: int):
        data_dir = tmp_path_factory.mktemp(name)
        write_sample_data(data_dir, days=1, seed=seed)
        return (data_dir, *sample_period(1))

    return make

from pathlib import Path

import pytest

from tovik_backtest import tick_cache


@pytest.mark.parametrize(
    ("data_dir", "code", "day", "expected"),
    [
        # The ticker (C++) reads and writes exactly these paths: the rule is pinned here.
        ("/data", "2330", "2024-01-02", "/data/sino/ticks/2330 2024-01-02 - ticks.csv"),
        (Path("rel"), "TXFR1", "2024-12-31", "rel/sino/ticks/TXFR1 2024-12-31 - ticks.csv"),
        ("/d", "台積電", "2024-01-02", "/d/sino/ticks/台積電 2024-01-02 - ticks.csv"),
    ],
)
def test_tick_file_rule(data_dir, code, day, expected):
    path = tick_cache.tick_file(data_dir, code, day)
    assert path == Path(expected)
    assert path.parent == tick_cache.ticks_dir(data_dir)
    assert path.name == tick_cache.tick_file_name(code, day)

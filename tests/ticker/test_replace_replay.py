"""A second send_ticks on one Ticker replaces the running replay, and the public seams
a host uses around a replay: merge_ticks and table_rows."""

import pytest
from tests.ticker.test_replay import EXIT, MARKETS, consume, expected, replay, table, take  # noqa: F401,F811


@pytest.mark.parametrize(
    ("first_rows", "popped_before", "backfilling"),
    [
        (5, 0, False),  # replaced before the host took anything
        (5, 1, False),  # the host holds a record of the first replay, not yet granted
        (5, 3, False),  # part way through
        (1, 1, False),  # the first replay is at its last row
        (5, 0, True),  # the new replay starts with back-filling
    ],
)
def test_second_send_ticks_replaces_the_first(replay, first_rows, popped_before, backfilling):  # noqa: F811 (fixture)
    replay.tables.update(first=table(first_rows), second=table(4, base=1_800_000_000_000_000_000), bf=table(2))
    replay.send_ticks([], "first", "first")
    for i in range(popped_before):
        take(replay)
        if i + 1 < popped_before:
            replay.allow_next_tick()
    replay.send_ticks([], "second", "second", "bf" if backfilling else None)
    got = consume(replay)
    second = expected(replay.tables["second"], MARKETS)
    ticks = [item for item in got if "tovik_status" not in item and not item["is_backfilling"]]
    assert ticks == second  # every tick of the new replay, none of the old one
    assert got[-1] == EXIT
    if backfilling:
        assert [item for item in got if item.get("is_backfilling")] == expected(replay.tables["bf"], MARKETS, True)


def test_sequential_replays_keep_the_token_count(replay):  # noqa: F811 (fixture)
    # A replay that ended on its own is not replaced: no extra token is handed out.
    replay.tables.update(first=table(2), second=table(2))
    replay.send_ticks([], "first", "first")
    consume(replay)
    replay.send_ticks([], "second", "second")
    assert replay.allow_next_tick_flag_queue.qsize() == 0
    replay.allow_next_tick()
    assert consume(replay)[:-1] == expected(replay.tables["second"], MARKETS)


def test_replay_duration_ignores_wall_clock_steps(replay, console_lines, monkeypatch):  # noqa: F811 (fixture)
    # The wall clock jumps back a day between every reading; the summary must not care.
    import time

    readings = iter(range(10**9, 0, -86_400))
    monkeypatch.setattr(time, "time", lambda: float(next(readings)))
    replay.tables["first"] = table(3)
    replay.send_ticks([], "first", "first")
    consume(replay)
    (line,) = [s for s in console_lines if "傳送 Tick 資料結束" in s]
    seconds = float(line.rsplit("耗時 ", 1)[1].split(" ")[0])
    assert 0.0 <= seconds < 60.0, line

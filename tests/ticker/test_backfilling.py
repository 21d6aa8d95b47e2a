"""Back-filling before a replay: its records, the finished marker, and its sequencing."""

import queue
import threading

import polars as pl
import pytest

import testkit
from testkit import (
    EXIT,
    FINISHED,
    consume,
    expected,
    nothing_more,
    replay_threads_ended,
    take,
    wait_for_looks,
    wait_until,
    watch_queues,
)

MARKETS = {"2330": "Stock", "TXFR1": "Future"}
CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
NO_BOUNDS = "回補資料的開始時間與結束時間不能為空"


def table(n, codes=("2330", "TXFR1"), base=1_704_186_000_000_000_000, close=500.0):
    return pl.DataFrame(
        {
            "ts": [base + i * 250_000_000 for i in range(n)],
            "close": [close + i for i in range(n)],
            "volume": [1 + i % 5 for i in range(n)],
            "bid_price": [0.0] * n,
            "bid_volume": [0] * n,
            "ask_price": [0.0] * n,
            "ask_volume": [0] * n,
            "tick_type": [1 + i % 2 for i in range(n)],
            "code": [codes[i % len(codes)] for i in range(n)],
        },
        schema={"ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
                "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64,
                "tick_type": pl.Int64, "code": pl.String},
    )


@pytest.fixture
def replay(ticker):
    ticker.code_market_map.update(MARKETS)
    tables = {}
    calls = []

    def combine(codes, start_from, end_to):
        calls.append((start_from, end_to))
        result = tables[start_from]
        if isinstance(result, Exception):
            raise result
        return result() if callable(result) else result

    ticker._Ticker__process_and_combine_ticks = combine
    ticker.tables = tables
    ticker.calls = calls
    watch_queues(ticker)
    yield ticker
    tables["end"] = table(0)
    ticker.send_ticks([], "end", "end")


@pytest.fixture
def thread_errors(monkeypatch):
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_value))
    return errors


def built_once(condition, df):
    """A table the replay's merge hands over only once ``condition()`` holds."""

    def build():
        assert wait_until(condition), "the condition the table waits for never held"
        return df

    return build


class TestSequence:
    def test_backfilling_then_marker_then_replay(self, replay, console_lines):
        back, main = table(4, close=100.0), table(6)
        replay.tables["bf"] = back
        # the replay's table comes once back-filling has sent its first record
        replay.tables["a"] = built_once(lambda: replay.tick_queue.qsize() > 0, main)
        replay.send_ticks(CODES, "a", "b", "bf", "bf2")
        got = consume(replay)
        assert got == expected(back, MARKETS, True) + [FINISHED] + expected(main, MARKETS, False) + [EXIT]
        assert sorted(replay.calls) == [("a", "b"), ("bf", "bf2")]
        assert replay.current_send_ticks_params == {
            "codes": CODES, "start_from": "a", "end_to": "b",
            "backfilling_start_from": "bf", "backfilling_end_to": "bf2",
        }
        assert "[green]開始回補 Tick 資料, Tick 數 4. ...[/green]" in console_lines
        assert replay.backfilling_finish_flag is True
        assert replay.backfilling_notify_finish_queue.qsize() == 0
        assert wait_until(lambda: any("已傳送 6 筆" in s for s in console_lines))

    def test_backfilling_over_before_the_replay_starts(self, replay):
        # Back-filling of no rows ends at once; the replay's table takes longer.
        replay.tables["bf"] = table(0)
        main = table(3)
        replay.tables["a"] = built_once(lambda: replay.backfilling_finish_flag is True, main)
        replay.send_ticks(CODES, "a", "b", "bf")
        got = consume(replay)
        assert got == [FINISHED] + expected(main, MARKETS, False) + [EXIT]

    def test_empty_replay_with_backfilling(self, replay, console_lines):
        back = table(3, close=10.0)
        replay.tables["bf"] = back
        replay.tables["a"] = table(0)
        replay.send_ticks(CODES, "a", "b", "bf")
        got = consume(replay)
        assert got == expected(back, MARKETS, True) + [FINISHED, EXIT]
        assert wait_until(lambda: "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" in console_lines)

    def test_without_backfilling_no_marker(self, replay):
        replay.tables["a"] = table(3)
        replay.send_ticks(CODES, "a", "b", "", None)
        assert replay.backfilling_finish_flag is True
        assert FINISHED not in consume(replay)
        assert "backfilling_start_from" not in replay.current_send_ticks_params

    @pytest.mark.parametrize("bounds, effective", [(("bf", None), "bf"), ((None, "bf"), "bf"), (("", "bf"), "bf")])
    def test_one_bound_covers_that_point(self, replay, bounds, effective):
        back = table(2, close=1.0)
        replay.tables["bf"] = back
        replay.tables["a"] = table(1)
        replay.send_ticks(CODES, "a", "b", *bounds)
        got = consume(replay)
        assert got[:3] == expected(back, MARKETS, True) + [FINISHED]
        assert ("bf", "bf") in replay.calls
        assert replay.current_send_ticks_params["backfilling_start_from"] == effective
        assert replay.current_send_ticks_params["backfilling_end_to"] == effective

    def test_end_to_end_with_the_broker_and_the_cache(self, ticker, broker, console_lines):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        broker.data[("2330", "2024-01-03")] = testkit.day_ticks("2024-01-03", 4, seed=1)
        broker.data[("TXFR1", "2024-01-03")] = testkit.day_ticks("2024-01-03", 2, seed=2)
        codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
        ticker.send_ticks(codes, "2024-01-03", "2024-01-03", "2024-01-02")
        got = consume(ticker)
        back = [r for r in got if r.get("is_backfilling") is True]
        main = [r for r in got if r.get("is_backfilling") is False]
        assert got == back + [FINISHED] + main + [EXIT]
        assert [r["close"] for r in back] == broker.data[("2330", "2024-01-02")]["close"]
        assert len(main) == 6 and [r["timestamp"] for r in main] == sorted(r["timestamp"] for r in main)
        assert {r["market_type"] for r in main} == {"Stock", "Future"}


class TestBounds:
    @pytest.mark.parametrize("bounds", [(), (None, None), ("", ""), (None, "")])
    def test_no_bounds_posts_the_notice_then_refuses(self, replay, bounds):
        replay.backfilling_finish_flag = False
        with pytest.raises(ValueError, match=NO_BOUNDS):
            replay.backfilling(CODES, *bounds)
        assert replay.backfilling_finish_flag is True
        assert replay.backfilling_notify_finish_queue.get(timeout=1) == FINISHED
        assert replay.backfilling_notify_finish_queue.qsize() == 0
        assert replay.calls == []

    @pytest.mark.parametrize("args", [(("x",), "a"), (CODES, 1), (CODES, "a", b"b")])
    def test_wrong_types(self, replay, args):
        with pytest.raises(TypeError):
            replay.backfilling(*args)
        assert replay.backfilling_notify_finish_queue.qsize() == 0

    def test_notify_takes_no_arguments(self, replay):
        with pytest.raises(TypeError):
            replay._Ticker__notify_backfilling_finish(1)

    def test_direct_call_on_the_host_thread(self, replay, console_lines):
        back = table(3, close=7.0)
        replay.tables["bf"] = back
        grants = threading.Thread(target=lambda: [replay.allow_next_tick() for _ in range(2)], daemon=True)
        grants.start()
        assert replay.backfilling(CODES, "bf") is None
        grants.join(5)
        assert [take(replay) for _ in range(3)] == expected(back, MARKETS, True)
        assert replay.backfilling_notify_finish_queue.get(timeout=1) == FINISHED
        assert nothing_more(replay)


class TestFailures:
    def test_failing_table_still_lets_the_replay_start(self, replay, console_lines, thread_errors):
        replay.tables["bf"] = RuntimeError("no ticks that day")
        main = table(3)
        replay.tables["a"] = main
        replay.send_ticks(CODES, "a", "b", "bf")
        got = consume(replay)
        assert got == [FINISHED] + expected(main, MARKETS, False) + [EXIT]
        assert "[red]回補 Tick 資料失敗, 錯誤訊息: no ticks that day[/red]" in console_lines
        assert wait_until(lambda: thread_errors)
        assert isinstance(thread_errors[0], RuntimeError)

    @pytest.mark.parametrize("bad_row", [0, 2])
    def test_failing_record_keeps_what_was_sent(self, replay, console_lines, thread_errors, bad_row):
        codes = ["2330"] * 4
        codes[bad_row] = "7777"
        back = table(4, close=1.0).with_columns(pl.Series("code", codes))
        main = table(2)
        replay.tables["bf"] = back
        replay.tables["a"] = main
        replay.send_ticks(CODES, "a", "b", "bf")
        got = consume(replay)
        assert got == expected(back[:bad_row], MARKETS, True) + [FINISHED] + expected(main, MARKETS, False) + [EXIT]
        assert "[red]回補 Tick 資料失敗, 錯誤訊息: '7777'[/red]" in console_lines
        assert wait_until(lambda: thread_errors) and isinstance(thread_errors[0], KeyError)



class TestQueuesThroughTheirMethods:
    def test_notice_put_straight_into_the_queue(self, replay, console_lines):
        # The replay body run by the host itself while back-filling is still running.
        replay.backfilling_finish_flag = False
        main = table(3)
        body = threading.Thread(target=replay._Ticker__push_tick_to_queue, args=(main,), daemon=True)
        body.start()
        assert nothing_more(replay, 0.3)  # parked for the notice
        replay.backfilling_notify_finish_queue.put(FINISHED)
        assert take(replay, timeout=2) == FINISHED
        assert consume(replay) == expected(main, MARKETS, False) + [EXIT]
        body.join(5)
        assert not body.is_alive()
        assert replay.backfilling_notify_finish_queue.qsize() == 0

    def test_token_put_straight_into_the_queue_while_backfilling_is_parked(self, replay):
        back, main = table(3, close=1.0), table(2)
        replay.tables["bf"] = back
        replay.tables["a"] = main
        replay.send_ticks(CODES, "a", "b", "bf")
        want = expected(back, MARKETS, True)
        assert take(replay) == want[0]
        wait_for_looks(replay.allow_next_tick_flag_queue, 6)  # parked, long past its first looks
        replay.allow_next_tick_flag_queue.put(True)
        assert take(replay, timeout=2) == want[1]
        replay.allow_next_tick()
        assert consume(replay) == want[2:] + [FINISHED] + expected(main, MARKETS, False) + [EXIT]

    def test_replaced_queues_carry_the_whole_sequence(self, replay):
        back, main = table(4, close=1.0), table(5)
        replay.tables["bf"] = back
        replay.tables["a"] = built_once(lambda: replay.allow_next_tick_flag_queue.qsize() == 0, main)
        first_tokens, first_notices = replay.allow_next_tick_flag_queue, replay.backfilling_notify_finish_queue
        tokens, notices = queue.SimpleQueue(), queue.SimpleQueue()
        tokens.put(True)
        replay.allow_next_tick_flag_queue = tokens
        replay.backfilling_notify_finish_queue = notices
        replay.send_ticks(CODES, "a", "b", "bf")
        assert consume(replay) == expected(back, MARKETS, True) + [FINISHED] + expected(main, MARKETS, False) + [EXIT]
        assert notices.qsize() == 0 and first_notices.qsize() == 0
        assert wait_until(lambda: tokens.qsize() == 0)
        assert first_tokens.qsize() == 1


class TestStopAndRestart:
    def test_stop_does_not_stop_backfilling(self, replay, console_lines):
        back = table(5, close=1.0)
        replay.tables["bf"] = back
        replay.tables["a"] = table(3)
        replay.send_ticks(CODES, "a", "b", "bf")
        want = expected(back, MARKETS, True)
        assert take(replay) == want[0]
        wait_for_looks(replay.backfilling_notify_finish_queue)  # the replay thread waits for the end of back-filling
        replay.stop_send_ticks()
        assert take(replay) == EXIT
        for record in want[1:]:
            replay.allow_next_tick()
            assert take(replay) == record
        # Back-filling over: the replay relays the marker, sends one tick with the next
        # token and then sees the stop.
        replay.allow_next_tick()
        assert take(replay) == FINISHED
        assert take(replay) == expected(table(3), MARKETS, False)[0]
        assert wait_until(lambda: any("需傳送資料共 3 筆, 已傳送 1 筆" in s for s in console_lines))
        replay.allow_next_tick()
        assert nothing_more(replay)

    def test_stopped_before_the_first_pass_still_relays_the_marker(self, replay, console_lines):
        # The replay body run by the host itself, with back-filling still running and
        # the stop already requested.
        replay.backfilling_finish_flag = False
        replay.exit_send_thread_flag = True
        body = threading.Thread(target=replay._Ticker__push_tick_to_queue, args=(table(3),), daemon=True)
        body.start()
        assert nothing_more(replay, 0.2)
        replay._Ticker__notify_backfilling_finish()
        assert take(replay) == FINISHED
        body.join(5)
        assert not body.is_alive()
        assert any("需傳送資料共 3 筆, 已傳送 0 筆" in s for s in console_lines)
        assert nothing_more(replay)
        assert replay.allow_next_tick_flag_queue.qsize() == 1

    def test_new_replay_ends_a_running_backfilling(self, replay, console_lines):
        old_back = table(5, codes=("2330",), close=1.0)
        replay.tables["bf"] = old_back
        replay.tables["a"] = table(4, codes=("2330",))
        replay.send_ticks(CODES, "a", "b", "bf")
        assert take(replay) == expected(old_back, MARKETS, True)[0]
        # back-filling parked for a token, the replay for its notice
        wait_for_looks(replay.allow_next_tick_flag_queue)
        wait_for_looks(replay.backfilling_notify_finish_queue)
        new_main = table(3, codes=("TXFR1",), close=900.0)
        replay.tables["c"] = new_main
        replay.send_ticks(CODES, "c", "d")
        assert replay.backfilling_finish_flag is True
        replay.allow_next_tick()
        got = consume(replay)
        assert got == expected(new_main, MARKETS, False) + [EXIT]
        assert replay_threads_ended()  # the old back-filling left without a notice
        assert replay.backfilling_notify_finish_queue.qsize() == 0
        assert replay.backfilling_finish_flag is True
        assert "backfilling_start_from" not in replay.current_send_ticks_params
        assert sum("傳送 Tick 資料結束" in s for s in console_lines) == 1

    def test_new_replay_with_its_own_backfilling(self, replay):
        replay.tables["bf"] = table(6, codes=("2330",), close=1.0)
        replay.tables["a"] = table(4, codes=("2330",))
        replay.send_ticks(CODES, "a", "b", "bf")
        take(replay)
        wait_for_looks(replay.allow_next_tick_flag_queue)
        wait_for_looks(replay.backfilling_notify_finish_queue)
        new_back, new_main = table(2, codes=("TXFR1",), close=50.0), table(2, codes=("TXFR1",), close=60.0)
        replay.tables["bf2"] = new_back
        replay.tables["c"] = new_main
        replay.send_ticks(CODES, "c", "d", "bf2")
        replay.allow_next_tick()
        got = consume(replay)
        assert got == expected(new_back, MARKETS, True) + [FINISHED] + expected(new_main, MARKETS, False) + [EXIT]

    def test_backfilling_thread_starting_after_a_newer_replay(self, replay):
        # The old back-filling's table arrives only after a new replay started: it
        # must neither stream nor post its notice into the new replay.
        gate = threading.Event()

        def late():
            gate.wait(5)
            return table(3, codes=("2330",), close=1.0)

        replay.tables["bf"] = late
        replay.tables["a"] = table(2, codes=("2330",))
        replay.send_ticks(CODES, "a", "b", "bf")
        new_main = table(2, codes=("TXFR1",))
        replay.tables["c"] = new_main
        replay.send_ticks(CODES, "c", "d")
        gate.set()
        assert replay_threads_ended(("(backfilling)",))  # the old back-filling saw the newer replay and left
        got = consume(replay)
        assert got == expected(new_main, MARKETS, False) + [EXIT]
        assert replay.backfilling_notify_finish_queue.qsize() == 0

"""Paced replay: send_ticks, the replay thread, pop_tick / allow_next_tick, stop_send_ticks."""

import collections
import gc
import json
import queue
import sys
import threading
import time

import polars as pl
import pytest

from tovik_backtest import utils

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

KEYS = ["market_type", "timestamp", "code", "close", "qty", "tick_type", "is_simulate", "is_backfilling"]
MARKETS = {"2330": "Stock", "2317": "Stock", "TXFR1": "Future"}


def table(n, codes=("2330", "TXFR1"), base=1_704_186_000_000_000_000):
    """A merged tick table of n rows cycling through codes (already in ts order)."""
    return pl.DataFrame(
        {
            "ts": [base + i * 250_000_000 for i in range(n)],
            "close": [500.0 + i * 0.5 for i in range(n)],
            "volume": [1 + i % 7 for i in range(n)],
            "bid_price": [499.5 + i for i in range(n)],
            "bid_volume": [3] * n,
            "ask_price": [500.5 + i for i in range(n)],
            "ask_volume": [4] * n,
            "tick_type": [1 + i % 2 for i in range(n)],
            "code": [codes[i % len(codes)] for i in range(n)],
        },
        schema={"ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
                "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64,
                "tick_type": pl.Int64, "code": pl.String},
    )


def summaries(lines):
    return [s for s in lines if "傳送 Tick 資料結束" in s]


@pytest.fixture
def replay(ticker):
    """A Ticker whose merge returns prepared tables; any replay still waiting at the end
    of the test is ended by a last, empty replay."""
    ticker.code_market_map.update(MARKETS)
    tables = {}
    calls = []

    def combine(codes, start_from, end_to):
        calls.append((codes, start_from, end_to))
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


CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


class TestFullReplay:
    def test_every_row_in_order_then_exit_and_summary(self, replay, console_lines):
        df = table(25)
        replay.tables["a"] = df
        assert replay.send_ticks(CODES, "a", "b") is None
        assert replay.current_send_ticks_params == {"codes": CODES, "start_from": "a", "end_to": "b"}
        assert replay.calls == [(CODES, "a", "b")]
        got = consume(replay)
        assert got[:-1] == expected(df, MARKETS)
        assert all(list(r) == KEYS for r in got[:-1])
        assert got[-1] == EXIT
        assert wait_until(lambda: summaries(console_lines))
        assert console_lines[0] == "[green]開始傳送 Tick 資料, Tick 數 25. ...[/green]"
        summary = summaries(console_lines)[0]
        assert summary.startswith("[green]傳送 Tick 資料結束, 需傳送資料共 25 筆, 已傳送 25 筆, 耗時 ")
        seconds = summary.removeprefix("[green]傳送 Tick 資料結束, 需傳送資料共 25 筆, 已傳送 25 筆, 耗時 ")
        seconds = seconds.removesuffix(" 秒[/green]")
        assert len(seconds.split(".")[1]) == 2 and float(seconds) >= 0
        assert replay.exit_send_thread_flag is True
        assert replay.backfilling_finish_flag is True
        assert nothing_more(replay)

    def test_values_and_types_match_iter_rows(self, replay):
        df = table(6, codes=("2317", "2330", "TXFR1"))
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        got = consume(replay)[:-1]
        for record, row in zip(got, df.iter_rows(named=True), strict=True):
            assert record["is_simulate"] is False and record["is_backfilling"] is False
            assert record["qty"] == row["volume"] and type(record["qty"]) is int
            assert type(record["close"]) is float and type(record["tick_type"]) is int
            assert type(record["code"]) is str
            assert record["timestamp"] == row["ts"] / 1e9 - 8 * 3600

    def test_timestamp_goes_through_the_utils_function(self, replay, monkeypatch):
        seen = []
        monkeypatch.setattr(utils, "format_nano_ts_to_second_ts", lambda ts, h: seen.append((ts, h)) or "x")
        df = table(3)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        got = consume(replay)
        assert [r["timestamp"] for r in got[:-1]] == ["x"] * 3
        assert seen == [(ts, 8) for ts in df["ts"].to_list()]

    def test_large_table_crosses_column_chunks(self, replay):
        df = table(140_000, codes=("2330",))
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        got = consume(replay, limit=200_000)
        assert len(got) == 140_001
        want = df["close"].to_list()
        assert [r["close"] for r in got[:-1]] == want
        assert all(a["timestamp"] < b["timestamp"] for a, b in zip(got[:-2], got[1:-1]))

    def test_empty_table(self, replay, console_lines):
        replay.tables["a"] = table(0)
        replay.send_ticks(CODES, "a", "b")
        assert take(replay) == EXIT
        assert wait_until(lambda: "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" in console_lines)
        assert nothing_more(replay)
        assert replay.allow_next_tick_flag_queue.qsize() == 1  # no token used

    def test_never_granted_gives_exactly_one_record(self, replay):
        df = table(5)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        assert take(replay) == expected(df, MARKETS)[0]
        assert nothing_more(replay, 0.5)
        assert replay.allow_next_tick_flag_queue.qsize() == 0

    def test_tokens_granted_ahead_are_all_used(self, replay):
        df = table(4)
        replay.tables["a"] = df
        for _ in range(2):
            replay.allow_next_tick()
        replay.send_ticks(CODES, "a", "b")
        got = [take(replay) for _ in range(3)]
        assert got == expected(df, MARKETS)[:3]
        assert nothing_more(replay)
        replay.allow_next_tick()
        replay.allow_next_tick()
        assert [take(replay), take(replay)] == [expected(df, MARKETS)[3], EXIT]

    def test_pop_tick_waits_for_the_next_element(self, replay):
        results = []
        waiter = threading.Thread(target=lambda: results.append(replay.pop_tick()), daemon=True)
        waiter.start()
        waiter.join(0.1)
        assert waiter.is_alive() and results == []
        replay.tick_queue.put({"a": 1})
        waiter.join(5)
        assert results == [{"a": 1}]

    def test_host_loop_through_pop_tick(self, replay):
        df = table(300)
        replay.tables["a"] = df
        out = []

        def host():
            replay.send_ticks(CODES, "a", "b")
            while True:
                item = replay.pop_tick()
                out.append(item)
                if item == EXIT:
                    return
                replay.allow_next_tick()

        worker = threading.Thread(target=host, daemon=True)
        worker.start()
        worker.join(20)
        assert not worker.is_alive()
        assert out == expected(df, MARKETS) + [EXIT]

    def test_tokens_from_several_granting_threads(self, replay):
        df = table(2_000)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        grants = threading.Barrier(4)

        def grant():
            grants.wait(5)
            for _ in range(500):
                replay.allow_next_tick()

        workers = [threading.Thread(target=grant, daemon=True) for _ in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(20)
        got = [take(replay) for _ in range(2_001)]
        assert got == expected(df, MARKETS) + [EXIT]  # 1 initial token + 2000 grants
        assert nothing_more(replay)


class TestStop:
    def test_stop_while_waiting_for_a_token(self, replay, console_lines):
        df = table(10)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        want = expected(df, MARKETS)
        assert take(replay) == want[0]
        replay.allow_next_tick()
        assert take(replay) == want[1]
        replay.stop_send_ticks()
        assert replay.exit_send_thread_flag is True
        assert take(replay) == EXIT
        assert nothing_more(replay)
        replay.allow_next_tick()
        assert take(replay) == want[2]
        assert wait_until(lambda: summaries(console_lines))
        assert summaries(console_lines)[0].startswith(
            "[green]傳送 Tick 資料結束, 需傳送資料共 10 筆, 已傳送 3 筆, 耗時 ")
        replay.allow_next_tick()
        assert nothing_more(replay)
        assert replay.allow_next_tick_flag_queue.qsize() == 1  # nobody takes it any more

    def test_stop_before_the_replay_thread_gets_a_token(self, replay, console_lines):
        df = table(4)
        replay.tables["a"] = df
        replay.allow_next_tick_flag_queue.get(timeout=1)  # no token waiting
        replay.send_ticks(CODES, "a", "b")
        replay.stop_send_ticks()
        assert take(replay) == EXIT
        replay.allow_next_tick()
        assert take(replay) == expected(df, MARKETS)[0]
        assert wait_until(lambda: summaries(console_lines))
        assert "已傳送 1 筆" in summaries(console_lines)[0]

    def test_send_ticks_resets_flags_and_empties_queues(self, replay):
        replay.tables["a"] = table(3)
        replay.stop_send_ticks()
        replay.tick_queue.put({"left": "over"})
        replay.backfilling_notify_finish_queue.put(FINISHED)
        replay.send_ticks(CODES, "a", "b")
        assert replay.backfilling_notify_finish_queue.qsize() == 0
        got = consume(replay)
        assert len(got) == 4 and {"left": "over"} not in got and got.count(EXIT) == 1


class TestArguments:
    @pytest.mark.parametrize(
        "args, name",
        [
            ((tuple(CODES), "a", "b"), "codes"),
            ((CODES, b"a", "b"), "start_from"),
            ((CODES, "a", None), "end_to"),
            ((CODES, "a", "b", 1), "backfilling_start_from"),
            ((CODES, "a", "b", None, 2.0), "backfilling_end_to"),
        ],
    )
    def test_wrong_types_change_nothing(self, replay, args, name):
        replay.tables["a"] = table(2)
        before = dict(replay.current_send_ticks_params)
        replay.tick_queue.put({"kept": True})
        with pytest.raises(TypeError, match=name):
            replay.send_ticks(*args)
        assert replay.current_send_ticks_params == before
        assert replay.tick_queue.qsize() == 1 and replay.calls == []

    def test_host_methods_take_no_arguments(self, replay):
        for method in (replay.pop_tick, replay.allow_next_tick, replay.stop_send_ticks):
            with pytest.raises(TypeError):
                method(1)

    def test_keywords(self, replay):
        replay.tables["a"] = table(1)
        replay.send_ticks(codes=CODES, start_from="a", end_to="b", backfilling_end_to="")
        assert replay.backfilling_finish_flag is True
        assert consume(replay)[-1] == EXIT

    def test_table_failure_reaches_the_caller(self, replay):
        replay.tables["a"] = RuntimeError("merge broke")
        with pytest.raises(RuntimeError, match="merge broke"):
            replay.send_ticks(CODES, "a", "b")
        assert replay.current_send_ticks_params["start_from"] == "a"
        assert nothing_more(replay)


class TestFailedReplay:
    @pytest.mark.parametrize("bad_row", [0, 3])
    def test_unknown_code_ends_the_replay_with_the_exit_marker(
        self, replay, bad_row, console_lines, error_records, thread_errors
    ):
        codes = ["2330"] * 6
        codes[bad_row] = "9999"
        df = table(6).with_columns(pl.Series("code", codes))
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        got = consume(replay)
        assert got == expected(df[:bad_row], MARKETS) + [EXIT]
        assert wait_until(lambda: thread_errors)
        assert isinstance(thread_errors[0], KeyError)
        assert "[red]傳送 Tick 資料失敗, 錯誤訊息: '9999'[/red]" in console_lines
        assert not summaries(console_lines)
        assert len(error_records) == 1
        record = json.loads(error_records[0])
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == "'9999'" and "KeyError" in record["traceback"]
        assert record["data"] == {"row": bad_row}

    def test_consumer_blocked_in_pop_tick_is_released(self, replay, thread_errors):
        df = table(3).with_columns(pl.Series("code", ["2330", "2330", "8888"]))
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        got = []

        def host():
            while True:
                item = replay.pop_tick()
                got.append(item)
                if item == EXIT:
                    return
                replay.allow_next_tick()

        worker = threading.Thread(target=host, daemon=True)
        worker.start()
        worker.join(5)
        assert not worker.is_alive() and got[-1] == EXIT and len(got) == 3

    def test_table_without_a_needed_column(self, replay, thread_errors, console_lines):
        replay.tables["a"] = table(2).drop("tick_type")
        replay.send_ticks(CODES, "a", "b")
        assert take(replay) == EXIT
        assert wait_until(lambda: thread_errors)
        assert any(s.startswith("[red]傳送 Tick 資料失敗") for s in console_lines)


class TestOneReplayAtATime:
    def test_second_send_ticks_while_the_first_waits_for_a_token(self, replay, console_lines):
        first, second = table(5, codes=("2330",)), table(4, codes=("TXFR1",))
        replay.tables["a"] = first
        replay.tables["b"] = second
        replay.send_ticks(CODES, "a", "a")
        assert take(replay) == expected(first, MARKETS)[0]
        wait_for_looks(replay.allow_next_tick_flag_queue)  # the first replay is parked for a token
        replay.send_ticks(CODES, "b", "b")
        # the new replay starts like a fresh one: its first tick comes without a token
        got = consume(replay)
        assert got == expected(second, MARKETS) + [EXIT]
        assert wait_until(lambda: summaries(console_lines))
        assert replay_threads_ended()  # the replaced replay's thread is gone, without a summary
        assert len(summaries(console_lines)) == 1 and "需傳送資料共 4 筆" in summaries(console_lines)[0]

    def test_tokens_granted_after_the_switch_go_to_the_new_replay(self, replay):
        first, second = table(50, codes=("2330",)), table(50, codes=("TXFR1",))
        replay.tables["a"] = first
        replay.tables["b"] = second
        replay.send_ticks(CODES, "a", "a")
        for _ in range(10):
            take(replay)
            replay.allow_next_tick()
        replay.send_ticks(CODES, "b", "b")
        for _ in range(5):
            replay.allow_next_tick()
        # its first tick is free, as in a fresh replay; the five tokens bring five more
        got = [take(replay) for _ in range(6)]
        assert got == expected(second, MARKETS)[:6]
        assert nothing_more(replay)

    def test_send_ticks_from_another_thread_during_a_host_loop(self, replay):
        replay.tables["a"] = table(100_000, codes=("2330",))
        replay.tables["b"] = table(3, codes=("TXFR1",))
        replay.send_ticks(CODES, "a", "a")
        stop = threading.Event()
        taken = []

        def host():
            while not stop.is_set():
                try:
                    taken.append(replay.tick_queue.get(timeout=0.05))
                except queue.Empty:
                    continue
                replay.allow_next_tick()

        worker = threading.Thread(target=host, daemon=True)
        worker.start()
        assert wait_until(lambda: len(taken) >= 100)  # the host loop is under way
        replay.send_ticks(CODES, "b", "b")
        stop.set()
        worker.join(5)
        # Whatever the loop took meanwhile (it may even have taken the whole new
        # replay), no record of the first table follows one of the second.
        rest = taken
        while True:
            try:
                item = replay.tick_queue.get(timeout=0.3)
            except queue.Empty:
                replay.allow_next_tick()
                try:
                    item = replay.tick_queue.get(timeout=0.3)
                except queue.Empty:
                    break
            rest.append(item)
            if item == EXIT:
                break
            replay.allow_next_tick()
        first_new = next(i for i, r in enumerate(rest) if r.get("code") != "2330")
        assert rest[first_new:] == expected(replay.tables["b"], MARKETS) + [EXIT]



class ListQueue:
    """Queue-like without being a queue.Queue: a deque behind a condition, recording
    which of its methods were called."""

    def __init__(self):
        self._items = collections.deque()
        self._cond = threading.Condition()
        self.calls = collections.Counter()

    def put(self, item, block=True, timeout=None):
        self.calls["put"] += 1
        with self._cond:
            self._items.append(item)
            self._cond.notify()

    def get(self, block=True, timeout=None):
        self.calls["get"] += 1
        with self._cond:
            if not self._cond.wait_for(lambda: self._items, timeout if block else 0):
                raise queue.Empty
            return self._items.popleft()

    def get_nowait(self):
        self.calls["get_nowait"] += 1
        return self.get(False)

    def empty(self):
        self.calls["empty"] += 1
        with self._cond:
            return not self._items

    def qsize(self):
        with self._cond:
            return len(self._items)


class TestQueuesThroughTheirMethods:
    def test_token_put_straight_into_the_queue_while_parked(self, replay):
        df = table(4)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        want = expected(df, MARKETS)
        assert take(replay) == want[0]
        wait_for_looks(replay.allow_next_tick_flag_queue, 6)  # parked, long past its first looks
        replay.allow_next_tick_flag_queue.put(True)
        assert take(replay, timeout=2) == want[1]
        assert wait_until(lambda: replay.allow_next_tick_flag_queue.qsize() == 0)
        # A waiting token is taken first; the grant behind it is not lost.
        wait_for_looks(replay.allow_next_tick_flag_queue)
        replay.allow_next_tick_flag_queue.put(True)
        replay.allow_next_tick()
        assert [take(replay), take(replay)] == want[2:4]
        replay.allow_next_tick()
        assert take(replay) == EXIT
        assert nothing_more(replay)
        assert replay.allow_next_tick_flag_queue.qsize() == 0

    def test_grants_build_records_on_the_granting_thread(self, replay, monkeypatch):
        df = table(21)
        want = expected(df, MARKETS)
        builders = []
        format_ts = utils.format_nano_ts_to_second_ts

        def recording(ts, hours):
            builders.append(threading.current_thread())
            return format_ts(ts, hours)

        monkeypatch.setattr(utils, "format_nano_ts_to_second_ts", recording)
        replay.tables["a"] = df
        replay.send_ticks(CODES, "a", "b")
        assert take(replay) == want[0]
        wait_for_looks(replay.allow_next_tick_flag_queue)  # parked
        replay.allow_next_tick()
        assert consume(replay) == want[1:] + [EXIT]
        assert len(builders) == 21
        # The first record is the replay thread's; the grants of a parked replay are
        # served on this thread (a look of the parked thread may rarely win one).
        assert builders[0] is not threading.current_thread()
        assert sum(b is threading.current_thread() for b in builders[1:]) >= 15

    @pytest.mark.parametrize("make", [ListQueue, queue.SimpleQueue, queue.Queue])
    def test_replaced_queues_are_the_ones_used(self, replay, make):
        df = table(30)
        replay.tables["a"] = df
        first_tokens, first_ticks = replay.allow_next_tick_flag_queue, replay.tick_queue
        tokens, ticks = make(), make()
        tokens.put(True)
        replay.allow_next_tick_flag_queue = tokens
        replay.tick_queue = ticks
        replay.send_ticks(CODES, "a", "b")
        assert consume(replay) == expected(df, MARKETS) + [EXIT]
        assert wait_until(lambda: tokens.qsize() == 0)
        assert (first_tokens.qsize(), first_ticks.qsize()) == (1, 0)
        # The host's side goes through them too.
        ticks.put({"x": 1})
        assert replay.pop_tick() == {"x": 1}
        replay.stop_send_ticks()
        assert ticks.get(timeout=1) == EXIT
        if make is ListQueue:
            assert tokens.calls["get_nowait"] >= 2 and tokens.calls["empty"] >= 20
            assert ticks.calls["put"] == 31 + 2

    def test_token_queue_replaced_while_parked(self, replay):
        df = table(3)
        replay.tables["a"] = df
        want = expected(df, MARKETS)
        replay.send_ticks(CODES, "a", "b")
        assert take(replay) == want[0]
        wait_for_looks(replay.allow_next_tick_flag_queue)  # parked
        old, new = replay.allow_next_tick_flag_queue, ListQueue()
        replay.allow_next_tick_flag_queue = new
        old.put(True)  # no longer the token queue
        assert nothing_more(replay, 0.3)
        new.put(True)
        assert take(replay, timeout=2) == want[1]
        replay.allow_next_tick()
        assert take(replay) == want[2]
        assert old.qsize() == 1 and new.qsize() == 0

    def test_new_replay_starting_while_the_old_one_looks_at_the_queue(self, replay, monkeypatch):
        # The old replay thread is inside the token queue's get_nowait when a new
        # replay starts; the new replay's grants are still served on the granting thread.
        first, second = table(3, codes=("2330",)), table(12, codes=("TXFR1",))
        want = expected(second, MARKETS)
        replay.tables["a"] = first
        replay.tables["b"] = second
        entered, release = threading.Event(), threading.Event()

        class GatedQueue(ListQueue):
            gated = False

            def get_nowait(self):
                if self.gated and threading.current_thread().name.endswith("(_Ticker__push_tick_to_queue)"):
                    self.gated = False
                    entered.set()
                    release.wait(5)
                return super().get_nowait()

        tokens = GatedQueue()
        tokens.put(True)
        replay.allow_next_tick_flag_queue = tokens
        replay.send_ticks(CODES, "a", "a")
        take(replay)
        tokens.gated = True
        assert entered.wait(5)  # the parked thread's next look is held in get_nowait
        starter = threading.Thread(target=replay.send_ticks, args=(CODES, "b", "b"), daemon=True)
        starter.start()
        time.sleep(0.1)
        release.set()
        starter.join(5)
        assert not starter.is_alive()

        builders = []
        format_ts = utils.format_nano_ts_to_second_ts
        monkeypatch.setattr(utils, "format_nano_ts_to_second_ts",
                            lambda ts, hours: builders.append(threading.current_thread()) or format_ts(ts, hours))
        replay.allow_next_tick()
        assert consume(replay) == want + [EXIT]
        assert sum(b is threading.current_thread() for b in builders) >= 8

    def test_queue_without_the_needed_method(self, replay):
        tokens, ticks = replay.allow_next_tick_flag_queue, replay.tick_queue
        replay.allow_next_tick_flag_queue = []
        with pytest.raises(AttributeError, match="put"):
            replay.allow_next_tick()
        replay.tick_queue = object()
        with pytest.raises(AttributeError, match="get"):
            replay.pop_tick()
        replay.allow_next_tick_flag_queue, replay.tick_queue = tokens, ticks
        assert tokens.qsize() == 1 and ticks.qsize() == 0


class TestReferences:
    def test_no_references_left_behind(self, replay, console_lines):
        df = table(3_000)
        replay.tables["a"] = df
        for _ in range(2):  # warm up lazily created objects
            replay.send_ticks(CODES, "a", "b")
            consume(replay)
            replay.allow_next_tick()  # the next replay's first token
            assert wait_until(lambda: len(summaries(console_lines)) >= 1)
            console_lines.clear()
        gc.collect()
        df_refs = sys.getrefcount(df)
        blocks = sys.getallocatedblocks()
        for _ in range(3):
            replay.send_ticks(CODES, "a", "b")
            got = consume(replay)
            refs = sys.getrefcount(got[10])
            assert refs == 2  # the list and the argument
            del got
            replay.allow_next_tick()
            assert wait_until(lambda: len(summaries(console_lines)) >= 1)
            console_lines.clear()
        gc.collect()
        assert wait_until(lambda: sys.getrefcount(df) == df_refs)  # the last replay thread let go of it
        assert sys.getallocatedblocks() - blocks < 500  # 9,000 records went through

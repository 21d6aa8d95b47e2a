import datetime as dt
import gc
import json
import sys
import threading

import polars as pl
import pytest

from tovik_backtest.modules.ticker.ticker import Ticker

import testkit

MERGED = list(testkit.MERGED_COLUMNS)


def expected_rows(broker, entries, dates):
    """Rows the merge must return, built independently in plain Python."""
    rows = []
    for code in entries:
        for date in dates:
            cols = broker.data.get((code, date))
            if cols:
                rows += [
                    tuple(cols[c][i] for c in MERGED[:-1]) + (code,) for i in range(len(cols["ts"]))
                ]
    return sorted(rows, key=lambda r: (r[0], r[-1]))


def combine(ticker, codes, start, end):
    return ticker._Ticker__process_and_combine_ticks(codes, start, end)


class TestMergedTable:
    def test_sorted_by_ts_then_code_whatever_the_list_order(self, ticker, broker):
        dates = ["2024-01-02", "2024-01-03"]
        for i, date in enumerate(dates):
            # Same time stamps for every code, plus interleaved ones.
            broker.data[("TXFR1", date)] = testkit.day_ticks(date, 6, seed=i, step_ns=500_000_000)
            broker.data[("2330", date)] = testkit.day_ticks(date, 4, seed=10 + i)
            broker.data[("2317", date)] = testkit.day_ticks(date, 3, seed=20 + i)
        entries = [("TXFR1", "Future"), ("2330", "Stock"), ("2317", "Stock")]
        want = expected_rows(broker, [c for c, _ in entries], dates)
        for order in (entries, entries[::-1], [entries[1], entries[0], entries[2]]):
            codes = [{"code": c, "market": m} for c, m in order]
            result = combine(ticker, codes, dates[0], dates[-1])
            assert result.schema == testkit.MERGED_SCHEMA
            assert result.rows() == want
        # Equal time stamps: byte-wise smaller code first.
        first_ts = combine(
            ticker,
            [{"code": "TXFR1", "market": "Future"}, {"code": "2330", "market": "Stock"}],
            "2024-01-02",
            "2024-01-02",
        ).filter(pl.col("ts") == pl.col("ts").min())
        assert first_ts["code"].to_list() == ["2330", "TXFR1"]

    def test_code_listed_twice(self, ticker, broker):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        broker.Contracts.Futures["2330"] = broker.Contracts.Stocks["2330"]
        codes = [{"code": "2330", "market": "Stock"}, {"code": "2330", "market": "Future"}]
        result = combine(ticker, codes, "2024-01-02", "2024-01-02")
        assert result.height == 6
        assert result.rows() == sorted(
            expected_rows(broker, ["2330"], ["2024-01-02"]) * 2, key=lambda r: r[0]
        )
        assert ticker.code_market_map == {"2330": "Stock"}

    def test_empty_codes(self, ticker, broker, console_lines):
        result = combine(ticker, [], "2024-01-02", "2024-01-05")
        assert result.shape == (0, 9) and result.schema == testkit.MERGED_SCHEMA
        assert console_lines == [] and broker.calls == []

    def test_start_after_end_registers_but_loads_nothing(self, ticker, broker, console_lines):
        codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
        result = combine(ticker, codes, "2024-01-05", "2024-01-02")
        assert result.shape == (0, 9) and result.schema == testkit.MERGED_SCHEMA
        assert ticker.code_market_map == {"2330": "Stock", "TXFR1": "Future"}
        assert console_lines == [] and broker.calls == []

    def test_first_registration_wins_across_calls(self, ticker, broker):
        ticker.code_market_map["2330"] = "Future"
        combine(ticker, [{"code": "2330", "market": "Stock"}], "2024-01-05", "2024-01-02")
        assert ticker.code_market_map == {"2330": "Future"}

    def test_period_compares_full_date_times(self, ticker, broker):
        codes = [{"code": "2330", "market": "Stock"}]
        combine(ticker, codes, "2024-01-02 10:00:00", "2024-01-03 09:00:00")
        assert broker.dates_called() == ["2024-01-02"]
        combine(ticker, codes, "2024-01-02 10:00:00", "2024-01-04 10:00:00")
        assert broker.dates_called() == ["2024-01-02", "2024-01-03", "2024-01-04"]

    def test_times_of_day_never_filter_ticks(self, ticker, broker):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 5, step_ns=3600 * 10**9)
        result = combine(
            ticker,
            [{"code": "2330", "market": "Stock"}],
            "2024-01-02 12:00:00",
            "2024-01-02 12:30:00",
        )
        assert result.height == 5

    def test_console_lines_per_day(self, ticker, broker, console_lines, tick_dir):
        combine(ticker, [{"code": "TXFR1", "market": "Future"}], "2024-01-02", "2024-01-03")
        path = str(testkit.cache_file(tick_dir, "TXFR1", "2024-01-02"))
        assert console_lines[:3] == [
            "[yellow]正在取得 TXFR1 2024-01-02 的 Tick 資料...[/yellow]",
            f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]",
            f"[green]下載 TXFR1 2024-01-02 的 Tick 資料成功, 儲存於 {path}[/green]",
        ]
        assert console_lines[3] == "[yellow]正在取得 TXFR1 2024-01-03 的 Tick 資料...[/yellow]"

    def test_get_ticks_df_is_the_one_entry_merge(self, ticker, broker):
        broker.data[("TXFR1", "2024-01-02")] = testkit.day_ticks("2024-01-02", 4)
        seen = []
        original = ticker._Ticker__process_and_combine_ticks

        def spy(*args):
            seen.append(args)
            return original(*args)

        ticker._Ticker__process_and_combine_ticks = spy
        result = ticker.get_ticks_df("TXFR1", "Future", "2024-01-02", "2024-01-02")
        assert seen == [([{"code": "TXFR1", "market": "Future"}], "2024-01-02", "2024-01-02")]
        assert result.rows() == expected_rows(broker, ["TXFR1"], ["2024-01-02"])
        assert ticker.code_market_map == {"TXFR1": "Future"}

    def test_cached_days_served_without_login(
        self, ticker, broker, console_lines, error_records
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        first = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
        ticker.api = None
        console_lines.clear()
        again = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
        assert again.equals(first)
        assert not any(line.startswith("[red]") for line in console_lines) and error_records == []


class TestFailingDays:
    def test_not_logged_in_gives_each_day_up_once(
        self, ticker, console_lines, error_records, tick_dir
    ):
        ticker.api = None
        result = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03")
        assert result.shape == (0, 9) and result.schema == testkit.MERGED_SCHEMA
        for date in ("2024-01-02", "2024-01-03"):
            path = str(testkit.cache_file(tick_dir, "2330", date))
            i = console_lines.index(f"[yellow]正在取得 2330 {date} 的 Tick 資料...[/yellow]")
            assert console_lines[i + 1 : i + 3] == [
                f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]",
                f"[red]下載 2330 {date} 的 Tick 資料失敗, 錯誤訊息: {testkit.NOT_LOGGED_IN}[/red]",
            ]
        assert len(console_lines) == 6 and len(error_records) == 2

    def test_error_record_format(self, ticker, error_records):
        ticker.api = None
        combine(
            ticker,
            [{"code": "2330", "market": "Stock"}],
            "2024-01-02 08:30:00",
            "2024-01-02 09:00:00",
        )
        (text,) = error_records
        record = json.loads(text)
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == testkit.NOT_LOGGED_IN and "ValueError" in record["traceback"]
        assert record["data"] == {
            "code": "2330",
            "date": dt.datetime(2024, 1, 2, 8, 30).timestamp(),
        }
        assert text == json.dumps(record)  # default json.dumps form, non-ASCII escaped

    def test_transient_failure_retried_same_day(
        self, ticker, broker, console_lines, error_records
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        broker.failures[("2330", "2024-01-02")] = 2
        result = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
        assert result.height == 3
        assert broker.dates_called() == ["2024-01-02"] * 3
        assert len(error_records) == 2
        fails = [line for line in console_lines if line.startswith("[red]下載")]
        assert (
            fails
            == [
                "[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: broker refused 2330 2024-01-02[/red]"
            ]
            * 2
        )

    def test_persistent_failure_given_up_after_three(
        self, ticker, broker, console_lines, error_records
    ):
        broker.data[("2330", "2024-01-03")] = testkit.day_ticks("2024-01-03", 2)
        broker.failures[("2330", "2024-01-02")] = -1
        result = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03")
        assert broker.dates_called() == ["2024-01-02"] * 3 + ["2024-01-03"]
        assert result.rows() == expected_rows(broker, ["2330"], ["2024-01-03"])
        assert len(error_records) == 3
        red = [line for line in console_lines if line.startswith("[red]") and "不存在" not in line]
        assert len(red) == 4 and "放棄" in red[-1] and "2330 2024-01-02" in red[-1]

    def test_unknown_code_does_not_hang(self, ticker, broker, error_records):
        codes = [{"code": "NOPE", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
        result = combine(ticker, codes, "2024-01-02", "2024-01-03")
        assert result.height == 0
        assert broker.dates_called() == ["2024-01-02", "2024-01-03"]  # TXFR1 only
        assert [json.loads(r)["data"]["code"] for r in error_records] == ["NOPE"] * 6

    def test_path_escaping_code_fails_its_days(self, ticker, broker, data_dir, error_records):
        result = combine(ticker, [{"code": "../x", "market": "Stock"}], "2024-01-02", "2024-01-02")
        assert result.height == 0 and broker.calls == []
        assert (
            len(error_records) == 3 and "不合法的商品代碼" in json.loads(error_records[0])["error"]
        )
        assert not (data_dir / "sino" / "x").exists()

    def test_corrupt_cache_healed_within_one_call(
        self, ticker, broker, tick_dir, error_records
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        tick_dir.mkdir(parents=True)
        testkit.cache_file(tick_dir, "2330", "2024-01-02").write_text("ts,close\n1,oops\n")
        result = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
        assert result.rows() == expected_rows(broker, ["2330"], ["2024-01-02"])
        assert len(broker.calls) == 1 and len(error_records) == 1
        assert len([p for p in tick_dir.iterdir() if ".corrupt." in p.name]) == 1

    def test_interrupts_are_not_swallowed(self, ticker, broker):
        def interrupt(**kw):
            raise KeyboardInterrupt

        broker.ticks = interrupt
        with pytest.raises(KeyboardInterrupt):
            ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")


class TestArguments:
    @pytest.mark.parametrize(
        "args",
        [
            (({"code": "2330", "market": "Stock"},), "2024-01-02", "2024-01-02"),
            ([{"code": "2330", "market": "Stock"}], None, "2024-01-02"),
            ([{"code": "2330", "market": "Stock"}], "2024-01-02", 5),
        ],
    )
    def test_merge_type_errors(self, ticker, broker, args):
        with pytest.raises(TypeError):
            combine(ticker, *args)
        assert broker.calls == [] and ticker.code_market_map == {}

    @pytest.mark.parametrize(
        "args",
        [
            (2330, "Stock", "2024-01-02", "2024-01-02"),
            ("2330", "Stock", dt.date(2024, 1, 2), "2024-01-02"),
            ("2330", "Stock", "2024-01-02", None),
        ],
    )
    def test_get_ticks_df_type_errors(self, ticker, broker, args):
        with pytest.raises(TypeError):
            ticker.get_ticks_df(*args)
        assert broker.calls == []

    def test_errors_outside_the_day_loop_propagate(self, ticker, broker):
        with pytest.raises(ValueError):
            combine(ticker, [{"code": "2330", "market": "Stock"}], "not a date", "2024-01-02")
        with pytest.raises(KeyError):
            combine(ticker, [{"code": "2330"}], "2024-01-02", "2024-01-02")
        assert broker.calls == []


class TestConcurrencyAndMemory:
    def test_two_threads_merging_at_once(self, data_dir, console_lines, error_records):
        broker = testkit.FakeBroker()
        dates = [f"2024-01-{d:02d}" for d in range(2, 8)]
        codes = [
            {"code": c, "market": m}
            for c, m in [
                ("2330", "Stock"),
                ("2317", "Stock"),
                ("TXFR1", "Future"),
                ("MXFR1", "Future"),
            ]
        ]
        for i, code in enumerate(c["code"] for c in codes):
            for date in dates:
                broker.data[(code, date)] = testkit.day_ticks(date, 20, seed=i)
        t = Ticker(broker)
        results, errors = {}, []

        def run(name, start, end):
            try:
                results[name] = t._Ticker__process_and_combine_ticks(codes, start, end)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [
            threading.Thread(target=run, args=("a", dates[0], dates[-1])),
            threading.Thread(target=run, args=("b", dates[2], dates[-1])),
        ]
        for th in threads:
            th.start()
        for th in threads:
            th.join(timeout=60)
            assert not th.is_alive()
        assert errors == [] and error_records == []
        names = [c["code"] for c in codes]
        assert results["a"].rows() == expected_rows(broker, names, dates)
        assert results["b"].rows() == expected_rows(broker, names, dates[2:])
        assert t.code_market_map == {c["code"]: c["market"] for c in codes}

    def test_non_dict_market_map_still_served(self, ticker, broker):
        class Registry(dict):
            pass

        ticker.code_market_map = Registry(TXFR1="Future")
        combine(
            ticker,
            [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Stock"}],
            "2024-01-05",
            "2024-01-02",
        )
        assert ticker.code_market_map == {"TXFR1": "Future", "2330": "Stock"}

    def test_no_references_leak_over_many_calls(self, ticker, broker):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 5)
        code = str(2330)  # private str objects, so their reference counts are ours
        market = "stock".capitalize()
        ticker.get_ticks_df(code, market, "2024-01-02", "2024-01-02")
        ticker.api = None  # the failing path too: one refused day per call
        for _ in range(3):
            ticker.get_ticks_df(code, market, "2024-01-02", "2024-01-03")
        gc.collect()
        before = (
            sys.getrefcount(code),
            sys.getrefcount(market),
            sys.getrefcount(broker),
            len(gc.get_objects()),
        )
        for _ in range(200):
            ticker.get_ticks_df(code, market, "2024-01-02", "2024-01-03")
        gc.collect()
        after = (
            sys.getrefcount(code),
            sys.getrefcount(market),
            sys.getrefcount(broker),
            len(gc.get_objects()),
        )
        assert after[:3] == before[:3]
        assert after[3] - before[3] < 200

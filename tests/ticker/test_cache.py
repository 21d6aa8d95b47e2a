import datetime as dt
import os
import threading

import polars as pl
import pytest

from tovik_backtest.modules.ticker.ticker import Ticker

import testkit


def today_text() -> str:
    return dt.datetime.now().date().strftime("%Y-%m-%d")


def expected_day(date, **kw) -> pl.DataFrame:
    schema = {
        "ts": pl.Int64,
        "close": pl.Float64,
        "volume": pl.Int64,
        "bid_price": pl.Float64,
        "bid_volume": pl.Int64,
        "ask_price": pl.Float64,
        "ask_volume": pl.Int64,
        "tick_type": pl.Int64,
    }
    return pl.DataFrame(testkit.day_ticks(date, **kw), schema=schema)


class TestFetchRange:
    def test_days_downloaded_once_each_and_cached(
        self, ticker, broker, tick_dir, console_lines
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        broker.data[("2330", "2024-01-04")] = testkit.day_ticks("2024-01-04", 2, seed=1)
        result = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-04")
        assert broker.dates_called() == ["2024-01-02", "2024-01-03", "2024-01-04"]
        assert all(c is broker.Contracts.Stocks["2330"] for c, _ in broker.calls)
        expected = pl.concat(
            [expected_day("2024-01-02", n=3), expected_day("2024-01-04", n=2, seed=1)]
        )
        assert result.equals(expected) and result.columns == list(testkit.TICK_COLUMNS)
        assert sorted(os.listdir(tick_dir)) == [f"2330 2024-01-0{d} - ticks.csv" for d in (2, 3, 4)]
        path = str(testkit.cache_file(tick_dir, "2330", "2024-01-02"))
        assert (
            f"[green]下載 2330 2024-01-02 的 Tick 資料成功, 儲存於 {path}[/green]" in console_lines
        )

    def test_cached_file_reads_back_exactly(self, ticker, broker, tick_dir):
        odd = testkit.day_ticks("2024-01-02", 4)
        odd["close"] = [0.1, 1e-7, 123456789.123, 2.0]
        broker.data[("2330", "2024-01-02")] = odd
        downloaded = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        back = pl.read_csv(
            testkit.cache_file(tick_dir, "2330", "2024-01-02"), schema=ticker.tick_df_schema
        )
        assert back.equals(downloaded)
        assert back["close"].to_list() == odd["close"]

    def test_failure_keeps_earlier_days_and_propagates(self, ticker, broker, tick_dir):
        broker.failures[("2330", "2024-01-04")] = 1
        with pytest.raises(RuntimeError, match="broker refused"):
            ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-05")
        assert sorted(os.listdir(tick_dir)) == [f"2330 2024-01-0{d} - ticks.csv" for d in (2, 3)]
        with pytest.raises(KeyError):
            ticker.fetch_sino_history_ticks("NOPE", "Stock", "2024-01-02", "2024-01-05")
        assert broker.dates_called("NOPE") == []

    def test_start_after_end_does_nothing(self, ticker, broker, data_dir):
        result = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-05", "2024-01-04")
        assert result.shape == (0, 8) and result.schema == pl.Schema(ticker.tick_df_schema)
        assert broker.calls == [] and not (data_dir / "sino").exists()

    def test_only_dates_matter(self, ticker, broker):
        ticker.fetch_sino_history_ticks(
            "TXFR1", "Future", "2024-01-02 13:00:00", "2024-01-03 08:00:00"
        )
        assert broker.dates_called("TXFR1") == ["2024-01-02", "2024-01-03"]
        assert broker.calls[0][0] is broker.Contracts.Futures["TXFR1"]

    def test_today_downloaded_never_cached(self, ticker, broker, tick_dir):
        today = today_text()
        broker.data[("2330", today)] = testkit.day_ticks(today, 2)
        for _ in range(2):
            result = ticker.fetch_sino_history_ticks("2330", "Stock", today, today)
            assert result.height == 2
        assert broker.dates_called() == [today, today]
        assert not testkit.cache_file(tick_dir, "2330", today).exists()

    def test_not_logged_in(self, ticker, broker, data_dir):
        for api in (None, 0, type("Off", (), {"__bool__": lambda self: False})()):
            ticker.api = api
            with pytest.raises(ValueError, match=testkit.NOT_LOGGED_IN):
                ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert not (data_dir / "sino").exists()

    def test_argument_types_checked_before_work(self, ticker, broker):
        for args in [
            (2330, "Stock", "2024-01-02", "2024-01-02"),
            ("2330", "Stock", None, "2024-01-02"),
            ("2330", "Stock", "2024-01-02", b"2024-01-02"),
        ]:
            with pytest.raises(TypeError):
                ticker.fetch_sino_history_ticks(*args)
        assert broker.calls == []

    @pytest.mark.parametrize("code", ["", "..", "../../escape", "a/b"])
    def test_path_escaping_code_refused_before_download(self, ticker, broker, data_dir, code):
        with pytest.raises(ValueError, match="不合法的商品代碼"):
            ticker.fetch_sino_history_ticks(code, "Stock", "2024-01-02", "2024-01-02")
        with pytest.raises(ValueError, match="不合法的商品代碼"):
            ticker._Ticker__auto_fetch_ticks(code, "Stock", "2024-01-02")
        assert broker.calls == []
        assert not (data_dir / "sino").exists() and not (data_dir.parent / "escape").exists()


class TestBrokerResult:
    def test_mapping_object_accepted(self, ticker, tick_dir):
        broker = testkit.FakeBroker(as_object=True)
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        ticker.api = broker
        result = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert result.equals(expected_day("2024-01-02", n=3))

    def test_real_shioaji_ticks(self, ticker, broker):
        import shioaji as sj

        # What the unpacking relies on: the broker's own result type is read by its keys.
        assert callable(getattr(sj.Ticks, "keys", None)) and hasattr(sj.Ticks, "__getitem__")
        columns = testkit.day_ticks("2024-01-02", 3)
        try:
            real = sj.Ticks(**columns)
        except TypeError:
            pytest.skip("this shioaji cannot build a Ticks object without a broker session")
        broker.ticks = lambda **kw: real
        result = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert result.equals(expected_day("2024-01-02", n=3))

    @pytest.mark.parametrize("bad", [None, 42, [1, 2]])
    def test_non_mapping_is_type_error(self, ticker, broker, tick_dir, bad):
        broker.ticks = lambda **kw: bad
        with pytest.raises(TypeError):
            ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert not tick_dir.exists() or os.listdir(tick_dir) == []

    def test_wrong_columns_never_cached(self, ticker, broker, tick_dir):
        cols = testkit.day_ticks("2024-01-02", 2)
        swapped = {"close": cols["close"], "ts": cols["ts"], **cols}
        for bad in ({}, {"ts": [1]}, swapped):
            broker.ticks = lambda bad=bad, **kw: bad
            with pytest.raises(ValueError, match="欄位不符"):
                ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert not tick_dir.exists() or os.listdir(tick_dir) == []

    def test_wrong_types_fail_before_caching(self, ticker, broker, tick_dir):
        cols = testkit.day_ticks("2024-01-02", 2)
        cols["close"] = ["a", "b"]
        broker.data[("2330", "2024-01-02")] = cols
        with pytest.raises(pl.exceptions.PolarsError):
            ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert not tick_dir.exists() or os.listdir(tick_dir) == []


class TestAutoFetch:
    def test_miss_then_hit_one_broker_call(self, ticker, broker, tick_dir, console_lines):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        second = ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert len(broker.calls) == 1
        assert first.equals(second)
        assert first.columns == [*testkit.TICK_COLUMNS, "code"] and first.schema["code"] == pl.String
        assert first["code"].to_list() == ["2330"] * 3
        assert first.drop("code").equals(expected_day("2024-01-02", n=3))
        path = str(testkit.cache_file(tick_dir, "2330", "2024-01-02"))
        assert console_lines[0] == f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]"
        assert console_lines[-1] == f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]"

    def test_empty_past_day_header_only_and_not_downloaded_again(
        self, ticker, broker, tick_dir
    ):
        for _ in range(2):
            table = ticker._Ticker__auto_fetch_ticks("TXFR1", "Future", "2024-01-06")
            assert table.shape == (0, 9) and table.columns[-1] == "code"
        assert len(broker.calls) == 1
        content = testkit.cache_file(tick_dir, "TXFR1", "2024-01-06").read_text()
        assert content == ",".join(testkit.TICK_COLUMNS) + "\n"

    def test_cache_hit_needs_no_login(self, ticker, broker):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 2)
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        ticker.api = None
        assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02").height == 2

    def test_miss_without_login(self, ticker, tick_dir, console_lines):
        ticker.api = None
        with pytest.raises(ValueError, match=testkit.NOT_LOGGED_IN):
            ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        path = str(testkit.cache_file(tick_dir, "2330", "2024-01-02"))
        assert console_lines == [f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]"]

    def test_date_text_is_the_cache_key(self, ticker, broker, tick_dir):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 2)
        for _ in range(2):
            assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-1-2").height == 2
        assert len(broker.calls) == 2
        assert os.listdir(tick_dir) == ["2330 2024-01-02 - ticks.csv"]

    def test_today_never_cached(self, ticker, broker, tick_dir):
        today = today_text()
        broker.data[("2330", today)] = testkit.day_ticks(today, 2)
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", today)
        assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", today).height == 2
        assert len(broker.calls) == 2 and os.listdir(tick_dir) == []

    def test_argument_types(self, ticker, broker):
        for args in [
            (2330, "Stock", "2024-01-02"),
            ("2330", None, "2024-01-02"),
            ("2330", "Stock", 20240102),
        ]:
            with pytest.raises(TypeError):
                ticker._Ticker__auto_fetch_ticks(*args)
        assert broker.calls == []

    def test_goes_through_public_fetch(self, ticker, broker):
        seen = []
        original = ticker.fetch_sino_history_ticks

        def spy(*args):
            seen.append(args)
            return original(*args)

        ticker.fetch_sino_history_ticks = spy
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert seen == [("2330", "Stock", "2024-01-02", "2024-01-02")]


class TestAtomicWrites:
    def test_no_partial_file_under_final_name(self, ticker, broker, tick_dir, monkeypatch):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 50)
        final = testkit.cache_file(tick_dir, "2330", "2024-01-02")
        targets = []
        real_write = pl.DataFrame.write_csv

        def watching_write(self, file=None, **kw):
            targets.append(file)
            assert not final.exists(), "final name visible before the write finished"
            return real_write(self, file, **kw)

        monkeypatch.setattr(pl.DataFrame, "write_csv", watching_write)
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert len(targets) == 1 and os.path.dirname(targets[0]) == str(tick_dir)
        assert targets[0] != str(final)
        assert os.listdir(tick_dir) == [final.name]

    def test_cache_file_has_ordinary_permissions(self, ticker, broker, tick_dir):
        old = os.umask(0o027)
        try:
            ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        finally:
            os.umask(old)
        mode = testkit.cache_file(tick_dir, "2330", "2024-01-02").stat().st_mode & 0o777
        assert mode == 0o640

    def test_failed_write_leaves_nothing(self, ticker, broker, tick_dir, monkeypatch):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 50)
        real_write = pl.DataFrame.write_csv

        def crashing_write(self, file=None, **kw):
            real_write(self.head(10), file, **kw)
            raise OSError("disk full")

        monkeypatch.setattr(pl.DataFrame, "write_csv", crashing_write)
        with pytest.raises(OSError, match="disk full"):
            ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert os.listdir(tick_dir) == []
        monkeypatch.undo()
        assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02").height == 50
        assert len(broker.calls) == 2

    def test_overwrite_keeps_old_file_whole_until_replaced(
        self, ticker, broker, tick_dir, monkeypatch
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 5)
        ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        final = testkit.cache_file(tick_dir, "2330", "2024-01-02")
        old = final.read_text()
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 7, seed=3)
        real_write = pl.DataFrame.write_csv

        def watching_write(self, file=None, **kw):
            assert final.read_text() == old
            return real_write(self, file, **kw)

        monkeypatch.setattr(pl.DataFrame, "write_csv", watching_write)
        ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        assert pl.read_csv(final, schema=ticker.tick_df_schema).height == 7
        assert os.listdir(tick_dir) == [final.name]

    def test_concurrent_writers_leave_one_whole_file(self, data_dir, console_lines):
        broker = testkit.FakeBroker()
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 2000)
        tickers = [Ticker(broker) for _ in range(4)]
        errors = []

        def run(t):
            try:
                for _ in range(5):
                    t.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=run, args=(t,)) for t in tickers]
        for th in threads:
            th.start()
        for th in threads:
            th.join(timeout=60)
            assert not th.is_alive()
        assert errors == []
        tick_dir = data_dir / "sino" / "ticks"
        assert os.listdir(tick_dir) == ["2330 2024-01-02 - ticks.csv"]
        back = pl.read_csv(
            testkit.cache_file(tick_dir, "2330", "2024-01-02"), schema=tickers[0].tick_df_schema
        )
        assert back.equals(expected_day("2024-01-02", n=2000))


class TestCorruptCache:
    @pytest.mark.parametrize(
        "content",
        [
            "",
            "garbage\x00\x01",
            "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n1,abc,3,4.0,5,6.0,7,1\n",
            "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n1,2.0,3,4.0,5,6.0,7,1\n2,3.5",
        ],
        ids=["empty", "garbage", "bad-value", "truncated"],
    )
    def test_set_aside_then_downloaded_afresh(
        self, ticker, broker, tick_dir, console_lines, content
    ):
        broker.data[("2330", "2024-01-02")] = testkit.day_ticks("2024-01-02", 3)
        tick_dir.mkdir(parents=True)
        final = testkit.cache_file(tick_dir, "2330", "2024-01-02")
        final.write_text(content)
        with pytest.raises((pl.exceptions.PolarsError, ValueError)):
            ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        aside = [p for p in tick_dir.iterdir() if p.name.startswith(final.name + ".corrupt.")]
        assert len(aside) == 1 and not final.exists()
        assert aside[0].read_text() == content
        assert console_lines[-1].startswith("[red]") and str(final) in console_lines[-1]
        assert str(aside[0]) in console_lines[-1]
        assert broker.calls == []
        table = ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert table.drop("code").equals(expected_day("2024-01-02", n=3))
        assert len(broker.calls) == 1 and final.exists()

    def test_folder_in_place_of_file_is_not_a_hit(self, ticker, broker, tick_dir):
        tick_dir.mkdir(parents=True)
        final = testkit.cache_file(tick_dir, "2330", "2024-01-02")
        final.mkdir()  # a folder where the file should be: not a cache hit
        with pytest.raises(OSError):
            ticker._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02")
        assert final.is_dir() and len(broker.calls) == 1
        assert sorted(os.listdir(tick_dir)) == [final.name]

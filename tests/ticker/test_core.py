import inspect
import os
import queue

import polars as pl
import pytest

from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.modules.ticker import ticker as ticker_module
from tovik_backtest.modules.ticker.ticker import Ticker

FIELDS = [
    "api",
    "allow_next_tick_flag_queue",
    "backfilling_notify_finish_queue",
    "backfilling_finish_flag",
    "exit_send_thread_flag",
    "tick_file_save_path",
    "tick_queue",
    "code_market_map",
    "tick_df_schema",
    "current_send_ticks_params",
]


class TestConstruction:
    def test_fields_in_order_with_initial_values(self, data_dir, broker):
        t = Ticker(broker)
        assert list(vars(t)) == FIELDS
        assert t.api is broker
        assert t.backfilling_finish_flag is False and t.exit_send_thread_flag is False
        assert t.code_market_map == {} and t.current_send_ticks_params == {}
        for name in ("allow_next_tick_flag_queue", "backfilling_notify_finish_queue", "tick_queue"):
            assert type(getattr(t, name)) is queue.Queue
        assert t.allow_next_tick_flag_queue.qsize() == 1
        assert t.allow_next_tick_flag_queue.get(timeout=1) is True
        assert t.tick_queue.empty() and t.backfilling_notify_finish_queue.empty()

    def test_tick_schema_is_ordered_polars_types(self, data_dir):
        schema = Ticker(None).tick_df_schema
        assert list(schema.items()) == [
            ("ts", pl.Int64),
            ("close", pl.Float64),
            ("volume", pl.Int64),
            ("bid_price", pl.Float64),
            ("bid_volume", pl.Int64),
            ("ask_price", pl.Float64),
            ("ask_volume", pl.Int64),
            ("tick_type", pl.Int64),
        ]
        # Usable as a polars schema as it stands.
        assert pl.DataFrame(schema=schema).columns == list(schema)

    def test_each_object_owns_its_containers(self, data_dir):
        a, b = Ticker(None), Ticker(None)
        for name in FIELDS[1:]:
            value = getattr(a, name)
            if not isinstance(value, (bool, str)):
                assert value is not getattr(b, name), name

    def test_data_dir_created_ticks_dir_not(self, data_dir):
        assert not data_dir.exists()
        t = Ticker(None)
        assert data_dir.is_dir()
        assert t.tick_file_save_path == os.path.join(str(data_dir), "ticks")
        assert not os.path.exists(t.tick_file_save_path)

    def test_failed_construction_raises(self, tmp_path):
        blocker = tmp_path / "not_a_dir"
        blocker.write_text("x")
        saved = BASIC_INFO.assigned_data_dir
        BASIC_INFO.data_dir = str(blocker / "data")
        try:
            with pytest.raises(OSError):
                Ticker(None)
        finally:
            BASIC_INFO.data_dir = saved

    def test_argument_errors_and_second_init(self, data_dir):
        with pytest.raises(TypeError):
            Ticker()
        with pytest.raises(TypeError):
            Ticker(None, None)
        t = Ticker(sino_api=None)
        t.code_market_map["2330"] = "Stock"
        with pytest.raises(RuntimeError):
            t.__init__(None)
        assert t.code_market_map == {"2330": "Stock"}

    def test_fields_are_plain_and_replaceable(self, data_dir, broker):
        t = Ticker(None)
        t.api = broker
        t.extra = 1
        assert t.api is broker and t.extra == 1


class TestModuleAndMethods:
    def test_module_imports_its_dependencies(self):
        import datetime
        import json
        import threading
        import typing

        import shioaji

        from tovik_backtest import utils

        assert ticker_module.pl is pl and ticker_module.sj is shioaji
        assert ticker_module.json is json and ticker_module.queue is queue
        assert ticker_module.dt is datetime and ticker_module.timedelta is datetime.timedelta
        assert ticker_module.Thread is threading.Thread and ticker_module.Literal is typing.Literal
        assert ticker_module.BASIC_INFO is BASIC_INFO
        assert ticker_module.format_to_dt is utils.format_to_dt

    @pytest.mark.parametrize(
        "name, first_line, params",
        [
            ("__init__", "Ticker Module Constructor", ["self", "sino_api"]),
            (
                "_Ticker__generate_save_path",
                "產生檔案儲存路徑",
                ["self", "file_name", "sub_folder"],
            ),
            (
                "_Ticker__make_sino_contract_object",
                "建立永豐用的商品物件",
                ["self", "code", "market_type"],
            ),
            ("_Ticker__tick_filename_formatter", "Tick 檔案名稱格式化", ["self", "code", "date"]),
            (
                "_Ticker__auto_fetch_ticks",
                "自動取得歷史 Tick 資料",
                ["self", "code", "product_type", "date"],
            ),
            (
                "fetch_sino_history_ticks",
                "從永豐 API 下載歷史 Tick 資料",
                ["self", "code", "product_type", "start_from", "end_to"],
            ),
            (
                "_Ticker__process_and_combine_ticks",
                "處理與合併 Tick 資料",
                ["self", "codes", "start_from", "end_to"],
            ),
            (
                "get_ticks_df",
                "取得指定商品的 Tick 資料",
                ["self", "code", "market_type", "start_from", "end_to"],
            ),
        ],
    )
    def test_docstrings_and_signatures(self, name, first_line, params):
        method = getattr(Ticker, name)
        doc = method.__doc__
        assert doc.splitlines()[0] == first_line
        assert "\n        Args:\n            " in doc
        assert list(inspect.signature(method).parameters) == params


class TestSavePath:
    def test_file_in_sub_folders(self, data_dir):
        t = Ticker(None)
        path = t._Ticker__generate_save_path("x.csv", "sino", "ticks")
        assert path == os.path.join(str(data_dir), "sino", "ticks", "x.csv")
        assert (data_dir / "sino" / "ticks").is_dir()
        assert not os.path.exists(path)

    def test_folder_only(self, data_dir):
        t = Ticker(None)
        assert t._Ticker__generate_save_path(None, "sino", "ticks") == os.path.join(
            str(data_dir), "sino", "ticks"
        )
        assert t._Ticker__generate_save_path() == str(data_dir)
        assert t._Ticker__generate_save_path(file_name="f") == os.path.join(str(data_dir), "f")

    def test_data_dir_read_on_every_call(self, data_dir, tmp_path):
        t = Ticker(None)
        other = tmp_path / "elsewhere"
        BASIC_INFO.data_dir = str(other)
        assert t._Ticker__generate_save_path("a", "b") == os.path.join(str(other), "b", "a")
        assert (other / "b").is_dir()

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((1,), {}),
            ((b"x",), {}),
            (("x", 2), {}),
            (("x", "ok", None), {}),
            ((), {"sub_folder": "x"}),
        ],
    )
    def test_wrong_types_refused_before_any_folder(self, data_dir, args, kwargs):
        t = Ticker(None)
        before = sorted(p.name for p in data_dir.iterdir())
        with pytest.raises(TypeError):
            t._Ticker__generate_save_path(*args, **kwargs)
        assert sorted(p.name for p in data_dir.iterdir()) == before


class TestFileName:
    def test_name_format(self, data_dir):
        t = Ticker(None)
        assert (
            t._Ticker__tick_filename_formatter("TXFR1", "2024-03-05")
            == "TXFR1 2024-03-05 - ticks.csv"
        )
        assert (
            t._Ticker__tick_filename_formatter(code="2330", date="2024-1-2")
            == "2330 2024-1-2 - ticks.csv"
        )

    @pytest.mark.parametrize("code", ["", ".", "..", "../etc", "a/b", "a\\b", "a\0b", "/abs"])
    def test_path_escaping_codes_refused(self, data_dir, code):
        t = Ticker(None)
        with pytest.raises(ValueError) as info:
            t._Ticker__tick_filename_formatter(code, "2024-03-05")
        assert repr(code) in str(info.value)

    def test_wrong_types_refused(self, data_dir):
        t = Ticker(None)
        with pytest.raises(TypeError):
            t._Ticker__tick_filename_formatter(2330, "2024-03-05")
        with pytest.raises(TypeError):
            t._Ticker__tick_filename_formatter("2330", None)


class TestContractLookup:
    def test_stock_routes_to_stocks(self, data_dir, broker):
        t = Ticker(broker)
        assert (
            t._Ticker__make_sino_contract_object("2330", "Stock") is broker.Contracts.Stocks["2330"]
        )

    @pytest.mark.parametrize("market", ["Future", "stock", "", "Option"])
    def test_everything_else_routes_to_futures(self, data_dir, broker, market):
        broker.Contracts.Futures["2330"] = object()
        t = Ticker(broker)
        assert (
            t._Ticker__make_sino_contract_object("2330", market) is broker.Contracts.Futures["2330"]
        )

    def test_lookup_failures_propagate(self, data_dir, broker):
        t = Ticker(broker)
        with pytest.raises(KeyError):
            t._Ticker__make_sino_contract_object("NOPE", "Stock")
        t.api = None
        with pytest.raises(AttributeError):
            t._Ticker__make_sino_contract_object("2330", "Stock")
        with pytest.raises(TypeError):
            t._Ticker__make_sino_contract_object("2330", None)

    def test_real_shioaji_contracts_returned_unchanged(self, data_dir, broker):
        import shioaji as sj

        stock = sj.Stock(code="2330", exchange="TSE")
        future = sj.Future(code="TXFR1")
        broker.Contracts.Stocks["2330"] = stock
        broker.Contracts.Futures["TXFR1"] = future
        t = Ticker(broker)
        assert t._Ticker__make_sino_contract_object("2330", "Stock") is stock
        assert t._Ticker__make_sino_contract_object("TXFR1", "Future") is future

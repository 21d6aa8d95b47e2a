"""The tick replay: historical ticks from the broker or the tick cache, merged over many
instruments and replayed one tick at a time, paced by the host."""

import queue
from typing import Any

import polars as pl

class Ticker:
    """The tick replay. Host-visible state lives in the instance attributes below."""

    api: Any
    allow_next_tick_flag_queue: queue.Queue[Any]
    backfilling_notify_finish_queue: queue.Queue[Any]
    backfilling_finish_flag: bool
    exit_send_thread_flag: bool
    tick_file_save_path: str
    tick_queue: queue.Queue[dict[str, Any]]
    code_market_map: dict[str, str]
    tick_df_schema: dict[str, Any]
    current_send_ticks_params: dict[str, Any]

    def __init__(self, sino_api: Any) -> None:
        """Ticker Module Constructor"""

    def __generate_save_path(self, file_name: str | None = None, *sub_folder: str) -> str:
        """產生檔案儲存路徑"""

    def __make_sino_contract_object(self, code: str, market_type: str) -> Any:
        """建立永豐用的商品物件"""

    def __tick_filename_formatter(self, code: str, date: str) -> str:
        """Tick 檔案名稱格式化"""

    def __auto_fetch_ticks(self, code: str, product_type: str, date: str) -> pl.DataFrame:
        """自動取得歷史 Tick 資料"""

    def read_cache_file(self, path: str, market: str | None = None) -> pl.DataFrame:
        """讀取一個 Tick 快取檔案 (與合併時的讀取相同)"""

    def fetch_sino_history_ticks(self, code: str, product_type: str, start_from: str, end_to: str) -> pl.DataFrame:
        """從永豐 API 下載歷史 Tick 資料"""

    def __process_and_combine_ticks(
        self, codes: list[dict[str, str]], start_from: str, end_to: str
    ) -> pl.DataFrame:
        """處理與合併 Tick 資料"""

    def merge_ticks(self, codes: list[dict[str, str]], start_from: str, end_to: str) -> pl.DataFrame:
        """合併多個商品的 Tick 資料"""

    def get_ticks_df(self, code: str, market_type: str, start_from: str, end_to: str) -> pl.DataFrame:
        """取得指定商品的 Tick 資料"""

    def __notify_backfilling_finish(self) -> None:
        """通知回補資料已經完成"""

    def send_ticks(
        self,
        codes: list[dict[str, str]],
        start_from: str,
        end_to: str,
        backfilling_start_from: str | None = None,
        backfilling_end_to: str | None = None,
    ) -> None:
        """逐筆傳送 Tick 資料"""

    def backfilling(
        self, codes: list[dict[str, str]], start_from: str | None = None, end_to: str | None = None
    ) -> None:
        """回補 Tick 資料"""

    def __push_tick_to_queue(self, df: pl.DataFrame) -> None:
        """將 Tick 資料逐筆寫入 Queue"""

    def pop_tick(self) -> dict[str, Any]:
        """從 Queue 中取出 Tick 資料"""

    def allow_next_tick(self) -> None:
        """允許傳送下一筆 Tick 資料"""

    def stop_send_ticks(self) -> None:
        """停止傳送 Tick 資料"""

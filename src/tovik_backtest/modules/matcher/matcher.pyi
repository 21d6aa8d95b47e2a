"""The simulated exchange: order intake on a worker thread, resting orders, tick
matching, and order and deal reports shaped like the live broker's."""

import queue
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Any, Literal

class Matcher:
    """The simulated exchange. Host-visible state lives in the instance attributes below."""

    pending_orders: list[dict[str, Any]]
    response_queue: queue.SimpleQueue[dict[str, Any]]
    pending_order_queue: queue.Queue[dict[str, Any]]
    current_tick_infos: dict[str, dict[str, Any]]
    positions: Any
    account_info: dict[str, str]
    exchange_info: dict[str, str]

    def __init__(self, positions: Any = None, *, order_ids: Callable[[], str] | None = None) -> None:
        """Matcher Module Constructor"""

    def close(self) -> None:
        """結束委託佇列的處理: 已排入的委託處理完後背景執行緒結束"""

    def __enter__(self) -> Matcher:
        """回傳 Matcher 本身"""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        """離開 with 區塊時呼叫 close()"""

    def __init_current_tick_info(self, code: str) -> dict[str, Any]:
        """初始化當前 Tick 資訊"""

    def __get_random_uuid(self) -> str:
        """產生隨機的 UUID"""

    def __receive_pending_order(self) -> None:
        """接收委託單"""

    def reset_tick_infos(self) -> None:
        """重置當前 Tick 資訊"""

    def set_current_tick(self, tick: dict[str, Any]) -> None:
        """設置當前的 Tick"""

    def pop_response(self) -> dict[str, Any]:
        """從回報佇列中取出回報資料"""

    def add_pending_order_queue(self, action: str, payload: dict[str, Any]) -> None:
        """將委託單加入待成交佇列"""

    def add_response_to_queue(self, response: dict[str, Any]) -> None:
        """將回報資料加入回報佇列"""

    def add_order(
        self,
        code: str,
        product_type: str,
        action: str,
        price: float,
        qty: int,
        price_type: str,
        order_type: str,
        order_cond: str = "Cash",
        order_lot: str = "Common",
        oc_type: str = "Auto",
    ) -> None:
        """新增委託單到待成交列表"""

    def build_order_response(self, trade: dict[str, Any], operation_type: Any, code_obj: Any) -> dict[str, Any]:
        """建立委託回報"""

    def build_deal_response(self, trade: dict[str, Any]) -> dict[str, Any]:
        """建立委託回報"""

    def get_simulation_stock_order_response(self, data: dict[str, Any]) -> dict[str, Any]:
        """建立模擬股票訂單的委託回報(比照 TOVIK 下單模組委託回報格式)"""

    def get_simulation_future_order_response(self, data: dict[str, Any]) -> dict[str, Any]:
        """建立模擬期貨訂單的委託回報(比照 TOVIK 下單模組委託回報格式)"""

    def get_simulation_stock_deal_response(self, data: dict[str, Any]) -> dict[str, Any]:
        """建立模擬股票訂單的成交回報(比照 TOVIK 下單模組委託回報格式)"""

    def get_simulation_future_deal_response(self, data: dict[str, Any]) -> dict[str, Any]:
        """建立模擬期貨訂單的成交回報(比照 TOVIK 下單模組委託回報格式)"""

    def modify_order(self, trade_id: str, qty: int | None = None, price: float | None = None) -> None:
        """修改委託單的數量或價格"""

    def cancel_order(self, trade_id: str) -> None:
        """取消委託單"""

    def match_deal(self, code: str, tick_close: float, tick_qty: int, tick_ts: float) -> None:
        """模擬搓合"""

    def cancel_emptied_orders(self, cancel: bool) -> None:
        """Cancel an order whose open quantity a modification cuts to nothing."""

    def fill_odd_lots_whole(self, whole: bool) -> None:
        """Fill odd-lot orders whole, outside the tick's board-lot quantity."""

    def set_quiet(self, quiet: bool) -> None:
        """Print no console line (none is even formatted) for accepted requests."""

    def route_reports(self, sink: list[dict[str, Any]] | None) -> None:
        """Send every report to a list instead of response_queue."""

    def drive_ticks(
        self,
        ts: Any,
        code: Any,
        close: Any,
        qty: Any,
        tick_type: Any,
        codes: list[str],
        markets: list[str],
        state: Any,
        backfilling: bool,
        on_tick: Callable[[dict[str, Any]], None] | None,
        on_reports: Callable[[], None] | None,
        on_boundary: Callable[[int], None] | None,
        quotes: list[Any] | None = None,
        equity: Any = None,
    ) -> None:
        """Replay one merged tick table through this matcher and the callbacks."""

    def set_fill_model(
        self,
        kind: Literal["touch", "queue"] | None,
        cancels: Literal["none", "proportional"] = "none",
        latency_ns: int = 0,
        jitter_ns: int = 0,
        seed: int = 0,
    ) -> None:
        """Decide fills by a back-test run's fill model; None restores match_deal's own rule."""

    def defer_request(self, trade_id: str, cancel: bool, qty: int | None = None, price: float | None = None) -> None:
        """Send a cancellation or modification that reaches the exchange after the latency."""

    def late_requests(self) -> dict[str, int]:
        """Requests that arrived after their order had left the book, per code."""

    def fill_reasons(self) -> list[str]:
        """Why each deal of the fill model filled, in deal order."""

# The layout of drive_ticks' state array and equity table, and the tick cache's
# Taipei offset (market time minus UTC, ns).
STATE_SLOTS: Mapping[str, int]
STATE_CODE_FIELDS: tuple[str, ...]
EQUITY_ROW_FIELDS: tuple[str, ...]
STATE_UNSET: int
TAIPEI_OFFSET_NS: int

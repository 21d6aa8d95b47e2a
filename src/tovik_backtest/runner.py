"""The back-test runner: ``Strategy``, the base class a strategy subclasses, and
``Backtest``, one strategy over instruments and a period.

``Backtest.run`` checks that the period's days are cached (or can be downloaded), then
replays them on the engine's native loop (``engine.py``): each trading day's merged
ticks go through the simulated exchange and the strategy's hooks on this thread, day
orders expire at their session's close, and the reports of the strategy's requests are
handed over before the next tick, so a run is deterministic. The ticker is loaded only
for a day that must come from it. ``Backtest.run_reference`` does the same run on the
ticker's queue-driven replay (``reference.py``), the yardstick the native loop is
checked against report for report.
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from tovik_backtest import engine, market, utils
from tovik_backtest.checks import check_data_dir, warm_up
from tovik_backtest.config import RunConfig, config_of
from tovik_backtest.constant import BASIC_INFO, Action, OCType, OrderCond, OrderLot
from tovik_backtest.costs import Costs
from tovik_backtest.coverage import Coverage, missing_error
from tovik_backtest.engine import count_exchange_cancels
from tovik_backtest.errorlog import ErrorLog
from tovik_backtest.errors import BacktestError, OrderRefused
from tovik_backtest.fills import Touch, check_fills
from tovik_backtest.instruments import MARKETS, Instrument, parse_instrument
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.money import Recorder, Sizes, parse_every
from tovik_backtest.orders import OrderDesk
from tovik_backtest.params import check_declaration, resolve
from tovik_backtest.reference import run_queued
from tovik_backtest.results import BacktestResult, InstrumentStats
from tovik_backtest.stops import deferred_interrupts, stop_text
from tovik_backtest.tick_table import merged_ticks

__all__ = [
    "Backtest",
    "BacktestError",
    "BacktestResult",
    "Instrument",
    "MARKETS",
    "OrderRefused",
    "Strategy",
    "merged_ticks",
    "parse_instrument",
]

_ID_ALPHABET = "_-0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
_ID_DRAWS = 4096  # 32-bit draws taken from the generator at a time


class RunState(Protocol):
    """What a strategy reaches of the run going on (the engine's or the reference loop's)."""

    matcher: Any
    positions: Positions

    def ordering(self) -> OrderDesk: ...

    def quote(self, code: str) -> dict[str, Any]: ...


class Strategy:
    """Base class of a strategy. Override any of the ``on_*`` hooks.

    A strategy declares its parameters as the class attribute ``params``, each name
    mapped to its default (``params = {"fast": 20, "slow": 80}``; a subclass's extend its
    bases'). The constructor takes them as keywords: each becomes an attribute (its
    default unless given) and ``self.params`` holds them all. An undeclared name, a name
    that would hide a method or property, and a value unlike its default's type are
    refused with ``BacktestError`` (see ``tovik_backtest.params``).
    """

    params: dict[str, Any] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        check_declaration(cls)

    def __init__(self, **params: Any) -> None:
        values = resolve(type(self), params)
        self.params = values
        for name, value in values.items():
            setattr(self, name, value)
        self._runner: RunState | None = None
        self._ran = False

    # ---- hooks -------------------------------------------------------------------
    def on_start(self) -> None: ...

    def on_tick(self, tick: dict[str, Any]) -> None: ...

    def on_order(self, report: dict[str, Any]) -> None: ...

    def on_deal(self, report: dict[str, Any]) -> None: ...

    def on_backfilling_finished(self) -> None: ...

    def on_end(self) -> None: ...

    # ---- orders --------------------------------------------------------------------
    def buy(
        self,
        code: str,
        price: float,
        qty: int,
        price_type: str = "LMT",
        order_type: str = "ROD",
        order_cond: str = OrderCond.CASH.value,
        order_lot: str = OrderLot.COMMON.value,
        oc_type: str = OCType.AUTO.value,
        product_type: str | None = None,
    ) -> str:
        """Place a buy order and return its id; its order report reaches ``on_order``.

        Raises ``OrderRefused`` with the reason when the order is not accepted."""
        return self._submit_add(Action.BUY.value, code, price, qty, price_type, order_type,
                         order_cond, order_lot, oc_type, product_type)

    def sell(
        self,
        code: str,
        price: float,
        qty: int,
        price_type: str = "LMT",
        order_type: str = "ROD",
        order_cond: str = OrderCond.CASH.value,
        order_lot: str = OrderLot.COMMON.value,
        oc_type: str = OCType.AUTO.value,
        product_type: str | None = None,
        daytrade_short: bool = False,
    ) -> str:
        """Place a sell order and return its id; its order report reaches ``on_order``.

        A Cash sell of stock needs the shares held, unless ``daytrade_short=True`` makes it
        a sell-first day trade. Raises ``OrderRefused`` with the reason when the order is
        not accepted."""
        return self._submit_add(Action.SELL.value, code, price, qty, price_type, order_type,
                         order_cond, order_lot, oc_type, product_type, daytrade_short)

    def modify(self, trade_id: str, qty: int | None = None, price: float | None = None) -> None:
        """Cut an order's open quantity by ``qty`` and/or give it a new ``price``
        (``OrderRefused`` when the exchange does not take the change)."""
        self._run().ordering().modify(trade_id, qty, price)

    def cancel(self, trade_id: str) -> None:
        """Cancel a resting order (``OrderRefused`` for an id that is not resting)."""
        self._run().ordering().cancel(trade_id)

    def quote(self, code: str) -> dict[str, Any]:
        """Best bid and ask with their volumes at the current tick of ``code``:
        keys bid_price, bid_volume, ask_price, ask_volume, ts (the tick's ns stamp)."""
        return self._run().quote(code)

    # ---- state -----------------------------------------------------------------------
    @property
    def positions(self) -> Positions:
        """The run's position book."""
        return self._run().positions

    @property
    def pending_orders(self) -> list[dict[str, Any]]:
        """The resting orders (the matcher's own list: read, don't change)."""
        pending: list[dict[str, Any]] = self._run().matcher.pending_orders
        return pending

    def position(self, code: str) -> int:
        """Net position of ``code`` (buys positive): whole board lots of a stock (odd shares
        left out), contracts of a future."""
        return self._run().positions.net_lots(code)

    def position_shares(self, code: str) -> int:
        """Net shares of stock ``code`` (odd lots included); contracts of a future."""
        return self._run().positions.net_quantity(code)

    def _bind_run(self, run: RunState | None) -> None:
        """Called by the loop that runs this strategy: the run its requests and quotes go
        to, or None when the run is over."""
        self._runner = run

    def _run(self) -> RunState:
        if self._runner is None:
            raise BacktestError("the strategy is not running in a back-test")
        return self._runner

    def _submit_add(self, action: str, code: str, price: float, qty: int, price_type: str,
                    order_type: str, order_cond: str, order_lot: str, oc_type: str,
                    product_type: str | None, daytrade_short: bool = False) -> str:
        trade_id: str = self._run().ordering().add(action, code, price, qty, price_type, order_type,
                                                   order_cond, order_lot, oc_type, product_type, daytrade_short)
        return trade_id


def _seeded_ids(seed: int) -> Callable[[], str]:
    """Order ids from a generator seeded with ``seed``: the same run gives the same reports.

    Each character is what ``rng.choice(_ID_ALPHABET)`` would draw: the top 7 bits of one
    32-bit draw, drawn again while they fall outside the 64 letters. The draws come a
    block at a time (one ``getrandbits`` call holds them in order, the first lowest) and
    the letters they give are handed out 16 to an id."""
    bits = random.Random(seed).getrandbits
    size = len(_ID_ALPHABET)
    shift = 32 - size.bit_length()
    letter_of = bytes.maketrans(bytes(range(size)), _ID_ALPHABET.encode())
    outside = bytes(range(size, 1 << size.bit_length()))
    letters, taken = "", 0

    def next_id() -> str:
        nonlocal letters, taken
        if len(letters) - taken < 16:
            words = np.frombuffer(bits(32 * _ID_DRAWS).to_bytes(4 * _ID_DRAWS, "little"), dtype="<u4")
            drawn = (words >> shift).astype(np.uint8).tobytes().translate(letter_of, outside)
            letters, taken = letters[taken:] + drawn.decode("ascii"), 0
        taken += 16
        return letters[taken - 16:taken]

    return next_id


def _new_matcher(matcher_cls: Any, positions: Positions, seed: int) -> Any:
    """A matcher whose order ids come from a generator seeded with ``seed``."""
    # Order ids drawn from a seeded generator: the same run gives the same reports.
    return matcher_cls(positions, order_ids=_seeded_ids(seed))


def _default_on_tick(strategy: Strategy) -> Any:
    """The strategy's on_tick, or None when it is the base class's (nothing to call)."""
    hook = strategy.on_tick
    return None if getattr(hook, "__func__", None) is Strategy.on_tick else hook


def _check_fresh(strategy: Strategy) -> None:
    if getattr(strategy, "_ran", False):
        raise BacktestError(f"this {type(strategy).__name__} instance has already been run: its state "
                            "carries over, so make a new instance for each back-test")


def _no_ticks(instruments: list[Instrument], start: str, end: str, data_dir: Any) -> BacktestError:
    names = ", ".join(f"{i.code}:{i.market}" for i in instruments)
    if not market.trading_days(start.strip()[:10], end.strip()[:10]):
        return BacktestError(f"no ticks of {names} from {start} to {end}: the period holds no trading day of the "
                             "Taiwan exchanges (a weekend or holiday); choose a period with trading days")
    where = data_dir if data_dir is not None else BASIC_INFO.data_dir
    return BacktestError(f"no ticks of {names} from {start} to {end}: no cached data was found in "
                         f"{where}; fetch the days first (or log in to download them)")


class Backtest:
    """One back-test: a strategy and its run configuration.

    ``Backtest(strategy, config=RunConfig(...))``, or the configuration's fields one by
    one as before: ``Backtest(strategy, instruments, start, end, backfill_start,
    backfill_end, api, data_dir, seed=..., costs=..., capital=..., contract_sizes=...,
    allow_missing=..., fills=...)`` (see ``RunConfig`` for each; a field left None takes
    its default). Not part of the configuration: ``api`` (a logged-in broker to download
    missing days; without it only cached days are used), ``quiet``, ``progress(done,
    total)`` and ``on_error(line)``. An unknown futures product is refused here.
    ``fills``: a model of ``tovik_backtest.fills`` (``Touch()`` when None, or ``Queue()``).
    ``equity_every`` ("1s", "1m", "5m" or "1d") is the row of the equity table the run
    keeps (one per interval with a tick; ``result.equity`` makes coarser ones from it).
    """

    def __init__(
        self,
        strategy: Strategy,
        instruments: Sequence[Any] | None = None,
        start: str | None = None,
        end: str | None = None,
        backfill_start: str | None = None,
        backfill_end: str | None = None,
        api: Any = None,
        data_dir: str | Path | None = None,
        *,
        config: RunConfig | None = None,
        seed: int | None = None,
        quiet: bool = True,
        progress: Callable[[int, int], None] | None = None,
        costs: Costs | None = None,
        capital: float | None = None,
        contract_sizes: dict[str, int] | None = None,
        allow_missing: bool | None = None,
        fills: Any = None,
        on_error: Callable[[str], None] | None = None,
        equity_every: str = "1m",
    ) -> None:
        if not isinstance(strategy, Strategy):
            raise BacktestError(f"strategy must be a Strategy instance, not {type(strategy).__name__}")
        _check_fresh(strategy)
        config = config_of(config, {
            "instruments": instruments, "start": start, "end": end, "backfill_start": backfill_start,
            "backfill_end": backfill_end, "data_dir": data_dir, "seed": seed, "costs": costs,
            "capital": capital, "contract_sizes": contract_sizes, "allow_missing": allow_missing,
            "fills": fills})
        check_data_dir(config.data_dir, api)
        if on_error is not None and not callable(on_error):
            raise BacktestError(f"on_error must be a function of one line of text, not {on_error!r}")
        parse_every(equity_every, "equity_every")
        self.equity_every = equity_every
        # sizes first: an unknown futures product stops the run before any work
        self.sizes = Sizes.of(config.instruments, config.sizes, api)
        self.config = config
        self.instruments = list(config.instruments)
        self.costs, self.capital = config.costs, config.capital
        self.strategy = strategy
        self.start, self.end = config.start, config.end
        self.backfill_start, self.backfill_end = config.backfill_start, config.backfill_end
        self.api = api
        self.data_dir = config.data_dir
        self.seed = config.seed
        self.fills = check_fills(config.fills)
        self.quiet = quiet
        self.progress = progress
        self.allow_missing = config.allow_missing
        self.on_error = on_error

    def periods(self) -> list[tuple[str, str]]:
        """The warm-up, when there is one (a lone bound is both ends), then the period."""
        return self.config.periods()

    def run(self) -> BacktestResult:
        """Replay the period through the strategy. Trading days the cache lacks (and no
        broker can fill) refuse the run unless ``allow_missing``; the result lists the
        days it went without and keeps the modules' error records."""
        from tovik_backtest.lazy_ticker import LazyTicker
        from tovik_backtest.modules.matcher.matcher import Matcher

        with BASIC_INFO.override(self.data_dir), utils.quiet_console(self.quiet), \
                ErrorLog(self.on_error) as errors:
            coverage = Coverage(self.instruments, self.periods(), BASIC_INFO.data_dir)
            missing = ([] if self.api else coverage.not_cached()) + coverage.header_only()
            if missing and not self.allow_missing:
                raise missing_error(missing)
            result = self._run_engine(Matcher, LazyTicker)  # the ticker loads when a day needs it
            aside = coverage.set_aside() + coverage.not_moved(errors.records)
        if aside and not self.allow_missing:
            raise missing_error(aside, during_run=True)
        result.skipped_days = [m.line() for m in missing + aside]
        result.errors = list(errors.records)
        return result

    def _run_engine(self, matcher_cls: Any, ticker_cls: Any) -> BacktestResult:
        """The run on the native loop (engine.py), a trading day at a time."""
        strategy = self.strategy
        _check_fresh(strategy)
        strategy._ran = True
        positions = Positions(lot_shares=dict(self.sizes.lot_shares))
        matcher = _new_matcher(matcher_cls, positions, self.seed)
        matcher.set_quiet(bool(self.quiet))  # quiet: the console lines are not even made
        stats = {i.code: InstrumentStats(i.code, i.market) for i in self.instruments}
        recorder = self._recorder()
        reports: list[dict[str, Any]] = []
        started = time.perf_counter()
        try:
            _, backfilling_ticks = engine.drive(
                matcher=matcher, ticker=ticker_cls(self.api), strategy=strategy,
                instruments=list(self.instruments), stats=stats, recorder=recorder, reports=reports,
                period=(self.start, self.end), warm_up=warm_up(self.backfill_start, self.backfill_end),
                on_tick=_default_on_tick(strategy), progress=self.progress,
                own_start=getattr(strategy.on_start, "__func__", None) is not Strategy.on_start,
                # Cached days are read when due (a helper thread only contends for the GIL);
                # a broker's downloads overlap the loop, one day at a time.
                readers=0 if self.api is None else 1, fills=self.fills, seed=self.seed)
        except (Exception, KeyboardInterrupt) as exc:
            # What the run produced before it stopped (on an error, Ctrl-C or SIGTERM) stays
            # readable (and savable) on the exception.
            partial = None
            try:
                with deferred_interrupts():  # a second Ctrl-C waits until the partial result is made
                    partial = self._result(time.perf_counter() - started, stats, recorder, positions,
                                           reports, 0, error=stop_text(exc),
                                           fill_reasons=matcher.fill_reasons())
            except KeyboardInterrupt:
                if not isinstance(exc, KeyboardInterrupt):
                    raise  # stopped while an error was being handled: the stop is the news
            except Exception:  # noqa: BLE001 - the run's own error is the one to raise
                partial = None
            if partial is not None:
                exc.partial_result = partial  # type: ignore[union-attr]
                exc.add_note("the run stopped here; what it produced so far is in this error's partial_result")
            raise
        finally:
            strategy._bind_run(None)
            matcher.close()
        return self._result(time.perf_counter() - started, stats, recorder, positions, reports,
                            backfilling_ticks, fill_reasons=matcher.fill_reasons())

    def _result(self, wall: float, stats: dict[str, InstrumentStats], recorder: Recorder,
                positions: Positions, reports: list[dict[str, Any]], backfilling_ticks: int,
                error: str | None = None, fill_reasons: list[str] | None = None) -> BacktestResult:
        if error is None and not any(st.ticks for st in stats.values()):
            raise _no_ticks(self.instruments, self.start, self.end, self.data_dir)
        recorder.finish()
        count_exchange_cancels(stats, positions)
        return BacktestResult(
            instruments=list(self.instruments),
            reports=reports,
            positions=positions,
            stats=stats,
            backfilling_ticks=backfilling_ticks,
            wall_seconds=wall,
            params=dict(self.strategy.params),
            recorder=recorder,
            costs=self.costs,
            capital=self.capital,
            error=error,
            config=self.config.as_dict(),
            fills=self.fills.name,
            fill_reasons=list(fill_reasons or []),
            strategy=f"{type(self.strategy).__module__}:{type(self.strategy).__qualname__}",
        )

    def _recorder(self) -> Recorder:
        return Recorder(self.instruments, self.sizes, self.costs, self.capital, self.equity_every)

    def run_reference(self, matcher_cls: Any = None, ticker_cls: Any = None) -> BacktestResult:
        """The same run on the reference loop: the Ticker's queue-driven replay, one tick
        per grant, the bookkeeping in Python. Kept to check the native loop against,
        report for report; ``matcher_cls(positions, order_ids=...)`` and
        ``ticker_cls(api)`` stand in for the modules (test doubles), the real ones by default.
        It runs the Touch model without latency only: match_deal sees no quotes or clock."""
        if self.fills != Touch():
            raise BacktestError(f"the reference loop runs the touch model without latency only, not {self.fills.name}")
        if matcher_cls is None:
            from tovik_backtest.modules.matcher.matcher import Matcher as matcher_cls
        if ticker_cls is None:
            from tovik_backtest.modules.ticker.ticker import Ticker as ticker_cls
        strategy = self.strategy
        _check_fresh(strategy)
        strategy._ran = True
        positions = Positions(lot_shares=dict(self.sizes.lot_shares))
        matcher = _new_matcher(matcher_cls, positions, self.seed)
        set_model = getattr(matcher, "set_fill_model", None)  # a host's double may have none
        if set_model is not None:
            set_model(*self.fills.native(self.seed))
        stats = {i.code: InstrumentStats(i.code, i.market) for i in self.instruments}
        recorder = self._recorder()
        reports: list[dict[str, Any]] = []
        started = time.perf_counter()
        with BASIC_INFO.override(self.data_dir), utils.quiet_console(self.quiet):
            backfilling_ticks = run_queued(self, matcher, positions, ticker_cls(self.api), stats, recorder,
                                           reports)
        reasons = matcher.fill_reasons() if set_model is not None else None
        return self._result(time.perf_counter() - started, stats, recorder, positions, reports,
                            backfilling_ticks, fill_reasons=reasons)

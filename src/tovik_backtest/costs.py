"""Trading costs of Taiwan stock and futures fills: commission and transaction tax.

``Costs`` holds the rates (defaults are the published ones); ``CostBook`` charges one
fill at a time during a run and keeps the totals. Amounts are in TWD.

Stocks
    Commission on buys and sells: fill value x rate x discount, floored to whole TWD,
    at least ``stock_min_commission`` per fill (``odd_lot_min_commission`` for odd-lot
    fills, i.e. fills whose quantity counts shares rather than 1,000-share lots).
    Transaction tax on sells only: ``stock_tax_rate`` of the value, ``etf_tax_rate`` for
    ETFs (codes beginning "00"). Shares of a sell that close shares bought on the same
    trading day (same-day buys matched first in, first out) are taxed at
    ``day_trade_tax_rate`` instead, unless the ordinary rate is lower already (ETFs). A
    sell that is partly a day trade has each part taxed at its own rate and the sum
    floored once, so splitting a sell never costs a rounding TWD more.
Futures
    ``futures_commission_per_contract`` per contract on each side; tax is the value
    (price x point value x contracts) x ``futures_tax_rate``, rounded to the nearest
    whole TWD (halves up) on every fill.

Amounts that are floored or rounded are worked out in ``Decimal`` from ``str(price)``,
so binary float error (32.3 x 1000 x 0.01 is 322.99999999999994 in floats) never
costs or saves a TWD.
"""

from __future__ import annotations

import datetime as dt
import math
from collections import deque
from dataclasses import dataclass, fields
from decimal import ROUND_FLOOR, ROUND_HALF_UP, Decimal
from typing import Self

from tovik_backtest import market as mk
from tovik_backtest.constant import Action

__all__ = ["Costs", "FillCost", "CostBook", "BOARD_LOT_SHARES", "FUTURES_WITHOUT_COMMISSION_NOTE"]

BOARD_LOT_SHARES = 1000

FUTURES_WITHOUT_COMMISSION_NOTE = (
    "futures were charged no commission (futures_commission_per_contract is 0): "
    "set your broker's fee per contract, e.g. Costs(futures_commission_per_contract=20)"
)

_MARKETS = ("Stock", "Future")
_WHOLE = Decimal(1)


def _dec(value: float | int) -> Decimal:
    # str() gives the shortest text that round-trips, i.e. the price as it was written
    return Decimal(str(value))


def _price_dec(price: float | int) -> Decimal:
    # read to six places as the price grid does, so a price built by adding steps
    # (0.7 + 0.1 is 0.7999999999999999) is charged as the grid price it stands for
    return _dec(price).quantize(Decimal("0.000001"))


def _floor(value: Decimal) -> int:
    return int(value.to_integral_value(rounding=ROUND_FLOOR))


def _round_half_up(value: Decimal) -> int:
    return int(value.quantize(_WHOLE, rounding=ROUND_HALF_UP))


@dataclass(frozen=True, slots=True)
class Costs:
    """Cost rates. Every field is settable; ``Costs.none()`` charges nothing.

    Rates are fractions of the fill value (0.001425 is 0.1425%); minimums and the
    per-contract fee are TWD. All must be finite, non-negative ``int`` or ``float``.
    """

    stock_commission_rate: float = 0.001425
    stock_commission_discount: float = 1.0
    stock_min_commission: float = 20
    odd_lot_min_commission: float = 1
    stock_tax_rate: float = 0.003
    etf_tax_rate: float = 0.001
    day_trade_tax_rate: float = 0.0015
    futures_commission_per_contract: float = 0
    futures_tax_rate: float = 0.00002

    def __post_init__(self) -> None:
        for field in fields(self):
            value = getattr(self, field.name)
            if type(value) not in (int, float):
                raise TypeError(f"Costs.{field.name} must be an int or float, not {type(value).__name__}")
            if math.isnan(value) or math.isinf(value) or value < 0:
                raise ValueError(f"Costs.{field.name} must be a finite number >= 0, not {value!r}")

    @classmethod
    def none(cls) -> Self:
        """Costs that charge nothing at all (every rate, minimum and fee zero)."""
        return cls(**{field.name: 0 for field in fields(cls)})


@dataclass(frozen=True, slots=True)
class FillCost:
    """What one fill cost.

    ``value``: price x shares (stocks) or price x point value x contracts (futures).
    ``commission``: TWD (whole for stocks). ``tax``: whole TWD. ``day_trade_shares``:
    shares of a stock sell taxed as a day trade (0 otherwise).
    """

    value: float
    commission: float
    tax: int
    day_trade_shares: int = 0

    @property
    def total(self) -> float:
        """Commission plus tax."""
        return self.commission + self.tax


def _check_positive_int(name: str, value: object) -> int:
    if type(value) is not int:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value <= 0:
        raise ValueError(f"{name} must be > 0, not {value}")
    return value


class CostBook:
    """Charges the fills of one run and keeps the totals.

    Feed fills in time order through ``charge``. Same-day stock buys are remembered per
    code (first in, first out) so that a later sell on the same trading day is taxed as
    a day trade; the memory is dropped when ``trading_day`` changes.
    """

    def __init__(self, costs: Costs | None = None) -> None:
        if costs is None:
            costs = Costs()
        if not isinstance(costs, Costs):
            raise TypeError(f"costs must be a Costs, not {type(costs).__name__}")
        self.costs = costs
        self._day: dt.date | None = None
        self._same_day_buys: dict[str, deque[list[int]]] = {}
        self._commission = 0.0
        self._tax = 0
        self._fills = 0
        self._futures_fills = 0

    @property
    def commission(self) -> float:
        """Commission charged so far, TWD."""
        return self._commission

    @property
    def tax(self) -> int:
        """Transaction tax charged so far, TWD."""
        return self._tax

    @property
    def total(self) -> float:
        """Commission plus tax charged so far, TWD."""
        return self._commission + self._tax

    @property
    def fills(self) -> int:
        """Number of fills charged."""
        return self._fills

    @property
    def futures_without_commission(self) -> bool:
        """True when futures were traded while no futures commission is configured.

        A summary should then print ``FUTURES_WITHOUT_COMMISSION_NOTE``: results look
        better than any broker account would.
        """
        return self._futures_fills > 0 and self.costs.futures_commission_per_contract == 0

    untaxed_futures_commission = futures_without_commission

    def charge(
        self,
        code: str,
        market: str,
        action: Action | str,
        price: float,
        quantity: int,
        *,
        shares_per_unit: int | None = None,
        point_value: int | None = None,
        trading_day: dt.date,
    ) -> FillCost:
        """Charge one fill and add it to the totals.

        ``market`` is "Stock" or "Future"; ``action`` an ``Action`` or "Buy"/"Sell";
        ``quantity`` in order units: lots or shares for stocks (give ``shares_per_unit``,
        1000 or 1), contracts for futures (give ``point_value``, TWD per point).
        ``trading_day`` is the trading day the fill belongs to (a night-session futures
        fill belongs to the next trading day: ``market.trading_day_of`` works it out
        from a tick timestamp). Bad input raises before anything is recorded.
        """
        if type(code) is not str or not code:
            raise TypeError(f"code must be a non-empty str, not {code!r}")
        if market not in _MARKETS:
            raise ValueError(f"market must be one of {', '.join(_MARKETS)}, not {market!r}")
        side = Action.from_value(action)
        if type(price) not in (int, float):
            raise TypeError(f"price must be an int or float, not {type(price).__name__}")
        if not (math.isfinite(price) and price > 0):
            raise ValueError(f"price of {code} must be a finite number > 0, not {price!r}")
        _check_positive_int("quantity", quantity)
        if type(trading_day) is not dt.date:
            raise TypeError(f"trading_day must be a datetime.date, not {type(trading_day).__name__}")
        if market == "Stock":
            if point_value is not None:
                raise ValueError(f"point_value is for futures; {code} is a stock: give shares_per_unit")
            if shares_per_unit is None:
                raise ValueError(f"shares_per_unit is needed for stock {code} (1000 for board lots, 1 for odd lots)")
            _check_positive_int("shares_per_unit", shares_per_unit)
            cost = self._stock(code, side, price, quantity * shares_per_unit, shares_per_unit, trading_day)
        else:
            if shares_per_unit is not None:
                raise ValueError(f"shares_per_unit is for stocks; {code} is a future: give point_value")
            if point_value is None:
                raise ValueError(f"point_value is needed for future {code} (TWD per index point)")
            _check_positive_int("point_value", point_value)
            cost = self._future(price, quantity, point_value)
            self._futures_fills += 1
        self._commission += cost.commission
        self._tax += cost.tax
        self._fills += 1
        return cost

    def _stock(
        self, code: str, side: Action, price: float, shares: int, shares_per_unit: int, day: dt.date
    ) -> FillCost:
        c = self.costs
        if day != self._day:
            self._day = day
            self._same_day_buys.clear()
        value = _price_dec(price) * shares
        minimum = c.odd_lot_min_commission if shares_per_unit < BOARD_LOT_SHARES else c.stock_min_commission
        commission = max(_floor(value * _dec(c.stock_commission_rate) * _dec(c.stock_commission_discount)), minimum)
        tax = 0
        day_trade = 0
        if side is Action.BUY:
            self._same_day_buys.setdefault(code, deque()).append([shares])
        else:
            day_trade = self._match_same_day(code, shares)
            base = _dec(c.etf_tax_rate if mk.is_etf(code) else c.stock_tax_rate)
            reduced = min(base, _dec(c.day_trade_tax_rate))
            price_d = _price_dec(price)
            tax = _floor(price_d * day_trade * reduced + price_d * (shares - day_trade) * base)
        return FillCost(float(value), commission, tax, day_trade)

    def _match_same_day(self, code: str, shares: int) -> int:
        buys = self._same_day_buys.get(code)
        matched = 0
        while buys and matched < shares:
            lot = buys[0]
            take = min(lot[0], shares - matched)
            lot[0] -= take
            matched += take
            if lot[0] == 0:
                buys.popleft()
        return matched

    def _future(self, price: float, contracts: int, point_value: int) -> FillCost:
        c = self.costs
        value = _price_dec(price) * point_value * contracts
        tax = _round_half_up(value * _dec(c.futures_tax_rate))
        commission = c.futures_commission_per_contract * contracts
        return FillCost(float(value), commission, tax, 0)

"""An instrument of a back-test (code and market) and the forms it may be written in."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

from tovik_backtest.errors import BacktestError

__all__ = ["MARKETS", "Instrument", "check_distinct", "parse_instrument"]

MARKETS = ("Stock", "Future")

# The exchanges' code alphabets: digits and capital letters. A listed security's code is
# 4 to 6 of them, a digit first (2330, 0050, 00632R, 2881A); a futures code 3 to 12
# (TXFR1, MXFA4, TXF202412). A code names the instrument's cache files, so a code that
# passes can never reach outside the data folder.
_CODE_RULES = {
    "Stock": (re.compile(r"[0-9][0-9A-Z]{3,5}"), "4 to 6 digits or capital letters beginning with a digit, "
                                                 "e.g. 2330 or 00632R"),
    "Future": (re.compile(r"[0-9A-Z]{3,12}"), "3 to 12 capital letters or digits, e.g. TXFR1 or TXF202412"),
}


@dataclass(frozen=True)
class Instrument:
    code: str
    market: str

    def __post_init__(self) -> None:
        if type(self.code) is not str or not self.code.strip():
            raise BacktestError(f"instrument code must be a non-empty text, not {self.code!r}")
        if self.market not in MARKETS:
            raise BacktestError(
                f"market of {self.code} must be one of {', '.join(MARKETS)}, not {self.market!r}"
            )
        pattern, form = _CODE_RULES[self.market]
        if not pattern.fullmatch(self.code):
            shown = repr(self.code) if len(self.code) <= 40 else f"{self.code[:30]!r}... ({len(self.code)} characters)"
            raise BacktestError(f"{shown} is not a {self.market.lower()} code of the exchange: a code is {form}")

    def as_dict(self) -> dict[str, str]:
        return {"code": self.code, "market": self.market}


def parse_instrument(value: Any) -> Instrument:
    """Accept an Instrument, a {"code", "market"} dict, a (code, market) pair or "CODE:MARKET"."""
    if isinstance(value, Instrument):
        return value
    if isinstance(value, dict):
        try:
            return Instrument(value["code"], value["market"])
        except KeyError as exc:
            raise BacktestError(f"instrument {value!r} lacks the key {exc}") from None
    if isinstance(value, str):
        code, sep, market = value.partition(":")
        if not sep:
            raise BacktestError(f"instrument {value!r} must be written CODE:MARKET, e.g. 2330:Stock")
        return Instrument(code.strip(), market.strip())
    if isinstance(value, (tuple, list)) and len(value) == 2:
        return Instrument(value[0], value[1])
    raise BacktestError(f"cannot read an instrument from {value!r}")


def check_distinct(instruments: list[Instrument]) -> None:
    """Refuse an instrument listed twice (the same code in another market is another one)."""
    seen: set[Instrument] = set()
    for instrument in instruments:
        if instrument in seen:
            raise BacktestError(f"instrument {instrument.code}:{instrument.market} is given twice; "
                                "list each instrument once")
        seen.add(instrument)

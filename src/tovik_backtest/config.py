"""One run's configuration: what to replay and how to charge it, checked once.

``RunConfig`` is what ``Backtest``, ``sweep``, ``search`` and every command take alike:
the instruments, the period and its warm-up, the tick cache folder, the costs, the
capital, the contract sizes, the fill model, the seed of the order ids and whether
missing trading days are allowed. It is frozen, checked when made, saved with every
result (``summary.json``, ``sweep.json``) and travels to worker processes as it is.
"""

from __future__ import annotations

import dataclasses
import math
import os
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any

from tovik_backtest.checks import check_periods
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError, describe
from tovik_backtest.fills import check_fills
from tovik_backtest.instruments import Instrument, check_distinct, parse_instrument

__all__ = ["CONFIG_FIELDS", "RunConfig", "config_of", "costs_with", "load_costs"]


@dataclass(frozen=True)
class RunConfig:
    """What a back-test replays and how it is charged.

    ``instruments``: items like "2330:Stock", ("TXFR1", "Future") or {"code", "market"}.
    ``start``/``end`` and the optional warm-up ``backfill_start``/``backfill_end``: texts
    such as "2024-01-02". ``data_dir``: the tick cache folder (None: the package's).
    ``costs``: a ``Costs`` (default the published rates). ``capital``: TWD the drawdown
    and ratios are measured against. ``contract_sizes``: a futures product or code to TWD
    per point, or a stock code to shares per lot (given as a dict; kept as sorted pairs).
    ``fills``: the fill model, ``Touch()`` or ``Queue()`` (None: ``Touch()``). ``seed``: of the order ids.
    ``allow_missing``: run without trading days the cache lacks instead of refusing.
    """

    instruments: tuple[Instrument, ...]
    start: str
    end: str
    backfill_start: str | None = None
    backfill_end: str | None = None
    data_dir: Path | None = None
    costs: Costs = field(default_factory=Costs)
    capital: float = 1_000_000.0
    contract_sizes: tuple[tuple[str, int], ...] = ()
    fills: Any = None
    seed: int = 0
    allow_missing: bool = False

    def __post_init__(self) -> None:
        raw = self.instruments
        if isinstance(raw, (str, dict, Instrument)) or not isinstance(raw, Iterable):
            raise BacktestError(f"instruments must be a list of instruments such as ['2330:Stock'], "
                                f"not {describe(raw)}")
        instruments = tuple(parse_instrument(i) for i in raw)
        if not instruments:
            raise BacktestError("a back-test needs at least one instrument")
        check_distinct(list(instruments))
        self._set("instruments", instruments)
        for name in ("backfill_start", "backfill_end"):
            if getattr(self, name) == "":
                self._set(name, None)
        check_periods(self.start, self.end, self.backfill_start, self.backfill_end)
        if self.data_dir is not None:
            if not isinstance(self.data_dir, (str, os.PathLike)):
                raise BacktestError(f"data_dir must be a folder path, not {describe(self.data_dir)}")
            folder = Path(self.data_dir).expanduser()
            if folder.exists() and not folder.is_dir():
                raise BacktestError(f"data directory {folder} is a file, not a folder of cached ticks")
            self._set("data_dir", folder)
        if not isinstance(self.costs, Costs):
            raise BacktestError(f"costs must be a Costs, not {describe(self.costs)}")
        capital = self.capital
        if type(capital) not in (int, float) or not 0 < capital < math.inf:
            raise BacktestError(f"capital must be a TWD amount > 0, not {capital!r}")
        self._set("capital", float(capital))
        self._set("contract_sizes", _sizes(self.contract_sizes))
        if self.fills is not None:
            check_fills(self.fills)
        if type(self.seed) is not int:
            raise BacktestError(f"seed must be a whole number, not {describe(self.seed)}")
        if type(self.allow_missing) is not bool:
            raise BacktestError(f"allow_missing must be True or False, not {self.allow_missing!r}")

    def _set(self, name: str, value: Any) -> None:
        object.__setattr__(self, name, value)

    def replace(self, **changes: Any) -> RunConfig:
        """A copy with ``changes`` (checked again)."""
        return dataclasses.replace(self, **changes)

    @property
    def sizes(self) -> dict[str, int] | None:
        """``contract_sizes`` as the dict ``Sizes.of`` takes (None when there are none)."""
        return dict(self.contract_sizes) or None

    def periods(self) -> list[tuple[str, str]]:
        """The warm-up, when there is one (a lone bound is both ends), then the period."""
        first = self.backfill_start or self.backfill_end
        warm = [(first, self.backfill_end or first)] if first else []
        return [*warm, (self.start, self.end)]

    def as_dict(self) -> dict[str, Any]:
        """The configuration as JSON values (what ``summary.json`` and ``sweep.json`` keep)."""
        return {
            "instruments": [i.as_dict() for i in self.instruments],
            "start": self.start,
            "end": self.end,
            "backfill_start": self.backfill_start,
            "backfill_end": self.backfill_end,
            "data_dir": None if self.data_dir is None else str(self.data_dir),
            "costs": dataclasses.asdict(self.costs),
            "capital": self.capital,
            "contract_sizes": dict(self.contract_sizes),
            "fills": None if self.fills is None else repr(self.fills),
            "seed": self.seed,
            "allow_missing": self.allow_missing,
        }


# The fields a caller may give one by one instead of a whole RunConfig.
CONFIG_FIELDS: tuple[str, ...] = tuple(f.name for f in fields(RunConfig))


def _sizes(value: Any) -> tuple[tuple[str, int], ...]:
    if value is None:
        return ()
    pairs = value.items() if isinstance(value, Mapping) else value
    try:
        items = [(k, v) for k, v in pairs]
    except (TypeError, ValueError):
        raise BacktestError(f"contract_sizes must map a product or code to a size, e.g. "
                            f"{{'TXF': 200}}, not {describe(value)}") from None
    for name, size in items:
        if type(name) is not str or not name:
            raise BacktestError(f"contract_sizes keys are product or instrument codes, not {name!r}")
        if type(size) is not int or size <= 0:
            raise BacktestError(f"contract size of {name} must be a whole number > 0, not {size!r}")
    return tuple(sorted(items))


def config_of(config: RunConfig | None, given: Mapping[str, Any]) -> RunConfig:
    """The run's configuration: ``config`` itself, or one made of the fields ``given``
    (None stands for a field not given). Giving both is refused: one place says it."""
    passed = {k: v for k, v in given.items() if v is not None}
    if config is None:
        missing = [k for k in ("instruments", "start", "end") if k not in passed]
        if missing:
            raise BacktestError(f"give the run's {', '.join(missing)} (or config=RunConfig(...))")
        return RunConfig(**passed)
    if not isinstance(config, RunConfig):
        raise BacktestError(f"config must be a RunConfig, not {describe(config)}")
    if passed:
        names = ", ".join(sorted(passed))
        raise BacktestError(f"{names} given beside config: put them in the RunConfig "
                            f"(config.replace({next(iter(sorted(passed)))}=...)) instead")
    return config


def load_costs(path: str | os.PathLike[str], **overrides: Any) -> Costs:
    """A ``Costs`` from a TOML file of its fields (``stock_commission_discount = 0.6``
    ...), at top level or under ``[costs]``; ``overrides`` win over the file."""
    file = Path(path)
    try:
        data = tomllib.loads(file.read_text(encoding="utf-8"))
    except OSError as exc:
        raise BacktestError(f"cannot read the costs file {file}: {exc.strerror or exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise BacktestError(f"the costs file {file} is not valid TOML: {exc}") from None
    if isinstance(data.get("costs"), dict):
        data = data["costs"]
    known = [f.name for f in fields(Costs)]
    unknown = sorted(set(data) - set(known))
    if unknown:
        raise BacktestError(f"the costs file {file} has no use for {', '.join(unknown)}; "
                            f"its keys are: {', '.join(known)}")
    return costs_with(Costs(), {**data, **overrides}, where=str(file))


def costs_with(base: Costs, changes: Mapping[str, Any], *, where: str = "costs") -> Costs:
    """``base`` with ``changes``; a bad value is a BacktestError naming the field."""
    try:
        return dataclasses.replace(base, **dict(changes))
    except (TypeError, ValueError) as exc:
        raise BacktestError(f"{where}: {exc}") from None

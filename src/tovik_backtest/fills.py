"""Fill models: how a back-test decides when a resting limit order fills.

``Touch`` fills a limit order on the first tick whose price reaches it, as if it stood
first in the queue: the most optimistic answer, and the default. ``Queue`` puts the
order behind the volume displayed at its price when it reaches the exchange; trades at
its price (and, with ``cancels="proportional"``, a fall of the displayed size that
those trades do not explain) move it up, and only the volume traded beyond its place
fills it. A trade at a better price fills it as under ``Touch``.

Both take a latency: a request placed while the strategy handles a tick of time t
reaches the exchange at the first tick of its instrument at or after t + latency (plus
a jitter drawn from the run's seed). The matching itself runs in the matcher's native
loop; these classes only say which model to run.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Literal

from tovik_backtest.errors import BacktestError

__all__ = ["FILL_CHOICES", "FillModel", "Queue", "Touch", "check_fills", "parse_fill_list", "parse_fills"]

_CANCELS = ("none", "proportional")


def _ms(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BacktestError(f"{name} must be a number of milliseconds, not {type(value).__name__} {value!r}")
    ms = float(value)
    if not (math.isfinite(ms) and ms >= 0):
        raise BacktestError(f"{name} must be a finite number of milliseconds >= 0, not {value!r}")
    return ms


def _ms_text(value: float) -> str:
    return f"{value:g} ms"


@dataclass(frozen=True)
class Touch:
    """A limit order fills on any tick whose price reaches its limit (the default)."""

    latency_ms: float = 0.0
    jitter_ms: float = 0.0

    def __post_init__(self) -> None:
        object.__setattr__(self, "latency_ms", _ms("latency_ms", self.latency_ms))
        object.__setattr__(self, "jitter_ms", _ms("jitter_ms", self.jitter_ms))

    @property
    def name(self) -> str:
        """How summaries name the model, e.g. "touch(latency=0 ms)"."""
        jitter = f", jitter={_ms_text(self.jitter_ms)}" if self.jitter_ms else ""
        return f"touch(latency={_ms_text(self.latency_ms)}{jitter})"

    def native(self, seed: int) -> tuple[str, str, int, int, int]:
        """The matcher's ``set_fill_model`` arguments."""
        return "touch", "none", _ns(self.latency_ms), _ns(self.jitter_ms), _seed(seed)


@dataclass(frozen=True)
class Queue:
    """A limit order waits behind the volume displayed at its price when it arrives."""

    cancels: Literal["none", "proportional"] = "none"
    latency_ms: float = 0.0
    jitter_ms: float = 0.0

    def __post_init__(self) -> None:
        if self.cancels not in _CANCELS:
            raise BacktestError(f"cancels must be 'none' or 'proportional', not {self.cancels!r}")
        object.__setattr__(self, "latency_ms", _ms("latency_ms", self.latency_ms))
        object.__setattr__(self, "jitter_ms", _ms("jitter_ms", self.jitter_ms))

    @property
    def name(self) -> str:
        """How summaries name the model, e.g. "queue(cancels=none, latency=0 ms)"."""
        jitter = f", jitter={_ms_text(self.jitter_ms)}" if self.jitter_ms else ""
        return f"queue(cancels={self.cancels}, latency={_ms_text(self.latency_ms)}{jitter})"

    def native(self, seed: int) -> tuple[str, str, int, int, int]:
        """The matcher's ``set_fill_model`` arguments."""
        return "queue", self.cancels, _ns(self.latency_ms), _ns(self.jitter_ms), _seed(seed)


FillModel = Touch | Queue

# The names the command line takes, and the model each stands for.
FILL_CHOICES = ("touch", "queue", "queue-proportional")


def _ns(ms: float) -> int:
    return round(ms * 1_000_000)


def _seed(seed: int) -> int:
    return int(seed) & ((1 << 63) - 1)


def check_fills(fills: Any) -> FillModel:
    """``fills`` when it is a fill model, else a BacktestError naming the choices."""
    if fills is None:
        return Touch()
    if not isinstance(fills, (Touch, Queue)):
        raise BacktestError(f"fills must be Touch() or Queue() from tovik_backtest.fills, not "
                            f"{type(fills).__name__} {fills!r}")
    return fills


def parse_fills(text: str, latency_ms: float = 0.0, jitter_ms: float = 0.0) -> FillModel:
    """The model a command-line name stands for: touch, queue or queue-proportional."""
    name = text.strip().lower()
    if name == "touch":
        return Touch(latency_ms, jitter_ms)
    if name == "queue":
        return Queue("none", latency_ms, jitter_ms)
    if name == "queue-proportional":
        return Queue("proportional", latency_ms, jitter_ms)
    raise BacktestError(f"unknown fill model {text!r}: choose one of {', '.join(FILL_CHOICES)} "
                        "(or a comma list of them, e.g. touch,queue)")


def parse_fill_list(text: str, latency_ms: float = 0.0, jitter_ms: float = 0.0) -> list[FillModel]:
    """A comma list of command-line names ("touch,queue") as models, in that order."""
    names = [part for part in (p.strip() for p in text.split(",")) if part]
    if not names:
        raise BacktestError(f"--fills needs a model: one of {', '.join(FILL_CHOICES)}")
    models = [parse_fills(name, latency_ms, jitter_ms) for name in names]
    if len(set(models)) != len(models):
        raise BacktestError(f"--fills {text!r} names a model twice")
    return models

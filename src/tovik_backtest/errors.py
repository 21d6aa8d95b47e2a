"""The package's exceptions, and how a wrong value is named in their messages."""

from __future__ import annotations

from typing import Any

__all__ = ["BacktestError", "OrderRefused", "RayUnavailable", "SweepError", "UsageError", "describe"]


class UsageError(Exception):
    """Set-up the user has to fix (arguments, credentials); the command reports it as one
    line and exits with code 2."""


class BacktestError(Exception):
    """A back-test was set up or driven wrongly (bad instrument, order during warm-up, ...)."""


class SweepError(ValueError):
    """A sweep was set up wrongly (bad grid, period, data directory or output folder)."""


class RayUnavailable(ImportError):
    """Ray is needed for this sweep but cannot be imported."""


def describe(value: Any) -> str:
    """A wrong value as an error message names it: "the class X" or "<type> <repr>"."""
    if isinstance(value, type):
        return f"the class {value.__qualname__}"
    return f"{type(value).__name__} {value!r}"


class OrderRefused(BacktestError):
    """An order request the runner or the simulated exchange refused; the message says why.

    Raised in the strategy at the call (``buy``, ``sell``, ``modify``, ``cancel``), so a
    refused order never passes silently."""

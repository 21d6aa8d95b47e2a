"""A strategy's declared parameters: their names, their defaults and the types the
defaults give them.

A ``Strategy`` subclass declares what it takes as the class attribute ``params``, each
name mapped to its default::

    class Cross(Strategy):
        params = {"fast": 20, "slow": 80, "qty": 1}

A subclass's ``params`` extend (and may re-default) its bases'. A value must be of its
default's type: a whole-number default takes whole numbers (never True/False), a
decimal default takes whole numbers or decimals (kept as decimals), True/False takes
only True/False, a text takes only text, any other default takes instances of its type,
and a default of None takes any value. A name must be a plain identifier that hides
nothing of the class: not private (``_x``) and not a method, property or attribute the
strategy already has (``buy``, ``positions``, ``on_tick``, ``params``, ...).

Every way of running a strategy checks its parameters here before anything runs, and a
refusal is a ``BacktestError`` that names the parameter and the fix.
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from typing import Any

from tovik_backtest.errors import BacktestError

__all__ = ["check_declaration", "declared", "resolve", "resolve_each"]

# The class attribute that declares the parameters.
DECLARATION = "params"


def _owner(cls: type, name: str) -> tuple[str, str] | None:
    """(defining class, kind) of the attribute ``name`` of ``cls``, or None if it has none."""
    for klass in cls.__mro__:
        if name in vars(klass):
            value = vars(klass)[name]
            kind = ("a property" if isinstance(value, property)
                    else "a method" if callable(value) or isinstance(value, (staticmethod, classmethod))
                    else "an attribute")
            return klass.__qualname__, kind
    return None


def _check_name(cls: type, name: Any) -> None:
    if type(name) is not str or not name.isidentifier():
        raise BacktestError(f"{cls.__qualname__} declares a parameter named {name!r}: a parameter "
                            "name must be a plain identifier such as fast")
    if name.startswith("_"):
        raise BacktestError(f"{cls.__qualname__} declares the private name {name!r} as a parameter: "
                            "give the parameter a name without a leading underscore")
    owner = _owner(cls, name)
    if owner is not None:
        where, kind = owner
        raise BacktestError(f"parameter {name!r} of {cls.__qualname__} would hide {where}.{name} "
                            f"({kind}): rename the parameter")


def check_declaration(cls: type) -> None:
    """Refuse a ``params`` declaration that is not a mapping of plain, free names."""
    own = vars(cls).get(DECLARATION)
    if own is None:
        return
    if not isinstance(own, Mapping):
        raise BacktestError(f"{cls.__qualname__}.params must be a dict of parameter name to default, "
                            f"e.g. {{'fast': 20}}, not {type(own).__name__}")
    for name in own:
        _check_name(cls, name)


def declared(cls: type) -> dict[str, Any]:
    """Every parameter ``cls`` declares (its bases' included) mapped to its default."""
    out: dict[str, Any] = {}
    for klass in reversed(cls.__mro__):
        own = vars(klass).get(DECLARATION)
        if isinstance(own, Mapping):
            out.update(own)
    return out


def _kind(default: Any) -> str:
    if isinstance(default, bool):
        return "True or False"
    if isinstance(default, numbers.Integral):
        return "a whole number"
    if isinstance(default, numbers.Real):
        return "a number"
    if isinstance(default, str):
        return "a text"
    return f"a {type(default).__name__}"


def _coerce(cls: type, name: str, default: Any, value: Any) -> Any:
    """``value`` as the parameter takes it, or BacktestError when its type is wrong."""
    if default is None:
        return value
    ok: bool
    if isinstance(default, bool):
        ok = isinstance(value, bool)
    elif isinstance(default, numbers.Integral):
        ok = isinstance(value, numbers.Integral) and not isinstance(value, bool)
        value = int(value) if ok else value
    elif isinstance(default, numbers.Real):
        ok = isinstance(value, numbers.Real) and not isinstance(value, bool)
        value = float(value) if ok else value
    else:
        ok = isinstance(value, type(default))
    if not ok:
        raise BacktestError(f"parameter {name!r} of {cls.__qualname__} takes {_kind(default)} "
                            f"(its default is {default!r}), not {type(value).__name__} {value!r}")
    return value


def resolve(cls: type, given: Mapping[str, Any]) -> dict[str, Any]:
    """The values an instance of ``cls`` gets from ``given``: every declared parameter,
    its default unless given. Refuses an undeclared name and a value of the wrong type."""
    params = declared(cls)
    for name in given:
        if name in params:
            continue
        owner = _owner(cls, name) if type(name) is str else None
        if owner is not None:
            where, kind = owner
            raise BacktestError(f"{name!r} is {where}.{name} ({kind}), not a parameter of "
                                f"{cls.__qualname__}: a parameter cannot take its name")
        known = ", ".join(params) if params else "none"
        raise BacktestError(f"{cls.__qualname__} has no parameter {name!r} (it declares: {known}); "
                            f"declare it in {cls.__qualname__}.params or correct the name")
    return {name: _coerce(cls, name, default, given[name]) if name in given else default
            for name, default in params.items()}


def resolve_each(cls: type, sets: list[dict[str, Any]]) -> None:
    """Check every parameter set of a sweep or a search before any of them runs."""
    for given in sets:
        resolve(cls, given)

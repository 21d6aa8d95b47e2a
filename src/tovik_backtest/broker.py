"""Logging in to the broker with the credentials of the environment."""

from __future__ import annotations

import os
from typing import Any

from tovik_backtest.errors import UsageError

__all__ = ["API_KEY_ENV", "SECRET_KEY_ENV", "login_from_env"]

API_KEY_ENV = "SJ_API_KEY"
SECRET_KEY_ENV = "SJ_SECRET_KEY"


def login_from_env() -> Any:
    """A logged-in ``shioaji.Shioaji`` session; UsageError when the credentials are not set."""
    key, secret = os.environ.get(API_KEY_ENV), os.environ.get(SECRET_KEY_ENV)
    if not key or not secret:
        raise UsageError(f"set {API_KEY_ENV} and {SECRET_KEY_ENV} to log in to the broker")
    import shioaji as sj

    api = sj.Shioaji()
    api.login(api_key=key, secret_key=secret)
    return api

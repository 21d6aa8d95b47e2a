"""``tovik-backtest run``: back-test a strategy class on cached (or downloaded) ticks."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tovik_backtest.broker import login_from_env
from tovik_backtest.cli.common import (
    add_config_args,
    check_out_dir,
    config_from_args,
    fill_models_from_args,
    finish,
    keep_errors,
    keep_partial,
    out,
    run_with_progress,
    show_error,
)
from tovik_backtest.cli.sweep import parse_param
from tovik_backtest.compare import fills_table, gap_lines
from tovik_backtest.config import RunConfig
from tovik_backtest.errors import UsageError
from tovik_backtest.fills import FillModel, Queue
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.params import resolve
from tovik_backtest.runner import Backtest


def add_parser(sub: Any) -> None:
    p = sub.add_parser("run", help="back-test a strategy on cached (or downloaded) ticks")
    add_config_args(p)
    p.add_argument("--strategy", required=True, metavar="module:Class", help="strategy class to run")
    p.add_argument("--out", type=Path, help="new or empty folder to save reports, trades and summary")
    p.add_argument("--overwrite", action="store_true",
                   help="replace the results of an earlier run saved in --out")
    p.add_argument("--plot", type=Path, metavar="FILE.png", help="draw prices, fills, equity and drawdown")
    p.add_argument("--report", type=Path, metavar="FILE.html",
                   help="write a self-contained interactive HTML report (needs plotly)")
    p.add_argument("--param", "-p", action="append", type=parse_param, default=[], metavar="NAME=VALUE",
                   help="strategy parameter, e.g. fast=5 (repeatable)")
    p.add_argument("--login", action="store_true",
                   help="log in to the broker (SJ_API_KEY, SJ_SECRET_KEY) to download missing days")
    p.set_defaults(handler=cmd_run)


def _params(pairs: list[tuple[str, list[Any]]]) -> dict[str, Any]:
    params: dict[str, Any] = {}
    for name, values in pairs:
        if name in params:
            raise UsageError(f"--param {name} is given more than once")
        if len(values) != 1:
            raise UsageError(f"--param {name} takes one value in a run, not {len(values)} "
                             "(sweep tries several)")
        params[name] = values[0]
    return params


def cmd_run(args: argparse.Namespace) -> int:
    params = _params(args.param)
    if args.out is not None:
        check_out_dir(args.out, overwrite=args.overwrite)
    models = fill_models_from_args(args)
    config = config_from_args(args, fills=models[0])
    cls = load_strategy_class(args.strategy)
    resolve(cls, params)  # an undeclared or mistyped parameter: BacktestError, exit 2
    try:
        strategy = cls(**params)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{args.strategy} refuses these parameters: {exc}") from None
    api = login_from_env() if args.login else None
    if len(models) > 1:
        return _compare(args, cls, params, config, models, api)
    backtest = Backtest(strategy, config=config, api=api, on_error=show_error)
    try:
        result = run_with_progress(backtest)
    except (Exception, KeyboardInterrupt) as exc:
        partial = getattr(exc, "partial_result", None)
        if partial is not None:
            keep_partial(partial, exc, args)
        raise
    finish(result, args, args.data_dir)
    if result.errors and not args.out:
        out.print(f"{len(result.errors)} error records written to {keep_errors(result.errors)}")
    return 0


def _compare(args: argparse.Namespace, cls: Any, params: dict[str, Any], config: RunConfig,
             models: list[FillModel], api: Any) -> int:
    """The period once per fill model: one line per model, then the optimism gap. With
    --out, each run is saved in a folder of its own named after its model."""
    if args.plot or args.report:
        raise UsageError("--plot and --report draw one run: give --fills a single model with them")
    runs = []
    for model in models:
        backtest = Backtest(cls(**params), config=config.replace(fills=model), api=api, on_error=show_error)
        result = run_with_progress(backtest)
        runs.append((model, result))
        if args.out:
            result.save(args.out / _folder_of(model))
    for line in gap_lines(fills_table(runs)):
        out.print(line, markup=False, highlight=False, soft_wrap=True)
    if args.out:
        out.print(f"saved each model's run under {args.out}")
    return 0


def _folder_of(model: FillModel) -> str:
    if isinstance(model, Queue):
        return "queue" if model.cancels == "none" else "queue-proportional"
    return "touch"

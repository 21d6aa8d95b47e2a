"""The ``tovik-backtest`` command line: demo, run, fetch, sample-data, sweep, search, report.

Each command's parser and handler live in a module of their own; this one puts them
together and turns set-up errors into one line and exit code 2. Nothing in the library
imports this package.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from tovik_backtest.cli import demo, fetch, report, run, sample_data, search, sweep
from tovik_backtest.cli.common import EXIT_USAGE, Parser, out, print_summary, run_with_progress
from tovik_backtest.cli.demo import cmd_demo
from tovik_backtest.cli.fetch import cmd_fetch
from tovik_backtest.cli.run import cmd_run
from tovik_backtest.cli.sample_data import cmd_sample_data
from tovik_backtest.cli.sweep import cmd_sweep
from tovik_backtest.errors import BacktestError, UsageError
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.stops import Terminated, exit_status, ignored_interrupts, terminate_as_interrupt

# The handlers and helpers keep their old names here, for hosts that call them.
__all__ = [
    "EXIT_USAGE",
    "UsageError",
    "build_parser",
    "cmd_demo",
    "cmd_fetch",
    "cmd_run",
    "cmd_sample_data",
    "cmd_sweep",
    "load_strategy_class",
    "main",
    "out",
    "print_summary",
    "run_with_progress",
]

# In the order of the command's help.
_COMMANDS = (demo, run, fetch, sample_data, sweep, search, report)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="tovik-backtest", description="Tick-level back-tests on a simulated exchange.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    for command in _COMMANDS:
        command.add_parser(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        # SIGTERM stops a command as Ctrl-C does: what is finished is kept.
        with terminate_as_interrupt():
            args = parser.parse_args(argv)
            return int(args.handler(args) or 0)
    except (UsageError, BacktestError) as exc:
        sys.stderr.write(f"{parser.prog}: error: {exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt as stop:
        what = "terminated (SIGTERM)" if isinstance(stop, Terminated) else "interrupted"
        # One line, even when Ctrl-C is pressed again; as the program (no argv given),
        # the process is on its way out and heeds no more of them.
        with ignored_interrupts(restore=argv is not None):
            sys.stderr.write(f"{parser.prog}: {what}\n")
        return exit_status(stop)

"""``tovik-backtest report``: draw the page of a saved result again."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tovik_backtest.cli.common import out
from tovik_backtest.errors import UsageError
from tovik_backtest.plot import PlotUnavailable
from tovik_backtest.report import render_data, write_page
from tovik_backtest.report_data import ReportData


def add_parser(sub: Any) -> None:
    p = sub.add_parser("report", help="draw the HTML report of a saved result (run --out) again")
    p.add_argument("folder", type=Path, metavar="RESULT_FOLDER", help="folder a run saved its results to")
    p.add_argument("--out", type=Path, metavar="FILE.html",
                   help="where to write the page (default: report.html in RESULT_FOLDER)")
    p.set_defaults(handler=cmd_report)


def cmd_report(args: argparse.Namespace) -> int:
    data = ReportData.load(args.folder)
    try:
        path = write_page(render_data(data), args.out or args.folder / "report.html")
    except PlotUnavailable as exc:
        raise UsageError(str(exc)) from None
    out.print(f"report written to {path}")
    return 0

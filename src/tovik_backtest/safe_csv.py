"""CSV files that are safe to open in a spreadsheet, and read back as they were.

A spreadsheet reads a cell beginning with ``=``, ``+``, ``-`` or ``@`` (or a tab or a
carriage return, which some skip before looking) as a formula and runs it. Every such
text cell is written with a leading ``'``, which spreadsheets show as text and do not
run; so is a text cell that itself begins with ``'``, so that reading the file back
(``read_text_cells``) drops exactly one ``'`` from every text cell that has one. Only
text columns are touched: numbers, negative ones included, stay numbers.
"""

from __future__ import annotations

from pathlib import Path

import polars as pl

__all__ = ["FORMULA_START", "read_text_cells", "spreadsheet_safe", "write_csv"]

# What a text cell that a spreadsheet would run begins with.
FORMULA_START = "=+-@\t\r"
_ESCAPED = r"^['=+\-@\t\r]"


def _texts(frame: pl.DataFrame) -> list[str]:
    return [name for name, dtype in frame.schema.items() if dtype == pl.String]


def spreadsheet_safe(frame: pl.DataFrame) -> pl.DataFrame:
    """``frame`` with every text cell a spreadsheet would read as a formula (or that begins
    with ``'``) behind a leading ``'``."""
    return frame.with_columns(
        pl.when(pl.col(name).str.contains(_ESCAPED))
        .then(pl.lit("'") + pl.col(name))
        .otherwise(pl.col(name))
        .alias(name)
        for name in _texts(frame)
    )


def read_text_cells(frame: pl.DataFrame) -> pl.DataFrame:
    """A frame read from a file ``write_csv`` wrote, with its text cells as they were."""
    return frame.with_columns(pl.col(name).str.strip_prefix("'") for name in _texts(frame))


def write_csv(frame: pl.DataFrame, path: str | Path) -> None:
    """Write ``frame`` to ``path`` as CSV, its formula-like text cells escaped."""
    spreadsheet_safe(frame).write_csv(path)

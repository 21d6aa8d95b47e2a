# Functions over the tick cache's binary records (a C++ extension).
from typing import Any

def merge_records(parts: list[Any], codes: list[int], ranks: list[int], width: int, columns: list[Any]) -> None:
    """Merge files of tick records into one table, in (time stamp, code rank) order."""

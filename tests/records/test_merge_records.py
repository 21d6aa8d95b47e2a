"""merge_records: a day's files merged into columns in (time stamp, code rank) order,
the same order numpy's stable lexsort gives the files' rows concatenated."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tovik_backtest.modules.records.records import merge_records

import testkit

WIDTH = 3  # ts, then two payload words


def _part(ts, tag):
    rows = np.empty((len(ts), WIDTH), dtype=np.int64)
    rows[:, 0] = ts
    rows[:, 1] = tag
    rows[:, 2] = np.arange(len(ts))
    return rows.reshape(-1)


def _merge(parts, codes, ranks):
    total = sum(len(p) // WIDTH for p in parts)
    columns = [np.full(total, -7, dtype=np.int64) for _ in range(WIDTH + 1)]
    merge_records(parts, codes, ranks, WIDTH, columns)
    return np.stack(columns, axis=1)


def _reference(parts, codes, ranks):
    rows = np.concatenate([p.reshape(-1, WIDTH) for p in parts]) if parts else np.empty((0, WIDTH), np.int64)
    code = np.concatenate([np.full(len(p) // WIDTH, c) for p, c in zip(parts, codes)]) if parts else np.empty(0)
    rank = np.concatenate([np.full(len(p) // WIDTH, r) for p, r in zip(parts, ranks)]) if parts else np.empty(0)
    order = np.lexsort((rank, rows[:, 0]))
    return np.column_stack([rows[order], code[order]]).astype(np.int64)


@pytest.mark.parametrize("parts, codes, ranks", [
    ([[1, 3, 5], [2, 3, 4]], [0, 1], [0, 1]),            # interleaved, a tie broken by rank
    ([[1, 3, 5], [2, 3, 4]], [0, 1], [1, 0]),            # the other code sorts first as text
    ([[1, 2], [2, 2, 3], [1, 2]], [0, 0, 1], [0, 0, 1]),  # two days of one code keep their order
    ([[5, 1, 3], [2, 2]], [0, 1], [0, 1]),               # a file out of time order: sorted stably
    ([[], [4, 4], []], [0, 1, 2], [2, 1, 0]),            # empty files
    ([], [], []),
    ([[d, d + 5, 20] for d in range(12)], [d % 3 for d in range(12)], [2 - d % 3 for d in range(12)]),
], ids=["interleaved", "rank decides", "same code", "unsorted file", "empty files", "no files", "many files"])
def test_the_merge_is_numpys_stable_order(parts, codes, ranks):
    arrays = [_part(ts, tag) for tag, ts in enumerate(parts)]
    assert _merge(arrays, codes, ranks).tolist() == _reference(arrays, codes, ranks).tolist()


@settings(max_examples=testkit.examples(200), deadline=None)
@given(st.lists(st.tuples(st.lists(st.integers(0, 6), max_size=12), st.booleans(), st.integers(0, 3)), max_size=14))
def test_any_files_merge_as_lexsort_does(files):
    arrays, codes, ranks = [], [], []
    for tag, (ts, in_order, code) in enumerate(files):
        arrays.append(_part(sorted(ts) if in_order else ts, tag))
        codes.append(code)
        ranks.append(3 - code)
    assert _merge(arrays, codes, ranks).tolist() == _reference(arrays, codes, ranks).tolist()


def _columns(n, count=WIDTH + 1):
    return [np.zeros(n, dtype=np.int64) for _ in range(count)]


@pytest.mark.parametrize("call, error, message", [
    (lambda: merge_records([_part([1], 0)], [0, 1], [0], WIDTH, _columns(1)), ValueError, "one length"),
    (lambda: merge_records([np.arange(4)], [0], [0], WIDTH, _columns(1)), ValueError, "not whole records of 3"),
    (lambda: merge_records([_part([1], 0)], [0], [0], WIDTH, _columns(2)), ValueError, "holds 2 items for 1 rows"),
    (lambda: merge_records([_part([1], 0)], [0], [0], WIDTH, _columns(1, WIDTH)), ValueError, "width \\+ 1"),
    (lambda: merge_records([_part([1], 0)], [0], [0], 0, _columns(1, 1)), ValueError, "at least 1"),
    (lambda: merge_records([_part([1], 0).astype(np.float32)], [0], [0], WIDTH, _columns(1)), TypeError,
     "int64 items"),
    (lambda: merge_records([_part([1], 0)], [0], [0], WIDTH, [c.copy() for c in _columns(1)][:3] + [b"x" * 8]),
     TypeError, "writable"),
    (lambda: merge_records((_part([1], 0),), [0], [0], WIDTH, _columns(1)), TypeError, "must be list"),
    (lambda: merge_records([_part([1], 0)], ["0"], [0], WIDTH, _columns(1)), TypeError, "codes"),
], ids=["lengths", "partial record", "column length", "column count", "width", "dtype", "read-only column",
        "tuple", "code text"])
def test_bad_arguments_are_refused_with_the_reason(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_column_over_a_part_or_another_column_is_refused():
    part = _part([1, 2], 0)
    shared = _columns(2)
    shared[1] = shared[0]
    for columns, message in ((_columns(2)[:3] + [part[:2]], "shares memory with a part"),
                             (shared, "shares memory with column 0")):
        with pytest.raises(ValueError, match=message):
            merge_records([part], [0], [0], WIDTH, columns)
    assert part.tolist() == _part([1, 2], 0).tolist()

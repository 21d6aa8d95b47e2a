"""CSV files are safe to open in a spreadsheet: text cells it would run as formulas are
written behind a ', numbers stay numbers, and the package reads its own files back as
they were."""

import csv
import os
import subprocess
import sys

import polars as pl
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tovik_backtest.report_data import ReportData
from tovik_backtest.runner import Backtest
from tovik_backtest.safe_csv import read_text_cells, write_csv
from tovik_backtest.sample_strategy import MovingAverageCross


def _cells(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


@pytest.mark.parametrize(
    "text, written",
    [
        ("=1+2", "'=1+2"),
        ('=HYPERLINK("http://x")', '\'=HYPERLINK("http://x")'),
        ("+886", "'+886"),
        ("-5", "'-5"),
        ("-OvV3dOLj_fg8Esk", "'-OvV3dOLj_fg8Esk"),
        ("@SUM(A1:A9)", "'@SUM(A1:A9)"),
        ("\t=1", "'\t=1"),
        ("\r=1", "'\r=1"),
        ("'kept", "''kept"),
        ("2330", "2330"),
        ("TXFR1", "TXFR1"),
        ("a=b", "a=b"),
        ("Buy", "Buy"),
        ("", ""),
    ],
)
def test_a_text_cell_is_written_escaped_only_when_a_spreadsheet_would_run_it(tmp_path, text, written):
    path = tmp_path / "t.csv"
    write_csv(pl.DataFrame({"text": [text]}, schema={"text": pl.String}), path)
    assert _cells(path) == [["text"], [written]]


def test_numbers_negative_ones_included_stay_numbers(tmp_path):
    frame = pl.DataFrame({"qty": [-5, 3], "pnl": [-1.5, 2.25], "code": ["-x", "2330"]})
    path = tmp_path / "n.csv"
    write_csv(frame, path)
    assert _cells(path) == [["qty", "pnl", "code"], ["-5", "-1.5", "'-x"], ["3", "2.25", "2330"]]
    back = pl.read_csv(path)
    assert back.schema == {"qty": pl.Int64, "pnl": pl.Float64, "code": pl.String}
    assert back["qty"].to_list() == [-5, 3] and back["pnl"].to_list() == [-1.5, 2.25]


@given(st.lists(st.text(alphabet="=+-@'\t\r ab1,\"", min_size=1, max_size=6), min_size=1, max_size=8))
def test_text_cells_read_back_as_they_were_and_none_starts_a_formula(tmp_path_factory, texts):
    path = tmp_path_factory.mktemp("prop") / "p.csv"
    write_csv(pl.DataFrame({"text": texts}), path)
    written = [row[0] for row in _cells(path)[1:]]
    assert not any(cell[0] in "=+-@\t\r" for cell in written)
    back = read_text_cells(pl.read_csv(path, schema={"text": pl.String}))
    assert back["text"].to_list() == texts


@pytest.fixture(scope="module")
def sample(one_sample_day):
    return one_sample_day("safe-csv-data", seed=6)


def test_saved_trades_are_escaped_and_the_page_reads_them_back(sample, tmp_path):
    data_dir, start, end = sample
    result = Backtest(MovingAverageCross(fast=3, slow=8), ["2330:Stock"], start, end, data_dir=data_dir, seed=0).run()
    ids = result.trades()["trade_id"].to_list()
    assert any(i.startswith("-") for i in ids)  # order ids may begin with "-"
    folder = result.save(tmp_path / "run")
    rows = _cells(folder / "trades.csv")
    column = rows[0].index("trade_id")
    assert [r[column] for r in rows[1:]] == [("'" + i if i.startswith("-") else i) for i in ids]
    pnl = rows[0].index("realized_pnl")
    assert any(r[pnl].startswith("-") for r in rows[1:])  # losses are written as numbers
    assert ReportData.load(folder).fills["trade_id"].to_list() == ids


@pytest.mark.usefixtures("hang_watchdog")
def test_sweep_table_escapes_parameter_texts_not_numbers(sample, tmp_path):
    data_dir, start, end = sample
    (tmp_path / "noted.py").write_text(
        "from tovik_backtest.sample_strategy import MovingAverageCross\n\n"
        "class Noted(MovingAverageCross):\n"
        "    params = {'note': '', 'shift': 0}\n\n"
        "    def on_start(self):\n"
        "        self.noted = self.note\n"
    )
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "tovik_backtest",
            "sweep",
            "--strategy",
            f"{tmp_path / 'noted.py'}:Noted",
            "-i",
            "2330:Stock",
            "--start",
            start,
            "--end",
            end,
            "--data-dir",
            str(data_dir),
            "--local-processes",
            "1",
            "-p",
            "fast=3",
            "-p",
            "slow=8",
            "-p",
            "note==HYPERLINK(1),@x,plain",
            "-p",
            "shift=-2",
            "--out",
            str(tmp_path / "out"),
        ],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        capture_output=True,
        text=True,
        timeout=180,
    )
    assert done.returncode == 0, done.stderr
    rows = _cells(tmp_path / "out" / "sweep.csv")
    head = rows[0]
    notes = sorted(r[head.index("note")] for r in rows[1:])
    assert notes == ["'=HYPERLINK(1)", "'@x", "plain"]
    assert {r[head.index("shift")] for r in rows[1:]} == {"-2"}
    assert pl.read_csv(tmp_path / "out" / "sweep.csv")["shift"].dtype == pl.Int64

"""``run --out`` writes its results whole or not at all, refuses to mix runs, and a run
stopped by Ctrl-C or SIGTERM keeps what it produced, marked partial, in one line."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from tovik_backtest import cli
from tovik_backtest.errors import BacktestError
from tovik_backtest.folders import remove_leftovers, write_whole

STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"

pytestmark = pytest.mark.usefixtures("hang_watchdog")


@pytest.fixture(scope="module")
def sample(one_sample_day):
    return one_sample_day("run-stops-data", seed=6)


def _argv(sample, out, *extra):
    data_dir, start, end = sample
    return [
        "run",
        "--strategy",
        STRATEGY,
        "-p",
        "fast=3",
        "-p",
        "slow=8",
        "-i",
        "2330:Stock",
        "--start",
        start,
        "--end",
        end,
        "--data-dir",
        str(data_dir),
        "--out",
        str(out),
        *extra,
    ]


def _snapshot(folder):
    if not folder.exists() and not folder.is_symlink():
        return None
    if folder.is_symlink() or folder.is_file():
        return "not a folder"
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def _earlier_run(folder):
    folder.mkdir()
    (folder / "summary.json").write_text('{"earlier": true}')
    (folder / "trades.csv").write_text("time,code\n")


def _runs_side_by_side(folder):
    folder.mkdir()
    for name in ("touch", "queue"):
        _earlier_run(folder / name)


def _other_files(folder):
    folder.mkdir()
    (folder / "notes.txt").write_text("mine")


def _a_file(folder):
    folder.write_text("a file")


def _a_link(folder):
    (folder.parent / "elsewhere").mkdir()
    folder.symlink_to(folder.parent / "elsewhere")


# (what is at --out before the run, --overwrite?, exit status, words of the refusal)
FOLDERS = {
    "missing": (None, False, 0, None),
    "empty": (lambda f: f.mkdir(), False, 0, None),
    "an earlier run's results": (_earlier_run, False, 2, "--overwrite"),
    "an earlier run's results, --overwrite": (_earlier_run, True, 0, None),
    "runs saved side by side": (_runs_side_by_side, False, 2, "--overwrite"),
    "runs saved side by side, --overwrite": (_runs_side_by_side, True, 0, None),
    "other files": (_other_files, False, 2, "not a run's results"),
    "other files, --overwrite": (_other_files, True, 2, "not a run's results"),
    "a file": (_a_file, True, 2, "is a file"),
    "a symbolic link": (_a_link, False, 2, "symbolic link"),
}


@pytest.mark.parametrize("make, overwrite, status, words", list(FOLDERS.values()), ids=list(FOLDERS))
def test_out_folder_is_written_whole_or_refused(sample, tmp_path, capsys, make, overwrite, status, words):
    out = tmp_path / "out"
    if make is not None:
        make(out)
    before = _snapshot(out)
    code = cli.main(_argv(sample, out, *(["--overwrite"] if overwrite else [])))
    err = capsys.readouterr().err.strip().splitlines()
    assert code == status
    if status == 0:
        summary = json.loads((out / "summary.json").read_text())
        assert "partial" not in summary and summary["params"]["fast"] == 3
        saved = {p.name for p in out.iterdir()}
        assert {"reports.jsonl", "trades.csv", "round_trips.csv", "summary.json"} <= saved
        assert "notes.txt" not in saved
    else:
        assert len(err) == 1 and words in err[0] and str(out) in err[0], err
        assert _snapshot(out) == before
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


class Stop(BaseException):
    pass


def _fails_after(files, stop):
    def write(folder):
        for name in files:
            (folder / name).write_text("new " + name)
        raise stop

    return write


@pytest.mark.parametrize(
    "stop", [KeyboardInterrupt(), OSError("disk full"), Stop()], ids=["Ctrl-C", "disk full", "any stop"]
)
@pytest.mark.parametrize("make", [None, lambda f: f.mkdir(), _earlier_run], ids=["missing", "empty", "earlier"])
def test_a_write_cut_short_leaves_the_folder_as_it_was(tmp_path, make, stop):
    target = tmp_path / "out"
    if make is not None:
        make(target)
    before = _snapshot(target)
    with pytest.raises(type(stop)):
        write_whole(target, _fails_after(["summary.json", "trades.csv"], stop))
    assert _snapshot(target) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ([] if before is None else ["out"])


def test_a_whole_write_replaces_earlier_results_and_only_them(tmp_path):
    target = tmp_path / "out"
    _earlier_run(target)
    (target / "old.png").write_bytes(b"x")
    write_whole(target, lambda f: (f / "summary.json").write_text("{}"))
    assert _snapshot(target) == {"summary.json": b"{}"}
    with pytest.raises(BacktestError, match="another run"):
        write_whole(target, lambda f: None, overwrite=False)
    _other_files(tmp_path / "mine")
    with pytest.raises(BacktestError, match="not a run's results"):
        write_whole(tmp_path / "mine", lambda f: None)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mine", "out"]


def test_leftovers_of_killed_saves_are_removed(tmp_path):
    (tmp_path / ".0001-a.saving-0123abcd").mkdir()
    (tmp_path / ".0001-a.saving-0123abcd" / "trades.csv").write_text("x")
    (tmp_path / ".0002.replaced-00000000").mkdir()
    (tmp_path / ".hidden").mkdir()
    (tmp_path / "0003-b").mkdir()
    remove_leftovers(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == [".hidden", "0003-b"]


# ---- stops from outside, with real signals --------------------------------------------------

WAITS = textwrap.dedent("""
    import os
    import signal
    import time
    from pathlib import Path

    import polars as pl

    from tovik_backtest.sample_strategy import MovingAverageCross

    if os.environ.get("CTRL_C_IN_WRITE_CSV"):
        # Ctrl-C pressed while a CSV file is being written
        write_csv = pl.DataFrame.write_csv

        def pressed(self, *args, **kwargs):
            os.kill(os.getpid(), signal.SIGINT)
            return write_csv(self, *args, **kwargs)

        pl.DataFrame.write_csv = pressed

    class Waits(MovingAverageCross):
        # Trades as the sample strategy, then at tick WAIT_AT says so in MARK and waits.
        seen = 0

        def on_tick(self, tick):
            super().on_tick(tick)
            self.seen += 1
            if self.seen == int(os.environ.get("WAIT_AT", "0")):
                Path(os.environ["MARK"]).write_text("waiting")
                time.sleep(120)
""")


def _start(sample, tmp_path, *extra, **environ):
    (tmp_path / "waits.py").write_text(WAITS)
    data_dir, start, end = sample
    command = [
        sys.executable,
        "-m",
        "tovik_backtest",
        "run",
        "--strategy",
        f"{tmp_path / 'waits.py'}:Waits",
        "-p",
        "fast=3",
        "-p",
        "slow=8",
        "-i",
        "2330:Stock",
        "--start",
        start,
        "--end",
        end,
        "--data-dir",
        str(data_dir),
        "--out",
        str(tmp_path / "out"),
        *extra,
    ]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MARK=str(tmp_path / "mark"), **environ)
    return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _wait_for_mark(proc, tmp_path):
    deadline = time.monotonic() + 120
    while not (tmp_path / "mark").exists():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the run never reached its waiting tick"
        time.sleep(0.05)


def _finish(proc):
    try:
        return proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def _leftovers(tmp_path):
    return [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize(
    "signum, status, line",
    [
        (signal.SIGINT, 130, "tovik-backtest: interrupted"),
        (signal.SIGTERM, 143, "tovik-backtest: terminated (SIGTERM)"),
    ],
    ids=["Ctrl-C", "SIGTERM"],
)
def test_a_stopped_run_saves_its_partial_result_marked_partial(sample, tmp_path, signum, status, line):
    proc = _start(sample, tmp_path, WAIT_AT="600")
    _wait_for_mark(proc, tmp_path)
    proc.send_signal(signum)
    stdout, stderr = _finish(proc)
    assert proc.returncode == status, stderr
    assert stderr.strip().splitlines()[-1] == line and "Traceback" not in stderr
    out = tmp_path / "out"
    summary = json.loads((out / "summary.json").read_text())
    assert summary["partial"] is True and summary["error"].startswith(
        "Terminated" if signum == signal.SIGTERM else "KeyboardInterrupt"
    )
    assert 0 < summary["overall"]["ticks"] < 1000
    assert "PARTIAL result: net P&L" in stdout and "marked partial" in stdout
    page = (out / "report.html").read_text(encoding="utf-8")
    title = page.split("<title>")[1].split("</title>")[0]
    first = page.split("<body>")[1].split("</h1>")[0]
    assert "partial" in title.lower() and "partial" in first.lower()
    assert _leftovers(tmp_path) == []


def test_ctrl_c_again_while_the_partial_result_is_saved_saves_nothing(sample, tmp_path):
    proc = _start(sample, tmp_path, WAIT_AT="600", CTRL_C_IN_WRITE_CSV="1")
    _wait_for_mark(proc, tmp_path)
    proc.send_signal(signal.SIGINT)
    _, stderr = _finish(proc)
    assert proc.returncode == 130, stderr
    assert stderr.strip().splitlines() == ["tovik-backtest: interrupted"]
    assert not (tmp_path / "out").exists() and _leftovers(tmp_path) == []


def test_ctrl_c_in_the_final_save_keeps_the_earlier_results(sample, tmp_path):
    out = tmp_path / "out"
    _earlier_run(out)
    before = _snapshot(out)
    proc = _start(sample, tmp_path, "--overwrite", CTRL_C_IN_WRITE_CSV="1")
    _, stderr = _finish(proc)
    assert proc.returncode == 130, stderr
    assert stderr.strip().splitlines() == ["tovik-backtest: interrupted"]
    assert _snapshot(out) == before and _leftovers(tmp_path) == []


@pytest.mark.slow
def test_ctrl_c_pressed_many_times_ends_in_one_line(sample, tmp_path):
    proc = _start(sample, tmp_path, WAIT_AT="600")
    _wait_for_mark(proc, tmp_path)
    # Pressed again and again until the command has ended.
    deadline = time.monotonic() + 60
    while proc.poll() is None and time.monotonic() < deadline:
        proc.send_signal(signal.SIGINT)
        time.sleep(0.005)
    _, stderr = _finish(proc)
    assert proc.returncode == 130, stderr
    assert stderr.strip().splitlines() == ["tovik-backtest: interrupted"]
    out = tmp_path / "out"
    # Saved whole, or (when a later Ctrl-C cut the save short) not at all.
    if out.exists():
        assert json.loads((out / "summary.json").read_text())["partial"] is True
    assert _leftovers(tmp_path) == []

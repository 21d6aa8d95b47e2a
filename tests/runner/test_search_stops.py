"""Stopping the search command from outside: Ctrl-C or SIGTERM ends its workers at once,
keeps the trials that finished, and --resume ends with the table of a search run in one go."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import polars as pl
import pytest

import testkit

pytestmark = pytest.mark.usefixtures("hang_watchdog")

# Trials whose x is at least SLOW_FROM sleep SLOW_DELAY seconds, first leaving a file in
# SLOW_STARTED; the grid sampler's seeded order decides which trials those are.
SLOW = textwrap.dedent("""
    import os
    import time

    from tovik_backtest import Strategy

    class Slow(Strategy):
        params = {"x": 0}

        def on_start(self):
            if self.x >= int(os.environ.get("SLOW_FROM", "99")):
                if os.environ.get("SLOW_STARTED"):
                    open(os.path.join(os.environ["SLOW_STARTED"], str(self.x)), "w").close()
                time.sleep(float(os.environ.get("SLOW_DELAY", "0")))
""")
TIMING = ("wall_seconds", "ticks_per_second")


def _session_processes(sid):
    found = subprocess.run(["ps", "-e", "-o", "pid=,sid=,stat="], capture_output=True, text=True,
                           check=True).stdout.split("\n")
    return [fields[0] for fields in map(str.split, found)
            if fields[1:2] == [str(sid)] and not fields[2].startswith("Z")]


def _wait_until(condition, proc, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert proc is None or proc.poll() is None, proc.stderr.read()
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


@pytest.mark.parametrize(("how", "status", "line"), [
    (lambda proc: os.killpg(proc.pid, signal.SIGINT), 130, "search interrupted: "),
    (lambda proc: os.kill(proc.pid, signal.SIGTERM), 143, "search terminated (SIGTERM): "),
], ids=["Ctrl-C", "SIGTERM"])
def test_a_stopped_search_ends_its_workers_and_resume_finishes(how, status, line, one_sample_day, tmp_path):
    data_dir, start, end = one_sample_day("search-stops", seed=4)
    (tmp_path / "slow.py").write_text(SLOW)
    base = [sys.executable, "-m", "tovik_backtest", "search", "--strategy", f"{tmp_path / 'slow.py'}:Slow",
            "-i", "2330:Stock", "--start", start, "--end", end, "--data-dir", str(data_dir), "-p", "x=0..5",
            "--sampler", "grid", "--trials", "6", "--batch", "6", "--local-processes", "2", "--seed", "1"]
    one_go = subprocess.run([*base, "--out", str(tmp_path / "one")], env=testkit.child_env(),
                            capture_output=True, text=True, timeout=180, check=False)
    assert one_go.returncode == 0, one_go.stderr
    out, started = tmp_path / "out", tmp_path / "started"
    started.mkdir()
    proc = subprocess.Popen([*base, "--out", str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True,
                            env=dict(testkit.child_env(), SLOW_FROM="3", SLOW_DELAY="60",
                                     SLOW_STARTED=str(started)))
    try:
        journal = out / "trials.jsonl"
        _wait_until(lambda: journal.is_file() and len(journal.read_text().splitlines()) >= 2, proc, 120,
                    "two finished trials")
        _wait_until(lambda: len(list(started.iterdir())) >= 2, proc, 120, "the slow trials")
        how(proc)
        # the slow trials sleep for a minute: their workers end within seconds
        _wait_until(lambda: _session_processes(proc.pid) in ([], [str(proc.pid)]), None, 10, "the workers to end")
        _, stderr = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == status, stderr
    assert "Traceback" not in stderr
    last = stderr.strip().splitlines()[-1]
    assert last.startswith(line) and "--resume" in last
    kept = journal.read_text().splitlines()
    assert json.loads((out / "search.json").read_text())["partial"] is True
    assert 2 <= len(kept) < 6 and all(json.loads(k)["trial"] < 6 for k in kept)

    done = subprocess.run([*base, "--out", str(out), "--resume"], env=testkit.child_env(), capture_output=True,
                          text=True, timeout=180, check=False)
    assert done.returncode == 0, done.stderr
    lines = journal.read_text().splitlines()
    assert lines[:len(kept)] == kept and len(lines) == 6  # the finished trials did not run again
    resumed = pl.read_csv(out / "trials.csv").drop(TIMING)
    assert resumed.equals(pl.read_csv(tmp_path / "one" / "trials.csv").drop(TIMING))

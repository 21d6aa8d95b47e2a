"""Sweeps that stop early: Ctrl-C and --resume, unreachable Ray clusters, scripts that
start a sweep without the main guard."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import polars as pl
import pytest

from tovik_backtest import cli
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.sweeps import SweepError, SweepInterrupted, sweep
from tovik_backtest.sweeps.backends import check_address

INSTRUMENTS = ["2330:Stock"]
GRID = {"fast": [5, 10, 20], "slow": [30, 60]}
# Figures of the machine, not of the run; and where each run was saved.
VARYING = ("wall_seconds", "ticks_per_second", "result")
STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"


pytestmark = pytest.mark.usefixtures("hang_watchdog")


@pytest.fixture(scope="module")
def sample(one_sample_day):
    return one_sample_day("stops-data", seed=5)


@pytest.fixture(scope="module")
def one_go(sample, tmp_path_factory):
    """GRID swept in one go into its own folder."""
    data_dir, start, end = sample
    out = tmp_path_factory.mktemp("one-go") / "out"
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir,
                  local_processes=2, out=out)
    return table, out


def env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def session_processes(sid):
    found = subprocess.run(["ps", "-e", "-o", "pid=,sid="], capture_output=True, text=True,
                           check=True).stdout.split("\n")
    return [line.split()[0] for line in found if line.split()[1:] == [str(sid)]]


# ---- interrupt and resume --------------------------------------------------------------------


class StopAfter:
    """A progress callback that interrupts the sweep once ``runs`` have finished."""

    def __init__(self, runs):
        self.runs = runs

    def __call__(self, done, total):
        if done >= self.runs:
            raise KeyboardInterrupt


@pytest.mark.parametrize("backend", ["pool", "ray"])
def test_interrupted_sweep_resumes_into_the_same_table(backend, sample, one_go, tmp_path):
    data_dir, start, end = sample
    if backend == "ray":
        pytest.importorskip("ray")
    where = {"local_processes": 2} if backend == "pool" else {}
    out = tmp_path / "out"
    with pytest.raises(SweepInterrupted) as info:
        sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir, out=out,
              progress=StopAfter(2), **where)
    stop = info.value
    assert isinstance(stop, KeyboardInterrupt)
    assert (stop.done, stop.total, stop.out) == (2, 6, out.resolve())
    about = json.loads((out / "sweep.json").read_text())
    assert (about["partial"], about["runs"], about["total_runs"]) == (True, 2, 6)
    assert pl.read_csv(out / "sweep.csv").height == 2
    kept = (out / "runs.jsonl").read_text().splitlines()

    seen = []
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir, out=out,
                  resume=True, progress=lambda done, total: seen.append(done), **where)
    expected, expected_out = one_go
    assert table.drop(VARYING).equals(expected.drop(VARYING))
    saved = pl.read_csv(out / "sweep.csv")
    assert saved.drop(VARYING).equals(pl.read_csv(expected_out / "sweep.csv").drop(VARYING))
    assert json.loads((out / "sweep.json").read_text())["partial"] is False
    # Only the missing runs ran: the finished ones kept their lines, each run has one.
    lines = (out / "runs.jsonl").read_text().splitlines()
    assert lines[:2] == kept and len(lines) == 6
    assert sorted(json.loads(line)["run"] for line in lines) == list(range(6))
    assert seen[0] == 2 and seen[-1] == 6
    for row in table.iter_rows(named=True):
        summary = Path(row["result"]) / "summary.json"
        assert json.loads(summary.read_text())["params"] == {
            "fast": row["fast"], "slow": row["slow"], "qty": 1}


def test_resuming_a_finished_sweep_runs_nothing(sample, one_go, tmp_path):
    data_dir, start, end = sample
    expected, expected_out = one_go
    before = (expected_out / "runs.jsonl").read_text()
    table = sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir,
                  out=expected_out, local_processes=2, resume=True)
    assert table.drop(VARYING).equals(expected.drop(VARYING))
    assert (expected_out / "runs.jsonl").read_text() == before


@pytest.mark.parametrize(
    ("change", "words"),
    [
        (["-p", "fast=5,10", "-p", "slow=30,60"], "grid"),
        (["-p", "fast=5,10,20", "-p", "slow=60,30"], "grid"),
        (["--strategy", "FILE:Other"], "strategy"),
        (["-i", "TXFR1:Future"], "instruments"),
        (["--start", "2024-01-01"], "start"),
        (["--seed", "7"], "seed"),
        (["--capital", "5000"], "capital"),
    ],
)
def test_resume_refuses_another_sweep(change, words, sample, one_go, tmp_path, capsys):
    data_dir, start, end = sample
    _, out = one_go
    (tmp_path / "other.py").write_text(
        "from tovik_backtest.sample_strategy import MovingAverageCross\n\n"
        "class Other(MovingAverageCross):\n"
        "    def __init__(self, **params):\n        super().__init__(**params)\n")
    change = [c.replace("FILE", str(tmp_path / "other.py")) for c in change]
    args = {"--strategy": STRATEGY, "-i": INSTRUMENTS[0], "--start": start, "--end": end}
    grid = ["-p", "fast=5,10,20", "-p", "slow=30,60"]
    if change[0] == "-p":
        grid = change
    else:
        args[change[0]] = change[1]
    before = sorted(p.name for p in out.iterdir())
    code = cli.main(["sweep", *[x for kv in args.items() for x in kv], *grid,
                     "--data-dir", str(data_dir), "--local-processes", "1", "--out", str(out),
                     "--resume"])
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "different sweep" in err[0] and f"({words} was" in err[0]
    assert sorted(p.name for p in out.iterdir()) == before


@pytest.mark.parametrize(
    ("folder", "words"),
    [(None, "--resume needs --out"), ("empty", "no sweep to resume"),
     ("other", "no sweep to resume")],
)
def test_resume_needs_a_saved_sweep(folder, words, sample, tmp_path, capsys):
    data_dir, start, end = sample
    where = []
    if folder is not None:
        (tmp_path / folder).mkdir()
        if folder == "other":
            (tmp_path / folder / "notes.txt").write_text("mine")
        where = ["--out", str(tmp_path / folder)]
    code = cli.main(["sweep", "--strategy", STRATEGY, "-i", INSTRUMENTS[0], "--start", start,
                     "--end", end, "--data-dir", str(data_dir), "--local-processes", "1",
                     *where, "--resume"])
    assert code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and words in err[0]


def test_non_empty_folder_of_a_sweep_points_at_resume(sample, one_go):
    data_dir, start, end = sample
    with pytest.raises(SweepError, match="not empty.*resume"):
        sweep(MovingAverageCross, GRID, INSTRUMENTS, start, end, data_dir=data_dir,
              out=one_go[1], local_processes=1)


SLOW = textwrap.dedent("""
    import os
    import time

    from tovik_backtest.sample_strategy import MovingAverageCross

    class Slow(MovingAverageCross):
        # Runs from `tag` SLOW_FROM on take SLOW_DELAY seconds, each first leaving a
        # file named after its tag in SLOW_STARTED when that is set.
        params = {"tag": 0}

        def on_start(self):
            if self.tag >= int(os.environ.get("SLOW_FROM", "99")):
                if os.environ.get("SLOW_STARTED"):
                    open(os.path.join(os.environ["SLOW_STARTED"], str(self.tag)), "w").close()
                time.sleep(float(os.environ.get("SLOW_DELAY", "0")))
""")


def test_ctrl_c_stops_the_command_at_once_and_resume_finishes(sample, tmp_path):
    data_dir, start, end = sample
    (tmp_path / "slow.py").write_text(SLOW)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "tovik_backtest", "sweep", "--strategy",
               f"{tmp_path / 'slow.py'}:Slow", "-i", INSTRUMENTS[0], "--start", start,
               "--end", end, "--data-dir", str(data_dir), "-p", "tag=0,1,2,3,4,5",
               "--local-processes", "2", "--out", str(out)]
    # As a terminal does it: SIGINT to the whole process group, workers included.
    started = tmp_path / "started"
    started.mkdir()
    proc = subprocess.Popen(command, env=dict(env(), SLOW_FROM="2", SLOW_DELAY="60", SLOW_STARTED=str(started)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        journal = out / "runs.jsonl"
        deadline = time.monotonic() + 120
        # the two quick runs are recorded and both workers are inside a slow run
        while not (journal.is_file() and len(journal.read_text().splitlines()) >= 2
                   and len(list(started.iterdir())) >= 2):
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            time.sleep(0.2)
        os.killpg(proc.pid, signal.SIGINT)
        # The runs in progress sleep for a minute: waiting for them would time out here.
        stdout, stderr = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 130, stderr
    last = stderr.strip().splitlines()[-1]
    assert "2 of 6 runs finished" in last and "--resume" in last and str(out) in last
    assert "Traceback" not in stderr
    about = json.loads((out / "sweep.json").read_text())
    assert (about["partial"], about["runs"]) == (True, 2)
    assert pl.read_csv(out / "sweep.csv")["tag"].sort().to_list() == [0, 1]
    for _ in range(30):
        if not session_processes(proc.pid):
            break
        time.sleep(0.1)
    assert session_processes(proc.pid) == []

    done = subprocess.run([*command, "--resume"], env=env(), capture_output=True, text=True,
                          timeout=180, check=False)
    assert done.returncode == 0, done.stderr
    saved = pl.read_csv(out / "sweep.csv")
    assert sorted(saved["tag"].to_list()) == list(range(6)) and saved["error"].null_count() == 6
    assert len((out / "runs.jsonl").read_text().splitlines()) == 6


# ---- unreachable Ray clusters ----------------------------------------------------------------


@pytest.mark.parametrize("how", ["--address", "RAY_ADDRESS", "ray-client"])
def test_unreachable_ray_address_fails_at_once(how, sample):
    pytest.importorskip("ray")
    data_dir, start, end = sample
    address = f"127.0.0.1:{free_port()}"
    extra, environ = [], env()
    if how == "--address":
        extra = ["--address", address]
    elif how == "ray-client":
        address = f"ray://{address}"
        extra = ["--address", address]
    else:
        environ["RAY_ADDRESS"] = address
    done = subprocess.run(
        [sys.executable, "-m", "tovik_backtest", "sweep", "--strategy", STRATEGY,
         "-i", INSTRUMENTS[0], "--start", start, "--end", end, "--data-dir", str(data_dir),
         "-p", "fast=5", *extra],
        env=environ, capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 2
    err = done.stderr.strip().splitlines()
    assert len(err) == 1, done.stderr
    assert address in err[0] and "ray start --head" in err[0] and "--local-processes" in err[0]


@pytest.mark.parametrize("address", ["auto", "local", "somehost", "ray://somehost"])
def test_addresses_ray_resolves_itself_are_left_to_it(address):
    assert check_address(address) is None


# ---- scripts without the main guard ----------------------------------------------------------


def test_script_without_main_guard_fails_once_with_the_fix(sample, tmp_path):
    data_dir, start, end = sample
    script = tmp_path / "unguarded.py"
    script.write_text(textwrap.dedent(f"""
        import tovik_backtest
        from tovik_backtest.sample_strategy import MovingAverageCross

        table = tovik_backtest.sweep(MovingAverageCross, {{"fast": [5, 10, 20]}}, ["2330:Stock"],
                                     {start!r}, {end!r}, data_dir={str(data_dir)!r},
                                     local_processes=2)
        print("TABLE", table.height, table["error"].null_count())
    """))
    done = subprocess.run([sys.executable, str(script)], env=env(), capture_output=True,
                          text=True, timeout=120, check=False)
    assert done.returncode != 0
    assert "TABLE" not in done.stdout
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("tovik_backtest.errors.SweepError")
    assert "if __name__ == \"__main__\":" in last and str(script) in last
    assert "died" not in done.stderr

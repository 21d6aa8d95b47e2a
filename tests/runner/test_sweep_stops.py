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

import testkit

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
    return testkit.child_env()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def session_processes(sid):
    """The live processes of session ``sid`` (ended ones not yet reaped do not count)."""
    found = subprocess.run(["ps", "-e", "-o", "pid=,sid=,stat="], capture_output=True, text=True,
                           check=True).stdout.split("\n")
    return [fields[0] for fields in map(str.split, found)
            if fields[1:2] == [str(sid)] and not fields[2].startswith("Z")]


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


def _wait_until(condition, proc, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert proc is None or proc.poll() is None, proc.stderr.read()
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def _slow_runs_under_way(marks, count):
    return lambda: marks.is_dir() and len(list(marks.iterdir())) >= count


def _ctrl_c(proc):
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal does it: the whole group, workers included


def _sigterm(proc):
    os.kill(proc.pid, signal.SIGTERM)  # as timeout, a scheduler or systemd do it: the parent only


def _sigkill(proc):
    os.kill(proc.pid, signal.SIGKILL)  # nothing of the parent runs after this


# (how the sweep is stopped, its exit status, the start of its last line; None: it says nothing)
STOPS = {
    "Ctrl-C": (_ctrl_c, 130, "sweep interrupted: 2 of 6 runs finished"),
    "SIGTERM": (_sigterm, 143, "sweep terminated (SIGTERM): 2 of 6 runs finished"),
    "SIGKILL": pytest.param(_sigkill, -signal.SIGKILL, None, marks=pytest.mark.slow),
}


@pytest.mark.parametrize("stop, status, line", list(STOPS.values()), ids=list(STOPS))
def test_a_stopped_sweep_ends_its_workers_at_once_and_resume_finishes(sample, tmp_path, stop, status, line):
    data_dir, start, end = sample
    (tmp_path / "slow.py").write_text(SLOW)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "tovik_backtest", "sweep", "--strategy",
               f"{tmp_path / 'slow.py'}:Slow", "-i", INSTRUMENTS[0], "--start", start,
               "--end", end, "--data-dir", str(data_dir), "-p", "tag=0,1,2,3,4,5",
               "--local-processes", "2", "--out", str(out)]
    started = tmp_path / "started"
    started.mkdir()
    proc = subprocess.Popen(command, env=dict(env(), SLOW_FROM="2", SLOW_DELAY="60", SLOW_STARTED=str(started)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        journal = out / "runs.jsonl"
        _wait_until(lambda: journal.is_file() and len(journal.read_text().splitlines()) >= 2, proc, 120,
                    "two finished runs")
        _wait_until(_slow_runs_under_way(started, 2), proc, 120, "the slow runs")
        stop(proc)
        # The runs in progress sleep for a minute: the workers carrying them end within 5 s.
        _wait_until(lambda: session_processes(proc.pid) in ([], [str(proc.pid)]), None, 5, "the workers to end")
        stdout, stderr = proc.communicate(timeout=20)
        _wait_until(lambda: not session_processes(proc.pid), None, 5, "every process of the sweep to end")
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == status, stderr
    assert "Traceback" not in stderr
    if line is not None:
        last = stderr.strip().splitlines()[-1]
        assert last.startswith(line) and "--resume" in last and str(out) in last
        about = json.loads((out / "sweep.json").read_text())
        assert (about["partial"], about["runs"]) == (True, 2)
        assert pl.read_csv(out / "sweep.csv")["tag"].sort().to_list() == [0, 1]
    assert len(journal.read_text().splitlines()) == 2
    assert sorted(p.name[:4] for p in (out / "runs").iterdir() if not p.name.startswith(".")) == ["0000", "0001"]
    # what a worker killed in the middle of saving its run leaves beside the run folders
    (out / "runs" / ".0002-tag=2.saving-0badcafe").mkdir()
    (out / "runs" / ".0002-tag=2.saving-0badcafe" / "trades.csv").write_text("cut short")

    done = subprocess.run([*command, "--resume"], env=env(), capture_output=True, text=True,
                          timeout=180, check=False)
    assert done.returncode == 0, done.stderr
    saved = pl.read_csv(out / "sweep.csv")
    assert sorted(saved["tag"].to_list()) == list(range(6)) and saved["error"].null_count() == 6
    assert len((out / "runs.jsonl").read_text().splitlines()) == 6
    assert sorted(p.name[:4] for p in (out / "runs").iterdir()) == [f"{i:04d}" for i in range(6)]


ORPHAN = textwrap.dedent("""
    import multiprocessing
    import os
    import sys
    import time
    from pathlib import Path

    from tovik_backtest.sweeps.pool import die_with_parent


    def child(parent, prctl, mark):
        die_with_parent(parent, prctl=prctl)
        Path(mark).write_text(str(os.getpid()))
        time.sleep(120)


    if __name__ == "__main__":
        worker = multiprocessing.get_context("spawn").Process(
            target=child, args=(os.getpid(), sys.argv[1] == "kernel", sys.argv[2]))
        worker.start()
        worker.join()
""")


def _alive(pid):
    found = subprocess.run(["ps", "-o", "stat=", "-p", str(pid)], capture_output=True, text=True).stdout.strip()
    return bool(found) and not found.startswith("Z")


@pytest.mark.parametrize("way", ["kernel", "watching thread"])
def test_a_worker_ends_when_its_parent_is_killed(tmp_path, way):
    (tmp_path / "orphan.py").write_text(ORPHAN)
    mark = tmp_path / "worker.pid"
    proc = subprocess.Popen([sys.executable, str(tmp_path / "orphan.py"), way.split()[0], str(mark)],
                            env=env(), start_new_session=True)
    worker = None
    try:
        _wait_until(lambda: mark.is_file() and mark.read_text(), proc, 60, "the worker to start")
        worker = int(mark.read_text())
        assert _alive(worker)
        proc.kill()
        proc.wait(timeout=10)
        _wait_until(lambda: not _alive(worker), None, 5, "the orphaned worker to end")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if worker is not None and _alive(worker):
            os.kill(worker, signal.SIGKILL)


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

"""Importing the ticker leaves the user's folders alone: the broker library's log file
goes into the data directory when that exists, else into a per-user file in the
temporary folder, or wherever the user's SJ_LOG_PATH says; no folder is created."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile

import pytest

import testkit

IMPORT = "import tovik_backtest.modules.ticker.ticker; import os; print(os.environ['SJ_LOG_PATH'])"


def _import(tmp_path, env_changes: dict[str, str]) -> subprocess.CompletedProcess:
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    env = testkit.child_env()
    env.pop("SJ_LOG_PATH", None)
    env.update(env_changes)
    done = subprocess.run([sys.executable, "-c", IMPORT], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert list(cwd.iterdir()) == []
    return done


# data dir: "made" exists before the import, "missing" does not
@pytest.mark.parametrize(("data_state", "user_path"), [
    ("made", None),
    ("missing", None),
    ("missing", "mine/broker.log"),
    ("made", "mine/broker.log"),
])
def test_import_writes_no_log_into_the_current_directory(tmp_path, data_state, user_path):
    data, mine = tmp_path / "data", tmp_path / "mine"
    mine.mkdir()
    if data_state == "made":
        data.mkdir()
    env = {"TOVIK_BACKTEST_DATA_DIR": str(data)}
    if user_path:
        env["SJ_LOG_PATH"] = str(tmp_path / user_path)
    done = _import(tmp_path, env)
    logged = done.stdout.strip()
    if user_path:
        assert logged == str(tmp_path / user_path)  # a user's choice is kept as given
    elif data_state == "made":
        assert logged == str(data / "shioaji.log")
    else:
        assert os.path.dirname(logged) == tempfile.gettempdir()
    assert os.path.isfile(logged)
    assert data.exists() == (data_state == "made")
    if data.exists():
        assert (data / "shioaji.log").exists() == (not user_path)


def test_import_with_the_default_data_dir_creates_no_folder(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    env = {"HOME": str(home), "USERPROFILE": str(home), "TOVIK_BACKTEST_DATA_DIR": ""}
    done = _import(tmp_path, env)
    assert list(home.iterdir()) == []
    assert os.path.dirname(done.stdout.strip()) == tempfile.gettempdir()

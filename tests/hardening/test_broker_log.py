"""Importing the ticker leaves the current directory alone: the broker library's log
file goes into the data directory, or wherever the user's SJ_LOG_PATH says."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

IMPORT = "import tovik_backtest.modules.ticker.ticker; import os; print(os.environ['SJ_LOG_PATH'])"


@pytest.mark.parametrize("user_path", [None, "mine/broker.log"])
def test_import_writes_no_log_into_the_current_directory(tmp_path, user_path):
    cwd, data, mine = tmp_path / "cwd", tmp_path / "data", tmp_path / "mine"
    cwd.mkdir()
    mine.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TOVIK_BACKTEST_DATA_DIR=str(data))
    env.pop("SJ_LOG_PATH", None)
    if user_path:
        env["SJ_LOG_PATH"] = str(tmp_path / user_path)
    done = subprocess.run([sys.executable, "-c", IMPORT], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert list(cwd.iterdir()) == []
    expected = tmp_path / user_path if user_path else data / "shioaji.log"
    assert done.stdout.strip() == str(expected)  # a user's choice is kept as given
    assert expected.is_file()
    if user_path:
        assert not (data / "shioaji.log").exists()

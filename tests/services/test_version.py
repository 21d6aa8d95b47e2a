"""The version is written in one place, ``tovik_backtest.version.__version__``; the build
reads it from there and the package re-exports it."""

import re
import tomllib

import tovik_backtest

import testkit

PYPROJECT = tomllib.loads((testkit.ROOT / "pyproject.toml").read_text(encoding="utf-8"))
VERSION_FILE = testkit.ROOT / "src" / "tovik_backtest" / "version.py"
# the build's default pattern: __version__ = "..." on a line of its own
VERSION_LINE = re.compile(r"^__version__ = ['\"]([^'\"]+)['\"]$", re.M)


def test_the_build_takes_the_version_from_the_package():
    project, build = PYPROJECT["project"], PYPROJECT["tool"]["scikit-build"]
    assert "version" not in project and "version" in project["dynamic"]
    assert build["metadata"]["version"]["provider"] == "scikit_build_core.metadata.regex"
    assert (testkit.ROOT / build["metadata"]["version"]["input"]).resolve() == VERSION_FILE.resolve()


def test_the_version_is_written_once_and_is_a_release_number():
    (version,) = VERSION_LINE.findall(VERSION_FILE.read_text(encoding="utf-8"))
    assert re.fullmatch(r"\d+\.\d+\.\d+", version) and tovik_backtest.__version__ == version
    others = [p for p in (testkit.ROOT / "src").rglob("*.py") if p != VERSION_FILE and version in p.read_text()]
    assert others == []

"""The version is written in one place, the package's ``__version__``; the build reads
it from there."""

import re
import tomllib
from pathlib import Path

import tovik_backtest

import testkit

PYPROJECT = tomllib.loads((testkit.ROOT / "pyproject.toml").read_text(encoding="utf-8"))


def test_the_build_takes_the_version_from_the_package():
    project, build = PYPROJECT["project"], PYPROJECT["tool"]["scikit-build"]
    assert "version" not in project and "version" in project["dynamic"]
    assert build["metadata"]["version"]["provider"] == "scikit_build_core.metadata.regex"
    source = testkit.ROOT / build["metadata"]["version"]["input"]
    assert source.resolve() == Path(tovik_backtest.__file__).resolve()


def test_the_version_is_written_once_and_is_a_release_number():
    assert re.fullmatch(r"\d+\.\d+\.\d+", tovik_backtest.__version__)
    text = (testkit.ROOT / "src" / "tovik_backtest" / "__init__.py").read_text(encoding="utf-8")
    # the build's default pattern: __version__ = "..." on a line of its own
    assert len(re.findall(r"^__version__ = ['\"]([^'\"]+)['\"]$", text, re.M)) == 1
    others = [p for p in (testkit.ROOT / "src").rglob("*.py") if tovik_backtest.__version__ in p.read_text()]
    assert others == [Path(tovik_backtest.__file__)]

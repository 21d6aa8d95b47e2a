import pytest

from tovik_backtest.errors import UsageError
from tovik_backtest.loader import load_strategy_class
from tovik_backtest.sample_strategy import MovingAverageCross


@pytest.mark.parametrize(
    "target, message",
    [
        ("tovik_backtest.sample_strategy", "must be written module:Class"),
        (":MovingAverageCross", "must be written module:Class"),
        ("tovik_backtest.sample_strategy:", "must be written module:Class"),
        ("tovik_backtest.nowhere:X", "cannot import tovik_backtest.nowhere: No module named"),
        ("a..b:X", "cannot import a..b: No module named 'a'"),
        ("my-mod:X", "cannot import my-mod: No module named 'my-mod'"),
        (".relative:X", "is not an absolute module name"),
        ("tovik_backtest.sample_strategy:Nope", "is not a Strategy subclass"),
        ("tovik_backtest.sample_strategy:deque", "is not a Strategy subclass"),
        ("tovik_backtest.sample_strategy:1x", "is not a Strategy subclass"),
        ("/no/such/file.py:X", "strategy file not found: /no/such/file.py"),
    ],
)
def test_bad_references_are_usage_errors(target, message):
    with pytest.raises(UsageError, match=message.replace(".", r"\.").replace("(", r"\(")):
        load_strategy_class(target)


def test_module_and_file_forms(tmp_path):
    assert load_strategy_class("tovik_backtest.sample_strategy:MovingAverageCross") is MovingAverageCross
    source = tmp_path / "mine.py"
    source.write_text(
        "from tovik_backtest.sample_strategy import MovingAverageCross\n"
        "class Outer:\n"
        "    class Inner(MovingAverageCross):\n"
        "        pass\n"
    )
    cls = load_strategy_class(f"{source}:Outer.Inner")
    assert issubclass(cls, MovingAverageCross) and cls.__qualname__ == "Outer.Inner"


def test_an_error_inside_the_strategy_module_is_not_hidden(tmp_path, monkeypatch):
    # A broken module shows its own traceback, not a one-line usage error.
    (tmp_path / "broken_strategy_mod.py").write_text("raise ValueError('boom')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ValueError, match="boom"):
        load_strategy_class("broken_strategy_mod:X")

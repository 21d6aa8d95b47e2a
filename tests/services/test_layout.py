"""The package's layering, read from the source: who imports whom, and module sizes."""

import ast
from pathlib import Path

import pytest

import tovik_backtest

PACKAGE = Path(tovik_backtest.__file__).parent
MAX_LINES = 500


def _module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _sources() -> dict[str, Path]:
    return {_module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}


def _imports(name: str, path: Path, known: set[str]) -> set[str]:
    """Modules of the package that ``name`` imports, anywhere in its body (lazy ones too)."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join([*anchor, base] if base else anchor)
            # "from pkg import mod" imports the submodule mod when there is one.
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in known else base for a in node.names]
        else:
            continue
        for target in targets:
            # A dotted import loads its parent packages as well; the nearest known one counts.
            while target and target not in known:
                target = target.rpartition(".")[0]
            if target and target != name:
                found.add(target)
    return found


def import_graph() -> dict[str, set[str]]:
    sources = _sources()
    known = set(sources)
    return {name: _imports(name, path, known) for name, path in sources.items()}


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """One import cycle as a list of modules (first repeated at the end), or None."""
    state: dict[str, int] = {}  # 1 on the current path, 2 done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                cycle = visit(nxt)
                if cycle:
                    return cycle
        path.pop()
        state[node] = 2
        return None

    for start in sorted(graph):
        if start not in state:
            cycle = visit(start)
            if cycle:
                return cycle
    return None


# A package's own __init__ importing its submodules (and they it) is how a package
# re-exports; only edges between different packages or plain modules can form a cycle
# that matters, so parent-package edges are left out of the check.
def _without_parent_edges(graph: dict[str, set[str]]) -> dict[str, set[str]]:
    return {
        name: {t for t in targets if not name.startswith(t + ".") and not t.startswith(name + ".")}
        for name, targets in graph.items()
    }


@pytest.mark.parametrize(
    "graph, cycle",
    [
        ({"a": {"b"}, "b": {"c"}, "c": set()}, None),
        ({"a": {"b"}, "b": {"a"}}, ["a", "b", "a"]),
        ({"a": {"b"}, "b": {"c"}, "c": {"b"}}, ["b", "c", "b"]),
        ({"a": {"b", "c"}, "b": {"c"}, "c": set()}, None),
    ],
)
def test_find_cycle(graph, cycle):
    assert find_cycle(graph) == cycle


def test_the_graph_sees_lazy_and_relative_imports():
    graph = import_graph()
    # The package imports the runner only inside __getattr__.
    assert "tovik_backtest.runner" in graph["tovik_backtest"]
    assert "tovik_backtest.cli" in graph["tovik_backtest.__main__"]


def test_no_import_cycle():
    assert find_cycle(_without_parent_edges(import_graph())) is None


def test_nothing_imports_the_command_line():
    importers = sorted(
        name
        for name, targets in import_graph().items()
        if any(t == "tovik_backtest.cli" or t.startswith("tovik_backtest.cli.") for t in targets)
        and not (name == "tovik_backtest.cli" or name.startswith("tovik_backtest.cli."))
        and name != "tovik_backtest.__main__"
    )
    assert importers == []


@pytest.mark.parametrize(
    "lower, upper",
    [
        ("tovik_backtest.constant", "tovik_backtest.runner"),
        ("tovik_backtest.utils", "tovik_backtest.runner"),
        ("tovik_backtest.tick_cache", "tovik_backtest.runner"),
        ("tovik_backtest.runner", "tovik_backtest.sweeps"),
        ("tovik_backtest.results", "tovik_backtest.sweeps"),
        ("tovik_backtest.modules.positions.positions", "tovik_backtest.runner"),
        ("tovik_backtest.trading_calendar", "tovik_backtest.market"),
        ("tovik_backtest.market", "tovik_backtest.runner"),
        # the day reader merges the cache's records without the exchange or the ticker
        ("tovik_backtest.days", "tovik_backtest.modules.matcher"),
        ("tovik_backtest.days", "tovik_backtest.modules.ticker"),
    ],
)
def test_layers_read_downward(lower, upper):
    graph = import_graph()
    reach, todo = set(), [lower]
    while todo:
        for nxt in graph.get(todo.pop(), ()):
            if nxt not in reach:
                reach.add(nxt)
                todo.append(nxt)
    assert not any(m == upper or m.startswith(upper + ".") for m in reach)


def test_no_module_is_too_long():
    long = {name: n for name, path in _sources().items() if (n := len(path.read_text().splitlines())) > MAX_LINES}
    assert long == {}

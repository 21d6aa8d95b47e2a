"""The type stubs shipped beside the extensions describe the real classes: every
method with its parameters, defaults and docstring summary, and every instance field."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

import pytest

import tovik_backtest
from tovik_backtest.modules.matcher import matcher as matcher_module
from tovik_backtest.modules.records import records as records_module
from tovik_backtest.modules.ticker import ticker as ticker_module

MODULES = [(matcher_module, "Matcher"), (ticker_module, "Ticker")]


def stub_tree(module) -> ast.Module:
    path = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    assert path.is_file(), f"no stub beside {module.__file__}"
    return ast.parse(path.read_text(encoding="utf-8"))


def stub_class(module, name: str) -> ast.ClassDef:
    tree = stub_tree(module)
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name]
    return cls


def runtime_methods(cls) -> dict[str, object]:
    """Methods by their stub spelling (a private `_Cls__name` is written `__name`)."""
    prefix = f"_{cls.__name__}__"
    return {
        (key.replace(prefix, "__", 1) if key.startswith(prefix) else key): value
        for key, value in vars(cls).items()
        if callable(value) and key != "__new__"
    }


def stub_parameters(fn: ast.FunctionDef, method: bool = True) -> list[tuple[str, str, object]]:
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    out = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional, defaults)]
    if args.vararg:
        out.append((args.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    out += [(a.arg, "KEYWORD_ONLY", inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return out[1:] if method else out  # without self


def runtime_parameters(fn, method: bool = True) -> list[tuple[str, str, object]]:
    params = list(inspect.signature(fn).parameters.values())[1 if method else 0 :]
    # the C methods take every named argument by position or keyword
    return [(p.name, "POSITIONAL_OR_KEYWORD" if p.kind is p.POSITIONAL_ONLY else p.kind.name, p.default)
            for p in params]


@pytest.mark.parametrize(("module", "name"), MODULES)
class TestStubs:
    def test_every_method_is_described_with_its_parameters(self, module, name) -> None:
        cls = getattr(module, name)
        stub = {node.name: node for node in stub_class(module, name).body if isinstance(node, ast.FunctionDef)}
        methods = runtime_methods(cls)
        assert sorted(stub) == sorted(methods)
        for method_name, fn in methods.items():
            assert stub_parameters(stub[method_name]) == runtime_parameters(fn), method_name

    def test_docstrings_are_the_summary_lines(self, module, name) -> None:
        cls = getattr(module, name)
        stub = {node.name: node for node in stub_class(module, name).body if isinstance(node, ast.FunctionDef)}
        for method_name, fn in runtime_methods(cls).items():
            summary = inspect.getdoc(fn).splitlines()[0].strip()
            assert ast.get_docstring(stub[method_name]) == summary, method_name

    def test_instance_fields_are_declared(self, module, name, monkeypatch) -> None:
        cls = getattr(module, name)
        instance = cls() if name == "Matcher" else cls(None)
        declared = [node.target.id for node in stub_class(module, name).body if isinstance(node, ast.AnnAssign)]
        assert sorted(declared) == sorted(vars(instance))


@pytest.mark.parametrize("module", [matcher_module, ticker_module, records_module], ids=lambda m: m.__name__)
def test_module_functions_are_described_with_their_parameters(module) -> None:
    stub = {node.name: node for node in stub_tree(module).body if isinstance(node, ast.FunctionDef)}
    functions = {name: fn for name, fn in vars(module).items() if inspect.isbuiltin(fn)}
    assert sorted(stub) == sorted(functions)
    for name, fn in functions.items():
        assert stub_parameters(stub[name], method=False) == runtime_parameters(fn, method=False), name
        assert ast.get_docstring(stub[name]) == inspect.getdoc(fn).splitlines()[0].strip(), name


def test_package_is_marked_typed() -> None:
    assert Path(tovik_backtest.__file__).with_name("py.typed").is_file()

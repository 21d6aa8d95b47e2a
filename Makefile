# Commands a contributor runs. `make demo` and `make test` each set up .venv with
# CPython 3.12 (created when missing), install the package into it and run.

# Use pyenv's 3.12.1 where pyenv is present.
ifneq ($(shell command -v pyenv 2>/dev/null),)
export PYENV_VERSION ?= 3.12.1
endif
PYTHON ?= python3.12
VENV ?= .venv
VPY := $(VENV)/bin/python
PIP_FLAGS ?= --disable-pip-version-check -q

.PHONY: demo test bench bench-sweep lint install venv dev dev-matcher dev-ticker clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)

install: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) '.[test,plot,cluster]'

demo: install
	$(VENV)/bin/tovik-backtest demo

test: install
	$(VPY) -m pytest $(PYTEST_ARGS)

bench: install
	$(VPY) benchmarks/bench_matcher.py
	$(VPY) benchmarks/bench_ticker.py

bench-sweep: install
	$(VPY) benchmarks/bench_sweep.py

lint: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) ruff
	$(VPY) -m ruff check src tests benchmarks

# Developer builds: compile one extension in place under src/ (tests then run with
# PYTHONPATH=src). Each target has its own build folder so both can build at once.
DEV_CMAKE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIK_OUTPUT_ROOT=$(abspath src) -DTOVIK_WERROR=ON \
	-DPython_EXECUTABLE=$(abspath $(VPY))
dev-matcher: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(DEV_CMAKE) -B build/dev-matcher >/dev/null
	cmake --build build/dev-matcher --target matcher
dev-ticker: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(DEV_CMAKE) -B build/dev-ticker >/dev/null
	cmake --build build/dev-ticker --target ticker
dev: dev-matcher dev-ticker

clean:
	rm -rf build $(VENV) src/tovik_backtest/modules/*/*.so

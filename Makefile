# Commands a contributor runs. `make demo` and `make test` each set up a virtualenv
# (created when missing), install the package into it (again only when a source file
# changed since the last install) and run. The interpreter is
# PYTHON: CPython 3.12 by default, in .venv; `make test PYTHON=python3.13` uses
# .venv-python3.13 and its own build folders, so both can live side by side.
PYTHON ?= python3.12
PY_VERSION := $(patsubst python%,%,$(notdir $(PYTHON)))
ifeq ($(PY_VERSION),3.12)
VENV ?= .venv
else
VENV ?= .venv-$(notdir $(PYTHON))
endif
VPY := $(VENV)/bin/python
PIP_FLAGS ?= --disable-pip-version-check -q

# Under pyenv, the newest installed release of the chosen version (3.12, 3.13) runs;
# without pyenv, or without such a release in it, PYTHON is found on the PATH.
ifneq ($(shell command -v pyenv 2>/dev/null),)
PYENV_RELEASE := $(shell pyenv latest $(PY_VERSION) 2>/dev/null)
ifneq ($(PYENV_RELEASE),)
export PYENV_VERSION := $(PYENV_RELEASE)
endif
endif

# Scratch and developer builds of one virtualenv's interpreter: build/ for .venv,
# build/<venv name>/ for any other.
VENV_NAME := $(patsubst .%,%,$(notdir $(abspath $(VENV))))
BUILD := build$(if $(filter .venv,$(notdir $(VENV))),,/$(VENV_NAME))

.PHONY: demo test test-full test-plain test-asan test-leaks leak-build bench bench-sweep bench-copies lint format install venv dev dev-matcher dev-ticker dev-records clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)

# The install is redone when the package's sources or build files are newer than the
# stamp left by the last one.
INSTALLED := $(VENV)/.tovik-installed
PACKAGE_FILES := pyproject.toml CMakeLists.txt README.md $(shell find src -type f \( -name '*.py' -o \
	-name '*.pyi' -o -name '*.cpp' -o -name '*.hpp' -o -name py.typed \) -not -path '*/__pycache__/*')
$(INSTALLED): $(VPY) $(PACKAGE_FILES)
	$(VPY) -m pip install $(PIP_FLAGS) '.[test,plot,cluster]'
	touch $@
install: $(INSTALLED)

demo: install
	$(VENV)/bin/tovik-backtest demo

# The suite with development-mode checks on (resource warnings, debug memory hooks,
# asyncio debug) and every warning an error. `make test` is the quick run: property
# tests with hypothesis's small `dev` profile, and the tests marked slow (soak, fuzz,
# interpreter-exit and memory runs) left out. `make test-full` runs every test with the
# `ci` profile's example counts, plus the collection tests' runs against the
# leak-checking build (see test-leaks); .ci/run runs it.
DEV_FLAGS = -X dev -W error
test: install
	TOVIK_HYPOTHESIS_PROFILE=dev $(VPY) $(DEV_FLAGS) -m pytest -m 'not slow' $(PYTEST_ARGS)
test-full: install leak-build
	TOVIK_HYPOTHESIS_PROFILE=ci TOVIK_LEAK_CHECK_SITE=$(LEAK_SITE) $(VPY) $(DEV_FLAGS) -m pytest $(PYTEST_ARGS)

bench: install
	$(VPY) benchmarks/bench_matcher.py
	$(VPY) benchmarks/bench_ticker.py
	$(VPY) -m pip install $(PIP_FLAGS) '.[bench]'
	$(VPY) benchmarks/bench_engine.py

bench-sweep: install
	$(VPY) benchmarks/bench_sweep.py

bench-copies: install
	$(VPY) benchmarks/bench_sealed_copies.py

# The same suite without development mode, as a host would normally run it.
test-plain: install
	TOVIK_HYPOTHESIS_PROFILE=ci $(VPY) -m pytest $(PYTEST_ARGS)

# ruff's checks and layout (settings in pyproject.toml) and mypy over the Python code;
# clang-format (.clang-format) over our C++ sources, checked without rewriting them.
CXX_SOURCES = $(wildcard src/tovik_backtest/_native/*.hpp src/tovik_backtest/modules/*/*.cpp \
	src/tovik_backtest/modules/*/*.hpp tools/*/*.cpp)
# The linters' releases are pinned: a new release may add checks or lay code out anew.
RUFF := ruff==0.17.6
LINTERS := $(RUFF) mypy==2.4.1 'clang-format>=18,<19'
lint: install
	$(VPY) -m pip install $(PIP_FLAGS) $(LINTERS)
	$(VPY) -m ruff check src tests benchmarks tools
	$(VPY) -m ruff format --check src tests benchmarks tools
	$(VPY) -m mypy
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

# Lays out the Python files named in FILES with ruff's formatter, e.g.
# `make format FILES=src/tovik_backtest/days.py` (then take it off the list of files
# in their old layout in pyproject.toml).
format: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) $(RUFF)
	$(VPY) -m ruff format $(FILES)

# A copy of the Python package without compiled modules, into which a scratch build
# puts its own: build/<name>-site/tovik_backtest.
define scratch_tree
	rm -rf $(1) && mkdir -p $(1)
	cp -r src/tovik_backtest $(1)/
	find $(1) \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
endef
SCRATCH_CMAKE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIK_WERROR=ON \
	-DPython_EXECUTABLE=$(abspath $(VPY))

# The whole suite against both extensions (and nanobind's support library) built with
# AddressSanitizer and UndefinedBehaviorSanitizer: `make test-asan`, some 10 minutes on
# two cores, hence not part of `make test`. The interpreter is not instrumented, so the
# runtimes are preloaded, with a small shim that clears the stack shadow when CPython
# ends a daemon thread at exit (see tools/sanitizer/thread_exit.cpp). PYTHONMALLOC=malloc
# sends Python objects through the checked allocator, so a reference released once too
# often shows up as a use after free. CPython frees little at exit by design, hence no
# leak detection here (see test-leaks for ours). Resident-memory figures mean nothing
# under the sanitizer's allocator (freed blocks wait in quarantine): those tests skip
# when TOVIK_SANITIZED is set, and the matcher's own one is left out.
ASAN_SITE := $(abspath $(BUILD)/asan-site)
ASAN_ENV = PYTHONPATH=$(ASAN_SITE) PYTHONMALLOC=malloc TOVIK_SANITIZED=1 \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so) $(abspath $(BUILD)/asan/libtovik_asan_thread_exit.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan: install
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(call scratch_tree,$(ASAN_SITE))
	$(SCRATCH_CMAKE) -DTOVIK_SANITIZE=ON -DTOVIK_OUTPUT_ROOT=$(ASAN_SITE) -B $(BUILD)/asan >/dev/null
	cmake --build $(BUILD)/asan
	$(ASAN_ENV) $(VPY) -m pytest -p no:cacheprovider \
		--deselect tests/matcher/test_memory.py::test_resident_memory_is_flat_in_a_long_run $(PYTEST_ARGS)

# Both extensions built so that nanobind aborts at exit on any leaked instance, type or
# function of ours (TOVIK_ABORT_ON_LEAK); the collection tests run subprocesses against
# that build when TOVIK_LEAK_CHECK_SITE names it. `make test` includes them.
LEAK_SITE := $(abspath $(BUILD)/leak-site)
leak-build: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(call scratch_tree,$(LEAK_SITE))
	$(SCRATCH_CMAKE) -DTOVIK_ABORT_ON_LEAK=ON -DTOVIK_OUTPUT_ROOT=$(LEAK_SITE) -B $(BUILD)/leak >/dev/null
	cmake --build $(BUILD)/leak
test-leaks: install leak-build
	TOVIK_LEAK_CHECK_SITE=$(LEAK_SITE) $(VPY) -m pytest -p no:cacheprovider tests/hardening/test_gc.py $(PYTEST_ARGS)

# Developer builds: compile one extension in place under src/ (tests then run with
# PYTHONPATH=src). Each target has its own build folder so they can build at once.
DEV_CMAKE = $(SCRATCH_CMAKE) -DTOVIK_OUTPUT_ROOT=$(abspath src)
dev-matcher: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(DEV_CMAKE) -B $(BUILD)/dev-matcher >/dev/null
	cmake --build $(BUILD)/dev-matcher --target matcher
dev-ticker: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(DEV_CMAKE) -B $(BUILD)/dev-ticker >/dev/null
	cmake --build $(BUILD)/dev-ticker --target ticker
dev-records: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) nanobind ninja
	$(DEV_CMAKE) -B $(BUILD)/dev-records >/dev/null
	cmake --build $(BUILD)/dev-records --target records
dev: dev-matcher dev-ticker dev-records

clean:
	rm -rf build .venv .venv-python* src/tovik_backtest/modules/*/*.so

# make test: build everything from scratch in .venv and run every test.
# make demo: run the end-to-end study on generated data.
# make dev:  build the extension modules into Backtest/ for work in the repository.

PYTHON ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core pybind11 cmake ninja
CORE_BUILD := build/core-tests

.PHONY: test demo dev venv install core-tests pytest bench wheel-check clean

$(VPY):
	@test -n "$(PYTHON)" || { echo "Python 3.12 not found: install it with pyenv or pass PYTHON=/path/to/python3.12"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)

install: venv
	$(VPY) -m pip install --quiet $(BUILD_DEPS)
	$(VPY) -m pip install --quiet --no-build-isolation -e '.[test]'

core-tests: venv
	@if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then \
	  $(VPY) -m pip install --quiet cmake ninja && \
	  PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S core -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DBACKTEST_CORE_TESTS=ON -DBACKTEST_SANITIZE=ON >/dev/null && \
	  PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(CORE_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CORE_BUILD)/core_tests --gtest_brief=1; \
	else \
	  echo "GoogleTest not found (install libgtest-dev): skipping the C++ core tests"; \
	fi

pytest: install
	MPLBACKEND=Agg $(VPY) -m pytest

test: core-tests pytest

demo: install
	MPLBACKEND=Agg $(VPY) examples/study.py

dev: venv
	$(VPY) -m pip install --quiet $(BUILD_DEPS) numpy pandas matplotlib seaborn scipy pytest hypothesis
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/dev -G Ninja -DBACKTEST_INPLACE=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) -Dpybind11_DIR=$$($(VPY) -c 'import pybind11; print(pybind11.get_cmake_dir())') >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build build/dev

# Builds the sdist, a wheel from it in an isolated environment, and imports the
# wheel in a fresh virtual environment away from the source tree.
wheel-check: venv
	rm -rf build/wheel-check && mkdir -p build/wheel-check
	$(VPY) -m pip install --quiet build
	$(VPY) -m build --outdir build/wheel-check/dist . >/dev/null
	$(PYTHON) -m venv build/wheel-check/venv
	build/wheel-check/venv/bin/python -m pip install --quiet build/wheel-check/dist/*.whl
	cd build/wheel-check && MPLBACKEND=Agg venv/bin/python -c "import Backtest.formula as f, Backtest.tradecue, Backtest.diagram; \
	  assert list(f.rolling_sum([1, 2, 3], 2))[1:] == [3.0, 5.0]; print('wheel imports and computes:', f.__file__)"

bench: install
	$(VPY) -m pip install --quiet --no-build-isolation -e '.[test,bench]'
	for script in benchmarks/bench_*.py; do MPLBACKEND=Agg $(VPY) $$script || exit 1; done

clean:
	rm -rf build Backtest/*.so

# make test: build everything from scratch and run every test: the C++ core tests
#            once, the Python suite on Python 3.12 and 3.13, and the Python suite
#            again against extension modules built with the sanitizers.
# make demo: run the end-to-end study on generated data.
# make dev:  build the extension modules into Backtest/ for work in the repository.

PYTHON ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
PYTHON313 ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.*/bin/python3.13) $(shell command -v python3.13 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
VENV313 := .venv313
VENV_ASAN := .venv-asan
BUILD_DEPS := scikit-build-core pybind11 cmake ninja
CORE_BUILD := build/core-tests
ASAN_REPORTS := build/asan/reports

.PHONY: test demo dev venv install install-313 install-asan core-tests pytest pytest-313 test-asan bench wheel-check clean

# $(call new_venv,directory,interpreter,variable naming it,version)
define new_venv
	@test -n "$(2)" || { echo "Python $(4) not found: install it with pyenv or pass $(3)=/path/to/python$(4)"; exit 1; }
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install --quiet --upgrade pip
endef

# $(call install_editable,directory,extra options of pip): the package with its test
# extras and the distributed one, whose tests run a small local cluster
define install_editable
	$(1)/bin/python -m pip install --quiet $(BUILD_DEPS)
	@echo "building the C++ extensions in $(1), about 25 s on a fresh clone (quiet until done)"
	$(1)/bin/python -m pip install --quiet --no-build-isolation $(2) -e '.[test,distributed]'
endef

$(VPY):
	$(call new_venv,$(VENV),$(PYTHON),PYTHON,3.12)

$(VENV313)/bin/python:
	$(call new_venv,$(VENV313),$(PYTHON313),PYTHON313,3.13)

$(VENV_ASAN)/bin/python:
	$(call new_venv,$(VENV_ASAN),$(PYTHON),PYTHON,3.12)

venv: $(VPY)

install: venv
	$(call install_editable,$(VENV))

install-313: $(VENV313)/bin/python
	$(call install_editable,$(VENV313))

# Its own build directory, unstripped so that reports name our functions.
install-asan: $(VENV_ASAN)/bin/python
	$(call install_editable,$(VENV_ASAN),-C cmake.define.BACKTEST_SANITIZE=ON -C 'build-dir=build/asan/{wheel_tag}' -C install.strip=false)

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

pytest-313: install-313
	MPLBACKEND=Agg $(VENV313)/bin/python -m pytest

# The interpreter is not built with the sanitizers, so their runtime is preloaded;
# objects are allocated with malloc, where AddressSanitizer sees them, and the
# interpreter's own allocations that live until exit are not reported as leaks.
# Reports go to files (children of the tests report too): any report fails the run.
test-asan: install-asan
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(ASAN_REPORTS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/ubsan \
	  PYTHONMALLOC=malloc MPLBACKEND=Agg $(VENV_ASAN)/bin/python -m pytest -q; \
	status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; echo "sanitizer reports above"; exit 1; fi; \
	exit $$status

test: core-tests pytest pytest-313 test-asan

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
	cd build/wheel-check && MPLBACKEND=Agg venv/bin/python -c "import Backtest.formula as f, Backtest.tradecue, Backtest.diagram, Backtest.sweep; \
	  assert list(f.rolling_sum([1, 2, 3], 2))[1:] == [3.0, 5.0]; print('wheel imports and computes:', f.__file__)"

# The peers of the benchmarks (the bench extra) get a virtual environment of
# their own: bottleneck, once installed, changes how pandas reduces, and with it
# the types the reports print. The frame benchmark reuses the tests' oracle
# (test extra), and the cluster benchmark runs a local Dask cluster.
BENCH_VENV := .venv-bench
BENCH_VPY := $(BENCH_VENV)/bin/python

$(BENCH_VPY):
	@test -n "$(PYTHON)" || { echo "Python 3.12 not found: pass PYTHON=/path/to/python3.12"; exit 1; }
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VPY) -m pip install --quiet --upgrade pip

bench: $(BENCH_VPY)
	$(BENCH_VPY) -m pip install --quiet $(BUILD_DEPS)
	$(BENCH_VPY) -m pip install --quiet --no-build-isolation -e '.[bench,test,distributed]'
	for script in benchmarks/bench_*.py; do MPLBACKEND=Agg $(BENCH_VPY) $$script || exit 1; done

clean:
	rm -rf build Backtest/*.so

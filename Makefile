# Front door. `make demo` and `make test` each do all the set-up from a bare Debian machine:
# install the Debian packages they need (tools/system-packages), bootstrap CPython 3.14 and the
# venv, configure, build, run.
SHELL := /bin/bash
PRESET ?= default
BUILD := build/$(PRESET)
VENV := .venv
PYTHON_STAMP := build/.python
# The tools/system-packages profile and whether the C++ tests are built. `make demo` narrows both
# (target-specific values reach its prerequisites), so it needs no test-only package.
PACKAGES ?= test
BUILD_TESTS ?= ON

.PHONY: all packages bootstrap configure build test test-cpp test-python test-packaging demo run bench fuzz sanitize soak refcount hardening-full dist clean format

all: build

# Both steps are cheap when everything is in place (well under a second), so they always run.
packages:
	@tools/system-packages $(PACKAGES)

bootstrap: packages
	@mkdir -p build
	@tools/bootstrap-python > $(PYTHON_STAMP).tmp && mv $(PYTHON_STAMP).tmp $(PYTHON_STAMP)

configure: bootstrap
	@cmake --preset $(PRESET) -DPython_EXECUTABLE="$$(tail -n1 $(PYTHON_STAMP))" \
		-DMORVANE_BUILD_TESTS=$(BUILD_TESTS) > $(BUILD).configure.log \
		|| { cat $(BUILD).configure.log; exit 1; }

build: configure
	@cmake --build --preset $(PRESET)

# CTest runs each GoogleTest case in a process of its own; run-gtest-binaries then runs each binary
# whole, shuffled, so that a test leaning on what another left in the process shows up.
GTEST_WHOLE = PYTHON=$(VENV)/bin/python tools/run-gtest-binaries $(BUILD)

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 300
	@$(GTEST_WHOLE)

test-python: build
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) $(VENV)/bin/python -X dev -m pytest

test-packaging: build
	@tools/check-wheel

# The format check and C++ first (CTest, each GoogleTest binary whole, the fuzz smoke), then the
# packaging check and the sanitizer runs, so that the last summary line is pytest's own.
test: build
	@tools/check-format
	@tools/interop/setup
	@cd $(BUILD) && ctest --output-on-failure --timeout 300
	@$(GTEST_WHOLE)
	@tools/fuzz --seconds $(FUZZ_SMOKE_SECONDS)
	@tools/check-wheel
	@tools/sanitize
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) $(VENV)/bin/python -X dev -m pytest

# The production module against a real IRRd 4.5 (tools/interop, tests/interop): prepares the cached
# IRRd venv and database (cold about two minutes, warm a second), then runs the interop cases only.
# `make test` runs them too, within the whole pytest suite.
.PHONY: interop
interop: build
	@tools/interop/setup
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) $(VENV)/bin/python -X dev -m pytest tests/interop

# The production module answering real lookups offline (private network namespace, emulator).
demo: PACKAGES = demo
demo: BUILD_TESTS = OFF
demo: build
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) tools/demo

# pymorvane-routes against the public registry, where the network allows it: make run AS=3333
# (AS may hold several numbers and options: make run AS="--format cisco 3333 64496")
AS ?= 3333
run: build
	@PYTHONPATH=$(BUILD)/python $(VENV)/bin/python -m pymorvane_routes $(AS)

# Side-by-side benchmarks (bench/README.md). A smoke run: make bench BENCH_ARGS=--quick
BENCH_ARGS ?=
bench: build
	@$(VENV)/bin/python bench/compare.py --build-dir $(BUILD) $(BENCH_ARGS)

# libFuzzer targets (clang, installed by tools/fuzz): make fuzz FUZZ_ARGS="--runs 10000000".
# `make test` runs each for FUZZ_SMOKE_SECONDS from its corpus: a target that no longer builds,
# or crashes on the seeds or on what the fuzzer makes of them in that time, fails the suite.
FUZZ_ARGS ?=
FUZZ_SMOKE_SECONDS ?= 20
fuzz:
	@tools/fuzz $(FUZZ_ARGS)

# The suite under ASan+UBSan, and the runtime/client tests under TSan (about 18 min on 2 cores).
sanitize: bootstrap
	@tools/sanitize

# 100,000 lookups through the production module against misbehaving registries (about a minute).
soak: build
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) $(VENV)/bin/python tools/soak.py

# Reference counts across 1,000-lookup rounds on a --with-pydebug interpreter (builds it once).
refcount:
	@tools/refcount-check

# The exit and hostile-server tests at full size (200 runs per exit scenario, 10,000 connections).
hardening-full: build
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) MORVANE_HARDENING_RUNS=200 MORVANE_HARDENING_FULL=1 \
		$(VENV)/bin/python -X dev -m pytest tests/hardening

# The release files in dist/: the sdist and the repaired manylinux_2_28 wheel, built by the same
# script as the packaging check's (tools/build-dist) and checked with `twine check --strict`.
dist: PACKAGES = build
dist: bootstrap
	@tools/build-dist dist

# C++ formatting with the pinned clang-format of the venv (tools/check-format).
format: bootstrap
	@tools/check-format --fix

.PHONY: format-check
format-check: bootstrap
	@tools/check-format

clean:
	rm -rf build dist

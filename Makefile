# Front door; `make help` lists the targets. Each target does its own set-up from a bare Debian
# machine: it installs the Debian packages of its profile (tools/system-packages), bootstraps
# CPython 3.14 and the venv, configures, builds, runs. CONTRIBUTING.md says what each installs,
# starts and costs.
SHELL := /bin/bash
# Two build trees: build/default (the module and every test module) for the tests, build/module
# (the module alone) for the demo, `make run` and the benchmarks, so that neither reconfigures the
# other. A target picks its preset and package profile with target-specific values, which reach
# its prerequisites too.
PRESET ?= default
BUILD = build/$(PRESET)
VENV := .venv
# matplotlib for bench/report.py's chart, in a venv of its own (bench/requirements.txt says why).
BENCH_VENV := .venv-bench
PYTHON_STAMP := build/.python
PACKAGES ?= check

.PHONY: help all packages bootstrap bench-venv configure build check test test-cpp test-python \
	test-packaging interop demo run bench fuzz sanitize soak refcount hardening-full dist \
	format format-check clean distclean

help: ## this list
	@echo "make TARGET: each installs what it needs (tools/system-packages), then builds and runs."
	@echo "Times: the 2-core development machine, warm (everything built once) and cold (a fresh clone)."
	@echo
	@grep -E '^[a-z-]+:.*## ' $(firstword $(MAKEFILE_LIST)) \
		| sed -E 's/^([a-z-]+):.*## (.*)/\1\t\2/' | awk -F'\t' '{printf "  %-15s %s\n", $$1, $$2}'

all: build

# Both steps are cheap when everything is in place (well under a second), so they always run.
packages:
	@tools/system-packages $(PACKAGES)

bootstrap: packages
	@mkdir -p build
	@tools/bootstrap-python > $(PYTHON_STAMP).tmp && mv $(PYTHON_STAMP).tmp $(PYTHON_STAMP)

bench-venv: bootstrap ## the bench venv .venv-bench (matplotlib for compare.py --chart; cold 15 s)
	@MORVANE_VENV=$(BENCH_VENV) MORVANE_REQUIREMENTS=bench/requirements.txt tools/bootstrap-python >/dev/null

configure: bootstrap
	@cmake --preset $(PRESET) -DPython_EXECUTABLE="$$(tail -n1 $(PYTHON_STAMP))" \
		> $(BUILD).configure.log || { cat $(BUILD).configure.log; exit 1; }

build: configure ## the module and the test modules into build/default (cold 5 min, warm 2 s)
	@cmake --build --preset $(PRESET)

PYTEST = MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) MORVANE_BENCH_PYTHON=$(CURDIR)/$(BENCH_VENV)/bin/python \
	$(VENV)/bin/python -X dev -m pytest
# CTest runs each GoogleTest case in a process of its own; run-gtest-binaries then runs each binary
# whole, shuffled, so that a test leaning on what another left in the process shows up.
CPP_TESTS = cd $(BUILD) && ctest --output-on-failure --timeout 300 && cd $(CURDIR) \
	&& PYTHON=$(VENV)/bin/python tools/run-gtest-binaries $(BUILD)

check: build ## the fast loop: format and lint check, CTest, each GoogleTest binary whole, pytest (warm 2 min)
	@tools/check-format
	@$(CPP_TESTS)
	@$(PYTEST)

test-cpp: build ## CTest, then each GoogleTest binary whole and shuffled (warm 10 s)
	@$(CPP_TESTS)

test-python: build ## pytest alone (warm 1.5 min)
	@$(PYTEST)

test-packaging: PACKAGES = check clang
test-packaging: build ## the sdist and the manylinux wheel, installed and tested (tools/check-wheel, 4 min)
	@tools/check-wheel

# The checks of `make check`, with the interop registry ready for pytest, plus the fuzz smoke, the
# packaging check and the sanitizer runs; pytest last, so that the last summary line is its own.
FUZZ_SMOKE_SECONDS ?= 20
test: PACKAGES = test
test: build bench-venv ## everything, what CI runs: check, interop, fuzz smoke, packaging, sanitizers (warm 15 min)
	@tools/check-format
	@tools/interop/setup
	@$(CPP_TESTS)
	@tools/fuzz --seconds $(FUZZ_SMOKE_SECONDS)
	@tools/check-wheel
	@tools/sanitize
	@$(PYTEST)

interop: PACKAGES = check interop
interop: build ## the module against a real IRRd, PostgreSQL and Redis (cold 3 min, warm 30 s; root)
	@tools/interop/setup
	@$(PYTEST) tests/interop

demo: PACKAGES = demo
demo: PRESET = module
demo: build ## see it work offline: real lookups from the bundled registry emulator (cold 5 min, warm 5 s)
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) tools/demo

# AS may hold several numbers and options: make run AS="--format cisco 3333 64496"
AS ?= 3333
run: PACKAGES = run
run: PRESET = module
run: build ## pymorvane-routes against the public registry: make run AS=3333 (warm 1 s)
	@PYTHONPATH=$(BUILD)/python $(VENV)/bin/python -m pymorvane_routes $(AS)

# bench/README.md explains the columns.
BENCH_ARGS ?=
bench: PACKAGES = bench
bench: PRESET = module
bench: build bench-venv ## side-by-side benchmarks against the alternatives (3 min; BENCH_ARGS=--quick: 1 min)
	@MORVANE_BENCH_PYTHON=$(CURDIR)/$(BENCH_VENV)/bin/python \
		$(VENV)/bin/python bench/compare.py --build-dir $(BUILD) $(BENCH_ARGS)

FUZZ_ARGS ?=
fuzz: ## libFuzzer targets with clang, 10 M runs each (FUZZ_ARGS="--seconds 60"; clang build 30 s)
	@tools/fuzz $(FUZZ_ARGS)

sanitize: bootstrap ## the suite under ASan+UBSan, the runtime and client tests under TSan (cold 18 min)
	@tools/sanitize

SOAK_ARGS ?=
soak: build ## 100,000 lookups against misbehaving registries (1 min; SOAK_ARGS="--lookups 5000")
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) $(VENV)/bin/python tools/soak.py $(SOAK_ARGS)

refcount: PACKAGES = refcount
refcount: packages ## reference counts over 1,000-lookup rounds on a debug CPython (cold 7 min, warm 1 min)
	@tools/refcount-check

HARDENING_RUNS ?= 200
hardening-full: build ## the exit and hostile-server tests at full size (HARDENING_RUNS=200 per exit case)
	@MORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) MORVANE_HARDENING_RUNS=$(HARDENING_RUNS) MORVANE_HARDENING_FULL=1 \
		$(VENV)/bin/python -X dev -m pytest tests/hardening

# Built by the packaging check's own script (tools/build-dist).
dist: PACKAGES = run
dist: bootstrap ## the sdist and the repaired manylinux_2_28 wheel in dist/, twine-checked (1 min)
	@tools/build-dist dist

format: bootstrap ## rewrite C++ with the pinned clang-format, fix Python lint (tools/check-format --fix)
	@tools/check-format --fix

format-check: bootstrap ## the format and lint check alone (5 s)
	@tools/check-format

clean: ## remove build/ and dist/
	rm -rf build dist

distclean: clean ## also remove the venvs and what the set-up made outside the checkout (tools/distclean)
	@tools/distclean

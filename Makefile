# The two commands of the README, and the steps they are made of. Everything the build
# needs is installed by scripts/setup.sh (Debian packages only).

.PHONY: all setup build test tsan demo format check-format bench fuzz clean

# bash, for pipefail: a benchmark that fails must fail the target even when its output is teed.
SHELL := /bin/bash

all: build

setup:
	bash scripts/setup.sh

# Debug build with AddressSanitizer + UBSan and the local deployment: what the tests run.
build: setup
	cmake --preset debug
	cmake --build --preset debug

test: build
	bash scripts/check-format.sh
	ctest --preset debug -j2

# The runtime, HTTP, system proxy and connection tests under ThreadSanitizer (the tsan preset).
tsan: setup
	bash scripts/tsan.sh

# Starts the desktop client against the loopback demo services, signs in with the demo account
# through the page and connects through the demo's live node (the proxy switch goes to the GNOME
# settings of a private session bus); without a display, under Xvfb, saving the connected
# dashboard as build/demo/demo-dashboard.png.
demo: setup
	cmake --preset demo
	cmake --build --preset demo --target korvane-gtk korvane-demo-services
	bash scripts/demo.sh build/demo

# Every benchmark in the release build of the local deployment, each program's output kept in
# build/bench/<program>.log and its figures (the "BENCH" lines) collected into
# build/bench/report.md, which is written even when a program fails (the target fails after
# it). connection_bench binds the deployment's fixed ports; PORTS_LOCK is a
# command put before it where other programs may bind them too (e.g. "flock <lock file>").
BENCH_LOGS := build/bench
BENCH_BIN := build/demo/bench
BENCH_PROGRAMS := yaml_bench core_bench update_bench connection_bench launch_bench recorder_bench pulse_bench

bench: setup
	cmake --preset demo
	cmake --build --preset demo --target $(BENCH_PROGRAMS)
	mkdir -p $(BENCH_LOGS)
	rm -f $(BENCH_LOGS)/failed
	set -o pipefail; KORVANE_YAML_BENCH_DIR=$(BENCH_BIN)/yaml $(BENCH_BIN)/yaml_bench \
		| tee $(BENCH_LOGS)/yaml_bench.log || echo yaml_bench >> $(BENCH_LOGS)/failed
	python3 bench/yaml_pyyaml_bench.py $(BENCH_BIN)/yaml/*.yaml
	set -o pipefail; KORVANE_CORE_BENCH_DIR=$(BENCH_BIN)/core $(BENCH_BIN)/core_bench \
		| tee $(BENCH_LOGS)/core_bench.log || echo core_bench >> $(BENCH_LOGS)/failed
	python3 bench/core_pyyaml_bench.py $(BENCH_BIN)/core
	set -o pipefail; $(BENCH_BIN)/update_bench | tee $(BENCH_LOGS)/update_bench.log \
		|| echo update_bench >> $(BENCH_LOGS)/failed
	set -o pipefail; $(PORTS_LOCK) $(BENCH_BIN)/connection_bench | tee $(BENCH_LOGS)/connection_bench.log \
		|| echo connection_bench >> $(BENCH_LOGS)/failed
	set -o pipefail; $(BENCH_BIN)/launch_bench | tee $(BENCH_LOGS)/launch_bench.log \
		|| echo launch_bench >> $(BENCH_LOGS)/failed
	set -o pipefail; $(BENCH_BIN)/recorder_bench | tee $(BENCH_LOGS)/recorder_bench.log \
		|| echo recorder_bench >> $(BENCH_LOGS)/failed
	set -o pipefail; $(BENCH_BIN)/pulse_bench | tee $(BENCH_LOGS)/pulse_bench.log \
		|| echo pulse_bench >> $(BENCH_LOGS)/failed
	python3 bench/report.py $(foreach p,$(BENCH_PROGRAMS),$(BENCH_LOGS)/$(p).log) > $(BENCH_LOGS)/report.md
	@cat $(BENCH_LOGS)/report.md
	@if [ -s $(BENCH_LOGS)/failed ]; then echo "bench: failed: $$(tr '\n' ' ' < $(BENCH_LOGS)/failed)"; exit 1; fi

# Every libFuzzer target (fuzz/) for FUZZ_SECONDS each on a copy of its seed corpus; fails when
# one finds a fault.
FUZZ_SECONDS ?= 30
fuzz: setup
	cmake --preset fuzz
	cmake --build --preset fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh build/fuzz

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	bash scripts/check-format.sh

clean:
	rm -rf build

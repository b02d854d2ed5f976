# The two commands of the README, and the steps they are made of. Everything the build
# needs is installed by scripts/setup.sh (Debian packages only).

.PHONY: all setup build test demo format check-format bench fuzz clean

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

# Starts the desktop client against the loopback demo services, signs in with the demo account
# through the page and connects through the demo's live node (the proxy switch goes to the GNOME
# settings of a private session bus); without a display, under Xvfb, saving the connected
# dashboard as build/demo/demo-dashboard.png.
demo: setup
	cmake --preset demo
	cmake --build --preset demo --target korvane-gtk korvane-demo-services
	bash scripts/demo.sh build/demo

bench: setup
	cmake --preset demo
	cmake --build --preset demo --target recorder_bench launch_bench yaml_bench core_bench pulse_bench \
		update_bench connection_bench
	build/demo/bench/recorder_bench
	build/demo/bench/launch_bench
	KORVANE_YAML_BENCH_DIR=build/demo/bench/yaml build/demo/bench/yaml_bench
	python3 bench/yaml_pyyaml_bench.py build/demo/bench/yaml/*.yaml
	KORVANE_CORE_BENCH_DIR=build/demo/bench/core build/demo/bench/core_bench
	python3 bench/core_pyyaml_bench.py build/demo/bench/core
	build/demo/bench/pulse_bench
	build/demo/bench/update_bench
	build/demo/bench/connection_bench

# Every libFuzzer target (fuzz/) for FUZZ_SECONDS each on a copy of its seed corpus; fails when
# one finds a fault.
FUZZ_SECONDS ?= 30
fuzz: setup
	cmake --preset fuzz
	cmake --build --preset fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh build/fuzz

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-# Every libFuzzer target (fuzz/) for FUZZ_SECONDS each on a copy of its seed corpus; fails when
# one finds a fault.
FUZZ_SECONDS ?= 30
fuzz: setup
	cmake --preset fuzz
	cmake --build --preset fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh build/fuzz

format:
	bash scripts/check-format.sh

clean:
	rm -rf build

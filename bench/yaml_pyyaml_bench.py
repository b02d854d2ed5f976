#!/usr/bin/env python3
"""PyYAML with libyaml's C loader over the subscriptions yaml_bench writes: the peer figure
next to BM_LoadYaml. Each file is loaded three times and the median is printed.

    KORVANE_YAML_BENCH_DIR=/tmp/korvane-yaml build/demo/bench/yaml_bench
    python3 bench/yaml_pyyaml_bench.py /tmp/korvane-yaml/*.yaml
"""

import statistics
import sys
import time

import yaml


def main(paths):
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for path in paths:
        with open(path, "rb") as file:
            data = file.read()
        times = []
        for _ in range(3):
            start = time.perf_counter()
            document = yaml.load(data, Loader=yaml.CLoader)
            times.append(time.perf_counter() - start)
        print(f"{path}: {len(data) / 1e6:.2f} MB, {len(document['proxies'])} proxies, "
              f"PyYAML CLoader median of 3: {statistics.median(times) * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

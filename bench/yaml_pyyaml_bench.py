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


INFORMATIONAL = ["续费", "續費", "官网", "官網", "网站", "網站", "邮箱", "郵箱", "客服", "联系", "聯繫", "公告",
                 "购买", "購買", "套餐", "流量", "到期", "更新", "重置", "距离下次", "距離下次", "订阅", "訂閱"]


def is_server(name):
    trimmed = name.strip()
    if not trimmed or any(word in trimmed for word in INFORMATIONAL):
        return False
    lower = trimmed.lower()
    return not any(marker in lower for marker in ("www.", "http://", "https://"))


def extract_nodes(document):
    """The same filtering as the client's node extraction."""
    nodes, taken = [], set()
    for entry in document["proxies"]:
        name, server, port = entry.get("name"), entry.get("server"), entry.get("port")
        if not isinstance(name, str) or not isinstance(server, str) or port is None:
            continue
        if not is_server(name) or not server:
            continue
        if isinstance(port, bool) or not isinstance(port, (int, str)):
            continue
        try:
            port = int(port) if isinstance(port, int) else int(port, 10)
        except ValueError:
            continue
        if not 1 <= port <= 65535 or name in taken:
            continue
        taken.add(name)
        nodes.append((name, str(entry.get("type", "PROXY")).upper(), server, port))
    return nodes


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
            nodes = extract_nodes(document)
            times.append(time.perf_counter() - start)
        print(f"{path}: {len(data) / 1e6:.2f} MB, {len(document['proxies'])} proxies, {len(nodes)} nodes, "
              f"PyYAML CLoader + filtering, median of 3: {statistics.median(times) * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

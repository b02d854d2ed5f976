#!/usr/bin/env python3
"""PyYAML with libyaml's C loader and C dumper doing what runtimeConfiguration does: the peer
figure next to BM_RuntimeConfiguration. Median of three runs.

    KORVANE_CORE_BENCH_DIR=/tmp/korvane-core build/demo/bench/core_bench
    python3 bench/core_pyyaml_bench.py /tmp/korvane-core
"""

import pathlib
import statistics
import sys
import time

import yaml

GROUP = "Korvane 手动节点"


def document(subscription, names, allowed):
    proxies = [p for p in subscription["proxies"]
               if isinstance(p, dict) and isinstance(p.get("name"), str) and p["name"] in allowed]
    # The rule and DNS lists are small and fixed; their exact texts do not change the cost.
    rules = [f"DOMAIN-SUFFIX,d{i}.example,DIRECT" for i in range(23)] + [
        "GEOSITE,apple,DIRECT", "GEOSITE,CN,DIRECT", f"GEOSITE,geolocation-!cn,{GROUP}", "GEOIP,CN,DIRECT",
        f"MATCH,{GROUP}"]
    return {
        "allow-lan": False, "bind-address": "127.0.0.1",
        "dns": {"enable": True, "enhanced-mode": "redir-host", "ipv6": False, "nameserver": ["system"],
                "nameserver-policy": {"safebrowsing.example": [f"https://1.1.1.1/dns-query#{GROUP}",
                                                               f"https://8.8.8.8/dns-query#{GROUP}"]},
                "proxy-server-nameserver": ["system"]},
        "external-controller": "127.0.0.1:9097", "geo-auto-update": False, "geodata-loader": "memconservative",
        "geodata-mode": True, "ipv6": False, "log-level": "warning", "mixed-port": 7897, "mode": "rule",
        "proxies": proxies, "proxy-groups": [{"name": GROUP, "proxies": list(names), "type": "select"}],
        "rules": rules,
    }


def main(args):
    if len(args) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    directory = pathlib.Path(args[0])
    data = (directory / "subscription.yaml").read_bytes()
    names = (directory / "names.txt").read_text(encoding="utf-8").splitlines()
    allowed = set(names)
    times = []
    for _ in range(3):
        start = time.perf_counter()
        text = yaml.dump(document(yaml.load(data, Loader=yaml.CLoader), names, allowed), Dumper=yaml.CDumper,
                         sort_keys=True, allow_unicode=False, default_flow_style=False, width=80, indent=2)
        times.append(time.perf_counter() - start)
    print(f"{len(data) / 1e6:.2f} MB in, {len(text) / 1e6:.2f} MB out, {len(allowed)} nodes, "
          f"PyYAML CLoader + CDumper, median of 3: {statistics.median(times) * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

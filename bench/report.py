#!/usr/bin/env python3
"""Collects the "BENCH {json}" lines of the benchmark programs' output into one Markdown table:
benchmark, ours, floor, ratio, note. Every figure's floor was measured in the same run as the
figure itself. Logs are read in the order given; a log without a single figure is listed as
such, so that a program that failed does not silently drop out of the report.

    python3 bench/report.py build/bench/*.log > build/bench/report.md
"""

import datetime
import json
import os
import platform
import sys

PREFIX = "BENCH "


def figures(path):
    """The figures of one log, and the lines that looked like figures but were not."""
    found, broken = [], []
    try:
        log = open(path, encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return found, broken
    with log:
        for line in log:
            # A terminal's colour codes may precede it.
            at = line.find(PREFIX + "{")
            if at < 0:
                continue
            try:
                figure = json.loads(line[at + len(PREFIX):])
                float(figure["ours"]), float(figure["floor"]), figure["name"], figure["unit"]
            except (ValueError, KeyError, TypeError):
                broken.append(line.strip())
                continue
            found.append(figure)
    return found, broken


def number(value):
    value = float(value)
    if value == 0:
        return "0"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    if abs(value) >= 0.01:
        return f"{value:.3g}"
    return f"{value:.2g}"


def ratio(figure):
    floor = float(figure["floor"])
    return float(figure["ours"]) / floor if floor > 0 else None


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def row(figure):
    value = ratio(figure)
    note = figure.get("note", "")
    bound = figure.get("bound")
    if bound is not None and value is not None:
        verdict = "ok" if value <= float(bound) else "OVER"
        note = f"{note}; ratio bound {number(bound)}: {verdict}" if note else f"ratio bound {number(bound)}: {verdict}"
    unit = figure["unit"]
    return (f"| {cell(figure['name'])} | {number(figure['ours'])} {unit} | {number(figure['floor'])} {unit} | "
            f"{'n/a' if value is None else f'{value:.2f}'} | {cell(note)} |")


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    return f"{model}, {os.cpu_count()} logical CPUs, load average {load} when the report was written"


def report(paths):
    lines = [
        "# Benchmark report",
        "",
        f"Written {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC by `make bench` "
        f"(release build of the `demo` preset). Machine: {machine()}.",
        "Each floor is the least the same work costs, measured in the same run; ratio = ours / floor.",
        "",
        "| benchmark | ours | floor | ratio | note |",
        "|---|---:|---:|---:|---|",
    ]
    problems = []
    for path in paths:
        found, broken = figures(path)
        lines.extend(row(figure) for figure in found)
        name = os.path.basename(path)
        if not found:
            problems.append(f"- {name}: no figures (the program failed or printed none)")
        problems.extend(f"- {name}: unreadable figure line `{line}`" for line in broken)
    if problems:
        lines += ["", "Missing or broken:", ""] + problems
    return "\n".join(lines) + "\n"


def main(paths):
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    sys.stdout.write(report(paths))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

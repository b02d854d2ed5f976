#!/usr/bin/env python3
"""bench/report.py over logs as the benchmark programs leave them: human output with the figure
lines in between, a program that failed before printing any, and a line that is cut short."""

import os
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import report  # noqa: E402


class ReportTest(unittest.TestCase):
    def test_figures_become_rows_and_failed_programs_are_named(self):
        with tempfile.TemporaryDirectory() as directory:
            logs = pathlib.Path(directory)
            (logs / "update_bench.log").write_text(
                "BM_Sha256/iterations:3   120 ms\n"
                'BENCH {"name":"SHA-256","ours":1.2,"floor":1.0,"unit":"s","note":"a | b","bound":1.05}\n'
                '\x1b[mBENCH {"name":"download","ours":2,"floor":2,"unit":"s","note":"","bound":1.2}\n'
                'BENCH {"name":"cut short","ours":1\n'
                "Best of three, seconds:\n", encoding="utf-8")
            (logs / "connection_bench.log").write_text("connection_bench: connect failed\n", encoding="utf-8")
            (logs / "launch_bench.log").write_text(
                'BENCH {"name":"launch","ours":5,"floor":0,"unit":"ms","note":"n"}\n', encoding="utf-8")
            text = report.report([str(logs / name) for name in
                                  ("update_bench.log", "connection_bench.log", "launch_bench.log")])

        rows = [line for line in text.splitlines() if line.startswith("| ") and "---" not in line][1:]
        self.assertEqual(rows, [
            "| SHA-256 | 1.2 s | 1 s | 1.20 | a \\| b; ratio bound 1.05: OVER |",
            "| download | 2 s | 2 s | 1.00 | ratio bound 1.2: ok |",
            "| launch | 5 ms | 0 ms | n/a | n |",
        ])
        self.assertIn("- connection_bench.log: no figures", text)
        self.assertIn("- update_bench.log: unreadable figure line", text)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Tests scripts/bench's bookkeeping with a stand-in for the benchmark runs:
the turn order, the ratios to glibc, the visit and instruction parsing and the
two reports. Usage: report_test.py (run by CTest)."""

import importlib.machinery
import importlib.util
import os
import tempfile
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
loader = importlib.machinery.SourceFileLoader("bench", os.path.join(HERE, "..", "scripts", "bench"))
module_spec = importlib.util.spec_from_loader("bench", loader)
bench = importlib.util.module_from_spec(module_spec)
loader.exec_module(bench)

ALLOCS = [("MyMalloc", "plain", {"LD_PRELOAD": "my.so"}), ("glibc", "plain", {}),
          ("MyMalloc compiled-in", "mine", {}), ("jemalloc", "plain", {"LD_PRELOAD": "je.so"})]
NAMES = {"my.so": "MyMalloc", "je.so": "jemalloc"}


class FakeRuns:
    """Stands in for bench.run: each allocator's time is a fixed multiple of
    glibc's, which itself drifts from call to call like a busy machine."""

    def __init__(self):
        self.calls = []
        self.clock = 10.0

    def __call__(self, binary, args, env, prefix=()):
        name = {"mine": "MyMalloc compiled-in", "plain": "glibc"}[binary]
        if env:
            name = NAMES[env["LD_PRELOAD"]]
        self.calls.append((name, tuple(args)))
        self.clock *= 1.5  # the machine slows down steadily
        factor = {"MyMalloc": 2.0, "glibc": 1.0, "MyMalloc compiled-in": 3.0, "jemalloc": 0.5}[name]

        class Done:
            stdout = (f"result workload={args[0]} param=0 pairs=10 "
                      f"ns_per_op={self.clock * factor} peak_kb=2048 visits_per_alloc=3.5 "
                      "index_steps_per_alloc=1.25 index_kb=40\n")
        return Done()


class TimeAllTest(unittest.TestCase):
    def setUp(self):
        self.fake = FakeRuns()
        self.saved = bench.run
        bench.run = self.fake

    def tearDown(self):
        bench.run = self.saved

    def test_turns_rotate_and_every_allocator_runs_each_round(self):
        bench.time_all(ALLOCS, 3, 0)
        first = [c[0] for c in self.fake.calls if c[1] == ("carve",)]
        self.assertEqual(first, ["MyMalloc", "glibc", "MyMalloc compiled-in", "jemalloc",
                                 "glibc", "MyMalloc compiled-in", "jemalloc", "MyMalloc",
                                 "MyMalloc compiled-in", "jemalloc", "MyMalloc", "glibc"])

    def test_compiled_in_build_skips_requests_beyond_a_chunk(self):
        data = bench.time_all(ALLOCS, 1, 0)
        self.assertNotIn(("grow", "MyMalloc compiled-in"), data)
        self.assertIn(("grow", "MyMalloc"), data)
        self.assertIn(("carve", "MyMalloc compiled-in"), data)

    def test_ratio_is_taken_within_a_round(self):
        # A slowing machine makes the medians of the raw times misleading;
        # the ratios within each round only reflect the allocators.
        # Orders: M g c j, g c j M, c j M g; each call is 1.5 times slower than the last.
        data = bench.time_all(ALLOCS, 3, 0)
        for label, args in bench.WORKLOADS:
            if args[0] in bench.BEYOND_CHUNK:
                continue  # the compiled-in build's turn is left out
            ratios = data[(label, "MyMalloc")]["ratio"]
            expected = [2.0 / 1.5, 2.0 * 1.5 ** 3, 2.0 / 1.5]
            for got, want in zip(ratios, expected, strict=True):
                self.assertAlmostEqual(got, want)
            self.assertEqual(data[(label, "glibc")]["ratio"], [1.0, 1.0, 1.0])
            for got, want in zip(data[(label, "jemalloc")]["ratio"],
                                 [0.5 * 1.5 ** 2, 0.5 * 1.5 ** 2, 0.5 / 1.5 ** 2], strict=True):
                self.assertAlmostEqual(got, want)

    def test_ops_are_passed_on(self):
        bench.time_all(ALLOCS, 1, 500)
        self.assertTrue(all(c[1][-2:] == ("-n", "500") for c in self.fake.calls))

    def test_search_costs_of_the_counted_build_on_every_workload(self):
        vis = bench.visits(ALLOCS, 0)
        self.assertEqual(vis[("frag 1024", "MyMalloc compiled-in")], (3.5, 1.25, 40))
        self.assertEqual(len(vis), len(bench.WORKLOADS) - len(bench.BEYOND_CHUNK))
        self.assertTrue(all(c[0] == "MyMalloc compiled-in" and "-v" in c[1]
                            for c in self.fake.calls))


class ReportTest(unittest.TestCase):
    def data(self):
        d = {}
        for label, args in bench.WORKLOADS:
            for name, ratio in (("MyMalloc", 2.0), ("glibc", 1.0), ("MyMalloc compiled-in", 3.0),
                                ("jemalloc", 0.25)):
                if bench.runs(name, args):
                    d[(label, name)] = {"ns": [10 * ratio], "ratio": [ratio], "rss": [3072],
                                        "rss_ratio": [1.5 if name == "MyMalloc" else 1.0]}
        return d

    def write(self, instr):
        with tempfile.TemporaryDirectory() as tmp:
            md, svg = os.path.join(tmp, "bench.md"), os.path.join(tmp, "bench.svg")
            bench.write_markdown(md, "test host", ALLOCS, self.data(),
                                 {("frag 1024", "MyMalloc compiled-in"): (10.0, 4.0, 64)}, instr,
                                 1600, 1, 1.0)
            bench.write_svg(svg, ALLOCS, self.data(), instr)
            with open(md) as f, open(svg) as g:
                return f.read(), ET.fromstring(g.read())

    def test_tables_and_chart(self):
        instr = {(label, n): 100.0 + i for label, _ in bench.INSTR_ROWS
                 for i, (n, _, _) in enumerate(ALLOCS)}
        md, svg = self.write(instr)
        self.assertIn("| frag 1024 | 20.0 (2.00×) | 10.0 (1.00×) | 30.0 (3.00×) | 2.5 (0.25×) |",
                      md)
        self.assertIn("| grow | 20.0 (2.00×) | 10.0 (1.00×) | – | 2.5 (0.25×) |", md)
        self.assertIn("| carve | 3.0 (1.50×) | 3.0 (1.00×) | 3.0 (1.00×) | 3.0 (1.00×) |", md)
        self.assertIn("| threads 1 | 100.0 | 101.0 | 102.0 | 103.0 |", md)
        self.assertIn("| frag 1024 | 10.00 | 4.00 | 64 |  |", md)
        rects = svg.findall("{http://www.w3.org/2000/svg}rect")
        timed = len(ALLOCS) * len(bench.WORKLOADS) - len(bench.BEYOND_CHUNK)
        bars = timed + len(ALLOCS) * len(bench.INSTR_ROWS)
        self.assertEqual(len(rects), 1 + bars + len(ALLOCS))  # background, bars, legend

    def test_without_instruction_counts(self):
        md, svg = self.write("valgrind is not installed")
        self.assertIn("Not counted: valgrind is not installed.", md)
        rects = svg.findall("{http://www.w3.org/2000/svg}rect")
        timed = len(ALLOCS) * len(bench.WORKLOADS) - len(bench.BEYOND_CHUNK)
        self.assertEqual(len(rects), 1 + timed + len(ALLOCS))


class HandWrittenPartTest(unittest.TestCase):
    def test_rerun_rewrites_the_figures_and_keeps_the_reading(self):
        with tempfile.TemporaryDirectory() as tmp:
            md = os.path.join(tmp, "bench.md")
            bench.write_report(md, "figures of the first run\n")
            with open(md, "a") as f:
                f.write(f"\n{bench.HAND_WRITTEN}\n\nwhat the figures mean\n")
            bench.write_report(md, "figures of the second run\n")
            with open(md) as f:
                self.assertEqual(f.read(), "figures of the second run\n\n"
                                 f"{bench.HAND_WRITTEN}\n\nwhat the figures mean\n")

    def test_a_report_without_a_reading_is_the_figures_alone(self):
        with tempfile.TemporaryDirectory() as tmp:
            md = os.path.join(tmp, "bench.md")
            bench.write_report(md, "old\n")
            bench.write_report(md, "new\n")
            with open(md) as f:
                self.assertEqual(f.read(), "new\n")


if __name__ == "__main__":
    unittest.main()

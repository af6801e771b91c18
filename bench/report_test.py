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
          ("MyMalloc compiled-in", "mine", {}), ("jemalloc", "plain", {"LD_PRELOAD": "je.so"}),
          ("MyMalloc baseline", "old", {})]
NAMES = {"my.so": "MyMalloc", "je.so": "jemalloc"}
BINARIES = {"mine": "MyMalloc compiled-in", "plain": "glibc", "old": "MyMalloc baseline"}
FACTORS = {"MyMalloc": 2.0, "glibc": 1.0, "MyMalloc compiled-in": 3.0, "jemalloc": 0.5,
           "MyMalloc baseline": 4.0}
# What `allocbench --list` prints, as scripts/bench reads it.
LISTING = ("workload=carve param=0 beyond_chunk=0\n"
           "workload=frag param=1024 beyond_chunk=0\n"
           "workload=larson param=2 beyond_chunk=0\n"
           "workload=grow param=0 beyond_chunk=1\n")


def workloads():
    saved = bench.subprocess.run

    class Listed:
        stdout = LISTING
    bench.subprocess.run = lambda argv, **kw: Listed() if argv[1:] == ["--list"] else None
    try:
        return bench.read_workloads("allocbench")
    finally:
        bench.subprocess.run = saved


class FakeRuns:
    """Stands in for bench.run: each allocator's time is a fixed multiple of
    glibc's, which itself drifts from call to call like a busy machine."""

    def __init__(self):
        self.calls = []
        self.clock = 10.0

    def __call__(self, binary, args, env, prefix=()):
        name = BINARIES[binary]
        if env:
            name = NAMES[env["LD_PRELOAD"]]
        self.calls.append((name, tuple(args)))
        self.clock *= 1.5  # the machine slows down steadily
        factor = FACTORS[name]
        after = 1024 * (3 if name == "MyMalloc" else 2)

        class Done:
            stdout = (f"result workload={args[0]} param=0 pairs=10 "
                      f"ns_per_op={self.clock * factor} peak_kb=2048 after_kb={after} "
                      "visits_per_alloc=3.5 index_steps_per_alloc=1.25 index_kb=40\n")
        return Done()


class TimeAllTest(unittest.TestCase):
    def setUp(self):
        self.fake = FakeRuns()
        self.saved = bench.run
        bench.run = self.fake

    def tearDown(self):
        bench.run = self.saved

    def test_rows_are_allocbenchs_list(self):
        rows = workloads()
        self.assertEqual([w.label for w in rows], ["carve", "frag 1024", "larson 2", "grow"])
        self.assertEqual(rows[1].args, ["frag", "1024"])
        self.assertEqual([w.beyond_chunk for w in rows], [False, False, False, True])

    def test_turns_rotate_and_every_allocator_runs_each_round(self):
        bench.time_all(ALLOCS[:4], workloads(), 3, 0)
        first = [c[0] for c in self.fake.calls if c[1] == ("carve",)]
        self.assertEqual(first, ["MyMalloc", "glibc", "MyMalloc compiled-in", "jemalloc",
                                 "glibc", "MyMalloc compiled-in", "jemalloc", "MyMalloc",
                                 "MyMalloc compiled-in", "jemalloc", "MyMalloc", "glibc"])

    def test_compiled_in_builds_skip_requests_beyond_a_chunk(self):
        data = bench.time_all(ALLOCS, workloads(), 1, 0)
        self.assertNotIn(("grow", "MyMalloc compiled-in"), data)
        self.assertNotIn(("grow", "MyMalloc baseline"), data)
        self.assertIn(("grow", "MyMalloc"), data)
        self.assertIn(("carve", "MyMalloc compiled-in"), data)
        self.assertIn(("carve", "MyMalloc baseline"), data)

    def test_ratio_is_taken_within_a_round(self):
        # A slowing machine makes the medians of the raw times misleading;
        # the ratios within each round only reflect the allocators.
        # Orders: M g c j, g c j M, c j M g; each call is 1.5 times slower than the last.
        data = bench.time_all(ALLOCS[:4], workloads(), 3, 0)
        for w in workloads():
            if w.beyond_chunk:
                continue  # the compiled-in build's turn is left out
            ratios = data[(w.label, "MyMalloc")]["ratio"]
            expected = [2.0 / 1.5, 2.0 * 1.5 ** 3, 2.0 / 1.5]
            for got, want in zip(ratios, expected, strict=True):
                self.assertAlmostEqual(got, want)
            self.assertEqual(data[(w.label, "glibc")]["ratio"], [1.0, 1.0, 1.0])
            for got, want in zip(data[(w.label, "jemalloc")]["ratio"],
                                 [0.5 * 1.5 ** 2, 0.5 * 1.5 ** 2, 0.5 / 1.5 ** 2], strict=True):
                self.assertAlmostEqual(got, want)
            # Against the best of the others (jemalloc alone here), in the same round.
            for got, want in zip(data[(w.label, "MyMalloc")]["best_ratio"],
                                 [4.0 / 1.5 ** 3, 4.0 * 1.5, 4.0 * 1.5], strict=True):
                self.assertAlmostEqual(got, want)
            self.assertEqual(data[(w.label, "MyMalloc")]["after_ratio"], [1.5] * 3)
            self.assertEqual(data[(w.label, "jemalloc")]["rss_ratio"], [1.0] * 3)

    def test_compiled_in_build_against_the_baseline_in_the_same_round(self):
        # Order M g c j b: the baseline runs two calls after the compiled-in build.
        data = bench.time_all(ALLOCS, workloads(), 1, 0)
        for got in data[("carve", "MyMalloc compiled-in")]["baseline_ratio"]:
            self.assertAlmostEqual(got, 3.0 / (4.0 * 1.5 ** 2))
        self.assertNotIn("baseline_ratio", data[("grow", "MyMalloc")])

    def test_ops_are_passed_on(self):
        bench.time_all(ALLOCS, workloads(), 1, 500)
        self.assertTrue(all(c[1][-2:] == ("-n", "500") for c in self.fake.calls))

    def test_search_costs_of_the_counted_build_on_every_workload(self):
        vis = bench.visits(ALLOCS, workloads(), 0)
        self.assertEqual(vis[("frag 1024", "MyMalloc compiled-in")], (3.5, 1.25, 40))
        self.assertEqual(len(vis), 3)  # every row but grow, beyond a chunk
        self.assertTrue(all(c[0] == "MyMalloc compiled-in" and "-v" in c[1]
                            and c[1][-2:] == ("-n", str(bench.VISIT_OPS))
                            for c in self.fake.calls))


class ReportTest(unittest.TestCase):
    ALLOCS = ALLOCS[:4]

    def data(self):
        d = {}
        for w in workloads():
            for name, ratio in (("MyMalloc", 2.0), ("glibc", 1.0), ("MyMalloc compiled-in", 3.0),
                                ("jemalloc", 0.25)):
                if bench.runs(name, w):
                    d[(w.label, name)] = {"ns": [10 * ratio], "ratio": [ratio], "rss": [3072],
                                          "rss_ratio": [1.5 if name == "MyMalloc" else 1.0],
                                          "after": [2048], "after_ratio": [1.0]}
            d[(w.label, "MyMalloc")]["best_ratio"] = [8.0]
            if (w.label, "MyMalloc compiled-in") in d:
                d[(w.label, "MyMalloc compiled-in")]["baseline_ratio"] = [0.9]
        return d

    def write(self, instr):
        with tempfile.TemporaryDirectory() as tmp:
            md, svg = os.path.join(tmp, "bench.md"), os.path.join(tmp, "bench.svg")
            bench.write_markdown(md, "test host", self.ALLOCS, workloads(), self.data(),
                                 {("frag 1024", "MyMalloc compiled-in"): (10.0, 4.0, 64)}, instr,
                                 1600, 1, 1.0)
            bench.write_svg(svg, self.ALLOCS, workloads(), self.data(), instr)
            with open(md) as f, open(svg) as g:
                return f.read(), ET.fromstring(g.read())

    def test_tables_and_chart(self):
        instr = {(label, n): 100.0 + i for label in bench.INSTR_ROWS
                 for i, (n, _, _) in enumerate(self.ALLOCS)}
        md, svg = self.write(instr)
        self.assertIn("| frag 1024 | 20.0 (2.00×) | 10.0 (1.00×) | 30.0 (3.00×) | 2.5 (0.25×) |",
                      md)
        self.assertIn("| grow | 20.0 (2.00×) | 10.0 (1.00×) | – | 2.5 (0.25×) |", md)
        self.assertIn("| carve | 3.0 (1.50×) | 3.0 (1.00×) | 3.0 (1.00×) | 3.0 (1.00×) |", md)
        self.assertIn("| larson 2 | 2.0 (1.00×) | 2.0 (1.00×) | 2.0 (1.00×) | 2.0 (1.00×) |", md)
        self.assertIn("| threads 1 | 100.0 | 101.0 | 102.0 | 103.0 |", md)
        self.assertIn("| frag 1024 | 10.00 | 4.00 | 64 |  |", md)
        # The goals: MyMalloc's time and best-of ratios missed (bold), the rest met.
        self.assertIn("| carve | **2.00** | **1.50** | 1.00 | **8.00** | 0.90 |", md)
        self.assertIn("| grow | **2.00** | **1.50** | 1.00 | **8.00** | – |", md)
        self.assertIn("Instructions per lifo pair × glibc's (goal at most 0.6): 0.99 to 0.99 "
                      "(**beyond the goal**).", md)
        self.assertIn("- **larson**: server threads with successors", md)
        rects = svg.findall("{http://www.w3.org/2000/svg}rect")
        rows = workloads()
        timed = len(self.ALLOCS) * len(rows) - sum(w.beyond_chunk for w in rows)
        bars = timed + len(self.ALLOCS) * len(bench.INSTR_ROWS)
        self.assertEqual(len(rects), 1 + bars + len(self.ALLOCS))  # background, bars, legend

    def test_without_instruction_counts(self):
        md, svg = self.write("valgrind is not installed")
        self.assertIn("Not counted: valgrind is not installed.", md)
        self.assertNotIn("Instructions per lifo pair", md)
        rects = svg.findall("{http://www.w3.org/2000/svg}rect")
        rows = workloads()
        timed = len(self.ALLOCS) * len(rows) - sum(w.beyond_chunk for w in rows)
        self.assertEqual(len(rects), 1 + timed + len(self.ALLOCS))


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

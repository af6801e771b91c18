#!/usr/bin/env python3
"""MYMALLOC_TRACE end to end: trace_probe recorded with libmymalloc.so preloaded (three
threads and a child of fork); each process's calls, as heaptrace reads them from its own
file, must be the calls the probe logged, thread by thread; the course trace that heaptrace
writes must replay through heaprun. Then hostile recordings: each refused with its record and
the reason, none crashing the reader.

Usage: trace_test.py record LIBMYMALLOC TRACE_PROBE HEAPTRACE HEAPRUN
       trace_test.py hostile HEAPTRACE
"""

import glob
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

MODE = sys.argv[1] if len(sys.argv) > 1 else ""
if MODE == "record" and len(sys.argv) == 6:
    LIB, PROBE, HEAPTRACE, HEAPRUN = sys.argv[2:6]
elif MODE == "hostile" and len(sys.argv) == 3:
    HEAPTRACE = sys.argv[2]
else:
    sys.exit("Usage: trace_test.py record LIBMYMALLOC TRACE_PROBE HEAPTRACE HEAPRUN | hostile HEAPTRACE")
RECORD = 32
failures = []


def fail(what):
    failures.append(what)
    print("trace_test: FAIL:", what, file=sys.stderr)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kw)


def by_thread(lines):
    """{thread: [line without the thread]} in the lines' order."""
    out = {}
    for line in lines:
        thread, rest = line.split(" ", 1)
        out.setdefault(thread, []).append(rest)
    return out


def recorded_calls(path):
    """The probe's own calls in the recording: those whose caller is in trace_probe."""
    r = run([HEAPTRACE, "--calls", path])
    if r.returncode != 0:
        fail(f"heaptrace --calls {path}: {r.stderr.strip()}")
        return []
    probe = os.path.basename(PROBE) + "+0x"
    return [l.rsplit(" ", 1)[0] for l in r.stdout.splitlines() if l.rsplit(" ", 1)[-1].startswith(probe)]


def recorded_program(tmp):
    env = dict(os.environ, LD_PRELOAD=LIB, MYMALLOC_TRACE=os.path.join(tmp, "rec"))
    r = subprocess.run([PROBE, tmp], env=env, capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        fail(f"trace_probe: status {r.returncode}: {r.stderr}")
        return
    children = glob.glob(os.path.join(tmp, "rec.*"))
    if len(children) != 1:
        fail(f"one child's recording expected, found {children}")
        return
    child = children[0].rsplit(".", 1)[1]
    parent_logs = [p for p in glob.glob(os.path.join(tmp, "log.*")) if not p.endswith("." + child)]
    for rec, log, threads, forked in ((os.path.join(tmp, "rec"), parent_logs[0], 3, False),
                                      (children[0], os.path.join(tmp, "log." + child), 1, True)):
        check = run([HEAPTRACE, "--check", rec])
        if check.returncode != 0:
            fail(f"heaptrace --check {rec}: {check.stderr.strip()}")
            continue
        if f"from {threads} thread" not in check.stdout or ("a child of fork" in check.stdout) != forked:
            fail(f"{rec}: {check.stdout.strip()}")
        with open(log) as f:
            logged = f.read().splitlines()
        got, want = by_thread(recorded_calls(rec)), by_thread(logged)
        if sorted(map(len, got.values())) != sorted(map(len, want.values())) or \
                sorted(got.values()) != sorted(want.values()):
            for t, calls in want.items():
                other = got.get(t, [])
                if calls != other:
                    diff = next((i for i, (a, b) in enumerate(zip(calls, other)) if a != b), min(len(calls), len(other)))
                    fail(f"{rec}: thread {t}: call {diff}: logged {calls[diff:diff+1]}, recorded {other[diff:diff+1]} "
                         f"({len(calls)} logged, {len(other)} recorded)")
        if len(logged) < (2 * 600 + 20 if not forked else 3):
            fail(f"{log}: only {len(logged)} calls logged")
    # A program killed while it records: its file is read up to its last whole call.
    killed = os.path.join(tmp, "killed")
    p = subprocess.Popen([sys.executable, "-c", "import time\nwhile True: [bytes(i) for i in range(5000)]"],
                         env=dict(os.environ, LD_PRELOAD=LIB, MYMALLOC_TRACE=killed))
    time.sleep(1)
    p.kill()
    p.wait()
    check = run([HEAPTRACE, "--check", killed])
    if check.returncode != 0 or " modules" not in check.stdout:
        fail(f"a killed program's recording: {check.returncode}: {check.stdout} {check.stderr}")
    # A process that goes on through two execve's keeps one file, its programs' calls numbered
    # apart, and the last program's calls are read.
    chain = os.path.join(tmp, "chain")
    r = subprocess.run(["/bin/sh", "-c", f"exec /bin/sh -c 'exec {sys.executable} -c \"import json\"'"],
                       env=dict(os.environ, LD_PRELOAD=LIB, MYMALLOC_TRACE=chain), timeout=120)
    check = run([HEAPTRACE, "--check", chain])
    if r.returncode != 0 or check.returncode != 0 or ", 2 execs," not in check.stdout:
        fail(f"two execs in one recording: {r.returncode}, {check.returncode}: {check.stdout} {check.stderr}")
    # The whole recording as the course's trace, replayed on the classic allocator.
    script = run([HEAPTRACE, "--script", os.path.join(tmp, "rec")])
    if script.returncode != 0:
        fail(f"heaptrace --script: {script.stderr.strip()}")
        return
    lines = script.stdout.splitlines()
    ops = [l for l in lines if not l.isdigit()]
    if int(lines[2]) != len(ops) or not any(l.startswith("r ") for l in ops):
        fail(f"script's header {lines[:4]} for {len(ops)} calls")
    replay = subprocess.run([HEAPRUN], input=script.stdout, capture_output=True, text=True, timeout=120)
    steps = [json.loads(l) for l in replay.stdout.splitlines()[1:]]  # after the layout's line
    if replay.returncode != 0 or len(steps) != len(ops):
        fail(f"heaprun on the recording: status {replay.returncode}, {len(steps)} steps: "
             f"{replay.stderr.strip()[:300]}")
    refused = [s for s in steps if isinstance(s, list) and s[1] is None and s[2] == 12]  # ENOMEM
    if len(refused) != 1:  # the 3 MiB block, beyond a chunk
        fail(f"{len(refused)} calls refused on the classic allocator, 1 expected")


# ---- Hostile recordings ----

def header(version=1, size=RECORD, flags=0):
    return b"MYMTRACE" + struct.pack("<IIIIII", version, size, 4242, 1, flags, 0)


def rec(seq, kind, a=0, b=0, c=0):
    return struct.pack("<QQQQ", seq | kind << 56, a, b, c)


def thread(tid=7):
    return rec(0, 18, tid)


def malloc(seq, size, result, caller=0x401000):
    return rec(seq, 1, size, result, caller)


def free(seq, given, caller=0x401000):
    return rec(seq, 2, given, 0, caller)


def realloc(seq, size, given, result, caller=0x401000):
    return rec(seq, 3, size, result, caller) + rec(0, 19, given, seq - 1)


def calloc(seq, count, size, result, caller=0x401000):
    return rec(seq, 4, count, result, caller) + rec(0, 19, size)


def module(seq, path, lo=0x400000, hi=0x500000, length=None):
    raw = path.encode()
    return rec(seq, 16, 0, lo, hi) + rec(0, 19, len(raw) if length is None else length) + \
        raw + b"\0" * (-len(raw) % RECORD)


# Records: 0 header, 1 thread, 2-4 module, 5 malloc, 6-7 realloc, 8 free, 9-10 calloc.
GOOD = header() + thread() + module(1, "/bin/true") + malloc(2, 24, 0x10000) + \
    realloc(3, 100, 0x10000, 0x20000) + free(4, 0x20000) + calloc(5, 3, 8, 0x30000)
NEXT = len(GOOD) // RECORD


def refused(name, data, record, reason):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    r = run([HEAPTRACE, "--check", path])
    want = f"heaptrace: {path}: record {record}: "
    if r.returncode != 2 or not r.stderr.startswith(want) or reason not in r.stderr:
        fail(f"{name}: status {r.returncode}, {r.stderr.strip()!r}; wanted {want!r}...{reason!r}")


def hostile(tmp):
    refused("empty", b"", 0, "0 bytes: too short for the header")
    refused("garbage", bytes(random.Random(1).randrange(256) for _ in range(4096)), 0,
            "not a MYMALLOC_TRACE recording")
    refused("version", header(version=2) + thread() + malloc(1, 8, 0x1000), 0, "version 2; this reader knows 1")
    refused("record-size", header(size=56), 0, "records of 56 bytes")
    refused("kind", GOOD + rec(12, 200), NEXT, "unknown kind 200")
    refused("sequence", GOOD + malloc(1 << 53, 8, 0x40000), NEXT, f"sequence {1 << 53} past any limit")
    refused("huge-block", GOOD + malloc(12, 1 << 60, 0x40000), NEXT, "more than any machine holds")
    refused("calloc-overflow", GOOD + calloc(12, 1 << 40, 1 << 40, 0x40000), NEXT, "more than any machine holds")
    refused("address", GOOD + malloc(12, 8, 1 << 60), NEXT, "an address past any process's address space")
    refused("never-allocated", GOOD + free(12, 0x50000), NEXT, "free of 0x50000, which no call returned")
    refused("double-free", GOOD + free(12, 0x20000), NEXT, "free of 0x20000, freed already at record 8")
    refused("realloc-never", GOOD + realloc(12, 10, 0x60000, 0x70000), NEXT,
            "realloc of 0x60000, which no call returned")
    refused("duplicate", GOOD + malloc(5, 8, 0x40000), NEXT, "sequence 5 also at record 9")
    refused("twice-live", GOOD + malloc(12, 8, 0x30000), NEXT, "a block at 0x30000 returned while record 9's block is there")
    refused("misaligned", GOOD + malloc(12, 8, 0x40004), NEXT, "not 8-byte aligned")
    refused("path-length", header() + thread() + module(1, "/x", length=5000), 2, "a module's path of 5000 bytes (1 to 4096)")
    refused("path-nul", header() + thread() + module(1, "/a\0b"), 2, "a NUL byte in a module's path")
    refused("thread", GOOD + thread(0) + malloc(12, 8, 0x40000), NEXT, "thread 0")
    refused("no-thread", header() + malloc(1, 8, 0x1000), 1, "a call before any thread record")
    refused("second-alone", GOOD + rec(0, 19, 1), NEXT, "a second record without its first")
    refused("second-missing", GOOD + rec(12, 4, 3, 0x70000) + malloc(13, 8, 0x80000), NEXT + 1,
            "not the second record of the one before")
    # A child of fork may free what its parent allocated; any other recording may not.
    path = os.path.join(tmp, "forked")
    with open(path, "wb") as f:
        f.write(header(flags=1) + thread() + free(1, 0x50000))
    r = run([HEAPTRACE, "--check", path])
    if r.returncode != 0 or "1 blocks from before the recording freed" not in r.stdout:
        fail(f"forked: {r.returncode} {r.stdout} {r.stderr}")
    # Cut between a call's two records or inside a module's path, as a kill can stop a write at
    # any page of the file: read up to the last whole call, the rest reported.
    for name, data, cut in (("second-cut", GOOD + realloc(12, 10, 0x30000, 0x70000)[:RECORD], RECORD),
                            ("path-cut", header() + thread() + module(1, "/x" * 100)[:RECORD * 3], RECORD * 3)):
        path = os.path.join(tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        r = run([HEAPTRACE, "--check", path])
        if r.returncode != 0 or f"cut short: {cut} bytes after the last whole call" not in r.stdout:
            fail(f"{name}: status {r.returncode}: {r.stdout} {r.stderr}")
    # Cut at every byte: read up to the last whole call, never a crash.
    for cut in range(len(GOOD) + 1):
        path = os.path.join(tmp, "cut")
        with open(path, "wb") as f:
            f.write(GOOD[:cut])
        r = run([HEAPTRACE, "--check", path])
        if r.returncode not in (0, 2) or (cut >= RECORD and cut % RECORD and r.returncode == 0 and "cut short" not in r.stdout):
            fail(f"cut at {cut}: status {r.returncode}: {r.stdout} {r.stderr}")
    # Damaged ELF files to name functions in: a JSON array with a name or null for each line.
    with open(HEAPTRACE, "rb") as f:
        elf = f.read()
    rng = random.Random(7)
    for i in range(60):
        data = bytearray(elf[:rng.randrange(64, len(elf))] if i % 3 == 0 else elf)
        for _ in range(rng.randrange(1, 200)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        path = os.path.join(tmp, "elf")
        with open(path, "wb") as f:
            f.write(data)
        r = subprocess.run([HEAPTRACE, "--names"], input=f"{path} 1000\n{path} ffffffff\n/no/such 10\nx\n".encode(),
                           capture_output=True, timeout=60)
        try:
            names = json.loads(r.stdout.decode("utf-8"))
        except ValueError as e:
            names = e
        if r.returncode != 0 or not isinstance(names, list) or len(names) != 4 or names[2:] != [None, None]:
            fail(f"--names on a damaged ELF file {i}: status {r.returncode}: {names!r:.200}")
            break
    # Random records after a good start: refused or read, never a crash.
    rng = random.Random(20261209)
    for i in range(200):
        data = bytearray(GOOD + bytes(rng.randrange(256) for _ in range(RECORD * rng.randrange(1, 6))))
        if i % 2:
            for _ in range(8):
                data[rng.randrange(RECORD, len(data))] = rng.randrange(256)
        path = os.path.join(tmp, "random")
        with open(path, "wb") as f:
            f.write(data)
        for mode in ("--check", "--script", "--calls"):
            r = run([HEAPTRACE, mode, path])
            if r.returncode not in (0, 2) or (r.returncode == 2 and "heaptrace: " not in r.stderr):
                fail(f"random {i} {mode}: status {r.returncode}: {r.stderr[:200]}")


with tempfile.TemporaryDirectory(prefix="trace-test-") as tmp:
    if MODE == "record":
        recorded_program(tmp)
    else:
        hostile(tmp)
if failures:
    sys.exit(1)
print("trace_test: ok")

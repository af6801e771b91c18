#!/usr/bin/env python3
"""Real software on MyMalloc. Each workload runs its programs once on glibc's
malloc and once with libmymalloc.so preloaded and the heap walked around every
Nth call (MYMALLOC_CHECK=every:N); output, files written and exit statuses must match.

Usage: tests/real/real.py LIBMYMALLOC WORKLOAD...   (WORKLOAD: one of NAMES, or all)

scripts/bench-real imports this module and times the same workloads.
"""

import contextlib
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = "/usr/bin/python3"  # Debian's, linked dynamically against libc


class Step:
    """One program run: argv in the work folder, stdin from a file there,
    stdout into a file there (compared through its hash) or kept as text."""

    def __init__(self, argv, stdin=None, stdout=None):
        self.argv, self.stdin, self.stdout = argv, stdin, stdout


PYTHON_SCRIPT = r'''
import hashlib, json, re, threading

objects = [{"id": i, "name": "item%d" % i, "tags": [i % 7, i % 11], "price": i * 0.25,
            "ok": i % 3 == 0} for i in range(100000)]
text = json.dumps(objects)
assert json.loads(text) == objects
print(len(text), hashlib.sha256(text.encode()).hexdigest())

print(len(re.findall(r'"item(\d*7)"', text)), len(re.findall(r'"price": \d+\.5\b', text)))
print(re.sub(r"\d+", "#", text[:200]))

ordered = sorted(objects, key=lambda o: (o["tags"][1], -o["id"]))
print(ordered[0]["id"], ordered[-1]["id"], sorted(text[:5000])[2500])

table = {}
def fill(part):
    for i in range(part, 1000000, 4):
        table["key%d" % i] = i * i
threads = [threading.Thread(target=fill, args=(p,)) for p in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(len(table), sum(table.values()) % 1000003)

data = bytearray(5 * 1024 * 1024)
for i in range(0, len(data), 4093):
    data[i] = i % 251
data += bytes(range(256)) * 1024
print(len(data), hashlib.sha256(data).hexdigest())
'''


def sqlite_script():
    lines = ["CREATE TABLE orders(id INTEGER PRIMARY KEY, customer TEXT, item TEXT, qty INT, price REAL);"]
    for t in range(10):
        lines.append("BEGIN;")
        for i in range(t * 10000, (t + 1) * 10000):
            lines.append("INSERT INTO orders(customer, item, qty, price) VALUES('c%d', 'item%d', %d, %d.25);"
                         % (i % 977, i % 53, i % 9 + 1, i % 400))
        lines.append("COMMIT;")
    lines += [
        "CREATE INDEX by_customer ON orders(customer, item);",
        "SELECT count(*), sum(qty), round(sum(qty * price), 2) FROM orders;",
        "SELECT customer, count(*), sum(qty) FROM orders WHERE customer LIKE 'c9%' GROUP BY customer ORDER BY 3 DESC, 1 LIMIT 5;",
        "SELECT item, avg(price) FROM orders WHERE customer = 'c42' GROUP BY item ORDER BY item LIMIT 5;",
        "UPDATE orders SET qty = qty + 1 WHERE id % 10 = 0;",
        "DELETE FROM orders WHERE id % 7 = 0;",
        "SELECT count(*), sum(qty) FROM orders;",
        "PRAGMA integrity_check;",
    ]
    return "\n".join(lines) + "\n"


def text_file(path, megabytes=20):
    """A generated text of words and numbers, the same every time."""
    words = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india",
             "juliett", "kilo", "lima", "mike", "november", "oscar", "papa"]
    x = 12345
    with open(path, "w") as f:
        size = 0
        while size < megabytes * 1000000:
            lines = []
            for _ in range(1000):
                x = (x * 1103515245 + 12345) % 2147483648
                lines.append("%s %s %d %d\n" % (words[x % 16], words[(x >> 8) % 16], x % 100000,
                                                 (x >> 4) % 1000))
            chunk = "".join(lines)
            f.write(chunk)
            size += len(chunk)


def prepare_python(work):
    with open(os.path.join(work, "script.py"), "w") as f:
        f.write(PYTHON_SCRIPT)
    return [Step([PYTHON, "script.py"])]


def prepare_sqlite(work):
    with open(os.path.join(work, "script.sql"), "w") as f:
        f.write(sqlite_script())
    return [Step(["sqlite3", "orders.db"], stdin="script.sql")]


def prepare_gxx(work):
    src = os.path.join(ROOT, "tests", "exercises", "heap_model.cc")
    return [Step(["g++", "-O2", "-std=c++20", "-frandom-seed=heap_model", "-I",
                  os.path.dirname(src), "-c", src, "-o", "heap_model.o"])]


def prepare_git(work):
    tree = os.path.join(work, "repo")
    for folder in ("allocator", "alloc-exercises", "tests", "servers", "modules", "demos"):
        shutil.copytree(os.path.join(ROOT, folder), os.path.join(tree, folder),
                        ignore=shutil.ignore_patterns("node_modules", "corpus", "__pycache__"))
    git = ["git", "-C", "repo"]
    steps = [Step(git + ["init", "-q", "-b", "main"]), Step(git + ["add", "."]),
             Step(git + ["commit", "-q", "-m", "first"])]
    for i, word in enumerate(["free", "malloc", "block", "test", "size", "list", "heap", "the"]):
        steps += [Step(["sed", "-i", f"s/{word}/{word}{i}/g", "repo/allocator/MyMalloc.cc",
                        "repo/tests/allocator/scenarios.cc", "repo/servers/modhost.cc"]),
                  Step(git + ["commit", "-q", "-a", "-m", f"rename {word}"])]
    steps += [
        Step(git + ["diff", "HEAD~8", "--stat"]),
        Step(git + ["diff", "HEAD~4"], stdout="diff.txt"),
        Step(git + ["log", "-p", "--format=%H %an %s"], stdout="log.txt"),
        Step(git + ["gc", "-q"]),
        Step(git + ["log", "--stat", "--format=%H %s"]),
        Step(git + ["fsck", "--no-progress"]),
    ]
    return steps


def prepare_text(work):
    shared = os.path.join(os.path.dirname(work), "data.txt")  # made once for all runs
    if not os.path.exists(shared):
        text_file(shared)
    os.link(shared, os.path.join(work, "data.txt"))  # only read, never written
    return [
        Step(["sort", "-k3,3n", "-k1,1", "data.txt", "-o", "sorted.txt"]),
        Step(["gzip", "-6", "-n", "-c"], stdin="sorted.txt", stdout="sorted.gz"),
        Step(["xz", "-T1", "-0", "-c"], stdin="data.txt", stdout="data.xz"),
        Step(["awk", "{ n[$1 \" \" $2]++; s[$1] += $3 } END { for (k in s) print k, s[k] }"],
             stdin="data.txt", stdout="awk.txt"),
        Step(["perl", "-ne", 'my @f = split; $w{$f[1]} += $f[3]; $l{length $_}++; '
              'END { print "$_ $w{$_}\\n" for sort keys %w; print "$_ $l{$_}\\n" for sort { $a <=> $b } keys %l }'],
             stdin="data.txt"),
        Step(["sort", "awk.txt"]),
    ]


# name: (prepare, heap walk period). The periods keep each run well under 20 s
# on two busy cores; every walk visits every block of the heap.
WORKLOADS = {
    "python": (prepare_python, 100),
    "sqlite": (prepare_sqlite, 100),
    "gxx": (prepare_gxx, 1000),
    "git": (prepare_git, 1),
    "text": (prepare_text, 100),
}


def environment(work, extra):
    env = {
        "PATH": "/usr/bin:/bin",
        "HOME": work,
        "LC_ALL": "C",
        "TZ": "UTC",
        "PYTHONHASHSEED": "0",
        "GIT_CONFIG_NOSYSTEM": "1",
        "GIT_AUTHOR_NAME": "A U Thor",
        "GIT_AUTHOR_EMAIL": "author@example.com",
        "GIT_COMMITTER_NAME": "A U Thor",
        "GIT_COMMITTER_EMAIL": "author@example.com",
        "GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z",
        "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z",
    }
    env.update(extra)
    return env


def fresh_work(tmp):
    """An empty work folder, the same path for every run (paths show in some
    outputs); tmp keeps what runs share, such as the generated text."""
    work = os.path.join(tmp, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.mkdir(work)
    return work


def run(name, work, extra_env, timeout=120, measure=False):
    """Runs a workload in the empty folder work with extra_env added to each
    program's environment (LD_PRELOAD and the like; the preparation runs
    without it). Returns (results, seconds, peak resident KiB): results is a
    list of (argv, status, stdout, stderr) per program, then the hash of every
    file left in the folder. The peak is measured only if asked for."""
    prepare, _ = WORKLOADS[name]
    steps = prepare(work)
    env = environment(work, extra_env)
    results, seconds, peak = [], 0.0, 0
    for step in steps:
        argv = step.argv
        if measure:
            # A process's peak starts at its parent's size when it forks, so
            # GNU time, small, forks the program and reports its peak.
            peak_file = os.path.join(os.path.dirname(work), "peak")
            argv = ["/usr/bin/time", "-f", "%M", "-o", peak_file] + argv
        with contextlib.ExitStack() as files:
            stdin = (files.enter_context(open(os.path.join(work, step.stdin), "rb"))
                     if step.stdin else subprocess.DEVNULL)
            out = (files.enter_context(open(os.path.join(work, step.stdout), "wb"))
                   if step.stdout else files.enter_context(tempfile.TemporaryFile()))
            err = files.enter_context(tempfile.TemporaryFile())
            start = time.monotonic()
            try:
                p = subprocess.run(argv, cwd=work, env=env, stdin=stdin, stdout=out, stderr=err,
                                   timeout=timeout)
            finally:
                seconds += time.monotonic() - start
            if measure:
                with open(peak_file) as f:
                    peak = max(peak, int(f.read().split()[-1]))  # KiB
            stdout = None
            if not step.stdout:
                out.seek(0)
                stdout = out.read()
            err.seek(0)
            results.append((" ".join(step.argv)[:80], p.returncode, stdout, err.read()))
    for folder, _, files in sorted(os.walk(work)):
        if ".git" in folder.split(os.sep):
            continue
        for f in sorted(files):
            with open(os.path.join(folder, f), "rb") as fh:
                results.append((os.path.relpath(os.path.join(folder, f), work),
                                hashlib.sha256(fh.read()).hexdigest()))
    return results, seconds, peak


def check(lib, name):
    """Returns a list of differences between the glibc run and the MyMalloc run."""
    _, period = WORKLOADS[name]
    runs = []
    with tempfile.TemporaryDirectory(prefix="real-") as tmp:
        for extra in ({}, {"LD_PRELOAD": lib, "MYMALLOC_CHECK": f"every:{period}"}):
            start = time.monotonic()
            runs.append(run(name, fresh_work(tmp), extra)[0])
            print(f"real: {name} {'on MyMalloc' if extra else 'on glibc'}: "
                  f"{time.monotonic() - start:.1f} s", file=sys.stderr)
    want, got = runs
    # A run that fails on glibc too proves nothing about MyMalloc.
    diffs = [f"{w[0]} ended with {w[1]} on glibc: {w[3][-500:]!r}"
             for w in want if len(w) == 4 and w[1] != 0]
    if len(want) != len(got):
        diffs.append(f"{len(want)} results on glibc, {len(got)} on MyMalloc")
    for w, g in zip(want, got):
        if w != g:
            diffs.append(f"glibc:    {w!r:.2000}\nMyMalloc: {g!r:.2000}")
    return diffs


def main(argv):
    if len(argv) < 3 or not all(a in WORKLOADS or a == "all" for a in argv[2:]):
        sys.exit(f"Usage: {argv[0]} LIBMYMALLOC WORKLOAD...\nWORKLOAD: all or one of "
                 + " ".join(WORKLOADS))
    lib = os.path.abspath(argv[1])
    if not os.path.exists(lib):
        sys.exit(f"real: {lib} is missing; build it with `make`")
    names = list(WORKLOADS) if "all" in argv[2:] else argv[2:]
    failed = False
    for name in names:
        diffs = check(lib, name)
        for d in diffs:
            print(f"real: {name}: differs:\n{d}", file=sys.stderr)
        failed |= bool(diffs)
        print(f"real: {name}: {'FAILED' if diffs else 'same output and status'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

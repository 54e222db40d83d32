#!/usr/bin/env python3
"""Backup export and import against Info-ZIP.

Builds a folder shaped like a user's data folder (300 log files of 200 KB, 100 module folders of
5 to 20 files, 50 module databases, one of them 50 MB), then times our export (ZAZipArchive
writer, default level) against `zip -r -6 -q` and our import (ZAZipArchive extraction) against
`unzip -o -q` of the same archive, and prints the times, their ratios, the archive sizes and our
peak memory. Each figure is the median of several runs on a warm page cache.

usage: bench/zip_backup.py [--build-dir build] [--runs 5] [--keep]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def words(rng, count):
    vocabulary = ["module", "result", "value", "fetch", "ok", "error", "refresh", "temperature", "price",
                  "status", "build", "passed", "failed", "queue", "latency", "ms", "user", "request"]
    return " ".join(rng.choice(vocabulary) if rng.random() < 0.8 else str(rng.randint(0, 99999))
                    for _ in range(count))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_tree(root, rng):
    # Logs: JSON lines, 200 KB each.
    for i in range(300):
        lines = []
        size = 0
        while size < 200 * 1024:
            line = '{"date":"2024-05-%02dT%02d:%02d:%02dZ","type":%d,"log":"%s"}\n' % (
                rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
                rng.randint(0, 7), words(rng, rng.randint(4, 14)))
            lines.append(line)
            size += len(line)
        write(os.path.join(root, "Logs", "com.example.mod%03d_%08X.log" % (i, rng.getrandbits(32))),
              "".join(lines).encode()[:200 * 1024])
    # Module packages: 100 folders of 5 to 20 files (scripts, manifests, a few binary assets).
    for i in range(100):
        folder = os.path.join(root, "Modules", "mod%03d.quorvanemodule" % i)
        for j in range(rng.randint(5, 20)):
            kind = rng.random()
            if kind < 0.6:
                body = "\n".join("function f%d(x) { return x * %d; } // %s" % (k, k, words(rng, 6))
                                 for k in range(rng.randint(20, 600)))
                write(os.path.join(folder, "lib", "file%02d.js" % j), body.encode())
            elif kind < 0.85:
                write(os.path.join(folder, "data%02d.json" % j),
                      ('{"name":"%s","items":[%s]}' % (words(rng, 3), ",".join(
                          str(rng.randint(0, 1 << 20)) for _ in range(rng.randint(10, 3000))))).encode())
            else:
                write(os.path.join(folder, "assets", "image%02d.png" % j), os.urandom(rng.randint(1000, 60000)))
    # Module databases: 49 small and medium JSON files and one of 50 MB.
    for i in range(49):
        records = ",".join('{"id":%d,"t":%d,"v":%.3f,"s":"%s"}' % (k, 1700000000 + k * 60, rng.random() * 100,
                                                                  words(rng, 2))
                           for k in range(rng.randint(10, 4000)))
        write(os.path.join(root, "Module Databases", "com.example.mod%03d_%08X.json" % (i, rng.getrandbits(32))),
              ("[" + records + "]").encode())
    chunks = []
    size = 0
    k = 0
    while size < 50 * 1024 * 1024:
        chunk = ",".join('{"id":%d,"t":%d,"v":%.4f,"h":"%016x"}' % (k + n, 1700000000 + (k + n) * 5,
                                                                   rng.random() * 1000, rng.getrandbits(64))
                         for n in range(1000))
        chunks.append(chunk)
        size += len(chunk) + 1
        k += 1000
    write(os.path.join(root, "Module Databases", "com.example.big_00000001.json"),
          ("[" + ",".join(chunks) + "]").encode()[:50 * 1024 * 1024])
    write(os.path.join(root, "Modules.plist"), os.urandom(1) + b"bplist00" + os.urandom(20000))


def timed(command, cwd=None):
    start = time.perf_counter()
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(command), result.stdout, result.stderr))
    rss = None
    for line in result.stdout.splitlines():
        if line.startswith("peak_rss_kib "):
            rss = int(line.split()[1])
    return elapsed, rss


def median_run(runs, prepare, command, cwd=None):
    times, peaks = [], []
    for _ in range(runs):
        prepare()
        elapsed, rss = timed(command, cwd)
        times.append(elapsed)
        if rss:
            peaks.append(rss)
    return statistics.median(times), (max(peaks) if peaks else None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(TOP, "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()

    subprocess.run(["cmake", "--build", args.build_dir, "--target", "qv_bench_zip_backup"], check=True,
                   stdout=subprocess.DEVNULL)
    program = os.path.join(args.build_dir, "bench", "qv_bench_zip_backup")

    work = tempfile.mkdtemp(prefix="qv-zip-bench-")
    try:
        tree = os.path.join(work, "support")
        make_tree(tree, random.Random(20240501))
        files = sum(len(f) for _, _, f in os.walk(tree))
        total = sum(os.path.getsize(os.path.join(d, n)) for d, _, f in os.walk(tree) for n in f)
        ours = os.path.join(work, "ours.zip")
        theirs = os.path.join(work, "infozip.zip")
        items = ["Logs", "Module Databases", "Modules", "Modules.plist"]

        def remove(path):
            return lambda: os.path.exists(path) and os.remove(path)

        def clear(path):
            return lambda: shutil.rmtree(path, ignore_errors=True)

        # One untimed pass of each warms the page cache.
        timed([program, "export", tree, ours])
        os.remove(ours)
        timed(["zip", "-r", "-6", "-q", theirs] + items, cwd=tree)
        os.remove(theirs)

        export_ours, export_rss = median_run(args.runs, remove(ours), [program, "export", tree, ours])
        export_theirs, _ = median_run(args.runs, remove(theirs), ["zip", "-r", "-6", "-q", theirs] + items, cwd=tree)
        size_ours = os.path.getsize(ours)
        size_theirs = os.path.getsize(theirs)
        subprocess.run(["unzip", "-tq", ours], check=True, stdout=subprocess.DEVNULL)

        out_ours = os.path.join(work, "import-ours")
        out_theirs = os.path.join(work, "import-infozip")
        import_ours, import_rss = median_run(args.runs, clear(out_ours), [program, "import", ours, out_ours])
        import_theirs, _ = median_run(args.runs, clear(out_theirs), ["unzip", "-o", "-q", ours, "-d", out_theirs])
        same = subprocess.run(["diff", "-r", "-q", out_ours, out_theirs], stdout=subprocess.PIPE, text=True)

        print("tree: %d files, %.1f MB" % (files, total / 1e6))
        print("%-34s %9s %9s %7s" % ("", "ours", "Info-ZIP", "ratio"))
        print("%-34s %8.2fs %8.2fs %7.2f" % ("export (zip -r -6 -q)", export_ours, export_theirs,
                                             export_ours / export_theirs))
        print("%-34s %8.2fs %8.2fs %7.2f" % ("import (unzip -o -q, same archive)", import_ours, import_theirs,
                                             import_ours / import_theirs))
        print("%-34s %8.2fM %8.2fM %7.4f" % ("archive size", size_ours / 1e6, size_theirs / 1e6,
                                             size_ours / size_theirs))
        print("peak memory: export %.1f MB, import %.1f MB" % (export_rss / 1024, import_rss / 1024))
        print("imported trees identical: %s" % ("yes" if same.returncode == 0 else "NO\n" + same.stdout))
    finally:
        if args.keep:
            print("work folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

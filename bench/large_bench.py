#!/usr/bin/env python3
"""Large files: our front end against find and gdu.

  large_bench.py gen FS_BENCH TREE ONLY   make the trees (once)
  large_bench.py run TREE ONLY KLARVIK RUNS

TREE is the 200,000-entry tree of the file-system benchmarks with 2,000
sparse files of 10 to 50 MB added in its folders; ONLY holds the same 2,000
big files alone, in the same folders. For each tool: the median wall time of
RUNS warm runs over TREE and the files it found; for ours also the peak
memory over TREE and over ONLY, which must not grow with the small files.
"""
import json
import os
import random
import statistics
import subprocess
import sys
import time

BIG = 2000


def gen(fs_bench, tree, only):
    for path in (tree, only):
        subprocess.run(["rm", "-rf", path, path + ".partial"], check=True)
    subprocess.run([fs_bench, "gen", tree + ".partial"], check=True, stdout=subprocess.DEVNULL)
    folders = []
    for dirpath, dirnames, _ in os.walk(tree + ".partial"):
        folders.append(os.path.relpath(dirpath, tree + ".partial"))
    rnd = random.Random(16)
    for i in range(BIG):
        rel = os.path.join(rnd.choice(folders), "big-%04d.bin" % i)
        size = rnd.randrange(10000001, 50000000)
        for base in (tree + ".partial", only + ".partial"):
            path = os.path.join(base, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.truncate(size)
    os.rename(tree + ".partial", tree)
    os.rename(only + ".partial", only)


def measure(cmd):
    """Wall seconds, peak memory (bytes) and standard output of one run."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    if status != 0:
        sys.exit("FAILED (%d): %s" % (status, " ".join(cmd)))
    return seconds, usage.ru_maxrss * 1024, out.decode("utf-8", "surrogateescape")


def median_of(cmd, runs):
    measure(cmd)  # warm
    results = [measure(cmd) for _ in range(runs)]
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            results[-1][2])


def ours_found(out):
    return json.loads(out)["total_items"]


def run(tree, only, klarvik, runs):
    ours_cmd = [klarvik, "scan", "--kind", "large-old", "--json", tree]
    t_ours, rss, out = median_of(ours_cmd, runs)
    found = ours_found(out)
    _, rss_only, out_only = median_of([klarvik, "scan", "--kind", "large-old", "--json", only],
                                      runs)
    t_find, _, out_find = median_of(["find", tree, "-size", "+9765k"], runs)
    print("  %-34s %8.3f s  %d files, max RSS %.1f MiB" % ("klarvik scan --kind large-old",
                                                          t_ours, found, rss / 1048576))
    print("  %-34s %8.3f s  %d files" % ("find -size +9765k", t_find, len(out_find.splitlines())))
    print("  %-34s %8.2f    goal <= 1.20" % ("ours / find", t_ours / t_find))
    if subprocess.run(["sh", "-c", "command -v gdu"], stdout=subprocess.DEVNULL).returncode == 0:
        t_gdu, _, _ = median_of(["gdu", "-n", "-p", tree], runs)
        print("  %-34s %8.3f s  (whole-tree usage, for scale)" % ("gdu -n", t_gdu))
    print("  %-34s %8.1f MiB with 200,000 small files, %.1f MiB without (%d files found)" %
          ("peak memory", rss / 1048576, rss_only / 1048576, ours_found(out_only)))


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        run(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))

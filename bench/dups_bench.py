#!/usr/bin/env python3
"""Duplicate finding: our front end against jdupes, rmlint and fdupes.

  dups_bench.py gen TREE           make the tree (once)
  dups_bench.py run TREE KLARVIK RUNS

The tree holds 200,000 entries, about 5,000 of them files over 1 MB: unique
sizes, equal sizes with different middles, equal middles with different
heads, true groups of 2 to 5 copies, and hard-link pairs. Every small file is
unique. For each tool: the median wall time of RUNS warm runs, the bytes it
read (rchar of /proc/PID/io, read as the process ends), and whether it found
exactly the groups the others found (a group of one physical file is none).
"""
import os
import random
import statistics
import subprocess
import sys
import time

ENTRIES = 200000
BASE = 1100000


def gen(tree):
    rnd = random.Random(15)
    pool = rnd.randbytes(8 << 20)
    part = tree + ".partial"
    subprocess.run(["rm", "-rf", part], check=True)
    os.makedirs(part)
    made = 0
    serial = [0]

    def content(size, head=True, middle=True, base=None):
        serial[0] += 1
        off = rnd.randrange(0, len(pool) - size)
        data = bytearray(pool[off:off + size]) if base is None else bytearray(base)
        tag = b"%012d" % serial[0]
        if head:
            data[0:12] = tag
        if middle:
            m = (size - 1024) // 2 + 100
            data[m:m + 12] = tag
        return bytes(data)

    def write(path, data):
        with open(path, "wb") as f:
            f.write(data)

    big = []  # (name, bytes) of files over 1 MB
    size = BASE
    for i in range(1500):  # unique sizes
        size += 1
        big.append(content(size))
    pairs = []
    for i in range(500):  # equal sizes, different middles
        size += 1
        pairs += [content(size), content(size)]
    for i in range(500):  # equal middles, different heads
        size += 1
        first = content(size)
        pairs += [first, content(size, middle=False, base=first)]
    groups = []
    for i in range(400):  # true groups
        size += 1
        data = content(size)
        groups.append([data] * rnd.randint(2, 5))
    folders = 100
    for d in range(folders):
        os.makedirs("%s/big%d" % (part, d))
    made += folders
    at = 0

    def place():
        nonlocal at
        at += 1
        return "%s/big%d/f%d" % (part, at % folders, at)

    for data in big + pairs:
        write(place(), data)
        made += 1
    for group in groups:
        for data in group:
            write(place(), data)
            made += 1
    for i in range(150):  # hard-link pairs of unique files
        size += 1
        first = place()
        write(first, content(size))
        os.link(first, place())
        made += 2
    small_folders = 2000
    small = ENTRIES - made - small_folders
    for d in range(small_folders):
        os.makedirs("%s/d%d" % (part, d))
    for i in range(small):
        write("%s/d%d/s%d" % (part, i % small_folders, i), b"%d\n" % i * (1 + i % 50))
    os.rename(part, tree)
    print("entries: %d, large files: %d" % (ENTRIES, made - folders))


def measure(cmd):
    """Wall seconds, bytes read and standard output of one run."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    # Wait without reaping: the zombie's counters are final.
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
    seconds = time.monotonic() - start
    rchar = 0
    with open("/proc/%d/io" % proc.pid) as f:
        for line in f:
            if line.startswith("rchar:"):
                rchar = int(line.split()[1])
    proc.wait()
    return seconds, rchar, out.decode("utf-8", "surrogateescape")


def blank_separated(out):
    groups, current = [], []
    for line in out.splitlines():
        if not line.strip():
            if current:
                groups.append(current)
            current = []
        else:
            current.append(line)
    if current:
        groups.append(current)
    return groups


def ours(out):
    groups = []
    for line in out.splitlines():
        if " of " in line and line.endswith(":") and not line.startswith(" "):
            groups.append([])
        elif line.startswith("  remove ") or line.startswith("  keep   "):
            groups[-1].append(line[9:])
    return groups


def normal(groups):
    """Groups as sets of physical files, those of one file dropped."""
    result = set()
    for group in groups:
        inodes = {}
        for path in group:
            try:
                st = os.lstat(path)
            except OSError:
                continue
            inodes.setdefault((st.st_dev, st.st_ino), path)
        if len(inodes) > 1:
            result.add(frozenset(inodes))
    return result


def run(tree, klarvik, runs):
    tools = [
        ("klarvik (pause 0)", [klarvik, "scan", "--kind", "duplicates", tree], ours),
        ("klarvik --gentle", [klarvik, "scan", "--kind", "duplicates", "--gentle", tree], ours),
        ("jdupes -r", ["jdupes", "-r", "-q", tree], blank_separated),
        ("rmlint", ["rmlint", "-T", "df", "--no-hardlinked", "-o", "fdupes:stdout", tree],
         blank_separated),
        ("fdupes -r", ["fdupes", "-r", "-q", tree], blank_separated),
    ]
    figures = {}
    reference = None
    for name, cmd, parse in tools:
        measure(cmd)  # warm
        times, reads, found = [], [], None
        for _ in range(runs):
            seconds, rchar, out = measure(cmd)
            times.append(seconds)
            reads.append(rchar)
            found = normal(parse(out))
        if reference is None:
            reference = found
        same = "same groups" if found == reference else "DIFFERENT groups (%d vs %d)" % (
            len(found), len(reference))
        figures[name] = statistics.median(times)
        print("  %-22s %8.3f s  %8.1f MiB read  %d groups, %s" %
              (name, figures[name], statistics.median(reads) / 1048576, len(found), same))
    peer = min(figures["jdupes -r"], figures["rmlint"])
    print("  ours / faster of jdupes and rmlint: %.2f (goal <= 0.70)" %
          (figures["klarvik (pause 0)"] / peer))


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(sys.argv[2])
    else:
        run(sys.argv[2], sys.argv[3], int(sys.argv[4]))

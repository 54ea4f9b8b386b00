#!/usr/bin/env python3
"""The front end's output: text, --json and --jsonl of a disk-usage scan.

  frontend_bench.py TREE REAL KLARVIK RUNS

For each form of output: the median wall time and peak memory of RUNS warm
runs of `klarvik scan --kind disk-usage` over TREE, beside `du -s -B1`; and,
over REAL (a copy of real files: TREE's are sparse), the total klarvik counts
beside du's (du also counts each folder's own blocks, which klarvik does not).
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def measure(cmd):
    """Wall seconds and peak memory of one run. The output
    goes to a file, not into this process: a child forked from a large parent
    would start with the parent's memory counted as its own peak."""
    with tempfile.TemporaryFile() as sink:
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=sink, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.monotonic() - start
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("FAILED: " + " ".join(cmd))
        return seconds, usage.ru_maxrss * 1024


def median_of(cmd, runs):
    measure(cmd)
    results = [measure(cmd) for _ in range(runs)]
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results))


def total_size(cmd):
    with tempfile.TemporaryFile() as sink:
        subprocess.run(cmd, stdout=sink, stderr=subprocess.DEVNULL, check=True)
        sink.seek(0)
        return json.load(sink)["total_size"]


def main(tree, real, klarvik, runs):
    base = [klarvik, "scan", "--kind", "disk-usage"]
    t_text, m_text = median_of(base + [tree], runs)
    t_json, m_json = median_of(base + ["--json", tree], runs)
    t_jsonl, m_jsonl = median_of(base + ["--jsonl", tree], runs)
    t_du, _ = median_of(["du", "-s", "-B1", tree], runs)
    ours = total_size(base + ["--json", real])
    du = int(subprocess.run(["du", "-s", "-B1", real], capture_output=True,
                            text=True).stdout.split()[0])
    folders = int(subprocess.run(["find", real, "-type", "d"], capture_output=True,
                                 text=True).stdout.count("\n"))
    for name, t, m in (("text", t_text, m_text), ("--json", t_json, m_json),
                       ("--jsonl", t_jsonl, m_jsonl)):
        print("  %-34s %8.3f s  max RSS %7.1f MiB" % ("klarvik scan --kind disk-usage " + name
                                                     if name != "text" else
                                                     "klarvik scan --kind disk-usage", t, m / 1048576))
    print("  %-34s %8.3f s" % ("du -s -B1", t_du))
    print("  %-34s %8.2f    time, goal <= 1.5; memory %.2f, goal <= 1.5" %
          ("--json / text", t_json / t_text, m_json / m_text))
    print("  %-34s %8.4f    of %s: klarvik %d B, du %d B (with the own blocks of %d folders)" %
          ("total / du -s -B1", ours / du, real, ours, du, folders))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))

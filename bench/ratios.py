#!/usr/bin/env python3
"""Runs a benchmark program and prints each benchmark's rate as a ratio to
the baseline of the same shape run in the same process.

Usage: bench/ratios.py build/default/bench/bench_codec [benchmark args...]

Benchmarks are named <kind>/<shape>; a kind ending in "_baseline" (such as
memcpy_baseline or write_baseline) is the baseline of its shape, and every
other <kind>/<shape> is compared with it. A ratio of 0.5 means half the
baseline's rate.
"""
import json
import subprocess
import sys


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    cmd = [sys.argv[1], "--benchmark_format=json"] + sys.argv[2:]
    data = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
    runs = [b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    base = {}
    for b in runs:
        kind, _, shape = b["name"].partition("/")
        if kind.endswith("_baseline"):
            base[shape] = b
    print(f"{'benchmark':<24}{'MB/s':>10}{'items/s':>14}{'base MB/s':>14}{'ratio':>8}")
    for b in runs:
        kind, _, shape = b["name"].partition("/")
        if kind.endswith("_baseline") or shape not in base:
            continue
        mbs = b.get("bytes_per_second", 0) / 1e6
        ref = base[shape].get("bytes_per_second", 0) / 1e6
        ratio = mbs / ref if ref else float("nan")
        items = b.get("items_per_second", 0)
        print(f"{b['name']:<24}{mbs:>10.1f}{items:>14.3g}{ref:>14.1f}{ratio:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

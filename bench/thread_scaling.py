#!/usr/bin/python3
"""How the band-iterator filters scale from one thread to two.

Runs pictra_bench's benchmarks that take a `threads` argument, with the one-
and two-thread cases interleaved at random so that a slow spell of a shared
machine lands on both, and prints each case's best and median times and the
speed-up between them. The best time is the steadier figure on a machine
whose speed wanders; the median is printed beside it.

Usage: thread_scaling.py [--bench PATH] [--repetitions N] [FILTER_REGEX]
  FILTER_REGEX  google-benchmark filter (default: every threaded benchmark)
"""
import argparse
import collections
import json
import re
import statistics
import subprocess
import sys

THREADED = ("BM_RunThreads|BM_RankRun|BM_GaussianBlurRun|"
            "BM_RankPlane/filter:[0-9]+/radius:5/threshold:[0-9]+/depth:8|BM_RankPlane/filter:16130")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bench", default="build/bin/pictra_bench")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("filter", nargs="?", default=THREADED)
    args = parser.parse_args()

    run = subprocess.run(
        [args.bench, f"--benchmark_filter={args.filter}", f"--benchmark_repetitions={args.repetitions}",
         "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
        capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"thread_scaling: {args.bench} failed:\n{run.stderr}")

    times = collections.defaultdict(dict)
    for result in json.loads(run.stdout)["benchmarks"]:
        if result.get("run_type") != "iteration" or result.get("error_occurred"):
            continue
        threads = re.search(r"/threads:(\d+)", result["run_name"])
        if not threads:
            continue
        case = re.sub(r"/threads:\d+", "", result["run_name"]).removesuffix("/real_time")
        times[case].setdefault(int(threads.group(1)), []).append(result["real_time"])

    print(f"{'case':58} {'1 thread ms':>17} {'2 threads ms':>17} {'speed-up':>15}")
    print(f"{'':58} {'best':>8} {'median':>8} {'best':>8} {'median':>8} {'best':>7} {'median':>7}")
    for case in sorted(times):
        one, two = times[case].get(1), times[case].get(2)
        if not one or not two:
            continue
        print(f"{case:58} {min(one):8.2f} {statistics.median(one):8.2f} {min(two):8.2f} "
              f"{statistics.median(two):8.2f} {min(one) / min(two):6.2f}x "
              f"{statistics.median(one) / statistics.median(two):6.2f}x")


if __name__ == "__main__":
    main()

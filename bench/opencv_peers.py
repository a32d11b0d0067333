#!/usr/bin/python3
"""OpenCV's time for the filters compare.sh measures, filter only.

The image is loaded once with cv2.imread; each filter is then timed in memory,
best of N calls after one untimed call, on one thread and on OpenCV's default
thread count. These are the times of the arithmetic alone, without reading
and writing files, so they are a floor rather than a peer of pictra's
whole-process times.

Usage: opencv_peers.py --data DIR [--runs N] [GROUP ...]
  GROUP: gaussian unsharp average median maximum minimum (default: all)
Edges are replicated, as pictra does; kernels have pictra's extents.
"""
import argparse
import math
import os
import sys
import time

import cv2

GROUPS = ("gaussian", "unsharp", "average", "median", "maximum", "minimum")
EDGE = cv2.BORDER_REPLICATE


def gaussian(image, sigma):
    """Gaussian Blur's weights reach floor(3 sigma) pixels either side."""
    size = 2 * math.floor(3 * sigma) + 1
    return cv2.GaussianBlur(image, (size, size), sigma, sigmaY=sigma, borderType=EDGE)


def unsharp(image, sigma):
    """Amount 100 %, threshold 0: sample + (sample - blur), saturated."""
    return cv2.addWeighted(image, 2.0, gaussian(image, sigma), -1.0, 0.0)


SQUARE11 = cv2.getStructuringElement(cv2.MORPH_RECT, (11, 11))

# (group, title, image depth, filter)
CASES = [
    ("gaussian", "gaussian r2 8-bit", 8, lambda im: gaussian(im, 2)),
    ("gaussian", "gaussian r10 8-bit", 8, lambda im: gaussian(im, 10)),
    ("gaussian", "gaussian r2 16-bit", 16, lambda im: gaussian(im, 2)),
    ("gaussian", "gaussian r10 16-bit", 16, lambda im: gaussian(im, 10)),
    ("unsharp", "unsharp r2 8-bit", 8, lambda im: unsharp(im, 2)),
    ("unsharp", "unsharp r2 16-bit", 16, lambda im: unsharp(im, 2)),
    ("average", "average r5", 8, lambda im: cv2.blur(im, (11, 11), borderType=EDGE)),
    ("median", "median r1", 8, lambda im: cv2.medianBlur(im, 3)),
    ("median", "median r5", 8, lambda im: cv2.medianBlur(im, 11)),
    ("maximum", "maximum r5", 8, lambda im: cv2.dilate(im, SQUARE11, borderType=EDGE)),
    ("minimum", "minimum r5", 8, lambda im: cv2.erode(im, SQUARE11, borderType=EDGE)),
]


def load(path):
    # IMREAD_UNCHANGED keeps 16-bit samples; the default would cut them to 8.
    image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    if image is None:
        sys.exit(f"opencv_peers.py: cannot read {path}")
    return image


def best_ms(run, image, runs):
    result = run(image)
    if result.shape != image.shape or result.dtype != image.dtype:
        raise SystemExit(f"opencv_peers.py: a filter gave {result.dtype} {result.shape}, "
                         f"not the input's {image.dtype} {image.shape}")
    best = math.inf
    for _ in range(runs):
        start = time.perf_counter()
        run(image)
        best = min(best, time.perf_counter() - start)
    return best * 1000


def main():
    parser = argparse.ArgumentParser(description="OpenCV filter-only times for compare.sh's filters")
    parser.add_argument("--data", required=True, help="folder holding rgb8.tif and rgb16.tif")
    parser.add_argument("--runs", type=int, default=10, help="timed calls per filter (best is kept)")
    parser.add_argument("groups", nargs="*", metavar="GROUP", help=" ".join(GROUPS))
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    unknown = [group for group in args.groups if group not in GROUPS]
    if unknown:
        parser.error(f"unknown group {unknown[0]!r} (choose from: {' '.join(GROUPS)})")
    groups = set(args.groups or GROUPS)
    cases = [case for case in CASES if case[0] in groups]

    images = {depth: load(os.path.join(args.data, f"rgb{depth}.tif"))
              for depth in sorted({case[2] for case in cases})}
    default_threads = cv2.getNumThreads()
    print(f"OpenCV {cv2.__version__}, filter only (image in memory), best of {args.runs}; "
          f"1 thread and the default {default_threads}")
    for _, title, depth, run in cases:
        cv2.setNumThreads(1)
        single = best_ms(run, images[depth], args.runs)
        cv2.setNumThreads(default_threads)
        several = best_ms(run, images[depth], args.runs)
        print(f"opencv {title}: 1 thread {single:.1f} ms, {default_threads} threads {several:.1f} ms")


if __name__ == "__main__":
    main()

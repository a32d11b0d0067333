#!/usr/bin/env bash
# Times whole `pictra run` processes against the tools a user would reach
# for otherwise, on the same input, with hyperfine, and prints each peer's
# time as a ratio to pictra's. Then, when python3 has cv2, opencv_peers.py
# adds OpenCV's in-memory filter times for the same filters.
#
# Usage: bash bench/compare.sh [GROUP ...]    (default: every group)
#   GROUP: invert blur gaussian unsharp average median maximum minimum
#   BENCH_DATA:      folder for the inputs (made once by make_inputs.py)
#   BENCH_RUNS:      runs per command (default 10), after 2 warm-up runs
#   BENCH_SLOW_RUNS: runs of the slow peers (default 2, no warm-up); these
#                    take minutes per run, so they get their own hyperfine run
#   BENCH_SKIP_SLOW: 1 leaves the slow peers out
#
# Every command writes OUT/<its label>.tif; after each line the outputs are
# checked to be whole images of the input's size, bands and sample format, so
# a peer that fails or writes something else stops the script instead of
# giving a ratio for work it did not do.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
data="${BENCH_DATA:-$root/bench-data}"
runs="${BENCH_RUNS:-10}"
slow_runs="${BENCH_SLOW_RUNS:-2}"
skip_slow="${BENCH_SKIP_SLOW:-0}"
pictra="$root/build/bin/pictra"
python=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
out="$work/out"

groups=(invert blur gaussian unsharp average median maximum minimum)
fail() { echo "compare.sh: $*" >&2; exit 1; }

case "${1:-}" in
  -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=("${groups[@]}")
for group in "${selected[@]}"; do
  [[ " ${groups[*]} " == *" $group "* ]] || {
    echo "compare.sh: unknown group '$group' (choose from: ${groups[*]})" >&2; exit 2; }
done
wanted() { [[ " ${selected[*]} " == *" $1 "* ]]; }

[ -x "$pictra" ] || fail "$pictra is missing: build the pictra target first"
for tool in hyperfine vips vipsheader convert; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# usm2.mat and box11.mat are vips masks written beside the images.
inputs="$root/../shared/bench/make_inputs.py"
for file in rgb8.tif rgb16.tif usm2.mat box11.mat; do
  if [ ! -f "$data/$file" ]; then
    mkdir -p "$data"
    BENCH_DATA="$data" "$python" "$inputs" >/dev/null
    break
  fi
done

# hyperfine names only "Benchmark N: LABEL" before a failure, so the failing
# label is taken from its log and that command is run once more in view.
time_commands() {   # json, then hyperfine options and -n label command pairs
  local json="$1"; shift
  if ! hyperfine --style basic --export-json "$json" "$@" >"$work/hyperfine.log"; then
    local label
    label="$(sed -n 's/^Benchmark [0-9]*: //p' "$work/hyperfine.log" | tail -n 1)"
    [ -n "$label" ] || fail "$line_title: hyperfine failed before running a command"
    echo "compare.sh: $line_title: '$label' failed: ${commands[$label]}" >&2
    bash -c "${commands[$label]}" || true
    exit 1
  fi
}

check_output() {   # label, input image
  local file="$out/$1.tif" want got
  [ -s "$file" ] || fail "$line_title: '$1' wrote no $file"
  want="$(image_shape "$2")"
  got="$(image_shape "$file")" || fail "$line_title: '$1' wrote an unreadable $file"
  [ "$got" = "$want" ] || fail "$line_title: '$1' wrote $got, the input is $want"
  vips avg "$file" >/dev/null || fail "$line_title: '$1' wrote a damaged $file"
}

image_shape() {   # "4096x4096 uchar, 3 bands"
  vipsheader "$1" | sed 's/^.*: //; s/, [^,]*, [^,]*$//'
}

# title, input image, pictra command, then peer label/command pairs; pairs
# after a lone --slow are the slow peers.
compare() {
  line_title="$1"
  local input="$2" target=fast label
  local fast=(-n pictra "$3") slow=() labels=(pictra) skipped=()
  declare -gA commands=([pictra]="$3")
  shift 3
  while [ $# -gt 0 ]; do
    if [ "$1" = --slow ]; then target=slow; shift; continue; fi
    commands[$1]="$2"
    if [ "$target" = fast ]; then
      fast+=(-n "$1" "$2"); labels+=("$1")
    elif [ "$skip_slow" = 1 ]; then
      skipped+=("$1")
    else
      slow+=(-n "$1" "$2"); labels+=("$1")
    fi
    shift 2
  done
  rm -rf "$out" "$work"/*.json
  mkdir -p "$out"
  time_commands "$work/fast.json" --warmup 2 --runs "$runs" "${fast[@]}"
  if [ ${#slow[@]} -gt 0 ]; then
    time_commands "$work/slow.json" --runs "$slow_runs" "${slow[@]}"
  fi
  for label in "${labels[@]}"; do check_output "$label" "$input"; done
  "$python" - "$line_title" "$work/fast.json" "$work/slow.json" "${skipped[@]}" <<'PY'
import json, os, sys
title, fast, slow, skipped = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
results = json.load(open(fast))["results"]
slow_results = json.load(open(slow))["results"] if os.path.exists(slow) else []
base = results[0]["mean"]
parts = [f'{r["command"]} {r["mean"]*1000:.0f} ms ({r["mean"]/base:.2f}x)' for r in results]
parts += [f'{r["command"]} {r["mean"]*1000:.0f} ms ({r["mean"]/base:.2f}x, {len(r["times"])} run{"s" if len(r["times"]) > 1 else ""})'
          for r in slow_results]
parts += [f"{label} left out" for label in skipped]
print(f"{title}: {', '.join(parts)}")
PY
}

rgb8="$data/rgb8.tif"
echo "4096x4096 RGB uncompressed TIFF, whole processes at each tool's default thread count;" \
     "$runs runs each after 2 warm-ups; ratio = time / pictra's time"
if wanted gaussian || wanted average || wanted median || wanted maximum || wanted minimum; then
  if [ "$skip_slow" = 1 ]; then
    echo "slow peers (ImageMagick's -gaussian-blur at radius 10 and -statistic) left out: BENCH_SKIP_SLOW=1"
  else
    echo "slow peers (ImageMagick's -gaussian-blur at radius 10 and -statistic): $slow_runs run(s) each, no warm-up"
  fi
fi

if wanted invert; then
  compare invert "$rgb8" "$pictra run invert $rgb8 $out/pictra.tif --quiet" \
    vips "vips invert $rgb8 $out/vips.tif" \
    imagemagick "convert $rgb8 -negate $out/imagemagick.tif"
fi

# vips conv works in float unless told otherwise, and would write a float image.
if wanted blur; then
  compare blur "$rgb8" "$pictra run blur $rgb8 $out/pictra.tif --quiet" \
    vips "vips conv $rgb8 $out/vips.tif $here/blur3x3.mat --precision integer" \
    imagemagick "convert -define convolve:scale='!' $rgb8 -morphology Convolve 3x3:1,2,1,2,4,2,1,2,1 $out/imagemagick.tif"
fi

# Gaussian Blur's radius is the standard deviation and its weights reach out
# floor(3 * radius) pixels. vips stops its mask where the weight falls below
# min-ampl times the peak: 0.01 lies between exp(-(3r+1)^2 / 2r^2) and
# exp(-4.5), so it keeps the same 13 taps at radius 2 and 61 at radius 10
# (at vips's default integer precision the two outermost taps of radius 2
# round to 0). ImageMagick is given that extent as its radius (RADIUSxSIGMA)
# rather than 0, which picks a wider kernel for a 16-bit quantum:
# -gaussian-blur convolves with the whole square and is the slow one, -blur is
# ImageMagick's separable Gaussian and gives the same values to within a level.
if wanted gaussian; then
  for depth in 8 16; do
    input="$data/rgb$depth.tif"
    for radius in 2 10; do
      extent=$((3 * radius))
      gaussian_peers=(
        vips "vips gaussblur $input $out/vips.tif $radius --min-ampl 0.01"
        imagemagick-blur "convert $input -blur ${extent}x$radius $out/imagemagick-blur.tif")
      full_square="convert $input -gaussian-blur ${extent}x$radius $out/imagemagick.tif"
      if [ "$radius" -ge 10 ]; then
        gaussian_peers+=(--slow imagemagick "$full_square")
      else
        gaussian_peers+=(imagemagick "$full_square")
      fi
      compare "gaussian r$radius $depth-bit" "$input" \
        "$pictra run gaussian-blur $input $out/pictra.tif radius=$radius --quiet" "${gaussian_peers[@]}"
    done
  done
fi

# Unsharp Mask at 100 % and threshold 0 adds (sample - blur) back once.
#   vips-sharpen: vips's unsharp mask, sigma 2, slope 1 everywhere (m1 = m2 = 1,
#     x1 = 0 so no flat zone) and limits of 100 L* (y2, y3) that never bind; it
#     sharpens L* only, after a round trip through Lab, and its blur stops at
#     10 % of the peak (9 taps at sigma 2, where ours has 13).
#   vips-conv: the same per-channel sum as one 13x13 mask, 2*delta - Gaussian
#     (sigma 2, 3 sigma), at integer precision so 8 and 16 bits stay so.
#   imagemagick: -unsharp RADIUSxSIGMA+AMOUNT+THRESHOLD, amount 1 = 100 %.
if wanted unsharp; then
  for depth in 8 16; do
    input="$data/rgb$depth.tif"
    compare "unsharp r2 $depth-bit" "$input" \
      "$pictra run unsharp-mask $input $out/pictra.tif radius=2 amount=100 threshold=0 --quiet" \
      vips-sharpen "vips sharpen $input $out/vips-sharpen.tif --sigma 2 --x1 0 --m1 1 --m2 1 --y2 100 --y3 100" \
      vips-conv "vips conv $input $out/vips-conv.tif $data/usm2.mat --precision integer" \
      imagemagick "convert $input -unsharp 6x2+1+0 $out/imagemagick.tif"
  done
fi

# Average radius 5 is the mean of an 11x11 square. This vips has no box blur:
#   vips-conv: the 11x11 mask of ones; vips-convsep: a 1x11 mask applied across
#   then down (it rounds after each pass, so it can be a few levels off).
#   imagemagick-morph: a normalised 11x11 square convolution; -statistic mean
#   gives the same values, a hundred times more slowly.
if wanted average; then
  compare "average r5" "$rgb8" "$pictra run average $rgb8 $out/pictra.tif radius=5 --quiet" \
    vips-conv "vips conv $rgb8 $out/vips-conv.tif $here/box11x11.mat --precision integer" \
    vips-convsep "vips convsep $rgb8 $out/vips-convsep.tif $data/box11.mat --precision integer" \
    imagemagick-morph "convert -define convolve:scale='!' $rgb8 -morphology Convolve Square:5 $out/imagemagick-morph.tif" \
    --slow imagemagick "convert $rgb8 -statistic mean 11x11 $out/imagemagick.tif"
fi

# Rank filters: vips rank WIDTH HEIGHT INDEX picks the INDEX-th smallest value
# of the window (median of 121 = 60). vips 8.14's rank returns wrong values
# for windows of 10x10 and more (libvips issue 4609, fixed in 2025), but it
# still does the same rolling-histogram work, so its time stands.
# Square:5 is ImageMagick's 11x11 square; Dilate and Erode over it give the
# same values as -statistic maximum and minimum, far sooner.
if wanted median; then
  compare "median r1" "$rgb8" "$pictra run median $rgb8 $out/pictra.tif radius=1 --quiet" \
    vips "vips rank $rgb8 $out/vips.tif 3 3 4" \
    --slow imagemagick "convert $rgb8 -statistic median 3x3 $out/imagemagick.tif"
  compare "median r5" "$rgb8" "$pictra run median $rgb8 $out/pictra.tif radius=5 --quiet" \
    vips "vips rank $rgb8 $out/vips.tif 11 11 60" \
    --slow imagemagick "convert $rgb8 -statistic median 11x11 $out/imagemagick.tif"
fi
if wanted maximum; then
  compare "maximum r5" "$rgb8" "$pictra run maximum $rgb8 $out/pictra.tif radius=5 --quiet" \
    vips "vips rank $rgb8 $out/vips.tif 11 11 120" \
    imagemagick-morph "convert $rgb8 -morphology Dilate Square:5 $out/imagemagick-morph.tif" \
    --slow imagemagick "convert $rgb8 -statistic maximum 11x11 $out/imagemagick.tif"
fi
if wanted minimum; then
  compare "minimum r5" "$rgb8" "$pictra run minimum $rgb8 $out/pictra.tif radius=5 --quiet" \
    vips "vips rank $rgb8 $out/vips.tif 11 11 0" \
    imagemagick-morph "convert $rgb8 -morphology Erode Square:5 $out/imagemagick-morph.tif" \
    --slow imagemagick "convert $rgb8 -statistic minimum 11x11 $out/imagemagick.tif"
fi

opencv_groups=()
for group in gaussian unsharp average median maximum minimum; do
  if wanted "$group"; then opencv_groups+=("$group"); fi
done
if [ ${#opencv_groups[@]} -gt 0 ]; then
  if "$python" -c 'import cv2' 2>/dev/null; then
    "$python" "$here/opencv_peers.py" --data "$data" --runs "$runs" "${opencv_groups[@]}"
  else
    echo "OpenCV left out: $python cannot import cv2"
  fi
fi

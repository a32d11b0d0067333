#!/usr/bin/env bash
# Times whole `pictra run` processes against the tools a user would reach
# for otherwise, in one hyperfine run per operation, on the same input, and
# prints each peer's time as a ratio to pictra's.
#   BENCH_DATA: folder for the inputs (made once by make_inputs.py)
#   BENCH_RUNS: runs per command (default 10)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
data="${BENCH_DATA:-$root/bench-data}"
runs="${BENCH_RUNS:-10}"
pictra="$root/build/bin/pictra"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

inputs="$root/../shared/bench/make_inputs.py"
if [ ! -f "$data/rgb8.tif" ]; then
  mkdir -p "$data"
  BENCH_DATA="$data" /usr/bin/python3 "$inputs"
fi

compare() {   # name, pictra command, then peer label/command pairs
  local name="$1" mine="$2"; shift 2
  local args=(--warmup 2 --runs "$runs" --export-json "$work/$name.json" -n pictra "$mine")
  while [ $# -gt 0 ]; do args+=(-n "$1" "$2"); shift 2; done
  hyperfine --style none "${args[@]}" >/dev/null
  /usr/bin/python3 - "$work/$name.json" "$name" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
base = results[0]["mean"]
line = ", ".join(f'{r["command"]} {r["mean"]*1000:.1f} ms ({r["mean"]/base:.2f}x)' for r in results)
print(f"{sys.argv[2]}: {line}")
PY
}

echo "4096x4096 RGB 8-bit uncompressed TIFF, $runs runs each; ratio = time / pictra's time"
compare invert "$pictra run invert $data/rgb8.tif $work/p.tif --quiet" \
  vips "vips invert $data/rgb8.tif $work/v.tif" \
  imagemagick "convert $data/rgb8.tif -negate $work/m.tif"
compare blur "$pictra run blur $data/rgb8.tif $work/p.tif --quiet" \
  vips "vips conv $data/rgb8.tif $work/v.tif $here/blur3x3.mat" \
  imagemagick "convert -define convolve:scale='!' $data/rgb8.tif -morphology Convolve 3x3:1,2,1,2,4,2,1,2,1 $work/m.tif"

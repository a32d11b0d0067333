#!/usr/bin/env bash
# Every filter's output on real image files and on the built-in sample image,
# as SHA-256 digests of the files pictra writes. A change that must not alter
# any pixel (a refactoring, a faster kernel) keeps this list as it is.
#
#   outputs.sh PICTRA write FILE   record the digests
#   outputs.sh PICTRA check FILE   compare with a recorded list; exit 1 on any difference
#
# Each line: image, case, and the output's digest or "refused" (the filter
# does not take the image's mode). Runs use a fresh settings store, so the
# defaults are the filters' own.
set -euo pipefail

pictra=$1
action=$2
list=$3
here=$(cd "$(dirname "$0")" && pwd)
data=$here/../data/io
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

images=(
  "$data"/images/*.png "$data"/images/*.tif "$data"/images/*.jpg
  "$data"/made/cmyk8.tif "$data"/made/cmyk16.tif "$data"/made/lab8.tif "$data"/made/lab16_vips.tif
  "$data"/made/gray32.tif "$data"/made/rgb32.tif "$data"/made/bilevel.pbm "$data"/made/rgba8_unassociated.tif
)

# A case is a filter and its settings; every filter runs at its defaults,
# those with settings once more away from them.
cases=(
  "16000" "16005" "16010" "16300" "16310" "16320" "16400" "16900" "17200"
  "16910" "16910 level=90"
  "16920" "16920 levels=7"
  "16020" "16020 radius=0.4" "16020 radius=6.5"
  "16330" "16330 radius=3.2 amount=180 threshold=4"
  "16530" "16530 radius=4.5"
  "16030" "16030 radius=4"
  "16110" "16110 radius=2" "16110 radius=5"
  "16120" "16120 radius=3 threshold=12"
  "16130" "16130 threshold=30"
  "16510" "16510 radius=3"
  "16520" "16520 radius=2"
  "16500" "16500 scale=3 offset=10 weights[6]=2 weights[12]=5 weights[18]=-1"
)

results=$work/results
: >"$results"
for image in "${images[@]}"; do
  name=$(basename "$image")
  for case in "${cases[@]}"; do
    read -r -a words <<<"$case"
    out=$work/out.tif
    rm -f "$out"
    if "$pictra" --settings-db "$work/settings.db" run "${words[0]}" "$image" "$out" "${words[@]:1}" --quiet \
      2>"$work/stderr"; then
      digest=$(sha256sum "$out" | cut -d' ' -f1)
    else
      digest=refused
    fi
    printf '%s\t%s\t%s\n' "$name" "$case" "$digest" >>"$results"
  done
done

"$pictra" --settings-db "$work/settings.db" demo "$work/demo" >/dev/null
for file in "$work"/demo/*; do
  printf 'sample\t%s\t%s\n' "$(basename "$file")" "$(sha256sum "$file" | cut -d' ' -f1)" >>"$results"
done

case $action in
write) cp "$results" "$list" ;;
check)
  if ! diff -u "$list" "$results"; then
    echo "filter outputs differ from $list" >&2
    exit 1
  fi
  ;;
*)
  echo "usage: outputs.sh PICTRA write|check FILE" >&2
  exit 2
  ;;
esac

#!/usr/bin/env bash
# Builds the programs, generates a small acquisition (3 tile columns x 6 slices)
# cut with a known geometry (16 shared columns, 4 rows of shift per column),
# finds that geometry with orvane-align, which also writes a preview, and
# stitches the acquisition with it, full resolution and reduced by 4.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target orvane orvane-align orvane_make_acquisition >/dev/null

demo="$root/demo"
rm -rf "$demo"
"$build/orvane_make_acquisition" -o "$demo/acquisition" -s 3 -n 6 -w 256 -h 192 \
    --overlap 8 --shift 4 --brightness-step 0.1
"$build/orvane-align" -i "$demo/acquisition/list.txt" -s 3 --preview "$demo/align-preview.png"
"$build/orvane" -i "$demo/acquisition/list.txt" -s 3 -x 8 -y 4 -d 4 -o "$demo/out"

echo
echo "mosaics:  $demo/out/stack1/ ($(ls "$demo/out/stack1" | wc -l) files)"
echo "reduced:  $demo/out/stack4/ ($(ls "$demo/out/stack4" 2>/dev/null | wc -l) files)"
echo "preview:  $demo/align-preview.png"

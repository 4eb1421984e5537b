#!/usr/bin/env bash
# Builds the program, generates a small acquisition (3 tile columns x 6 slices)
# and stitches it, full resolution and reduced by 4.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target orvane orvane_make_acquisition >/dev/null

demo="$root/demo"
rm -rf "$demo"
"$build/orvane_make_acquisition" -o "$demo/acquisition" -s 3 -n 6 -w 256 -h 192
"$build/orvane" -i "$demo/acquisition/list.txt" -s 3 -x 8 -y 4 -d 4 -o "$demo/out"

echo
echo "mosaics:  $demo/out/stack1/ ($(ls "$demo/out/stack1" | wc -l) files)"
echo "reduced:  $demo/out/stack4/ ($(ls "$demo/out/stack4" 2>/dev/null | wc -l) files)"

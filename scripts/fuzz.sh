#!/usr/bin/env bash
# Builds the libFuzzer targets with address and undefined-behaviour checks and
# runs each for a bounded time: scripts/fuzz.sh [seconds per target, default 60].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"
# Warnings stay on but do not stop this build: clang reports vectorisation
# hints that the sanitizers defeat.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF -DORVANE_WERROR=OFF \
  -DCMAKE_CXX_FLAGS="$sanitize -fsanitize=fuzzer-no-link" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$build" -j2 --target list_file_fuzz tile_fuzz orvane_make_acquisition

# Seeds: a few list texts and TIFFs of several layouts from the demo writer
# and from libtiff's own tools where present.
seeds="$build/seeds"
mkdir -p "$seeds/list" "$seeds/tile" "$build/corpus/list" "$build/corpus/tile"
printf 'a.tif\nb.tif\n' >"$seeds/list/lf"
printf 'a.tif\r\nb.tif\r\n\r\n' >"$seeds/list/crlf"
printf 'a.tif\n\x1ab.tif\n\0c.tif' >"$seeds/list/ctrlz"
"$build/orvane_make_acquisition" -o "$seeds/acq" -s 1 -n 2 -w 40 -h 24 >/dev/null
"$build/orvane_make_acquisition" -o "$seeds/acq-lzw" -s 1 -n 1 -w 33 -h 17 --lzw >/dev/null
find "$seeds/acq" "$seeds/acq-lzw" -name '*.tif' 2>/dev/null | head -n 3 | while read -r f; do
  cp "$f" "$seeds/tile/$(basename "$(dirname "$f")")-$(basename "$f")"
done
if command -v tiffcp >/dev/null; then
  for f in "$seeds"/tile/*.tif; do
    [ -e "$f" ] || continue
    tiffcp -c lzw -t -w 16 -l 32 "$f" "$f.tiled-lzw" 2>/dev/null || true
    tiffcp -p separate "$f" "$f.planar" 2>/dev/null || true
    tiffcp -c none -r 3 "$f" "$f.strips" 2>/dev/null || true
  done
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
run() {
  local target=$1 corpus=$2 seed=$3
  echo "== $target for ${seconds}s"
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/" "$corpus" "$seed" 2>&1 | tail -n 12
}
run list_file_fuzz "$build/corpus/list" "$seeds/list"
run tile_fuzz "$build/corpus/tile" "$seeds/tile"

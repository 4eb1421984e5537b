#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: once in a
# normal build, once under AddressSanitizer and UndefinedBehaviorSanitizer
# (the Slurm cluster test only in the first), then the Windows build,
# cross-compiled, with its unit tests and the end-to-end suites (the
# stitcher's and the aligner's) under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

# run_suite BUILD_DIR "CMAKE_ARGS..." [CTEST_ARGS...]
run_suite() {
    local build=$1 configure=$2
    shift 2
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$build" -G Ninja $configure >/dev/null
    cmake --build "$build"
    ctest --test-dir "$build" --output-on-failure -j2 "$@"
}

echo "== format"
# Every C++ file follows .clang-format; a file that does not fails the run.
unformatted=$(cd "$root" && find src tests bench fuzz -name '*.cpp' -o -name '*.hpp' | sort |
    while read -r file; do clang-format "$file" | cmp -s - "$file" || echo "$file"; done)
if [ -n "$unformatted" ]; then
    echo "not formatted as .clang-format says (run clang-format -i on them):" $unformatted >&2
    exit 1
fi

echo "== tests"
run_suite "$root/build" "-DCMAKE_BUILD_TYPE=RelWithDebInfo"
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Leak checking stays on; the runtime aborts the test on any report.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "$root/build-asan" "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON" -LE slurm
echo "== Windows build, its unit tests under Wine"
# Builds the libraries and GoogleTest for Windows once (cached in .deps/win64/),
# then build-win64/ with orvane.exe, its tests and orvane-win64.zip.
bash "$root/scripts/build-windows.sh"
ctest --test-dir "$root/build-win64" --output-on-failure -j2
echo "== the end-to-end suites against the Windows orvane.exe and orvane-align.exe under Wine"
cmake -S "$root" -B "$root/build-wine-e2e" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_ALIGN=OFF -DORVANE_E2E_WINDOWS_EXE="$root/build-win64/orvane.exe" \
    -DORVANE_E2E_WINDOWS_ALIGN_EXE="$root/build-win64/orvane-align.exe" >/dev/null
cmake --build "$root/build-wine-e2e" --target orvane_e2e_tests orvane_align_e2e_tests
ctest --test-dir "$root/build-wine-e2e" --output-on-failure -j2 -L e2e -LE slurm

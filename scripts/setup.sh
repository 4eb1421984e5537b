#!/usr/bin/env bash
# Installs what the build and the tests need: libtiff's headers, libtiff's
# command-line tools (used by tests to cross-check outputs), clang-format (the
# style check), zstd and nlohmann-json (the OME-Zarr volume's chunks and
# metadata), c-blosc, zarr-python, tifffile and jsonschema (the tests read the
# chunks, the volume and the calibration with readers nobody here wrote) and the
# CImg header alone, extracted into .deps/ without the package's dependencies;
# groff-base and dpkg-dev for the man pages' check and the Debian package's
# dependencies (dpkg-shlibdeps).
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.deps"
header="$deps/cimg/usr/include/CImg.h"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for pkg in libtiff-dev libtiff-tools cmake ninja-build g++ libgtest-dev pkg-config clang-format \
    libkissfft-dev libpng-dev libzstd-dev libblosc-dev nlohmann-json3-dev python3-zarr python3-tifffile \
    python3-jsonschema groff-base dpkg-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done

updated=0
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -qq
    updated=1
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

if [ ! -f "$header" ]; then
    echo "setup: fetching the CImg header"
    [ "$updated" -eq 1 ] || as_root apt-get update -qq
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    (cd "$tmp" && apt-get download cimg-dev >/dev/null 2>&1 ||
        { chmod 777 "$tmp" && as_root su -s /bin/sh _apt -c "cd '$tmp' && apt-get download cimg-dev" >/dev/null; })
    mkdir -p "$deps/cimg"
    dpkg-deb -x "$tmp"/cimg-dev_*.deb "$deps/cimg"
    test -f "$header"
fi

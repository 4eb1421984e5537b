#!/usr/bin/env bash
# Cross-builds Orvane for 64-bit Windows: installs MinGW-w64, Wine and zip when missing,
# builds static libtiff, zlib, libpng, KissFFT, zstd and c-blosc and installs the
# nlohmann-json header (from Debian's source packages) and
# GoogleTest into .deps/win64/, makes the Wine prefix, then builds build-win64/ and packs
# build-win64/orvane-win64.zip with orvane.exe and orvane-align.exe.
# Safe to run again: each library is rebuilt only when its version or recipe changed.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: scripts/build-windows.sh [--deps-only] [--no-tests]
  --deps-only  stop after the toolchain, the libraries in .deps/win64/ and the Wine prefix
  --no-tests   build the project without its tests (-DORVANE_TESTS=OFF)
EOF
}

deps_only=0
tests=ON
for arg in "$@"; do
    case $arg in
        --deps-only) deps_only=1 ;;
        --no-tests) tests=OFF ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 1 ;;
    esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
deps=$root/.deps
prefix=$deps/win64      # what a Windows build links: include/, lib/, lib/cmake/
work=$deps/win64-work   # private apt state, sources, build trees and the log
toolchain=$root/cmake/mingw-w64-x86_64.cmake
build=$root/build-win64
log=$work/build-windows.log
# Raise by hand when a library build below changes in a way the toolchain file does
# not show, so that caches made by the old recipe are rebuilt.
recipe=1

say() { echo "build-windows: $*"; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Runs a command with its output in the log; on failure shows where it went wrong.
logged() {
    if "$@" >>"$log" 2>&1; then
        return 0
    fi
    say "failed: $*" >&2
    if grep -q '^FAILED: ' "$log"; then
        sed -n '/^FAILED: /,$p' "$log" | head -n 100 >&2
    else
        tail -n 40 "$log" >&2
    fi
    say "whole log: $log" >&2
    return 1
}

install_missing() {
    local missing=() pkg
    for pkg in g++-mingw-w64-x86-64-posix wine64 zip dpkg-dev googletest; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    say "installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# What a cached library was built from; a cache whose stamp differs is rebuilt.
stamp_line() {
    echo "recipe=$recipe want=$1 toolchain=$(sha256sum <"$toolchain" | cut -d' ' -f1)"
}

is_cached() {
    [ -f "$prefix/.stamp-$1" ] && [ "$(head -n 1 "$prefix/.stamp-$1")" = "$(stamp_line "$2")" ]
}

# deb-src lines for the Debian suites this machine installs from (the release, its
# updates and security), on the same mirrors with the same keys. Both the one-line
# format and deb822 .sources files are read; other vendors' repositories are left out.
debian_src_lines() {
    local codename suites f
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    suites="^$codename(-updates|-security)?\$"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v suites="$suites" '
            $1 != "deb" { next }
            {
                opts = ""; i = 2
                if ($2 ~ /^\[/) {
                    while (i <= NF) { opts = opts (opts == "" ? "" : " ") $i; if ($(i++) ~ /\]$/) break }
                }
                if ($(i + 1) !~ suites) next
                line = "deb-src" (opts == "" ? "" : " " opts)
                for (j = i; j <= NF; j++) line = line " " $j
                print line
            }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v suites="$suites" '
            function flush(  n, u, m, s, i, j, opts) {
                if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" && uris != "") {
                    opts = signed == "" ? "" : " [signed-by=" signed "]"
                    n = split(uris, u, " "); m = split(suites_, s, " ")
                    for (i = 1; i <= n; i++)
                        for (j = 1; j <= m; j++)
                            if (s[j] ~ suites) print "deb-src" opts " " u[i] " " s[j] " " comps
                }
                types = uris = suites_ = comps = signed = enabled = ""; field = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { if (field == "signed-by") signed = ""; next }  # a key written inline
            {
                field = tolower($1); sub(/:$/, "", field)
                value = $0; sub(/^[^:]*:[ \t]*/, "", value)
                if (field == "types") types = value
                else if (field == "uris") uris = value
                else if (field == "suites") suites_ = value
                else if (field == "components") comps = value
                else if (field == "signed-by") signed = value
                else if (field == "enabled") enabled = value
            }
            END { flush() }' "$f"
    done
}

# apt-get with a sources list, package lists and cache of this script's own, so that
# the machine's apt configuration and state are never touched.
apt_dir=$work/apt
private_apt() {
    local sandbox=()
    # As root apt downloads as _apt, who may not write into the work tree.
    [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
    apt-get -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        "${sandbox[@]}" "$@"
}

private_apt_cache() {
    apt-cache -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" "$@"
}

# Fetches and unpacks Debian's source package $1 into $work/src/$1: version $2 (the one
# the Linux build uses) when the mirror serves it, else the newest one it serves (a
# mirror's index may name a version whose files it no longer or not yet has). Sets
# source_dir to the unpacked tree.
apt_updated=0
source_dir=
fetch_source() {
    local package=$1 want=$2 versions version
    if [ "$apt_updated" -eq 0 ]; then
        mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
        debian_src_lines >"$apt_dir/sources.list"
        if [ ! -s "$apt_dir/sources.list" ]; then
            say "no Debian mirror found in /etc/apt/sources.list{,.d/} to take sources from" >&2
            return 1
        fi
        logged private_apt update
        apt_updated=1
    fi
    versions=$(private_apt_cache showsrc "$package" | sed -n 's/^Version: //p' | sort -u -r -V)
    [ "$want" = newest ] || versions=$(printf '%s\n%s\n' "$want" "$versions" | awk '!seen[$0]++')
    for version in $versions; do
        rm -rf "${work:?}/src/$package"
        mkdir -p "$work/src/$package"
        if (cd "$work/src/$package" && private_apt source "$package=$version" >>"$log" 2>&1); then
            [ "$want" = newest ] || [ "$version" = "$want" ] ||
                say "$package $want is not on the mirror; using $version"
            source_dir=$(find "$work/src/$package" -mindepth 1 -maxdepth 1 -type d | head -n 1)
            return 0
        fi
    done
    say "no version of $package's source could be fetched (log: $log)" >&2
    return 1
}

# The source version of the Debian package the Linux build uses, or "newest".
linux_version() {
    local want
    want=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null || true)
    echo "${want:-newest}"
}

# Writes the stamp of a library just installed, with the version of its source.
write_stamp() {
    printf '%s\nversion=%s\n' "$(stamp_line "$2")" \
        "$(dpkg-parsechangelog -l "$3/debian/changelog" -S Version)" >"$prefix/.stamp-$1"
}

build_tiff() {
    local want src
    want=$(linux_version libtiff-dev)
    is_cached tiff "$want" && return 0
    rm -f "$prefix/.stamp-tiff"
    say "building libtiff for Windows into .deps/win64/ (log: $log)"
    fetch_source tiff "$want"
    src=$source_dir
    rm -rf "$work/build/tiff"
    # Static, with only the codecs libtiff has built in (LZW, PackBits, CCITT, ...): every
    # codec that needs another library is off, so the cache needs nothing else.
    logged cmake -S "$src" -B "$work/build/tiff" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
        -Dzlib=OFF -Dlibdeflate=OFF -Dpixarlog=OFF -Djpeg=OFF -Dold-jpeg=OFF -Djpeg12=OFF \
        -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dcxx=OFF \
        -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF
    logged cmake --build "$work/build/tiff"
    logged cmake --install "$work/build/tiff"
    write_stamp tiff "$want" "$src"
    rm -rf "$work/build/tiff" "$work/src/tiff"
}

# zlib for libpng, as the static libz.a of zlib's own configure and makefile: its CMake
# build makes the DLL as well and renames zconf.h in the source tree.
build_zlib() {
    local want src
    want=$(linux_version zlib1g-dev)
    is_cached zlib "$want" && return 0
    rm -f "$prefix/.stamp-zlib"
    say "building zlib for Windows into .deps/win64/ (log: $log)"
    fetch_source zlib "$want"
    src=$source_dir
    (cd "$src" && logged env CHOST=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
        AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib CFLAGS=-O2 \
        ./configure --static --prefix="$prefix")
    logged make -C "$src" libz.a
    mkdir -p "$prefix/include" "$prefix/lib"
    install -m 644 "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
    install -m 644 "$src/libz.a" "$prefix/lib/"
    write_stamp zlib "$want" "$src"
    rm -rf "$work/src/zlib"
}

# Builds a static library with CMake from Debian's source package into the prefix,
# unless the cache holds this version: its name (stamp and build folder), the -dev
# package whose version the Linux build uses, the source package, the name said in
# the log line and the CMake folder inside the source, then the library's own CMake
# options. The install folders are given, as some CMake files take them from
# GNUInstallDirs on Unix only: for Windows they would be empty, and the headers
# would go to the root.
build_cmake_library() {
    local name=$1 dev=$2 package=$3 shown=$4 subdir=$5 want src
    shift 5
    want=$(linux_version "$dev")
    is_cached "$name" "$want" && return 0
    rm -f "$prefix/.stamp-$name"
    say "building $shown for Windows into .deps/win64/ (log: $log)"
    fetch_source "$package" "$want"
    src=$source_dir
    rm -rf "$work/build/$name"
    logged cmake -S "$src$subdir" -B "$work/build/$name" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_INCLUDEDIR=include \
        -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_BINDIR=bin "$@"
    logged cmake --build "$work/build/$name"
    logged cmake --install "$work/build/$name"
    write_stamp "$name" "$want" "$src"
    rm -rf "$work/build/$name" "$work/src/$package"
}

# libpng for orvane-align's preview, static, on the zlib above.
build_png() {
    build_cmake_library png libpng-dev libpng1.6 libpng "" \
        -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
        -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include"
}

# KissFFT for orvane-align's transforms: static, single precision, as the Linux build
# links Debian's libkissfft-float.
build_kissfft() {
    build_cmake_library kissfft libkissfft-dev kissfft KissFFT "" \
        -DKISSFFT_DATATYPE=float -DKISSFFT_STATIC=ON \
        -DKISSFFT_OPENMP=OFF -DKISSFFT_PKGCONFIG=OFF -DKISSFFT_TEST=OFF -DKISSFFT_TOOLS=OFF
}

# zstd for the volume's chunks, static, from its own source package as on Linux
# (c-blosc below is built on it too). Single-threaded: each worker compresses its
# own chunks and never asks zstd for threads.
build_zstd() {
    build_cmake_library zstd libzstd-dev libzstd zstd /build/cmake \
        -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
        -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF \
        -DZSTD_LEGACY_SUPPORT=OFF
}

# c-blosc, static, on the zstd above: the unit tests read the volume's chunks back
# with it. Debian's c-blosc source leaves out the codec copies upstream bundles, so
# the other codecs are off; the volume uses zstd only.
build_blosc() {
    local want src
    want=$(linux_version libblosc-dev)
    is_cached blosc "$want" && return 0
    rm -f "$prefix/.stamp-blosc"
    say "building c-blosc for Windows into .deps/win64/ (log: $log)"
    fetch_source c-blosc "$want"
    src=$source_dir
    rm -rf "$work/build/blosc"
    # On Windows blosc.c compiles in its own small pthread stand-in, whose functions
    # carry the names of the real ones (pthread_create, pthread_cond_wait, ...) with
    # other types: linked statically beside winpthread, which libgomp and libstdc++
    # use, one set would take the other's calls. Renaming them keeps both apart.
    # -mxsave: with MinGW's headers the CPU check reads XCR0 through GCC's _xgetbv
    # intrinsic, which needs it (it only runs after cpuid reports XSAVE).
    local fn cflags=-mxsave
    for fn in pthread_create pthread_cond_init pthread_cond_destroy pthread_cond_wait \
        pthread_cond_signal pthread_cond_broadcast die; do
        cflags="$cflags -D$fn=blosc_win32_$fn"
    done
    logged cmake -S "$src" -B "$work/build/blosc" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS="$cflags" \
        -DCMAKE_INSTALL_INCLUDEDIR=include -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_STATIC=ON -DBUILD_SHARED=OFF -DBUILD_TESTS=OFF -DBUILD_FUZZERS=OFF \
        -DBUILD_BENCHMARKS=OFF -DDEACTIVATE_LZ4=ON -DDEACTIVATE_SNAPPY=ON -DDEACTIVATE_ZLIB=ON \
        -DPREFER_EXTERNAL_ZSTD=ON -DZSTD_INCLUDE_DIR="$prefix/include" \
        -DZSTD_LIBRARY="$prefix/lib/libzstd.a"
    # Without an external zstd c-blosc would fall back to its bundled copy, which
    # Debian's tree does not hold: make sure it took the one above.
    grep -q 'Found Zstd library: .*/libzstd\.a$' "$log" || {
        say "c-blosc did not take the zstd built above (log: $log)" >&2
        return 1
    }
    logged cmake --build "$work/build/blosc"
    logged cmake --install "$work/build/blosc"
    write_stamp blosc "$want" "$src"
    rm -rf "$work/build/blosc" "$work/src/c-blosc"
}

# nlohmann-json reads and writes the volume's metadata: a header-only library, installed
# with its CMake package file.
build_json() {
    local want src
    want=$(linux_version nlohmann-json3-dev)
    is_cached json "$want" && return 0
    rm -f "$prefix/.stamp-json"
    say "installing nlohmann-json for Windows into .deps/win64/ (log: $log)"
    fetch_source nlohmann-json3 "$want"
    src=$source_dir
    rm -rf "$work/build/json"
    logged cmake -S "$src" -B "$work/build/json" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_INCLUDEDIR=include -DCMAKE_INSTALL_DATADIR=share \
        -DCMAKE_INSTALL_LIBDIR=lib -DJSON_BuildTests=OFF -DJSON_MultipleHeaders=ON
    logged cmake --install "$work/build/json"
    write_stamp json "$want" "$src"
    rm -rf "$work/build/json" "$work/src/nlohmann-json3"
}

build_googletest() {
    local want
    want=$(dpkg-query -W -f='${Version}' googletest)
    is_cached googletest "$want" && return 0
    rm -f "$prefix/.stamp-googletest"
    say "building GoogleTest $want for Windows into .deps/win64/ (log: $log)"
    rm -rf "$work/build/googletest"
    # Win32 locking, not winpthreads: gtest's headers pick Win32 for every MinGW user,
    # and a library built otherwise would disagree with them about its mutex type.
    logged cmake -S /usr/src/googletest -B "$work/build/googletest" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON \
        -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=ON
    logged cmake --build "$work/build/googletest"
    logged cmake --install "$work/build/googletest"
    printf '%s\n' "$(stamp_line "$want")" >"$prefix/.stamp-googletest"
    rm -rf "$work/build/googletest"
}

setup_wine_prefix() {
    [ -f "$build/wine-prefix/system.reg" ] && return 0
    say "creating the Wine prefix build-win64/wine-prefix"
    # The wrapper makes the prefix on its first start.
    logged "$root/scripts/wine-run.sh" cmd.exe /c exit 0
    test -f "$build/wine-prefix/system.reg"
}

# An .exe that needs a DLL of the compiler's (libstdc++-6, libgomp-1, libwinpthread-1, ...)
# or of a library would not start on a Windows machine that lacks them.
check_system_dlls_only() {
    local exe=$1 dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if grep -qiv -E '^(kernel32|msvcrt|user32|advapi32|ws2_32|shell32|ole32|bcrypt|ntdll)\.dll$|^api-ms-win-' <<<"$dlls"; then
        say "$exe needs DLLs Windows does not ship:" >&2
        grep -iv -E '^(kernel32|msvcrt|user32|advapi32|ws2_32|shell32|ole32|bcrypt|ntdll)\.dll$|^api-ms-win-' <<<"$dlls" >&2
        return 1
    fi
}

# The zip's README, headed by the version line the exe itself prints ($1).
write_readme() {
    printf '%s\n' "Orvane for 64-bit Windows: $1" "$(printf '%*s' $((27 + ${#1})) '' | tr ' ' '=')"
    cat <<'EOF'

orvane.exe turns a tiled z-stack acquisition (16-bit grey TIFF tiles) into one
LZW-compressed mosaic TIFF per depth slice; orvane-align.exe finds the -x and -y
to give it. Each is a single program: no installer, no DLLs besides Windows'
own. Unpack them anywhere and run them from a console.

Command Prompt (cmd.exe):

    cd /d D:\scans\run1
    C:\Tools\orvane\orvane.exe -i list.txt -s 4 -x 10 -y 5 -d 4 -o D:\scans\run1\out
    echo %ERRORLEVEL%

PowerShell (a program in the current folder needs .\ in front; a quoted path
needs & in front):

    Set-Location D:\scans\run1
    & 'C:\Tools\orvane\orvane.exe' -i list.txt -s 4 -x 10 -y 5 -d 4 -o 'D:\scans\run1\out'
    $LASTEXITCODE

Options: -i list file, -s tile columns (4), -x pixel columns trimmed from each
side (0), -y rows of shift per tile column (0), -d reduction factor of the
reduced copy (1: none), -o output folder, -j the only slice to make (-1: all).
Run without arguments for the usage, with --help for every option, with
--version for the version. --plan prints the slices, their states
and output paths and makes nothing. --ome-zarr D:\scans\run1\volume.ome.zarr
also writes the volume as a multiscale OME-Zarr (for napari, Fiji and others),
and --voxel-size 0.5,0.5,2 (pixel width, height and slice spacing in
micrometres) writes the calibration into it and into every TIFF.

The list file names one tile per line, column after column; a name that is not
absolute is taken from the current folder. The mosaics go to
<output folder>\stack1\zstackds_1_0000.tif ... and, with -d 4, to
<output folder>\stack4\zstackds_4_0000.tif ...

Exit status: 0 done, 1 usage or options that cannot make a mosaic, 2 an image
could not be read or written (the next run redoes only what is missing).

Finding -x and -y from the overlaps of the tiles, right after the acquisition:

    C:\Tools\orvane\orvane-align.exe -i list.txt -s 4

prints, for each pair of neighbouring tile columns, the overlap and shift it
found, then the orvane command line to run. --preview check.png also writes one
slice stitched with them to look at. Exit status 3: no estimate could be made.

Threads: one per logical processor; to use fewer, before the run:
    cmd:        set OMP_NUM_THREADS=2
    PowerShell: $env:OMP_NUM_THREADS = 2
EOF
}

build_project() {
    local zip=$build/orvane-win64.zip stage=$build/package
    say "building build-win64/ (log: $log)"
    logged cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS="$tests" \
        -DCIMG_INCLUDE_DIR="$deps/cimg/usr/include" \
        -DTIFF_INCLUDE_DIR="$prefix/include" -DTIFF_LIBRARY="$prefix/lib/libtiff.a" \
        -DPNG_PNG_INCLUDE_DIR="$prefix/include" -DPNG_LIBRARY="$prefix/lib/libpng16.a" \
        -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a" \
        -Dkissfft_DIR="$prefix/lib/cmake/kissfft" -DGTest_DIR="$prefix/lib/cmake/GTest" \
        -DBLOSC_INCLUDE_DIR="$prefix/include" -DBLOSC_LIBRARY="$prefix/lib/libblosc.a" \
        -DZSTD_LIBRARY="$prefix/lib/libzstd.a" \
        -Dnlohmann_json_DIR="$prefix/share/cmake/nlohmann_json"
    logged cmake --build "$build"
    check_system_dlls_only "$build/orvane.exe"
    check_system_dlls_only "$build/orvane-align.exe"
    rm -rf "$stage" "$zip.part"
    mkdir -p "$stage"
    cp "$build/orvane.exe" "$build/orvane-align.exe" "$stage/"
    local version
    version=$("$root/scripts/wine-run.sh" "$build/orvane.exe" --version | tr -d '\r')
    case "$version" in
    "orvane "[0-9]*) ;;
    *) say "orvane.exe --version printed '$version'" >&2; return 1 ;;
    esac
    write_readme "$version" | sed 's/$/\r/' >"$stage/README.txt"  # Notepad wants CR LF
    (cd "$stage" && zip -q -X "$zip.part" orvane.exe orvane-align.exe README.txt)
    mv "$zip.part" "$zip"
    rm -rf "$stage"
    say "wrote build-win64/orvane-win64.zip"
}

mkdir -p "$work"
: >"$log"
"$root/scripts/setup.sh"
install_missing
build_tiff
build_zlib
build_png
build_kissfft
build_zstd
build_blosc
build_json
build_googletest
setup_wine_prefix
[ "$deps_only" -eq 1 ] || build_project

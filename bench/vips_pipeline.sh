#!/usr/bin/env bash
# The same stitching job done with libvips' command-line tools, slices in
# parallel over separate processes: the outside reference of the benchmarks.
#
#   vips_pipeline.sh -i list.txt -s S -x X -y Y -d D -o OUT [-P PROCESSES] [-j SLICE]
#                    [-O ORVANE]
#   vips_pipeline.sh --ensure-vips      installs libvips-tools when vips is missing
#
# Which slices to make and their output paths come from `ORVANE ... --plan`
# (default: $ORVANE, else orvane on the PATH), so both write the same names.
# Per slice and tile column j: extract_area trims X columns from each side,
# flip horizontal mirrors the piece, embed moves it down Y*j rows over a black
# background of the tile's height; arrayjoin lays the pieces side by side and
# tiffsave writes the mosaic with LZW; shrink makes the copy reduced by D.
# Intermediates are vips' own uncompressed format in a per-slice scratch folder.
set -euo pipefail

ensure_vips() {
    command -v vips >/dev/null && return 0
    echo "vips_pipeline: installing libvips-tools (benchmark only)" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        libvips-tools >/dev/null 2>&1 || {
        "${sudo[@]}" apt-get update -qq
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends libvips-tools >/dev/null
    }
    command -v vips >/dev/null
}

# One slice, given as its plan line "INDEX STATE FULL REDUCED": reads the job
# from the environment exported by the main part.
run_slice() {
    local k state full reduced
    IFS=$'\t' read -r k state full reduced <<<"$1"
    local scratch
    scratch=$(mktemp -d "$VP_OUT/.vips_slice_$k.XXXXXX")
    local pieces=() j
    mapfile -t names < <(grep . "$VP_LIST")
    for ((j = 0; j < VP_S; ++j)); do
        local name=${names[j * VP_SLICES + k]}
        vips extract_area "$name" "$scratch/trim$j.v" "$VP_X" 0 "$VP_PITCH" "$VP_H"
        vips flip "$scratch/trim$j.v" "$scratch/flip$j.v" horizontal
        vips embed "$scratch/flip$j.v" "$scratch/piece$j.v" 0 $((VP_Y * j)) "$VP_PITCH" "$VP_H" \
            --extend black
        pieces+=("$scratch/piece$j.v")
    done
    vips arrayjoin "${pieces[*]}" "$full[compression=lzw,predictor=none]" --across "$VP_S"
    echo "$full done!"
    if [ -n "$reduced" ]; then
        vips shrink "$full" "$reduced[compression=lzw,predictor=none]" "$VP_D" "$VP_D"
        echo "$reduced done!"
    fi
    rm -rf "$scratch"
}

if [ "${1:-}" = "--ensure-vips" ]; then
    ensure_vips
    exit
fi
if [ "${1:-}" = "--slice" ]; then
    run_slice "$2"
    exit
fi

list="" s=4 x=0 y=0 d=1 out="" processes=$(nproc) single=-1 orvane=${ORVANE:-orvane}
while [ $# -gt 0 ]; do
    case "$1" in
    -i) list=$2 ;;
    -s) s=$2 ;;
    -x) x=$2 ;;
    -y) y=$2 ;;
    -d) d=$2 ;;
    -o) out=$2 ;;
    -P) processes=$2 ;;
    -j) single=$2 ;;
    -O) orvane=$2 ;;
    *) echo "vips_pipeline: unknown option $1" >&2; exit 1 ;;
    esac
    shift 2
done
[ -n "$list" ] && [ -n "$out" ] || { echo "vips_pipeline: -i and -o are needed" >&2; exit 1; }
command -v vips >/dev/null || { echo "vips_pipeline: vips missing: run with --ensure-vips" >&2; exit 1; }
[ "$x" -ge 0 ] || { echo "vips_pipeline: negative -x is not supported" >&2; exit 1; }

count=$(grep -c . "$list")
slices=$((count / s))
first=$(head -n1 "$list")
width=$(vipsheader -f width "$first")
height=$(vipsheader -f height "$first")
mkdir -p "$out/stack1"
[ "$d" -le 1 ] || mkdir -p "$out/stack$d"

export VP_LIST=$list VP_S=$s VP_X=$x VP_Y=$y VP_D=$d VP_OUT=$out VP_SLICES=$slices
export VP_H=$height VP_PITCH=$((width - 2 * x))
# Each process works one slice on one thread, as the program's workers do.
export VIPS_CONCURRENCY=${VIPS_CONCURRENCY:-1}

# The slices to make (an existing full-resolution file marks a slice done) and
# their paths, as the program names them.
todo=()
while IFS= read -r line; do
    [ "$(cut -f2 <<<"$line")" = make ] && todo+=("$line")
done < <("$orvane" -i "$list" -s "$s" -x "$x" -y "$y" -d "$d" -o "$out" -j "$single" --plan)
[ ${#todo[@]} -eq 0 ] || printf '%s\n' "${todo[@]}" | xargs -d '\n' -P "$processes" -n 1 bash "$0" --slice

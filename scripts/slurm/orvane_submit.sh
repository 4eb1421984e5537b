#!/usr/bin/env bash
# Submits an orvane run to Slurm as one job array with one slice index per task.
#
# The orvane options (-i -o -s -x -y -d -j --ome-zarr --voxel-size) are
# handed to every task unchanged; the long options below are this script's and Slurm's. Which
# slices there are and which are done comes from `orvane --plan` with the
# same options, so the list rules, the slice count and the output names live
# in orvane alone. Slices are independent and a slice whose full-resolution
# file exists (and with --ome-zarr whose planes are in the volume) is done, so
# submitting the same command again is safe and redoes only what is missing;
# --missing submits only those indices: the plan's `make` and `planes` ones.
set -euo pipefail
export LC_ALL=C

usage() {
    cat <<'EOF'
usage: orvane_submit.sh [submit options] -i list.txt [-s splitnumber] [-x xoverlap]
                        [-y yoffset] [-d downsample] [-o outputdir] [-j singlenum]
                        [--ome-zarr PATH] [--voxel-size X,Y,Z]

Submits one Slurm job array, one task per slice; each task runs
  orvane <the orvane options> -j $SLURM_ARRAY_TASK_ID
with OMP_NUM_THREADS set to the CPUs the task was given.

submit options (NAME VALUE or NAME=VALUE):
  -p, --partition NAME      Slurm partition
  -t, --time LIMIT          time limit of each task (Slurm's format, e.g. 0:30:00)
      --mem SIZE            memory of each task (e.g. 4G); see docs/cluster.md for the estimate
  -c, --cpus-per-task N     CPUs (and OpenMP threads) of each task
  -J, --job-name NAME       job name (default orvane)
      --throttle N          run at most N tasks at once (the array's %N)
      --log-dir DIR         where task logs go, as NAME-JOBID_INDEX.out (default orvane_logs)
      --sbatch-option ARG   pass ARG to sbatch as it is; may be repeated
      --orvane PATH         the orvane binary (default: $ORVANE, else orvane on the PATH)
      --missing             submit only the slices whose full-resolution file is missing
                            or, with --ome-zarr, whose planes in the volume are
      --dry-run             print the sbatch command instead of running it
  -h, --help                this text

Asks `orvane ... --plan` which slices there are and which are done (it reads
the list, and no tile but the first, that one only with --ome-zarr and a volume
already there). Prints the job ID on standard output. Exit status:
0 submitted (or nothing missing), 1 usage, options orvane refuses or a run
with no slice, 2 sbatch failed.
EOF
}

die() {
    local status=$1
    shift
    echo "orvane_submit: $*" >&2
    exit "$status"
}

# "0 1 2 5 7 8" -> "0-2,5,7-8"
array_ranges() {
    local ranges="" first="" last="" k
    for k in "$@"; do
        if [ -n "$last" ] && [ "$k" -eq $((last + 1)) ]; then
            last=$k
            continue
        fi
        [ -z "$first" ] || ranges+="${ranges:+,}$first$([ "$first" = "$last" ] || echo "-$last")"
        first=$k last=$k
    done
    [ -z "$first" ] || ranges+="${ranges:+,}$first$([ "$first" = "$last" ] || echo "-$last")"
    echo "$ranges"
}

orvane_args=()
sbatch_args=()
job_name=orvane throttle="" log_dir=orvane_logs orvane_exe=${ORVANE:-orvane}
missing=0 dry_run=0

[ $# -gt 0 ] || { usage >&2; exit 1; }
while [ $# -gt 0 ]; do
    arg=$1
    case $arg in
    -i | -o | -s | -x | -y | -d | -j | --ome-zarr | --voxel-size)
        # Like orvane: the next argument is the value, whatever it looks like.
        [ $# -ge 2 ] || die 1 "option $arg has no value"
        orvane_args+=("$arg" "$2")
        shift 2
        continue
        ;;
    -h | --help) usage; exit 0 ;;
    --missing) missing=1; shift; continue ;;
    --dry-run) dry_run=1; shift; continue ;;
    --*=*) name=${arg%%=*} value=${arg#*=}; shift ;;
    -p | -t | -c | -J | --*)
        [ $# -ge 2 ] || die 1 "option $arg has no value"
        name=$arg value=$2
        shift 2
        ;;
    *)
        # orvane ignores what it does not know; keep it so its echo is the same.
        orvane_args+=("$arg")
        shift
        continue
        ;;
    esac
    case $name in
    -p | --partition) sbatch_args+=("--partition=$value") ;;
    -t | --time) sbatch_args+=("--time=$value") ;;
    --mem) sbatch_args+=("--mem=$value") ;;
    -c | --cpus-per-task) sbatch_args+=("--cpus-per-task=$value") ;;
    -J | --job-name) job_name=$value ;;
    --throttle)
        [[ $value =~ ^[1-9][0-9]*$ ]] || die 1 "--throttle needs a positive number, not '$value'"
        throttle=$value
        ;;
    --log-dir) log_dir=$value ;;
    --sbatch-option) sbatch_args+=("$value") ;;
    --orvane) orvane_exe=$value ;;
    *) die 1 "unknown option $name (see --help)" ;;
    esac
done

# The tasks run elsewhere: hand them an absolute binary and the submit
# directory, against which relative list, tile and output paths resolve.
resolved=$(command -v "$orvane_exe") || die 1 "no orvane binary '$orvane_exe' (use --orvane PATH)"
case $resolved in
/*) orvane_exe=$resolved ;;
*) orvane_exe=$(cd "$(dirname "$resolved")" && pwd)/$(basename "$resolved") ;;
esac

# The plan: "slices N", then "INDEX STATE FULL REDUCED" per slice, tab-separated;
# STATE is skip, done, make, or planes (done, but its volume planes missing).
# orvane says itself why it refuses the options.
plan=$("$orvane_exe" "${orvane_args[@]}" --plan) || die 1 "orvane refused the options (see above)"
slice_count=0 selected=() wanted=()
while IFS=$'\t' read -r first state _; do
    case $first in
    slices) slice_count=$state ;;
    [0-9]*)
        [ "$state" = skip ] || selected+=("$first")
        case $state in make | planes) wanted+=("$first") ;; esac
        ;;
    esac
done <<<"$plan"
[ "$slice_count" -gt 0 ] ||
    die 1 "the list file gives no slice: it has no names, or fewer than the split number"
[ ${#selected[@]} -gt 0 ] || die 1 "-j selects none of the slices 0 to $((slice_count - 1))"

indices=("${selected[@]}")
if [ "$missing" -eq 1 ]; then
    echo "orvane_submit: ${#wanted[@]} of ${#selected[@]} slices missing" >&2
    if [ ${#wanted[@]} -eq 0 ]; then
        exit 0
    fi
    indices=("${wanted[@]}")
fi
array=$(array_ranges "${indices[@]}")${throttle:+%$throttle}

case $log_dir in /*) ;; *) log_dir=$PWD/$log_dir ;; esac

if [ "$dry_run" -eq 0 ] && max_array=$(scontrol show config 2>/dev/null |
    sed -n 's/^MaxArraySize *= *\([0-9]*\).*/\1/p') && [ -n "$max_array" ]; then
    last_index=${indices[${#indices[@]} - 1]}
    [ "$last_index" -lt "$max_array" ] ||
        die 1 "slice index $last_index is past this cluster's MaxArraySize $max_array"
fi

task_script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/orvane_task.sh
command=(sbatch --parsable "--job-name=$job_name" "--array=$array" "--chdir=$PWD"
    "--output=${log_dir//%/%%}/%x-%A_%a.out" "${sbatch_args[@]}"
    "$task_script" "$orvane_exe" "${orvane_args[@]}")

echo "orvane_submit: $slice_count slices; submitting array $array" >&2
if [ "$dry_run" -eq 1 ]; then
    printf '%q ' "${command[@]}"
    echo
    exit 0
fi
mkdir -p "$log_dir"
job_id=$("${command[@]}") || die 2 "sbatch failed"
echo "${job_id%%;*}"

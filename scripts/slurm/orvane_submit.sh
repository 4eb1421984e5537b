#!/usr/bin/env bash
# Submits an orvane run to Slurm as one job array with one slice index per task.
#
# The arguments are this script's options, then orvane's: everything after
# `--` goes to every task as it is. Without `--`, this script picks its own
# options out wherever they stand and hands every other argument to orvane,
# in order, so it keeps no list of orvane's options. Which slices there are
# and which are done comes from `orvane --plan` with the same options, so the
# list rules, the slice count and the output names live in orvane alone.
# Slices are independent and a slice whose full-resolution file exists (and
# with --ome-zarr whose planes are in the volume) is done, so submitting the
# same command again is safe and redoes only what is missing; --missing
# submits only those indices: the plan's `make`, `planes` and `pending` ones
# (a pending slice is made, but chunks of the volume's levels below the first
# that cover it are not: its task makes them once their slices are all there).
set -euo pipefail
export LC_ALL=C

usage() {
    cat <<'EOF'
usage: orvane_submit.sh [submit options] [--] ORVANE OPTIONS
  e.g. orvane_submit.sh --mem 600M -- -i list.txt -s 4 -x 30 -y 12 -d 4 -o out

Submits one Slurm job array, one task per slice; each task runs
  orvane ORVANE OPTIONS -j $SLURM_ARRAY_TASK_ID
with OMP_NUM_THREADS set to the CPUs the task was given.

Everything after -- is orvane's, whatever it looks like, and only submit
options may come before it. Without --, the submit options below are taken
wherever they stand and every other argument is orvane's.

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
                            or, with --ome-zarr, whose planes in the volume are,
                            or whose volume chunks below level 0 are not yet made
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

# Takes the submit option that starts "$@" (NAME VALUE, NAME=VALUE or a
# flag) and sets `taken` to the arguments it used, 0 when "$1" is no submit
# option.
take_submit_option() {
    local arg=$1 name value
    taken=0
    case $arg in
    -h | --help) usage; exit 0 ;;
    --missing) missing=1; taken=1; return ;;
    --dry-run) dry_run=1; taken=1; return ;;
    --*=*) name=${arg%%=*} value=${arg#*=} taken=1 ;;
    *) name=$arg value=${2-} taken=2 ;;
    esac
    case $name in
    -p | --partition | -t | --time | --mem | -c | --cpus-per-task | -J | --job-name | \
        --throttle | --log-dir | --sbatch-option | --orvane)
        [ "$taken" -eq 1 ] || [ $# -ge 2 ] || die 1 "option $arg has no value"
        ;;
    --*)
        # orvane takes no option as NAME=VALUE: this is a submit option mistyped.
        [ "$taken" -eq 2 ] || die 1 "unknown option $name (see --help)"
        taken=0
        return
        ;;
    *) taken=0; return ;;
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
    esac
}

[ $# -gt 0 ] || { usage >&2; exit 1; }
separated=0
for arg; do [ "$arg" != -- ] || { separated=1; break; }; done
while [ $# -gt 0 ]; do
    if [ "$1" = -- ]; then
        shift
        orvane_args+=("$@")
        break
    fi
    take_submit_option "$@"
    if [ "$taken" -gt 0 ]; then
        shift "$taken"
        continue
    fi
    # With --, what comes before it is ours alone; without, the rest is
    # orvane's, in the order given (orvane ignores what it does not know).
    [ "$separated" -eq 0 ] || die 1 "unknown option $1 before -- (see --help)"
    orvane_args+=("$1")
    shift
done

# The tasks run elsewhere: hand them an absolute binary and the submit
# directory, against which relative list, tile and output paths resolve.
resolved=$(command -v "$orvane_exe") || die 1 "no orvane binary '$orvane_exe' (use --orvane PATH)"
case $resolved in
/*) orvane_exe=$resolved ;;
*) orvane_exe=$(cd "$(dirname "$resolved")" && pwd)/$(basename "$resolved") ;;
esac

# Reads orvane's plan for the options given: "slices N", then "INDEX STATE
# FULL REDUCED" per slice, tab-separated; STATE is skip, done, make, planes
# (done, but its volume planes missing) or pending (done with its planes, the
# volume's coarser chunks that cover it not yet made). Sets plan, slice_count, selected (the
# slices not skipped) and wanted (those to make). --plan goes first, where no
# option can take it for its value. orvane says itself why it refuses options.
read_plan() {
    local first state
    plan=$("$orvane_exe" --plan "$@") || die 1 "orvane refused the options (see above)"
    slice_count=0 selected=() wanted=()
    while IFS=$'\t' read -r first state _; do
        case $first in
        slices) slice_count=$state ;;
        [0-9]*)
            [ "$state" = skip ] || selected+=("$first")
            case $state in make | planes | pending) wanted+=("$first") ;; esac
            ;;
        esac
    done <<<"$plan"
}
plan_line() { awk -F'\t' -v k="$1" '$1 == k' <<<"$plan"; }

read_plan "${orvane_args[@]}"
[ "$slice_count" -gt 0 ] ||
    die 1 "the list file gives no slice: it has no names, or fewer than the split number"
[ ${#selected[@]} -gt 0 ] || die 1 "-j selects none of the slices 0 to $((slice_count - 1))"
indices=("${selected[@]}") missing_indices=("${wanted[@]}") run_slices=$slice_count

# Each task runs orvane's options followed by -j INDEX. Options that end in
# one still waiting for its value would take that -j for it, and the task
# make another slice, or every one: ask orvane whether the last slice's task
# makes that slice alone, under the name the plan gives it.
probe=${indices[${#indices[@]} - 1]}
probe_line=$(plan_line "$probe")
read_plan "${orvane_args[@]}" -j "$probe"
if [ "${selected[*]}" != "$probe" ] || [ "$(plan_line "$probe")" != "$probe_line" ]; then
    die 1 "orvane does not take the -j its tasks add after these options for the slice;" \
        "does the last one lack its value?"
fi

if [ "$missing" -eq 1 ]; then
    echo "orvane_submit: ${#missing_indices[@]} of ${#indices[@]} slices missing" >&2
    if [ ${#missing_indices[@]} -eq 0 ]; then
        exit 0
    fi
    indices=("${missing_indices[@]}")
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

echo "orvane_submit: $run_slices slices; submitting array $array" >&2
if [ "$dry_run" -eq 1 ]; then
    printf '%q ' "${command[@]}"
    echo
    exit 0
fi
mkdir -p "$log_dir"
job_id=$("${command[@]}") || die 2 "sbatch failed"
echo "${job_id%%;*}"

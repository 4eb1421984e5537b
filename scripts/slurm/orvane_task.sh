#!/usr/bin/env bash
# One task of an orvane job array: produces slice $SLURM_ARRAY_TASK_ID and
# exits non-zero unless orvane's plan says that slice is done afterwards (with
# --ome-zarr, its planes in the volume too). A slice whose volume chunks below
# level 0 wait for slices other tasks make (pending) is this task's part done:
# the task that completes the last of them makes those chunks.
#
# Arguments: the orvane binary, then the orvane options.
# sbatch copies this script at submission, so it must not rely on its own path.
set -u

orvane_exe=$1
shift
slice_index=${SLURM_ARRAY_TASK_ID:?not run as a Slurm array task}

# One OpenMP thread per CPU of this allocation; SLURM_CPUS_PER_TASK is set only
# when --cpus-per-task was given, otherwise the node's count for this job
# applies (it reads like "4" or "4(x2)").
threads=${SLURM_CPUS_PER_TASK:-${SLURM_JOB_CPUS_PER_NODE:-1}}
threads=${threads%%[!0-9]*}
export OMP_NUM_THREADS=${threads:-1}

echo "orvane task: slice $slice_index on $(hostname) with $OMP_NUM_THREADS threads"
"$orvane_exe" "$@" -j "$slice_index"
status=$?
if [ "$status" -ne 0 ]; then
    echo "orvane task: slice $slice_index failed (orvane exit status $status)" >&2
    exit "$status"
fi

# orvane also exits 0 when it made nothing (say the list file changed since
# the submission); only the files prove the slice done, and the plan names them.
# --plan goes first, where no option can take it for its value.
plan=$("$orvane_exe" --plan "$@" -j "$slice_index" 2>/dev/null)
state="" full=""
while IFS=$'\t' read -r index line_state line_full _; do
    if [ "$index" = "$slice_index" ]; then state=$line_state full=$line_full; fi
done <<<"$plan"
if [ "$state" = planes ]; then
    echo "orvane task: slice $slice_index failed: its planes in the --ome-zarr volume" \
        "were not all written" >&2
    exit 2
elif [ "$state" = pending ]; then
    echo "orvane task: slice $slice_index done; the volume's coarser chunks over it wait" \
        "for other slices"
elif [ "$state" != done ]; then
    echo "orvane task: slice $slice_index failed: ${full:-its file} was not written" >&2
    exit 2
fi

#!/usr/bin/env bash
# Tests of the Slurm submit and task scripts that need no cluster: sbatch and
# scontrol are stand-ins that record what they were given.
#
# usage: submit_test.sh ORVANE
set -uo pipefail
export LC_ALL=C

orvane=$(realpath "$1")
scripts=$(cd "$(dirname "$0")/../../scripts/slurm" && pwd)
work=$(mktemp -d /tmp/orvane_submit_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0 passes=0

check() {
    local name=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $name" >&2
        failures=$((failures + 1))
    fi
}

mkdir -p "$work/bin"
cat >"$work/bin/sbatch" <<'EOF'
#!/usr/bin/env bash
printf '%s\0' "$@" >"$SBATCH_RECORD"
echo "4242;cluster"
EOF
cat >"$work/bin/scontrol" <<'EOF'
#!/usr/bin/env bash
echo "MaxArraySize            = ${FAKE_MAX_ARRAY:-1001}"
EOF
chmod +x "$work/bin/sbatch" "$work/bin/scontrol"
export PATH="$work/bin:$PATH" SBATCH_RECORD="$work/sbatch_args"

# Runs the submit script; afterwards "${recorded[@]}" is what sbatch received.
submit() {
    rm -f "$SBATCH_RECORD"
    recorded=()
    "$scripts/orvane_submit.sh" --orvane "$orvane" --log-dir "$work/logs" "$@" 2>"$work/stderr"
    local status=$?
    [ -f "$SBATCH_RECORD" ] && mapfile -d '' recorded <"$SBATCH_RECORD"
    return "$status"
}

array_of_record() {
    local arg
    for arg in "${recorded[@]}"; do
        case $arg in --array=*) echo "${arg#--array=}" ;; esac
    done
}

# The slice count the submit script sees ("0-N-1" → N) against the one orvane
# prints in its summary; a refused submission counts as 0.
count_by_script() {
    local ranges
    if ! submit -i "$1" -s "$2" -o "$work/out" >/dev/null; then
        echo 0
        return
    fi
    ranges=$(array_of_record)
    echo $((${ranges#*-} + 1))
}
count_by_orvane() {
    local text count  # the first name is no image: orvane fails after its summary
    text=$("$orvane" -i "$1" -s "$2" -o "$work/out" -j 0 2>/dev/null)
    count=$(sed -n 's/^the output image is \t\([0-9-]*\)$/\1/p' <<<"$text")
    echo "${count:-0}"
}
same_count() {
    local list="$work/list.txt" by_script by_orvane
    printf "$1" >"$list"
    by_script=$(count_by_script "$list" "$2")
    by_orvane=$(count_by_orvane "$list" "$2")
    [ "$by_script" = "$by_orvane" ] ||
        { echo "list $1 with -s '$2': script $by_script, orvane $by_orvane" >&2; return 1; }
}

# The array bound comes from the list the way orvane reads it.
check "LF lines" same_count 'a\nb\nc\nd\ne\nf\n' 2
check "CR LF lines and an empty CR LF line" same_count 'a\r\nb\r\n\r\nc\r\nd\r\ne' 2
check "Ctrl-Z ends the text" same_count 'a\nb\n\032c\nd\n' 1
check "a last line of one CR is a name" same_count 'a\nb\n\r' 1
check "CR not before LF and blank lines are names" same_count 'a\n\r\n\rb\n  \n' 1
check "NUL inside a name" same_count 'a\000b\nc\n' 1
check "-s read as far as its digits go" same_count 'a\nb\nc\nd\ne\n' '2abc'
check "-s with blanks and a plus sign" same_count 'a\nb\nc\nd\ne\nf\ng\nh\n' ' +4'
check "negative -s gives no slice" same_count 'a\nb\nc\nd\n' -1
check "-s past 32 bits" same_count 'a\nb\nc\nd\n' 99999999999
check "a list of empty lines" same_count '\n\r\n\n' 1
check "Ctrl-Z first" same_count '\032a\nb\n' 1

# Options reach every task unchanged, spaces, look-alike values and all.
mkdir -p "$work/in put"
printf 'a\nb\nc\nd\ne\nf\n' >"$work/in put/list file.txt"
given=(-i "$work/in put/list file.txt" -s 2 -y -20 -x ' 3' -o '--missing dir' stray -d 2
    --ome-zarr 'a volume.zarr' --voxel-size 0.5,0.5,2)
passes_through() {
    submit --partition short -t 0:10:00 --mem=3G -c 4 --sbatch-option=--qos=low "${given[@]}" \
        >"$work/stdout" || return 1
    [ "$(cat "$work/stdout")" = 4242 ] || return 1
    local expected=("$scripts/orvane_task.sh" "$orvane" "${given[@]}")
    local n=${#expected[@]} tail=("${recorded[@]: -${#expected[@]}}")
    [ "$(printf '%s\n' "${tail[@]}")" = "$(printf '%s\n' "${expected[@]}")" ] || return 1
    local head
    head=$(printf '%s\n' "${recorded[@]:0:${#recorded[@]}-n}")
    for want in --array=0-2 --partition=short --time=0:10:00 --mem=3G --cpus-per-task=4 \
        --qos=low "--chdir=$PWD" "--output=$work/logs/%x-%A_%a.out"; do
        grep -qxF -- "$want" <<<"$head" || { echo "sbatch lacks $want" >&2; return 1; }
    done
}
check "orvane options pass through unchanged" passes_through
# After --, every argument is orvane's, look-alikes of submit options too;
# without --, submit options are taken wherever they stand.
orvane_args_are() {
    local expected=("$scripts/orvane_task.sh" "$orvane" "$@")
    [ "$(printf '%s\n' "${recorded[@]: -${#expected[@]}}")" = "$(printf '%s\n' "${expected[@]}")" ]
}
sbatch_has() {
    local n=$1 want
    shift
    for want; do
        printf '%s\n' "${recorded[@]:0:${#recorded[@]}-n}" | grep -qxF -- "$want" ||
            { echo "sbatch lacks $want" >&2; return 1; }
    done
}
after_separator() {
    local after=(-i "$work/in put/list file.txt" -s 2 -o --missing --mem 1G -p x -h --dry-run)
    submit -t 0:05:00 --mem=3G -- "${after[@]}" >/dev/null && orvane_args_are "${after[@]}" &&
        sbatch_has $((${#after[@]} + 2)) --time=0:05:00 --mem=3G --array=0-2 &&
        ! printf '%s\n' "${recorded[@]}" | grep -qx -- '--mem=1G\|--partition=x'
}
check "after -- every argument is orvane's" after_separator
mixed_order() {
    submit -i "$work/in put/list file.txt" --mem 2G -s 2 -p short -o "$work/out" --missing \
        >/dev/null && orvane_args_are -i "$work/in put/list file.txt" -s 2 -o "$work/out" &&
        sbatch_has 8 --mem=2G --partition=short && grep -q "slices missing" "$work/stderr"
}
check "without -- submit options are taken among orvane's" mixed_order

# Which indices are submitted.
array_is() {
    local want=$1
    shift
    submit "$@" >/dev/null && [ "$(array_of_record)" = "$want" ]
}
list="$work/in put/list file.txt"
out="$work/part done"
# Slice k's full-resolution file, named by orvane's own plan.
full_file() {
    "$orvane" -i "$list" -s 1 -o "$out" --plan 2>/dev/null | awk -F'\t' -v k="$1" '$1 == k { print $3 }'
}
mkdir -p "$out/stack1"
for k in 1 2 4; do : >"$(full_file $k)"; done
check "-j submits its index alone" array_is 1 -i "$list" -s 1 -o "$out" -j 1
check "the later -j wins" array_is 4 -i "$list" -s 1 -o "$out" -j 1 -j 4
check "--missing submits the missing indices as ranges" \
    array_is '0,3,5%2' --missing --throttle 2 -i "$list" -s 1 -o "$out"
check "--missing with -j submits it only when missing" array_is 3 --missing -i "$list" -s 1 -o "$out" -j 3
nothing_missing() {
    for k in 0 3 5; do : >"$(full_file $k)"; done
    submit --missing -i "$list" -s 1 -o "$out" && [ ${#recorded[@]} -eq 0 ]
}
check "--missing submits nothing when every slice is done" nothing_missing
# Done slices whose planes are not in the volume (none is there yet) are still to submit.
check "--missing submits done slices whose volume planes are missing" \
    array_is 0-5 --missing -i "$list" -s 1 -o "$out" --ome-zarr "$work/no volume.zarr"

refused() { ! submit "$@" >/dev/null && [ ! -f "$SBATCH_RECORD" ]; }
check "-j past the last slice is refused" refused -i "$list" -s 2 -j 3
check "an option without value is refused" refused -i "$list" -s
# orvane would take the tasks' -j for the value and make every slice in each.
check "options ending in one without its value are refused" refused -i "$list" -s 2 -o "$out" -o
check "a submit option without value is refused" refused -i "$list" -s 2 -o "$out" --mem
check "-s 0 is refused" refused -i "$list" -s 0
check "a mistyped submit option is refused" refused --partiton=x -i "$list"
check "an option before -- that is not a submit option is refused" refused -i "$list" -- -s 1
check "a zero throttle is refused" refused --throttle 0 -i "$list"
check "indices past MaxArraySize are refused" env FAKE_MAX_ARRAY=5 bash -c \
    '! "$1/orvane_submit.sh" --orvane "$2" -i "$3" -s 1 >/dev/null 2>&1' _ "$scripts" "$orvane" "$list"

# The task: threads from the allocation, failure when the slice is not done.
# The stand-in asks the real orvane for the plan, and with FAKE_WRITE makes
# the slice's file (empty) where the plan names it.
cat >"$work/bin/fake_orvane" <<'EOF'
#!/usr/bin/env bash
for arg; do [ "$arg" != --plan ] || exec "$REAL_ORVANE" "$@"; done
printf '%s\n' "threads=$OMP_NUM_THREADS" "$@" >"$FAKE_RECORD"
if [ -n "${FAKE_WRITE:-}" ]; then
    full=$("$REAL_ORVANE" "$@" --plan 2>/dev/null | awk -F'\t' '$2 == "make" { print $3 }')
    mkdir -p "$(dirname "$full")" && : >"$full"
fi
exit "${FAKE_STATUS:-0}"
EOF
chmod +x "$work/bin/fake_orvane"
export FAKE_RECORD="$work/fake_record" REAL_ORVANE="$orvane"
task_list="$work/task list.txt"
for k in $(seq 16); do echo "tile $k.tif"; done >"$task_list"
task() { rm -rf "$work/t out"; env SLURM_ARRAY_TASK_ID=7 "$@" bash "$scripts/orvane_task.sh" "$work/bin/fake_orvane" -i "$task_list" -s 2 -o "$work/t out" >/dev/null 2>&1; }
task_status_is() {
    local want=$1
    shift
    task "$@"
    [ $? -eq "$want" ]
}
check "a task whose slice is written succeeds" task_status_is 0 FAKE_WRITE=1
check "a task that wrote nothing fails" task_status_is 2
check "a task keeps orvane's failure status" task_status_is 2 FAKE_STATUS=2 FAKE_WRITE=1
task_without_planes() {
    rm -rf "$work/t out"
    env SLURM_ARRAY_TASK_ID=7 FAKE_WRITE=1 bash "$scripts/orvane_task.sh" "$work/bin/fake_orvane" \
        -i "$task_list" -s 2 -o "$work/t out" --ome-zarr "$work/t volume.zarr" >/dev/null 2>"$work/err"
    [ $? -eq 2 ] && grep -q "slice 7 failed: its planes" "$work/err"
}
check "a task that wrote the TIFF but not the volume planes fails" task_without_planes
task_args() {
    task SLURM_JOB_CPUS_PER_NODE='6(x2)' FAKE_WRITE=1
    [ "$(cat "$FAKE_RECORD")" = "$(printf '%s\n' threads=6 -i "$task_list" -s 2 -o "$work/t out" -j 7)" ]
}
check "a task runs its index with the node's CPUs" task_args
task_threads() {
    task SLURM_CPUS_PER_TASK=3 SLURM_JOB_CPUS_PER_NODE=8 FAKE_WRITE=1
    [ "$(head -n 1 "$FAKE_RECORD")" = threads=3 ]
}
check "--cpus-per-task sets the threads" task_threads

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]

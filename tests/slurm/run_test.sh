#!/usr/bin/env bash
# End-to-end test of the job-array path on a real one-node Slurm cluster that
# this script starts (and always stops) in a private temporary directory.
#
# usage: run_test.sh ORVANE MAKE_ACQUISITION
# Exit 0 passed, 1 failed, 77 skipped (not root or no packages, outside CI).
set -euo pipefail
export LC_ALL=C

orvane=$1
make_acquisition=$2
submit=$(cd "$(dirname "$0")/../../scripts/slurm" && pwd)/orvane_submit.sh
skip_status=77

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# In CI a missing cluster is a failure, elsewhere a skip.
cannot_run() {
    if [ "${CI:-}" = true ]; then fail "$*"; fi
    echo "SKIP: $*" >&2
    exit "$skip_status"
}

packages=(munge slurmctld slurmd slurm-client)
install_packages() {
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120
        install -y -qq --no-install-recommends) status=0 policy=/usr/sbin/policy-rc.d
    # The packages' scripts would start the system's own daemons: forbid
    # that for the install when the machine does not already.
    local own_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && own_policy=1
    fi
    "${apt[@]}" "${packages[@]}" >/dev/null 2>&1 ||
        { apt-get update -qq >/dev/null 2>&1 && "${apt[@]}" "${packages[@]}" >/dev/null; } ||
        status=1
    [ "$own_policy" -eq 0 ] || rm -f "$policy"
    return "$status"
}
if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null ||
    ! command -v sbatch >/dev/null || ! command -v munged >/dev/null; then
    [ "$(id -u)" -eq 0 ] || cannot_run "Slurm is not installed and this is not root"
    echo "installing ${packages[*]}"
    install_packages || cannot_run "could not install ${packages[*]}"
fi
[ "$(id -u)" -eq 0 ] || cannot_run "the test cluster runs its daemons as root"

work=$(mktemp -d /tmp/orvane_slurm.XXXXXX)
chmod 755 "$work"  # munged refuses a socket in a directory others cannot traverse
daemon_pids=()
cleanup() {
    local status=$? pid f
    trap - EXIT INT TERM
    set +e  # every step below must run, whatever fails
    if [ -n "${SLURM_CONF:-}" ] && [ ${#daemon_pids[@]} -ge 2 ]; then
        scancel --quiet --user=root >/dev/null 2>&1 || true
    fi
    for ((i = ${#daemon_pids[@]} - 1; i >= 0; i--)); do
        pid=${daemon_pids[i]}
        kill "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$status" -ne 0 ] && [ -d "$work/log" ]; then
        for f in "$work"/log/* "$work"/log/task*/*; do
            [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
        done
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Two free neighbouring loopback ports from a random base.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in $(seq 20); do
    port=$((20000 + RANDOM % 20000))
    port_in_use "$port" || port_in_use $((port + 1)) || break
done

mkdir -p "$work"/{etc,run,log,state,spool}
chmod 755 "$work/run"
mungekey --create --keyfile "$work/etc/munge.key" >/dev/null
chmod 600 "$work/etc/munge.key"
munged -F --socket="$work/run/munge.socket" --key-file="$work/etc/munge.key" \
    --log-file="$work/log/munged.log" --pid-file="$work/run/munged.pid" \
    --seed-file="$work/state/munged.seed" >"$work/log/munged.out" 2>&1 &
daemon_pids+=($!)

cat >"$work/etc/slurm.conf" <<EOF
ClusterName=orvanetest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$work/run/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/run/slurmctld.pid
SlurmdPidFile=$work/run/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobCompType=jobcomp/filetxt
JobCompLoc=$work/log/jobcomp.txt
SchedulerParameters=batch_sched_delay=0
ReturnToService=2
MpiDefault=none
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=1024 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$work/etc/slurm.conf
for _ in $(seq 50); do [ -S "$work/run/munge.socket" ] && break; sleep 0.1; done
slurmctld -D -i >"$work/log/slurmctld.out" 2>&1 &
daemon_pids+=($!)
slurmd -D -N localhost >"$work/log/slurmd.out" 2>&1 &
daemon_pids+=($!)
for _ in $(seq 100); do
    [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
    sleep 0.2
done
[ "$(sinfo -h -o %T 2>/dev/null)" = idle ] || fail "the test node did not come up"
echo "cluster up on ports $port-$((port + 1))"

# Waits until the array has left the queue, then prints one line per task:
# "INDEX STATE EXITCODE".
wait_for_array() {
    local job=$1
    for _ in $(seq 300); do
        [ -z "$(squeue -h -j "$job" 2>/dev/null)" ] && break
        sleep 0.2
    done
    [ -z "$(squeue -h -j "$job" 2>/dev/null)" ] || fail "array $job still queued after 60 s"
    scontrol show job -o "$job" |
        sed -n 's/.* ArrayTaskId=\([0-9]*\) .* JobState=\([A-Z_]*\) .* ExitCode=\([0-9:]*\) .*/\1 \2 \3/p' |
        sort -n
}

# A generated acquisition of 3 tile columns x 8 slices, under names with spaces:
# a mosaic wide enough for a volume level below the first.
acquisition="$work/acquisition with spaces"
"$make_acquisition" -o "$acquisition" -s 3 -n 8 -w 200 -h 48 >/dev/null
list="$acquisition/list.txt"
options=(-i "$list" -s 3 -x 4 -y 2 -d 2)
OMP_NUM_THREADS=2 "$orvane" "${options[@]}" -o "$work/local out" >/dev/null

# Slice k's full-resolution file under an output directory, named by orvane's plan.
full_file() {
    "$orvane" "${options[@]}" -o "$1" --plan 2>/dev/null | awk -F'\t' -v k="$2" '$1 == k { print $3 }'
}

same_as_local() {
    local dir=$1 f
    for stack in stack1 stack2; do
        [ "$(ls "$work/local out/$stack")" = "$(ls "$dir/$stack")" ] ||
            fail "$dir/$stack holds other files than the local run"
        for f in "$work/local out/$stack"/*; do
            cmp -s "$f" "$dir/$stack/$(basename "$f")" || fail "$dir/$stack/$(basename "$f") differs"
        done
    done
}

submit_options=(--orvane "$orvane" --log-dir "$work/log/task logs 100%" --cpus-per-task 1 --mem 64M)

# 1. The whole acquisition as one array: every output as a local run's.
out="$work/cluster out"
job=$("$submit" "${submit_options[@]}" "${options[@]}" -o "$out")
tasks=$(wait_for_array "$job")
expected=$(for k in $(seq 0 7); do echo "$k COMPLETED 0:0"; done)
[ "$tasks" = "$expected" ] || fail "array $job ended as: $tasks"
grep -q "with 1 threads" "$work/log/task logs 100%/orvane-${job}_3.out" ||
    fail "task 3 did not take its thread count from the allocation"
same_as_local "$out"
echo "ok: 8-task array matches the local run"

# 2. A missing tile fails exactly its slice's task, with the slice index.
out="$work/cluster out 2"
tile="$acquisition/tiles/tile_c01_z0005.tif"
mv "$tile" "$work/hidden.tif"
job=$("$submit" "${submit_options[@]}" --throttle 2 "${options[@]}" -o "$out")
tasks=$(wait_for_array "$job")
expected=$(for k in $(seq 0 7); do
    if [ "$k" -eq 5 ]; then echo "5 FAILED 2:0"; else echo "$k COMPLETED 0:0"; fi
done)
[ "$tasks" = "$expected" ] || fail "array $job with a missing tile ended as: $tasks"
grep -q "ArrayJobId=$job ArrayTaskId=5 .*ExitCode=2:0" "$work/log/jobcomp.txt" ||
    fail "the completion log does not show task 5 failed"
grep -q "slice 5 failed" "$work/log/task logs 100%/orvane-${job}_5.out" ||
    fail "task 5's log does not name its slice"
[ ! -e "$(full_file "$out" 5)" ] || fail "the failed slice left a done file"
echo "ok: the missing tile fails task 5 alone"

# 3. With the tile back, --missing resubmits slice 5 alone and completes it.
mv "$work/hidden.tif" "$tile"
before=$(stat -c "%i %y" "$(full_file "$out" 4)")
job=$("$submit" "${submit_options[@]}" --missing "${options[@]}" -o "$out")
[ "$(scontrol show job -o "$job" | grep -c ArrayTaskId=)" -eq 1 ] ||
    fail "--missing submitted more than one task"
tasks=$(wait_for_array "$job")
[ "$tasks" = "5 COMPLETED 0:0" ] || fail "the --missing array ended as: $tasks"
[ "$(stat -c "%i %y" "$(full_file "$out" 4)")" = "$before" ] || fail "a done slice was redone"
same_as_local "$out"
[ -z "$("$submit" "${submit_options[@]}" --missing "${options[@]}" -o "$out" 2>/dev/null)" ] ||
    fail "--missing submitted work for a complete run"
echo "ok: --missing completes exactly slice 5"

# 4. An array writes its slices into one OME-Zarr volume at once: the same
# files as a local run's (the volume's last name is its name, so both share it).
# With cubic voxels level 1 halves z too: its chunks span all 8 slices, made by
# the task that completes the last of them.
# orvane's options follow --, as the submit script's usage gives them.
OMP_NUM_THREADS=2 "$orvane" "${options[@]}" -o "$work/local out 4" \
    --ome-zarr "$work/local volume/v.ome.zarr" --voxel-size 1,1,1 >/dev/null
out="$work/cluster out 4"
job=$("$submit" "${submit_options[@]}" -- "${options[@]}" -o "$out" \
    --ome-zarr "$work/cluster volume/v.ome.zarr" --voxel-size 1,1,1)
tasks=$(wait_for_array "$job")
expected=$(for k in $(seq 0 7); do echo "$k COMPLETED 0:0"; done)
[ "$tasks" = "$expected" ] || fail "the volume array $job ended as: $tasks"
[ -e "$work/local volume/v.ome.zarr/1/0/0/0" ] || fail "the local volume has no level 1"
diff -r "$work/local volume/v.ome.zarr" "$work/cluster volume/v.ome.zarr" >/dev/null ||
    fail "the array's volume differs from the local run's"
diff -r "$work/local out 4" "$out" >/dev/null || fail "the array's TIFFs differ from the local run's"
echo "ok: the array's volume matches the local run's"

# 5. A volume asked for after the TIFF-only run of case 1: its slices are done
# but their planes are missing, so --missing submits them all and the array
# makes the volume of a local run, leaving the TIFFs as they are.
out="$work/cluster out"
tiffs_before=$(cd "$out" && find . -type f -exec stat -c "%n %i %y" {} + | sort)
added=(--ome-zarr "$work/added volume/v.ome.zarr" --voxel-size "1,1,1")
job=$("$submit" "${submit_options[@]}" --missing "${options[@]}" -o "$out" "${added[@]}")
tasks=$(wait_for_array "$job")
[ "$tasks" = "$expected" ] || fail "the array adding a volume ended as: $tasks"
diff -r "$work/local volume/v.ome.zarr" "$work/added volume/v.ome.zarr" >/dev/null ||
    fail "the volume added by an array differs from the local run's"
[ "$(cd "$out" && find . -type f -exec stat -c "%n %i %y" {} + | sort)" = "$tiffs_before" ] ||
    fail "adding the volume changed the TIFFs"
[ -z "$("$submit" "${submit_options[@]}" --missing "${options[@]}" -o "$out" "${added[@]}" \
    2>/dev/null)" ] || fail "--missing submitted work for a complete volume"
echo "ok: --missing adds the volume to a finished run"

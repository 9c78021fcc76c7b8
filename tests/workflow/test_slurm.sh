#!/usr/bin/env bash
# Runs the example through the SLURM profile on a real single-node SLURM
# that this test starts on localhost (its own munge key and socket, its own
# slurm.conf with this machine's name, CPUs and memory, the daemons in the
# background on their own ports), and checks that the count matrix is the
# one of a local run. Everything it starts is stopped at the end.
#
#   tests/workflow/test_slurm.sh MORVANE SOURCE_DIR
#
# Needs root (the daemons) and Debian's slurmctld, slurmd, slurm-client and
# munge; as root it installs them. Exits 77 (skipped) with a message where
# they cannot be had, or snakemake is missing.
set -euo pipefail
morvane=$(realpath "$1")
src=$(realpath "$2")

skip() {
    echo "skipping the SLURM test: $*"
    exit 77
}
command -v snakemake >/dev/null 2>&1 || skip "snakemake not found"
[ "$(id -u)" -eq 0 ] || skip "the SLURM daemons need root"
"$src/tools/install-deps.sh" slurmctld slurmd slurm-client munge >/dev/null 2>&1 ||
    skip "the packages slurmctld, slurmd, slurm-client and munge cannot be installed"
for tool in munged slurmctld slurmd sbatch sinfo; do
    command -v "$tool" >/dev/null 2>&1 || PATH=$PATH:/usr/sbin
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done

work=$(mktemp -d)
chmod 755 "$work"
pids=()
stop() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -f "$work/munged.pid" ] && kill "$(cat "$work/munged.pid")" 2>/dev/null || true
    sleep 1
    rm -rf "$work"
}
trap stop EXIT

# munge: a fresh key and a socket of this test's own.
mkdir -p "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 700 "$work/munge"
chmod 400 "$work/munge/munge.key"
munged --force --key-file="$work/munge/munge.key" --socket="$work/munge/socket" \
    --pid-file="$work/munged.pid" --log-file="$work/munge/log" --seed-file="$work/munge/seed" ||
    skip "munged does not start here ($(tail -1 "$work/munge/log" 2>/dev/null))"

node=$(hostname -s)
cpus=$(nproc)
# What slurmd may hand out: most of the memory, the rest for the system.
memory=$(awk '/MemTotal/ { printf "%d", $2 / 1024 * 0.8 }' /proc/meminfo)
port=$((17000 + RANDOM % 2000))
mkdir -p "$work/state" "$work/spool"
cat > "$work/slurm.conf" <<CONF
ClusterName=morvanetest
SlurmctldHost=$node
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
JobCompType=jobcomp/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=$node CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
slurmctld -D -i -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
pids+=($!)
for _ in $(seq 60); do
    state=$(sinfo -h -n "$node" -o %t 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 1
done
if [ "$state" != idle ]; then
    tail -5 "$work/slurmctld.log" "$work/slurmd.log" 2>/dev/null || true
    echo "FAIL: the local SLURM node did not come up (state '$state')"
    exit 1
fi

# The example, locally and through the profile.
config() {
    cat <<YAML
barcodes: $src/examples/barcodes.tsv
samples: $src/examples/samples.tsv
outdir: $work/$1
morvane: $morvane
count:
  quality: "S"
  layout: "GATGTCCACGAGGTCTCT[20]"
YAML
}
config local > "$work/local.yaml"
config slurm > "$work/slurm.yaml"
status=0
snakemake -s "$src/workflow/Snakefile" --directory "$work" --configfile "$work/local.yaml" --cores 2 -q \
    >"$work/local.log" 2>&1 || { cat "$work/local.log"; echo "FAIL: the local run"; exit 1; }
if ! snakemake -s "$src/workflow/Snakefile" --directory "$work" --configfile "$work/slurm.yaml" \
        --profile "$src/workflow/profiles/slurm" --latency-wait 5 --jobs 4 >"$work/slurm.log" 2>&1; then
    tail -40 "$work/slurm.log"
    tail -5 "$work"/slurm-logs/* 2>/dev/null || true
    echo "FAIL: the run through the SLURM profile"
    exit 1
fi
submitted=$(grep -c "Submitted job" "$work/slurm.log" || true)
[ "$submitted" -gt 0 ] || { echo "FAIL: no job went through sbatch"; status=1; }
cmp -s "$work/local/counts.tsv" "$work/slurm/counts.tsv" ||
    { echo "FAIL: the SLURM run's counts.tsv differs from the local run's"; status=1; }
cmp -s "$work/local/summary.tsv" "$work/slurm/summary.tsv" ||
    { echo "FAIL: the SLURM run's summary.tsv differs from the local run's"; status=1; }
# Each job asked memory and time from its input: the count jobs of these
# small samples ask the floor, not a fixed 16 GB.
asked=$(scontrol -o show job 2>/dev/null | awk '{
    for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    print f["JobName"], f["MinMemoryNode"], f["TimeLimit"] }' | sort | uniq -c || true)
echo "jobs as SLURM ran them (count, name, memory, time):"
echo "$asked"
if grep -q "morvane-count .*G" <<<"$asked"; then
    echo "FAIL: a count job of a small sample asked gigabytes"
    status=1
fi
[ $status -eq 0 ] && echo "the SLURM run ($submitted jobs) gives the local run's counts.tsv and summary.tsv"
exit $status

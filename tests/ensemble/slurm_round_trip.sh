#!/usr/bin/env bash
# The Slurm engine against a real Slurm: starts munged, slurmctld and slurmd
# for this machine alone with a configuration written here (own socket,
# ports, state and spool folders), runs an ensemble through sbatch, checks
# that every member's result file is byte for byte that of the local engine,
# and stops the daemons again. Exits 77 (skipped) where Slurm, munge or root
# are missing.
#
# Usage: [CHUNK=N] slurm_round_trip.sh BIN_DIR [MEMBERS] [--time]
#   CHUNK: members per array task (default 5, so that 12 members make 3 tasks)
#   --time: also print how long both engines took (for the benchmark).
set -euo pipefail
bin=$(cd "$1" && pwd)
members=${2:-12}
timing=${3:-}
for p in munged slurmctld slurmd sbatch squeue sinfo; do
  command -v "$p" >/dev/null 2>&1 || { echo "skipped: $p is not installed"; exit 77; }
done
[ "$(id -u)" = 0 ] || { echo "skipped: starting slurmd needs root"; exit 77; }

work=$(mktemp -d /tmp/torla-slurm-XXXXXX)
chmod 755 "$work"
host=$(hostname -s)
port=$((20000 + ($$ % 20000)))
stop() {
  set +e
  for f in slurmd slurmctld munged; do
    [ -f "$work/$f.pid" ] && kill "$(cat "$work/$f.pid")" 2>/dev/null
  done
  sleep 1
  for f in slurmd slurmctld munged; do
    [ -f "$work/$f.pid" ] && kill -9 "$(cat "$work/$f.pid")" 2>/dev/null
  done
  rm -rf "$work"
}
trap stop EXIT

# munge: a fresh key and its own socket.
mkdir -p "$work/munge"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munged --force --key-file="$work/munge/munge.key" --socket="$work/munge/munge.sock" \
  --pid-file="$work/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/seed"

cpus=$(slurmd -C | sed -n 's/.*CPUs=\([0-9]*\).*/\1/p' | head -1)
mkdir -p "$work/state" "$work/spool"
cat > "$work/slurm.conf" <<CONF
ClusterName=torlatest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/munge.sock
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
MinJobAge=300
SchedulerParameters=defer_batch
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=ensemble Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$work/slurm.conf"
slurmctld -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF"
for i in $(seq 100); do
  state=$(sinfo -h -N -o %t 2>/dev/null | head -1 || true)
  [ "$state" = idle ] && break
  sleep 0.2
done
if [ "$state" != idle ]; then
  echo "Slurm did not come up (node state '$state')"
  tail -20 "$work/slurmctld.log" "$work/slurmd.log" 2>/dev/null
  exit 1
fi

# An ensemble of short runs, through both engines.
cat > "$work/base.cmd" <<CMD
Track_Name Slurm test track
Run_Name Slurm test run
| POWDER SNOW GLOBAL PARAMETERS
Max_Time 3
Dump_Interval 1
| COORDINATES
Number_of_Points 8
$(for i in 0 1 2 3 4 5 6 7; do echo "$i $((i * 10)) $((1000 - i * 5)) 0 0"; done)
| POWDER SNOW LOCAL PARAMETERS
$(for i in 0 1 2 3 4 5 6 7; do echo "$i 0 0.5 0.5 150 1 5 20 5 5 2 1 0.5"; done)
| END OF FILE
CMD
cat > "$work/ensemble.toml" <<TOML
base = "base.cmd"
members = $members
seed = 21
[vary]
Max_Salt_Density = { min = 20.0, max = 60.0 }
h2 = { factor = { min = 0.5, max = 1.5 } }
[thresholds]
p3 = [0.1, 0.5]
TOML
cd "$work"
t0=$(date +%s.%N)
"$bin/torla-ensemble" run ensemble.toml -o slurm-run --engine slurm --chunk "${CHUNK:-5}" --max-parallel "$cpus" \
  --partition ensemble --time 10
t1=$(date +%s.%N)
"$bin/torla-ensemble" run ensemble.toml -o local-run --jobs "$cpus"
t2=$(date +%s.%N)
"$bin/torla-ensemble" status slurm-run

fail=0
n=0
for d in local-run/members/*/; do
  name=$(basename "$d")
  n=$((n + 1))
  cmp -s "$d/member.res" "slurm-run/members/$name/member.res" || { echo "member $name differs"; fail=1; }
done
[ "$n" = "$members" ] || { echo "$n of $members members"; fail=1; }
cmp -s local-run/exceedance.csv slurm-run/exceedance.csv || { echo "exceedance.csv differs"; fail=1; }
cmp -s local-run/members.csv slurm-run/members.csv || { echo "members.csv differs"; fail=1; }
# --no-wait returns at once; collect and status work afterwards.
"$bin/torla-ensemble" run ensemble.toml -o later --engine slurm --no-wait | grep -q "submitted"
job=$(cat later/slurm/job)
while squeue -h -j "$job" 2>/dev/null | grep -q .; do sleep 0.2; done
"$bin/torla-ensemble" collect later
cmp -s local-run/exceedance.csv later/exceedance.csv || { echo "exceedance.csv after --no-wait differs"; fail=1; }
# A calibration through Slurm (its rounds as array jobs) keeps the same
# members, misfits and best member as on this machine.
cat > "$work/observed.toml" <<TOML
name = "Slurm round trip"
source = "made up for this test"
[[pressure]]
s_horizontal_m = 40.0
p_kPa = 3.5
sigma_kPa = 0.5
quantity = "p2"
TOML
"$bin/torla-ensemble" calibrate ensemble.toml --observed observed.toml -o cal-slurm --budget 12 \
  --engine slurm --chunk 2 --partition ensemble --time 10 2>/dev/null
"$bin/torla-ensemble" calibrate ensemble.toml --observed observed.toml -o cal-local --budget 12 \
  --jobs "$cpus" 2>/dev/null
for f in calibration.csv calibration.json best.cmd; do
  cmp -s "cal-local/$f" "cal-slurm/$f" || { echo "calibration: $f differs"; fail=1; }
done
[ -s cal-slurm/rounds/round-00/slurm/job ] || { echo "calibration: round 0 was no Slurm job"; fail=1; }
if [ -n "$timing" ]; then
  awk -v a="$t0" -v b="$t1" -v c="$t2" -v n="$members" 'BEGIN { printf "slurm engine: %.2f s; local engine: %.2f s; %d members\n", b - a, c - b, n }'
fi
[ "$fail" = 0 ] && echo "Slurm round trip: $members members and a calibration identical to the local engine"
exit $fail

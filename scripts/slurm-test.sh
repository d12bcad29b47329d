#!/bin/bash
# The README's Slurm recipe on a real one-node Slurm cluster started on this machine: Debian's
# munged, slurmctld and slurmd, run by this script as its own processes, in a network namespace
# of their own that holds only the loopback interface, with every state file in a scratch folder.
# The daemons are stopped and the folder removed however the script ends. munged listens on a
# socket in that folder; slurmctld and slurmd on TCP ports found free at run time (Slurm binds
# every address and has no setting to bind one; in a network namespace of loopback alone they
# cannot resolve the address to listen on).
#   1. The README's recipe, with the array and CPU count of this one node (--array=0-3, one CPU a
#      task) and --wait: the outputs are a folder run's, byte for byte, name for name.
#   2. The same job array over a list with a picture the run refuses, in the shard of one task:
#      that task fails with the run's message in its output file, the others finish, and the job
#      records (scontrol) name the task that failed and its exit code.
# Needs root: the daemons run as root (SlurmUser=root).
#   scripts/slurm-test.sh BINARY
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/cluster-common.sh"
binary=$(cd "$(dirname "${1:?usage: slurm-test.sh BINARY}")" && pwd)/$(basename "$1")
[ -x "$binary" ] || { echo "slurm-test: no program at $binary" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "slurm-test: needs root" >&2; exit 2; }

"$root/scripts/install-deps.sh" slurmctld slurmd slurm-client munge imagemagick

work=$(mktemp -d "${TMPDIR:-/tmp}/pow2bmp-slurm.XXXXXX")
chmod 755 "$work"
pids=()
stop() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "FAIL (slurm): $*" >&2
  local log
  for log in "$work"/state/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

state=$work/state
mkdir -p "$state/ctld" "$state/spool"
# The node is named localhost, which /etc/hosts resolves: the host's own name may need DNS.
node=localhost

# munge: a key of its own, its socket and files in the scratch folder.
dd if=/dev/urandom of="$state/munge.key" bs=1024 count=1 status=none
chmod 400 "$state/munge.key"
munged --force --foreground --socket="$state/munge.socket" --key-file="$state/munge.key" \
  --pid-file="$state/munged.pid" --log-file="$state/munged.log" \
  --seed-file="$state/munged.seed" 2>>"$state/munged.log" &
pids+=($!)

cat >"$state/slurm.conf" <<EOF
ClusterName=pow2bmptest
SlurmctldHost=$node
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$state/munge.socket
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/spool
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$state/slurm.conf

for _ in $(seq 50); do [ -S "$state/munge.socket" ] && break; sleep 0.2; done
[ -S "$state/munge.socket" ] || fail "munged did not start"
slurmctld -D -i -f "$SLURM_CONF" >>"$state/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -N "$node" -f "$SLURM_CONF" >>"$state/slurmd.log" 2>&1 &
pids+=($!)
ready=
for _ in $(seq 100); do
  if sinfo -h -N -o '%t' 2>/dev/null | grep -Eq '^(idle|mix|alloc)'; then ready=1 && break; fi
  sleep 0.3
done
[ -n "$ready" ] || fail "the node did not come up: $(sinfo -N 2>&1 || true)"
echo "slurm-test: node $node up ($(sinfo -h -N -o '%c CPUs, %t'))"

# The recipe as a user of this one node changes it: four tasks of one CPU, and waiting for them.
text=$(recipe slurm | sed -e 's/--array=0-31/--wait --array=0-3/' -e 's/--cpus-per-task=16/--cpus-per-task=1/')
grep -q -- '--wait --array=0-3 --cpus-per-task=1' <<<"$text" || fail "the README's recipe changed: $text"


pictures "$work/reference" 8
(cd "$work/reference" && "$binary" --no-pause >/dev/null) || fail "the folder run failed"

# 1. The recipe, as the README writes it but for the array and CPUs.
pictures "$work/recipe" 8
(cd "$work/recipe" && PATH="$(dirname "$binary"):$PATH" POW2BMP_SOURCE="$root" \
  bash -e -o pipefail -c "$text") >"$work/recipe.out" 2>&1 || fail "the recipe failed: $(cat "$work/recipe.out")"
[ "$(names "$work/recipe/bmp")" = "$(names "$work/reference/bmp")" ] ||
  fail "the job array wrote other names than the folder run"
diff -r "$work/reference/bmp" "$work/recipe/bmp" >/dev/null || fail "the job array's outputs differ"
logs=("$work"/recipe/pow2bmp-*_*.log)
[ "${#logs[@]}" -eq 4 ] || fail "expected four task logs, found ${#logs[@]}"
echo "slurm-test: recipe: $(names "$work/recipe/bmp" | wc -l) outputs, byte-identical to a folder run; tasks:"
sed 's/^/  /' "${logs[@]}" | grep 'task '

# 2. One picture the run refuses, in the shard of one task.
mkdir -p "$work/refused/img"
cp "$work"/reference/img/* "$work/refused/img/"
printf 'not a picture\n' >"$work/refused/img/broken.png"
(cd "$work/refused" && "$root/examples/list-conversions.sh" | cut -f1 >pictures.txt)
status=0
(cd "$work/refused" && PATH="$(dirname "$binary"):$PATH" sbatch --parsable --wait --array=0-3 \
  --cpus-per-task=1 "$root/examples/cluster/pow2bmp-array.sbatch" pictures.txt "$PWD/bmp") \
  >"$work/refused.out" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "sbatch --wait succeeded with a refused picture"
job=$(head -n 1 "$work/refused.out" | cut -d';' -f1)
failed=$(grep -l '^ERROR: Cannot load input image img/broken.png$' "$work"/refused/pow2bmp-*_*.log) ||
  fail "no task log holds the run's message: $(cat "$work"/refused/pow2bmp-*_*.log)"
[ "$(wc -l <<<"$failed")" -eq 1 ] || fail "more than one task reports the picture"
task=${failed##*_}
task=${task%.log}
# The job records: every task's state and exit code.
records=$(scontrol -o show job "$job" | sed -n 's/.*ArrayTaskId=\([0-9]*\) .*JobState=\([A-Z]*\) .*ExitCode=\([0-9:]*\) .*/\1 \2 \3/p' | sort -n)
[ "$(wc -l <<<"$records")" -eq 4 ] || fail "expected four task records: $records"
while read -r id job_state code; do
  if [ "$id" = "$task" ]; then
    [ "$job_state $code" = "FAILED 1:0" ] || fail "task $id: $job_state $code"
  else
    [ "$job_state $code" = "COMPLETED 0:0" ] || fail "task $id: $job_state $code"
  fi
done <<<"$records"
# The other tasks' pictures are all converted, as a keep-going folder run converts them.
expected=$(names "$work/reference/bmp" | wc -l)
got=$(names "$work/refused/bmp" | wc -l)
echo "slurm-test: refused picture: task $task failed (exit code 1:0) with its message in $(basename "$failed");"
echo "  the others completed; $got of $expected outputs written"
while read -r line; do echo "  task $line"; done <<<"$records"
echo "slurm-test: passed"

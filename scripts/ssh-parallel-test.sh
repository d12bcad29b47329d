#!/bin/bash
# The README's GNU parallel recipe over ssh: an sshd of this script's own, on two ports of
# 127.0.0.1, with a host key and a user key made for the run, and a hosts.txt of two ssh logins
# to this machine, one a port, so the pictures really travel over two transports. The outputs
# must be a folder run's, byte for byte, name for name, and each login must have run some of the
# conversions. sshd is stopped and every file removed however the script ends.
# Needs root: sshd runs as root and the logins are root's (by key only).
#   scripts/ssh-parallel-test.sh BINARY
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/cluster-common.sh"
binary=$(cd "$(dirname "${1:?usage: ssh-parallel-test.sh BINARY}")" && pwd)/$(basename "$1")
[ -x "$binary" ] || { echo "ssh-parallel-test: no program at $binary" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "ssh-parallel-test: needs root" >&2; exit 2; }
"$root/scripts/install-deps.sh" openssh-server openssh-client parallel imagemagick

work=$(mktemp -d "${TMPDIR:-/tmp}/pow2bmp-ssh.XXXXXX")
chmod 755 "$work"
sshd_pid=
stop() {
  if [ -n "$sshd_pid" ]; then
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "FAIL (ssh): $*" >&2
  [ -f "$work/sshd.log" ] && tail -n 20 "$work/sshd.log" >&2
  exit 1
}
ssh=$work/ssh
mkdir -m 700 "$ssh"
ssh-keygen -q -t ed25519 -N '' -C pow2bmp-test-host -f "$ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -C pow2bmp-test-user -f "$ssh/user_key"
cp "$ssh/user_key.pub" "$ssh/authorized_keys"
port1=$(free_port)
port2=$(free_port)
while [ "$port2" = "$port1" ]; do port2=$(free_port); done

# The server: loopback only, keys only, this run's files only. The program's folder comes first
# on the PATH of the logins, as it would on a cluster's nodes.
cat >"$ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port1
ListenAddress 127.0.0.1:$port2
HostKey $ssh/host_key
PidFile $ssh/sshd.pid
AuthorizedKeysFile $ssh/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
MaxStartups 20:30:60
MaxSessions 20
SetEnv PATH=$(dirname "$binary"):/usr/local/bin:/usr/bin:/bin
LogLevel VERBOSE
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -D -f "$ssh/sshd_config" -E "$work/sshd.log" &
sshd_pid=$!

# The client: two host names for the two ports, this run's key and the host key made above.
{
  echo "[127.0.0.1]:$port1 $(cut -d' ' -f1,2 "$ssh/host_key.pub")"
  echo "[127.0.0.1]:$port2 $(cut -d' ' -f1,2 "$ssh/host_key.pub")"
} >"$ssh/known_hosts"
cat >"$ssh/ssh_config" <<EOF
Host node1 node2
  HostName 127.0.0.1
  User root
  IdentityFile $ssh/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $ssh/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  ControlMaster no
Host node1
  Port $port1
Host node2
  Port $port2
EOF
export PARALLEL_SSH="ssh -F $ssh/ssh_config"
up=
for _ in $(seq 50); do
  if $PARALLEL_SSH node1 true 2>/dev/null && $PARALLEL_SSH node2 true 2>/dev/null; then up=1 && break; fi
  sleep 0.2
done
[ -n "$up" ] || fail "sshd did not take the logins"

text=$(recipe parallel)
grep -q -- '--sshloginfile hosts.txt' <<<"$text" || fail "the README's recipe changed: $text"

# pictures_with_a_space FOLDER: ten pictures of each format and the samples, one of them also under a name
# with a space.
pictures_with_a_space() {
  pictures "$1" 10
  cp "$root/examples/img/sunset.png" "$1/img/my sunset.png"
}
pictures_with_a_space "$work/reference"
(cd "$work/reference" && "$binary" --no-pause >/dev/null) || fail "the folder run failed"

# The recipe as the README writes it, with two ssh logins of one job each in hosts.txt, and a job
# log (through PARALLEL, which GNU parallel reads as options) that says which login ran what.
pictures_with_a_space "$work/recipe"
printf '1/node1\n1/node2\n' >"$work/recipe/hosts.txt"
(cd "$work/recipe" && PATH="$(dirname "$binary"):$PATH" POW2BMP_SOURCE="$root" \
  PARALLEL="--joblog $work/joblog" bash -e -o pipefail -c "$text") >"$work/recipe.out" 2>&1 ||
  fail "the recipe failed: $(cat "$work/recipe.out")"
[ "$(names "$work/recipe/bmp")" = "$(names "$work/reference/bmp")" ] ||
  fail "the recipe wrote other names than the folder run"
diff -r "$work/reference/bmp" "$work/recipe/bmp" >/dev/null || fail "the recipe's outputs differ"
count() { awk -F'\t' -v host="$1" 'NR > 1 && $2 == host && $7 == 0' "$work/joblog" | wc -l; }
on1=$(count node1)
on2=$(count node2)
total=$(names "$work/reference/bmp" | wc -l)
if [ "$on1" -eq 0 ] || [ "$on2" -eq 0 ]; then fail "the work did not spread: node1 $on1, node2 $on2"; fi
[ $((on1 + on2)) -eq "$total" ] || fail "$((on1 + on2)) conversions logged for $total outputs"
# Each port took connections of its own, and the logins were by key.
for port in "$port1" "$port2"; do
  grep -q "Connection from 127.0.0.1 port [0-9]* on 127.0.0.1 port $port" "$work/sshd.log" ||
    fail "no connection on port $port"
done
grep -q "Accepted publickey for root from 127.0.0.1" "$work/sshd.log" || fail "no login by key"
echo "ssh-parallel-test: $total outputs through two ssh logins (node1 $on1, node2 $on2),"
echo "  byte-identical to a folder run; sshd on 127.0.0.1 ports $port1 and $port2"
echo "ssh-parallel-test: passed"

#!/usr/bin/env bash
# Tries the README's set-up on a fresh machine: bootstraps a minimal Debian 12 system (debootstrap,
# variant minbase) in a temporary folder, clones the committed HEAD of this checkout into its
# /root/pow2bmp, and runs the two commands of the README's "Set-up on a fresh Debian 12 machine"
# there, exactly as written, as root in a login shell with a clean environment. Fails unless
# both succeed. Prints how long each step took. With POW2BMP_FRESH_WINDOWS=1 it then runs
# scripts/windows-test.sh there too: the Windows build, its tests under wine and the ZIP, from
# the same fresh system with nothing installed but what the two commands installed.
#
# The package mirror comes from this machine's apt configuration (sources.list, *.list and
# deb822 *.sources), read at run time. The downloaded base system is kept as a tarball in
# $POW2BMP_FRESH_CACHE (default /var/cache/pow2bmp-fresh-machine) and refreshed after 30 days;
# set POW2BMP_FRESH_CACHE= (empty) to bootstrap straight from the mirror without a cache.
# Needs root (debootstrap, mount, chroot); runs itself through sudo otherwise.
# Usage, from anywhere: scripts/fresh-machine-test.sh
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

repo=$(cd "$(dirname "$0")/.." && pwd)
release=bookworm
cache=${POW2BMP_FRESH_CACHE-/var/cache/pow2bmp-fresh-machine}
arch=$(dpkg --print-architecture)

fail() {
  echo "fresh-machine-test: $*" >&2
  exit 1
}

# "URI SUITE" for every enabled binary-package source of this machine's apt configuration.
host_sources() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -e 's/#.*//' "$file" | awk '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if (i + 1 <= NF) print $i, $(i + 1)
      }'
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk '
      function flush(  n, m, j, u, s) {
        if (types ~ /(^| )deb( |$)/ && enabled != "no") {
          n = split(uris, u, " "); m = split(suites, s, " ")
          for (j = 1; j <= m && n > 0; j++) print u[1], s[j]
        }
        types = ""; uris = ""; suites = ""; enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[^ \t][^:]*:/ {
        key = tolower(substr($0, 1, index($0, ":") - 1))
        value = substr($0, index($0, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (key == "types") types = value
        else if (key == "uris") uris = value
        else if (key == "suites") suites = value
        else if (key == "enabled") enabled = tolower(value)
      }
      END { flush() }' "$file"
  done
}

sources=$(host_sources | sed -e 's|/* | |')
mirror=$(echo "$sources" | awk -v suite="$release" '$2 == suite { print $1; exit }')
[ -n "$mirror" ] || fail "this machine's apt configuration names no mirror for '$release'"
echo "Mirror (from this machine's apt configuration): $mirror"

# The README's set-up commands: the sh blocks of its set-up section, each as written.
mapfile -d '' commands < <(awk '
  /^## / { section = ($0 == "## Set-up on a fresh Debian 12 machine") }
  section && /^```sh$/ { block = ""; inside = 1; next }
  inside && /^```$/ { printf "%s%c", block, 0; inside = 0; next }
  inside { block = block (block == "" ? "" : "\n") $0 }' "$repo/README.md")
[ "${#commands[@]}" -eq 2 ] ||
  fail "expected two sh blocks in the README's set-up section, found ${#commands[@]}"

"$repo/scripts/install-deps.sh" debootstrap git
head=$(git -C "$repo" rev-parse HEAD)
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
  echo "Note: uncommitted changes in $repo are not part of the check, which clones HEAD $head"
fi

work=$(mktemp -d /var/tmp/pow2bmp-fresh-XXXXXX)
root=$work/root
mounted=()
step=""
timings=()
cleanup() {
  local status=$? i
  trap - EXIT INT TERM
  if [ "$status" -ne 0 ] && [ -n "$step" ]; then
    echo "fresh-machine-test: FAILED in step '$step' (status $status)" >&2
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "fresh-machine-test: cannot unmount ${mounted[i]}" >&2
  done
  if awk -v prefix="$work/" 'index($5, prefix) == 1 { found = 1 } END { exit !found }' \
    /proc/self/mountinfo; then
    echo "fresh-machine-test: something is still mounted under $work; leaving it in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs one step; a failing step ends the script through set -e, and the exit trap names it.
timed() {
  local start=$SECONDS
  step=$1
  shift
  echo "== $step"
  "$@"
  timings+=("$(printf '%-16s %5d s' "$step:" $((SECONDS - start)))")
  step=""
}

bootstrap() {
  if [ -z "$cache" ]; then
    debootstrap --variant=minbase "$release" "$root" "$mirror"
    return
  fi
  local tarball=$cache/debootstrap-$release-minbase-$arch.tar.gz
  mkdir -p "$cache"
  if [ -f "$tarball" ] && [ -n "$(find "$tarball" -mtime +30)" ]; then rm -f "$tarball"; fi
  if [ ! -f "$tarball" ]; then
    rm -f "$tarball.part"
    debootstrap --variant=minbase --make-tarball="$tarball.part" "$release" "$work/download" \
      "$mirror"
    mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$work/download"
  else
    echo "Using the cached base packages in $tarball"
  fi
  debootstrap --variant=minbase --unpack-tarball="$tarball" "$release" "$root" "$mirror"
}
timed "debootstrap" bootstrap

# The sources a fresh installation has: the release, its updates and its security suite, from
# the mirrors this machine uses for them.
echo "$sources" | awk -v suite="$release" '
  ($2 == suite || $2 == suite "-updates" || $2 == suite "-security") && !seen[$2]++ {
    print "deb " $1 " " $2 " main"
  }' >"$root/etc/apt/sources.list"
cat "$root/etc/apt/sources.list"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

mount_in() {
  mount "$@"
  mounted+=("${*: -1}")
}
mount_in -t proc proc "$root/proc"
mount_in -t sysfs sysfs "$root/sys"
mount_in --bind /dev "$root/dev"
mount_in --bind /dev/pts "$root/dev/pts"
mount_in -t tmpfs tmpfs "$root/dev/shm"

git clone -q --no-hardlinks "$repo" "$root/root/pow2bmp"
git -C "$root/root/pow2bmp" checkout -q --detach "$head"
echo "Cloned $head into /root/pow2bmp"

environment=(HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM=dumb
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for variable in http_proxy https_proxy no_proxy; do
  if [ -n "${!variable-}" ]; then environment+=("$variable=${!variable}"); fi
done

run_in_chroot() {
  echo "\$ $1"
  chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -lc "cd /root/pow2bmp && $1"
}
timed "sample command" run_in_chroot "${commands[0]}"
timed "test command" run_in_chroot "${commands[1]}"
if [ "${POW2BMP_FRESH_WINDOWS:-0}" = 1 ]; then
  timed "windows build" run_in_chroot "scripts/windows-test.sh"
fi

echo "== Fresh-machine check passed"
printf '%s\n' "${timings[@]}"
printf '%-16s %5d s\n' "total:" "$SECONDS"

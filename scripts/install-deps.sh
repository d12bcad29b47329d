#!/bin/sh
# Installs the Debian packages that building and testing pow2bmp need, when any is missing; with
# package names as arguments, those instead (the benchmark, fuzzing and CI scripts use this).
# Runs apt-get as root, or through sudo for another user. `file` is for cpack, whose Debian
# generator refuses to run without it.
#   scripts/install-deps.sh [package ...]
set -eu

packages="build-essential cmake file libjpeg-dev libgtest-dev zlib1g-dev libpng-dev imagemagick parallel"
if [ $# -gt 0 ]; then packages="$*"; fi

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
else
  as_root="sudo"
fi
echo "Installing:$missing"
$as_root apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y --no-install-recommends $missing

#!/bin/sh
# Downloads Debian binary packages with apt-get (through the host's own apt sources) and unpacks
# each into <cache>/root/<package>, for the benchmark sets. The .deb files stay in
# <cache>/debs, so a second run downloads and unpacks nothing; an unpacking cut short is redone.
#   scripts/unpack-debs.sh <cache> <package>...
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 <cache> <package>..." >&2
  exit 2
fi
cache=$1
shift
mkdir -p "$cache/debs" "$cache/root"
for package in "$@"; do
  if ! ls "$cache/debs/${package}_"*.deb >/dev/null 2>&1; then
    (cd "$cache/debs" && apt-get download "$package")
  fi
  if [ ! -d "$cache/root/$package" ]; then
    rm -rf "$cache/root/$package.partial"
    mkdir -p "$cache/root/$package.partial"
    dpkg -x "$cache/debs/${package}_"*.deb "$cache/root/$package.partial"
    mv "$cache/root/$package.partial" "$cache/root/$package"
  fi
done

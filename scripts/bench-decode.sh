#!/bin/sh
# Builds decode_bench (release, with every benchmark peer that is installed) and runs it on the
# corpus made by scripts/bench-corpus.sh; the report goes to stdout and to <build>/decode_bench.txt.
# Usage: scripts/bench-decode.sh [corpus-folder] [decode_bench options...]
#        (default corpus build/bench-corpus; options: --min-time S --min-runs N --max-runs N
#        --fresh N)
# Environment: BUILD_DIR (default build/bench), SOURCE_DIR (default: this checkout),
#              NO_INSTALL=1 to skip installing the peers.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
source_dir=${SOURCE_DIR:-$root}
build=${BUILD_DIR:-$root/build/bench}
corpus=${1:-$root/build/bench-corpus}
[ $# -gt 0 ] && shift

if [ "${NO_INSTALL:-0}" != 1 ]; then
  "$root/scripts/install-deps.sh" cmake g++ libjpeg-dev libpng-dev zlib1g-dev libspng-dev \
    libstb-dev libdeflate-dev pkg-config
fi

if [ ! -d "$corpus" ]; then
  echo "no corpus at $corpus: run scripts/bench-corpus.sh first" >&2
  exit 2
fi

cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DPOW2BMP_BUILD_FUZZ=OFF -DPOW2BMP_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target decode_bench >/dev/null
# The exit status of decode_bench (1 when one of our decoders failed) survives the tee.
status_file="$build/decode_bench.status"
{ status=0; "$build/bench/decode_bench" "$corpus" "$@" || status=$?; echo "$status" > "$status_file"; } | tee "$build/decode_bench.txt"
exit "$(cat "$status_file")"

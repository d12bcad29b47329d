#!/bin/sh
# CI stage for fuzzing: installs clang 14 and the libraries when missing, builds the "fuzz"
# preset, replays every corpus and regression folder, then fuzzes each target for the given
# seconds (default 60), two targets at a time. Fails on any finding; findings are copied into
# fuzz/regressions/<target>/ and each target's log is kept in build/fuzz/logs/.
#   scripts/fuzz-ci.sh [seconds]
set -eu

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${POW2BMP_FUZZ_BUILD:-$root/build/fuzz}
targets="decode_image decode_report png inflate inflate_zlib png_libpng bmp tga jpeg padding"

packages="build-essential cmake clang-14 libclang-rt-14-dev libjpeg-dev libgtest-dev zlib1g-dev libpng-dev"
# shellcheck disable=SC2086
"$root/scripts/install-deps.sh" $packages

if [ ! -f "$build/CMakeCache.txt" ]; then
  (cd "$root" && cmake --preset fuzz -B "$build")
fi
build_targets=""
for target in $targets; do build_targets="$build_targets fuzz_$target"; done
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $build_targets

echo "== replaying corpora and regressions"
ctest --test-dir "$build" -L fuzz --output-on-failure -j2

echo "== fuzzing each target for ${seconds}s"
mkdir -p "$build/logs"
run_one() {
  if POW2BMP_FUZZ_BUILD=$build POW2BMP_FUZZ_NO_BUILD=1 \
      "$root/scripts/fuzz-run.sh" "$1" "$seconds" >"$build/logs/$1.log" 2>&1; then
    echo "$1: ok ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$build/logs/$1.log" | cut -d' ' -f2) runs)"
  else
    echo "$1: FINDING, see $build/logs/$1.log"
  fi
}
# shellcheck disable=SC2086
set -- $targets
while [ $# -gt 0 ]; do
  run_one "$1" &
  shift
  if [ $# -gt 0 ]; then
    run_one "$1"
    shift
  fi
  wait
done
# Each run's verdict is the last line of its log.
failed=""
for target in $targets; do
  if ! grep -q "fuzz target $target: no finding" "$build/logs/$target.log"; then
    failed="$failed $target"
  fi
done
if [ -n "$failed" ]; then
  echo "fuzzing found problems in:$failed" >&2
  exit 1
fi
echo "fuzzing: no findings"

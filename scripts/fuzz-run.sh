#!/bin/sh
# Fuzzes one target with libFuzzer for a given time:
#   scripts/fuzz-run.sh <target> <seconds> [extra libFuzzer arguments]
# Builds the "fuzz" preset (clang 14, ASan + UBSan) when needed, starts from the committed
# corpus fuzz/corpus/<target>/, the seed folders fuzz/seed-folders names for the target and the
# regression files, and writes new inputs only into the
# scratch corpus build/fuzz/corpus-scratch/<target>/. Exits non-zero on any finding (crash,
# sanitizer report, failed check, leak, timeout, out-of-memory) after copying the input that
# caused it into fuzz/regressions/<target>/.
#
# Environment: POW2BMP_FUZZ_BUILD (build folder, default build/fuzz), POW2BMP_FUZZ_NO_BUILD=1
# (use the binaries as they are; fuzz-ci.sh sets it after building once).
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 <target> <seconds> [libFuzzer arguments]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

root=$(cd "$(dirname "$0")/.." && pwd)
build=${POW2BMP_FUZZ_BUILD:-$root/build/fuzz}
binary=$build/fuzz/fuzz_$target

if [ ! -f "$root/fuzz/$target.cpp" ]; then
  echo "no fuzz target '$target' (fuzz/$target.cpp)" >&2
  exit 2
fi
if [ "${POW2BMP_FUZZ_NO_BUILD:-0}" != 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset fuzz -B "$build")
  fi
  cmake --build "$build" --target "fuzz_$target" -j2
fi

scratch=$build/corpus-scratch/$target
artifacts=$build/artifacts/$target
regressions=$root/fuzz/regressions/$target
mkdir -p "$scratch" "$artifacts"
rm -f "$artifacts"/*

dictionary=""
if [ -f "$root/fuzz/$target.dict" ]; then dictionary="-dict=$root/fuzz/$target.dict"; fi
# libFuzzer stops at a folder that does not exist: a target may have no seeds of its own.
corpora="$scratch"
for folder in "$target" $(sed -n "s/^$target://p" "$root/fuzz/seed-folders"); do
  if [ -d "$root/fuzz/corpus/$folder" ]; then corpora="$corpora $root/fuzz/corpus/$folder"; fi
done
if [ -d "$regressions" ]; then corpora="$corpora $regressions"; fi

status=0
# shellcheck disable=SC2086
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -max_len=65536 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 $dictionary "$@" $corpora || status=$?

found=0
for artifact in "$artifacts"/*; do
  [ -f "$artifact" ] || continue
  mkdir -p "$regressions"
  name=$(basename "$artifact")
  cp "$artifact" "$regressions/fuzz-$name"
  echo "finding saved as fuzz/regressions/$target/fuzz-$name" >&2
  found=1
done
if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
  echo "fuzz target $target: FINDING (exit status $status)" >&2
  exit 1
fi
echo "fuzz target $target: no finding in ${seconds}s"

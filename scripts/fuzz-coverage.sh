#!/bin/sh
# Line coverage of the readers by the unit tests plus the replay of every fuzz corpus:
# builds with clang 14 source-based coverage in build/fuzz-coverage (the fuzz targets as replay
# programs), runs CTest once, and prints llvm-cov reports for png/*.cpp and image/*.cpp, per
# file: first the corpus replays alone, then everything together.
#   scripts/fuzz-coverage.sh
# Environment: POW2BMP_COVERAGE_BUILD (build folder, default build/fuzz-coverage).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${POW2BMP_COVERAGE_BUILD:-$root/build/fuzz-coverage}
flags="-O0 -g -fprofile-instr-generate -fcoverage-mapping"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
    -DPOW2BMP_BUILD_FUZZ=ON -DPOW2BMP_LIBFUZZER=OFF
fi
cmake --build "$build" -j2

profiles=$build/profiles
rm -rf "$profiles"
mkdir -p "$profiles/fuzz" "$profiles/unit"
status=0
LLVM_PROFILE_FILE="$profiles/fuzz/%p-%m.profraw" \
  ctest --test-dir "$build" -L fuzz -j2 --output-on-failure || status=$?
LLVM_PROFILE_FILE="$profiles/unit/%p-%m.profraw" \
  ctest --test-dir "$build" -LE fuzz -j2 --output-on-failure || status=$?

# Tests that lower the file size limit leave truncated profiles; merge what can be read.
llvm-profdata-14 merge -sparse -failure-mode=all "$profiles"/fuzz/*.profraw \
  -o "$build/fuzz.profdata"
llvm-profdata-14 merge -sparse -failure-mode=all "$profiles"/fuzz/*.profraw \
  "$profiles"/unit/*.profraw -o "$build/all.profdata" 2>&1 | grep -v "file header is corrupt" || true

objects=""
for binary in "$build"/pow2bmp "$build"/tests/*_test "$build"/fuzz/fuzz_*; do
  if [ ! -f "$binary" ] || [ ! -x "$binary" ]; then continue; fi
  if [ -z "$objects" ]; then objects="$binary"; else objects="$objects -object $binary"; fi
done

report() {
  # shellcheck disable=SC2086
  llvm-cov-14 report -instr-profile "$1" $objects "$root"/png/*.cpp "$root"/image/*.cpp
}
echo "== line coverage by the fuzz corpus replays alone"
report "$build/fuzz.profdata"
echo
echo "== line coverage by the unit tests and the corpus replays"
report "$build/all.profdata"
echo "(html: llvm-cov-14 show -format=html -instr-profile $build/all.profdata $objects -output-dir $build/html)"
if [ "$status" -ne 0 ]; then
  echo "some tests failed (see above); the figures cover what ran" >&2
  exit 1
fi

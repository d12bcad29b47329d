#!/bin/sh
# Regenerates the seed corpora fuzz/corpus/<target>/ with the seed generator (a g++ build of
# fuzz/seed_generator.cpp over the test builders in build/fuzz-replay). Files of the same name
# are replaced; inputs added by hand or minimised from fuzzing stay.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${POW2BMP_SEED_BUILD:-$root/build/fuzz-replay}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" --target fuzz_seed_generator -j2
"$build/fuzz/fuzz_seed_generator" "$root/fuzz/corpus"
du -sh "$root/fuzz/corpus"

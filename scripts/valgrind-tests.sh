#!/bin/sh
# Runs every test executable of a build folder under valgrind's memcheck: leaks and reads of
# uninitialised memory fail the run. The few tests that only move very large amounts of memory
# (the padded writer against the padded copy runs ten minutes under valgrind),
# or compare against zlib over hundreds of streams, are left to the sanitizer build, and so are
# those that hold the process's own peak of resident memory to a bound (valgrind's shadow memory
# counts in it).
# Usage: scripts/valgrind-tests.sh build/dev
set -eu
build=${1:-build/dev}
skip='*RefusesSizesAboveTheSigned32BitRange*:*LargestPictureIsWrittenUnpadded*:*PaddedWriteEqualsThePlainlyPaddedPicture*:*Differential*:*Zlib*:*ScanWork*:*ClaimingTheLargestSize*:*EstimateIsWithinAQuarter*:*HoldsLittleBesideThePicture*:*ForEveryTriple*'
status=0
for test in "$build"/tests/*_test; do
  echo "== $(basename "$test")"
  if ! valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=9 \
      "$test" --gtest_brief=1 --gtest_filter="-$skip"; then
    status=1
  fi
done
exit $status

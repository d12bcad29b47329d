#!/bin/sh
# Checks that every C++ source and header of the repository is laid out as .clang-format says,
# with Debian's clang-format-14 (installed when missing). Lists the files that differ and fails;
# with --fix, rewrites them instead.
#   scripts/check-format.sh [--fix]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-format-14
files=$(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format-14 -i $files
  exit 0
fi
failed=0
for file in $files; do
  if ! clang-format-14 --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file (scripts/check-format.sh --fix rewrites it)"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "format: all $(echo "$files" | wc -w) files match .clang-format"
exit "$failed"

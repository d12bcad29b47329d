#!/bin/sh
# The Windows build, tested under wine on this machine:
#   1. the Windows libraries (scripts/build-windows-jpeg.sh), the windows preset, built;
#   2. the cross-built unit tests under wine64 with a fresh wine prefix, those labelled
#      linux-only excluded (ctest --preset windows);
#   3. the end-to-end tests built for Linux against that pow2bmp.exe under wine64 (the wine
#      preset: end_to_end_wine_test and modes_wine_test, label wine);
#   4. the ZIP (cpack -G ZIP), unpacked, its pow2bmp.exe run on the bundled samples (a batch run
#      in a folder holding img) and on each picture of the decode corpus (one file per call):
#      the BMP files and exit statuses must equal the Linux release build's byte for byte, and
#      the reports too once the Windows separator and line ends are read as Linux's.
# Usage, from anywhere: scripts/windows-test.sh [Linux release build, default build/release]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
linux=${1:-"$root/build/release"}
case $linux in /*) ;; *) linux="$PWD/$linux" ;; esac
# wine64 with a fixed address space layout (see the script), for every start of a Windows program.
wine="$root/scripts/wine64.sh"

fail() {
  echo "windows-test: $*" >&2
  exit 1
}

"$root/scripts/install-deps.sh" wine64 unzip
"$root/scripts/build-windows-jpeg.sh"
cd "$root"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2
cmake --preset wine >/dev/null
cmake --build --preset wine -j2

scratch=$(mktemp -d)
cleanup() {
  WINEPREFIX="$scratch/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
# Names outside ASCII need a UTF-8 locale under wine (see scripts/wine64.sh); the wine server
# and every wine process of the run take the same one.
case $(locale charmap 2>/dev/null) in
  UTF-8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac
mkdir -p "$WINEPREFIX"
# One wine server for the whole run: each test starting and stopping its own races now and then,
# and the test process then dies before its first line.
/usr/lib/wine/wineserver -p
"$wine" wineboot --init >/dev/null 2>&1 || true

echo "== Unit tests under wine =="
ctest --preset windows -j2

echo "== End-to-end tests against pow2bmp.exe under wine =="
ctest --preset wine -j2

echo "== The ZIP =="
(cd build/windows && rm -f pow2bmp-*.zip && cpack -G ZIP >/dev/null)
zip=$(ls build/windows/pow2bmp-*-windows-x86_64.zip)
mkdir "$scratch/zip"
unzip -q "$zip" -d "$scratch/zip"
exe=$(ls "$scratch"/zip/*/pow2bmp.exe)
for document in README.md LICENSE THIRD-PARTY-NOTICES.md; do
  [ -f "$(dirname "$exe")/$document" ] || fail "the ZIP has no $document"
done
# Every file of doc/ that README.md links to is in the ZIP too.
for target in $(grep -o '](doc/[^)#]*' README.md | cut -c3- | sort -u); do
  [ -f "$(dirname "$exe")/$target" ] || fail "the ZIP has no $target, which README.md links to"
done
"$wine" "$exe" --version | tr -d '\r' | grep -q '^pow2bmp ' || fail "pow2bmp.exe --version"

if [ ! -x "$linux/pow2bmp" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j2
  linux="$root/build/release"
fi

# Reads a Windows report as Linux's: no carriage returns, '/' for '\'.
as_linux() { tr -d '\r' | sed 's|\\|/|g'; }

echo "== The samples: a batch run in a folder holding img =="
for side in linux windows; do
  mkdir -p "$scratch/$side/img"
  cp examples/img/* "$scratch/$side/img/"
done
linux_status=0
(cd "$scratch/linux" && "$linux/pow2bmp" >report) || linux_status=$?
windows_status=0
(cd "$scratch/windows" && "$wine" "$exe" >report.raw) || windows_status=$?
as_linux <"$scratch/windows/report.raw" >"$scratch/windows/report"
[ "$linux_status" = "$windows_status" ] ||
  fail "samples: status $windows_status on Windows, $linux_status on Linux"
diff -u "$scratch/linux/report" "$scratch/windows/report" || fail "samples: the reports differ"
grep -q 'bmp\\' "$scratch/windows/report.raw" || fail "samples: no native separator in the report"
diff -r "$scratch/linux/bmp" "$scratch/windows/bmp" || fail "samples: the BMP files differ"
ls "$scratch/windows/bmp" | grep -q '\.tmp$' && fail "samples: a temporary file was left"
echo "$(ls "$scratch/windows/bmp" | wc -l) samples byte-identical"

echo "== The decode corpus: one file per call =="
count=0
for picture in fuzz/corpus/decode_image/* fuzz/corpus/bmp/* fuzz/corpus/tga/* \
    fuzz/corpus/png/* fuzz/corpus/jpeg/*; do
  name=$(basename "$(dirname "$picture")")_$(basename "$picture")
  cp "$picture" "$scratch/linux/$name"
  cp "$picture" "$scratch/windows/$name"
  linux_status=0
  (cd "$scratch/linux" && "$linux/pow2bmp" "$name" "$name.bmp" >"$name.report") ||
    linux_status=$?
  windows_status=0
  (cd "$scratch/windows" && "$wine" "$exe" "$name" "$name.bmp" >"$name.raw") ||
    windows_status=$?
  as_linux <"$scratch/windows/$name.raw" >"$scratch/windows/$name.report"
  [ "$linux_status" = "$windows_status" ] ||
    fail "$name: status $windows_status on Windows, $linux_status on Linux"
  cmp "$scratch/linux/$name.report" "$scratch/windows/$name.report" || fail "$name: reports differ"
  if [ -f "$scratch/linux/$name.bmp" ] || [ -f "$scratch/windows/$name.bmp" ]; then
    cmp "$scratch/linux/$name.bmp" "$scratch/windows/$name.bmp" || fail "$name: BMP files differ"
    count=$((count + 1))
  fi
done
echo "$count corpus pictures converted byte-identical; every status and report the same"
echo "windows-test: all passed ($zip)"

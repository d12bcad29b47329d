#!/bin/sh
# One file per call against one folder run: 10,000 small textures (64x64 to 256x256, PNG, JPEG,
# TGA and BMP) converted by `pow2bmp INPUT OUTPUT` under `xargs -P N`, and by one `pow2bmp -j N`
# folder run, in files per second; and the start cost of one process (`pow2bmp --version`,
# 1,000 times, one at a time). The folder run's 2-second pause is measured on an empty folder
# and subtracted.
#
# Usage: scripts/bench-perfile.sh [work-folder]   (default build/bench-perfile)
# Environment: FILES (default 10000), JOBS (default: the CPU count), POW2BMP=<binary> (default:
#   the release build in build/release, built when missing), NO_INSTALL=1.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/bench-perfile}
files=${FILES:-10000}
jobs=${JOBS:-$(nproc)}
convert=/usr/bin/convert

if [ "${NO_INSTALL:-0}" != 1 ]; then
  "$root/scripts/install-deps.sh" imagemagick cmake g++ libjpeg-dev bc
fi
if [ -z "${POW2BMP:-}" ]; then
  cmake --preset release -S "$root" >/dev/null
  cmake --build "$root/build/release" -j"$(nproc)" --target pow2bmp >/dev/null
  POW2BMP=$root/build/release/pow2bmp
fi

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }

# Twenty distinct small pictures of real-looking content, copied to $files names.
rm -rf "$work" && mkdir -p "$work/seed" "$work/folder/img" "$work/perfile/bmp" "$work/empty/img"
i=0
for size in 64x64 96x80 128x128 200x150 256x256; do
  for format in png jpg tga bmp; do
    case $format in png) type=PNG24: ;; bmp) type=BMP3: ;; *) type= ;; esac
    "$convert" -size "$size" plasma:fractal -seed $i "$type$work/seed/s$i.$format" 2>/dev/null ||
      "$convert" -size "$size" gradient:red-blue "$type$work/seed/s$i.$format"
    i=$((i + 1))
  done
done
set -- "$work"/seed/*
n=0
while [ "$n" -lt "$files" ]; do
  for seed in "$@"; do
    [ "$n" -lt "$files" ] || break
    extension=${seed##*.}
    cp "$seed" "$work/folder/img/t$n.$extension"
    n=$((n + 1))
  done
done

# The pause and start-up of a folder run, from an empty folder.
start=$(now); (cd "$work/empty" && "$POW2BMP" -j "$jobs" >/dev/null); pause=$(elapsed "$start" "$(now)")

sync
start=$(now)
(cd "$work/folder" && "$POW2BMP" -j "$jobs" >/dev/null)
folder=$(elapsed "$start" "$(now)")
folder_work=$(echo "$folder - $pause" | bc -l)

sync
start=$(now)
(cd "$work/folder/img" && ls | xargs -P "$jobs" -I{} "$POW2BMP" {} "$work/perfile/bmp/{}.bmp" >/dev/null)
perfile=$(elapsed "$start" "$(now)")

start=$(now)
seq 1000 | xargs -I{} "$POW2BMP" --version >/dev/null
startcost=$(elapsed "$start" "$(now)")

# The floor of any one-process-per-file scheme here: /bin/true started as often, as xargs
# starts the converter.
start=$(now)
(cd "$work/folder/img" && ls | xargs -P "$jobs" -I{} /bin/true {} >/dev/null)
floor=$(elapsed "$start" "$(now)")
start=$(now)
seq 1000 | xargs -I{} /bin/true >/dev/null
truecost=$(elapsed "$start" "$(now)")

# Both ways wrote the same bytes (the one-file outputs are named NAME.EXT.bmp).
for output in "$work"/folder/bmp/t1.bmp "$work"/folder/bmp/t7.bmp; do
  name=$(basename "$output" .bmp)
  input=$(cd "$work/folder/img" && ls "$name".*)
  cmp -s "$output" "$work/perfile/bmp/$input.bmp" || { echo "outputs differ for $input" >&2; exit 1; }
done

printf 'files: %s, jobs: %s, load average: %s\n' "$files" "$jobs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'folder run (-j %s):        %6.2f s without the %.2f s pause and start-up: %7.0f files/s\n' \
  "$jobs" "$folder_work" "$pause" "$(echo "$files / $folder_work" | bc -l)"
printf 'one file per call (xargs -P %s): %6.2f s: %7.0f files/s\n' \
  "$jobs" "$perfile" "$(echo "$files / $perfile" | bc -l)"
printf 'process start (--version): %.2f ms each; /bin/true: %.2f ms each\n' \
  "$(echo "$startcost" | bc -l)" "$(echo "$truecost" | bc -l)"
printf 'floor, /bin/true per file under xargs -P %s: %6.2f s: %7.0f files/s\n' \
  "$jobs" "$floor" "$(echo "$files / $floor" | bc -l)"
printf 'one file per call / folder run throughput: %.2f (goal: at least 0.50, within 2 times)\n' \
  "$(echo "$folder_work / $perfile" | bc -l)"

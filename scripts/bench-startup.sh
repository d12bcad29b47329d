#!/bin/bash
# What one `pow2bmp INPUT OUTPUT` call costs beyond starting /bin/true, and files per second of the
# ways to drive one call per picture against one folder run.
#
#   1. Start cost: 2,000 small pictures (FILES), each converted by its own call under
#      `xargs -P 2 -n 2` (JOBS), against /bin/true under the same driver and list; RUNS rounds,
#      the programs taking turns in each, medians printed. The cost per call is the median's
#      difference over the calls, in wall time and in CPU time (user + system). Goal: at most
#      0.5 ms per call above /bin/true, 0.3 ms the aim. Besides the program as built (the C++
#      runtime linked in), the same objects are linked again with other options to show how
#      linking moves the figure: the shared C++ runtime as before, with -Wl,-O1,--as-needed and
#      with -Wl,-z,now. (No fully static variant: the Debian package keeps the system's libjpeg.)
#      The I/O floor (io-floor) is a minimal C program doing only a call's file work (read the
#      input, write the output's bytes to a temporary file, rename it over the output, print the
#      line): each program's cost is also given above it, which is what start-up and decoding add.
#   2. Files per second over the same pictures: `make -jJOBS` (examples/make), `ninja -jJOBS`
#      (examples/cmake), `xargs -P JOBS` and one folder run `pow2bmp -j JOBS --no-pause`.
#
#   The output folder is emptied before each timed command, outside its time: removing 2,000
#   files is no part of a call's cost (and would fall on whichever program runs next).
#
# Usage: scripts/bench-startup.sh [work-folder]   (default build/bench-startup)
# Environment: FILES (2000), JOBS (2), RUNS (5), NO_INSTALL=1. Builds the release preset.
#   BASELINE=PROGRAM adds another pow2bmp (an older build) to the start-cost rounds, taking turns
#   with the others, for an A/B of the two under the same driver; ONLY_START=1 leaves out the
#   relinked variants and the files-per-second part.
# Timings on a shared machine are noisy: compare the ratios, and rerun on a quiet one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/bench-startup}
files=${FILES:-2000}
jobs=${JOBS:-2}
runs=${RUNS:-5}

if [ "${NO_INSTALL:-0}" != 1 ]; then
  "$root/scripts/install-deps.sh" imagemagick cmake g++ libjpeg-dev ninja-build make bc
fi
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" -j"$jobs" --target pow2bmp >/dev/null
release=$root/build/release

rm -rf "$work" && mkdir -p "$work/bin" "$work/seed" "$work/pictures/img"

# The program linked again from the release objects, with other options.
link_line=$(cat "$release/CMakeFiles/pow2bmp.dir/link.txt")
shared_line=${link_line/ -static-libstdc++ -static-libgcc -Wl,-O1,--as-needed/}
relink() {
  local name=$1
  shift
  (cd "$release" && eval "${shared_line/-o pow2bmp/-o $work/bin/$name} $*")
}
cp "$release/pow2bmp" "$work/bin/shipped"
relink shared
relink shared-as-needed -Wl,-O1,--as-needed
relink shared-now -Wl,-z,now
# The I/O floor: a minimal C program, linked to libc alone, that does the file work of a one-file
# call and nothing else: the input opened and read, a temporary file made beside the output, as
# many bytes written to it as the output BMP has, the file closed and renamed over the output, the
# report line written. It knows the output's size from FLOOR_SIZES, the BMP sizes of the seeds
# (below), by the number in the input's name (img/tN.EXT is seed N modulo their count).
cat >"$work/floor.c" <<'FLOOR'
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char buffer[65536];

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const char* base = strrchr(argv[1], '/');
  base = base ? base + 1 : argv[1];
  long seeds[64];
  int count = 0;
  for (char *p = getenv("FLOOR_SIZES"), *end; p && count < 64; p = end) {
    long size = strtol(p, &end, 10);
    if (end == p) break;
    seeds[count++] = size;
  }
  if (count == 0) return 2;
  long bytes = seeds[strtol(base + 1, NULL, 10) % count];
  int in = open(argv[1], O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return 1;
  while (read(in, buffer, sizeof buffer) > 0) {}
  close(in);
  char temporary[4096];
  const char* slash = strrchr(argv[2], '/');
  int folder = slash ? (int)(slash - argv[2] + 1) : 0;
  snprintf(temporary, sizeof temporary, "%.*s.floor-%d.tmp", folder, argv[2], (int)getpid());
  int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) return 1;
  for (long left = bytes; left > 0;) {
    ssize_t n = write(out, buffer, left < (long)sizeof buffer ? (size_t)left : sizeof buffer);
    if (n <= 0) return 1;
    left -= n;
  }
  if (close(out) != 0 || rename(temporary, argv[2]) != 0) return 1;
  char line[4200];
  int length = snprintf(line, sizeof line, "File %s generated OK\n", argv[2]);
  return write(1, line, (size_t)length) == length ? 0 : 1;
}
FLOOR
gcc -O2 -o "$work/bin/io-floor" "$work/floor.c"

variants=(io-floor shipped shared shared-as-needed shared-now)
if [ "${ONLY_START:-0}" = 1 ]; then variants=(io-floor shipped); fi
if [ -n "${BASELINE:-}" ]; then
  cp "$BASELINE" "$work/bin/baseline"
  variants+=(baseline)
fi

# Twenty small pictures of four formats, copied to $files names.
i=0
for size in 32x32 48x40 64x64 96x80 128x128; do
  for format in png jpg tga bmp; do
    case $format in png) type=PNG24: ;; bmp) type=BMP3: ;; *) type= ;; esac
    convert -size "$size" -seed "$i" plasma:fractal -depth 8 "$type$work/seed/s$i.$format"
    i=$((i + 1))
  done
done
seeds=("$work"/seed/*)
# The output size of each seed, for the I/O floor.
FLOOR_SIZES=
for seed in "${seeds[@]}"; do
  "$release/pow2bmp" "$seed" "$work/seed.bmp" >/dev/null
  FLOOR_SIZES+="$(stat -c %s "$work/seed.bmp") "
done
rm -f "$work/seed.bmp"
export FLOOR_SIZES
for ((n = 0; n < files; n++)); do
  seed=${seeds[n % ${#seeds[@]}]}
  cp "$seed" "$work/pictures/img/t$n.${seed##*.}"
done
(cd "$work/pictures" && "$root/examples/list-conversions.sh" | tr '\t' '\n') >"$work/list"

# seconds COMMAND...: "wall cpu" of the command, in seconds.
seconds() {
  /usr/bin/time -o "$work/time" -f '%e %U %S' "$@" >/dev/null 2>&1 || true
  awk 'END { printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The output folder emptied, outside the time of what follows.
fresh() { (cd "$work/pictures" && rm -rf bmp && mkdir bmp && sync -f .); }
drive() { (cd "$work/pictures" && xargs -P "$jobs" -n 2 "$1" <"$work/list"); }
export -f drive
export work jobs release root

echo "== One call per file: $files calls under xargs -P $jobs -n 2, $runs rounds, medians =="
declare -A wall cpu
for ((round = 0; round < runs; round++)); do
  for name in true "${variants[@]}"; do
    program=$work/bin/$name
    [ "$name" = true ] && program=/bin/true
    fresh
    read -r w c < <(seconds bash -c "drive $(printf '%q' "$program")")
    wall[$name]+="$w "
    cpu[$name]+="$c "
  done
done
floor_wall=$(tr ' ' '\n' <<<"${wall[true]}" | grep . | median)
floor_cpu=$(tr ' ' '\n' <<<"${cpu[true]}" | grep . | median)
io_wall=$(tr ' ' '\n' <<<"${wall[io-floor]}" | grep . | median)
io_cpu=$(tr ' ' '\n' <<<"${cpu[io-floor]}" | grep . | median)
per_call() { echo "($1 - $2) * 1000 / $files" | bc -l; }
printf '%-18s %10s %10s %14s %14s %14s %14s\n' program "wall s" "cpu s" \
  "wall-true" "cpu-true" "wall-io" "cpu-io"
printf '%-18s %10.3f %10.3f\n' /bin/true "$floor_wall" "$floor_cpu"
for name in "${variants[@]}"; do
  w=$(tr ' ' '\n' <<<"${wall[$name]}" | grep . | median)
  c=$(tr ' ' '\n' <<<"${cpu[$name]}" | grep . | median)
  printf '%-18s %10.3f %10.3f %14.3f %14.3f %14.3f %14.3f\n' "$name" "$w" "$c" \
    "$(per_call "$w" "$floor_wall")" "$(per_call "$c" "$floor_cpu")" \
    "$(per_call "$w" "$io_wall")" "$(per_call "$c" "$io_cpu")"
done
echo "ms per call above /bin/true (-true) and above the I/O floor (-io: a C program doing only"
echo "a call's file work); goal: at most 0.5 ms per call above /bin/true (aim 0.3)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "${ONLY_START:-0}" = 1 ] && exit 0
echo
echo "== Files per second, $files pictures, $jobs jobs =="
per_second() { echo "$files / $1" | bc -l | xargs printf '%.0f'; }
folder_run() { (cd "$work/pictures" && "$release/pow2bmp" -j "$jobs" --no-pause >/dev/null); }
make_run() {
  (cd "$work/pictures" &&
    make -s -j"$jobs" -f "$root/examples/make/Makefile" POW2BMP="$release/pow2bmp" >/dev/null)
}
ninja_run() {
  fresh
  rm -rf "$work/textures"
  cmake -G Ninja -S "$root/examples/cmake" -B "$work/textures" -DTEXTURE_DIR="$work/pictures/img" \
    -DPOW2BMP_EXECUTABLE="$release/pow2bmp" >/dev/null
  # Only the conversions are timed: the configure step above is not.
  seconds ninja -C "$work/textures" -j"$jobs" | cut -d' ' -f1
}
xargs_run() { drive "$release/pow2bmp"; }
export -f folder_run make_run xargs_run
declare -A rate
for ((round = 0; round < runs; round++)); do
  for way in folder make xargs; do
    fresh
    read -r w _ < <(seconds bash -c "${way}_run")
    rate[$way]+="$w "
  done
  rate[ninja]+="$(ninja_run) "
done
printf '%-28s %10s %12s\n' way "median s" "files/s"
for way in folder make ninja xargs; do
  w=$(tr ' ' '\n' <<<"${rate[$way]}" | grep . | median)
  case $way in
    folder) label="folder run (-j $jobs)" ;;
    make) label="make -j$jobs (examples/make)" ;;
    ninja) label="ninja -j$jobs (examples/cmake)" ;;
    xargs) label="xargs -P $jobs" ;;
  esac
  printf '%-28s %10.3f %12s\n' "$label" "$w" "$(per_second "$w")"
done
echo "(a folder run's figure is without its closing pause: --no-pause)"

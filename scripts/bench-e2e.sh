#!/bin/sh
# End-to-end benchmark: the release pow2bmp converting the corpus, against ImageMagick doing the
# same job file by file (decode, pad to power-of-two sides by repeating the edge pixels, picture
# at the bottom-left as pow2bmp places it, write an uncompressed BMP). Wall time and peak
# resident memory come from GNU time -v.
#
# Usage: scripts/bench-e2e.sh [corpus-folder] [work-folder]
#        (defaults: build/bench-corpus, build/bench-e2e; the report also goes to
#        <work-folder>/e2e.txt)
# The batch is timed with -j 1 and -j N for every N up to the CPU count, and ImageMagick one file
# at a time and under GNU parallel with the same N.
# Paired runs: for the folder (and every folder in PAIRED_FOLDERS, blank-separated), -j 1 and
# -j 2 in turn, A B A B, REPEATS pairs, with --no-pause, on the whole folder and on its largest
# file (in bytes) alone; the ratio -j 2 / -j 1 is taken pair by pair and its median reported, so
# a drift of the machine's speed touches both sides of a ratio alike.
# Environment: REPEATS (batch runs, median taken; default 3), PER_FILE=0 skips the per-file
#   table, PAIRED_ONLY=1 runs only the paired runs (no ImageMagick, no floor, no per-file table), POW2BMP=<binary> uses that program instead of building the release one in BUILD_DIR
#   (default build/bench) from SOURCE_DIR (default: this checkout), FLOOR_BENCH=<binary> the
#   floor program (built beside the release pow2bmp unless given; FLOOR_BENCH=none skips the
#   floor), NO_INSTALL=1, KEEP=1 keeps
#   the BMP files both programs wrote (<work-folder>/bmp and im-bmp, about 1 GB each).
#
# pow2bmp pauses 2 s before it exits, by design. That pause (with start-up) is measured on an
# empty img/ folder and subtracted: the tables give the raw wall time and the time without it.
# pow2bmp stops at the first file it cannot convert, so every corpus file must be one it takes
# (8-bit RGB/RGBA PNG, JPEG, 24/32-bit TGA and BMP); a refusal stops this script.
#
# Word splitting of "set -- $(...)" is meant: it takes the fields of a measurement apart.
# shellcheck disable=SC2046
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
corpus=$(cd "${1:-$root/build/bench-corpus}" && pwd)
work=${2:-$root/build/bench-e2e}
repeats=${REPEATS:-3}
per_file=${PER_FILE:-1}
convert=/usr/bin/convert   # Debian's ImageMagick; /usr/local/bin may hold something else
identify=/usr/bin/identify

if [ "${NO_INSTALL:-0}" != 1 ]; then
  "$root/scripts/install-deps.sh" time imagemagick cmake g++ libjpeg-dev parallel
fi

if [ -z "${POW2BMP:-}" ]; then
  build=${BUILD_DIR:-$root/build/bench}
  cmake -S "${SOURCE_DIR:-$root}" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DPOW2BMP_BUILD_FUZZ=OFF -DPOW2BMP_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target pow2bmp floor_bench >/dev/null
  POW2BMP=$build/pow2bmp
  FLOOR_BENCH=${FLOOR_BENCH:-$build/bench/floor_bench}
fi
floor_bench=${FLOOR_BENCH:-none}
pow2bmp=$(cd "$(dirname "$POW2BMP")" && pwd)/$(basename "$POW2BMP")

mkdir -p "$work"
work=$(cd "$work" && pwd)
report="$work/e2e.txt"
: > "$report"
say() { printf '%s\n' "$*" | tee -a "$report"; }

# timed <log> <command...>: runs the command under GNU time -v in the current folder and prints
# "<wall seconds> <peak RSS KiB>"; fails when the command fails. The wall time is read from the
# clock around it, to the millisecond: GNU time gives hundredths, too coarse for a 0.1 s file.
timed() {
  log=$1
  shift
  start=$(date +%s%N)
  if ! /usr/bin/time -v -o "$log" "$@" >"$log.out" 2>&1; then
    echo "failed: $*" >&2
    cat "$log.out" >&2
    return 1
  fi
  end=$(date +%s%N)
  awk -v ns=$((end - start)) '/Maximum resident set size/ { rss = $NF }
       END { printf "%.3f %d\n", ns / 1e9, rss }' "$log"
}

# Median of the first fields of the lines on stdin; largest of the second fields.
median_wall_max_rss() {
  sort -n | awk '{ wall[NR] = $1; if ($2 > rss) rss = $2 }
    END { m = (NR % 2) ? wall[(NR + 1) / 2] : (wall[NR / 2] + wall[NR / 2 + 1]) / 2
          printf "%.3f %d\n", m, rss }'
}

# The pow2bmp job done by ImageMagick, as a small script both passes run:
#   sh im-pad.sh <input> <output.bmp>
# The viewport starts (padded height - height) rows above the picture, so the picture sits at
# the bottom-left as pow2bmp places it; the virtual pixels outside it repeat the edge pixels;
# point sampling keeps every value exact (checked byte for byte against pow2bmp per file).
# -auto-orient: ImageMagick 6 keeps a TGA's rows in stored order and only notes the orientation.
# Debian's policy caps ImageMagick at 256 MiB of memory and 1 GiB of disk, which an 8192x8192
# picture passes; a policy of our own beside the job lifts the caps (the width and height caps
# stay), so ImageMagick neither refuses such a picture nor pages it through a disk cache.
write_imagemagick_job() {
  cat > "$(dirname "$1")/policy.xml" <<EOF
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="disk" value="16GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
</policymap>
EOF
  cat > "$1" <<EOF
set -eu
export MAGICK_CONFIGURE_PATH="$(dirname "$1")"
set -- "\$1" "\$2" \$($identify -format '%w %h' "\$1")
w=4; while [ "\$w" -lt "\$3" ]; do w=\$((w * 2)); done
h=4; while [ "\$h" -lt "\$4" ]; do h=\$((h * 2)); done
exec $convert "\$1" -auto-orient -virtual-pixel edge -filter point \\
  -set option:distort:viewport "\${w}x\${h}+0-\$((h - \$4))" \\
  -distort SRT 0 +repage -define bmp3:alpha=true "BMP3:\$2"
EOF
}

# same_pixels <pow2bmp.bmp> <imagemagick.bmp>: "yes" when the pixel arrays (from byte 54 on;
# the pixels-per-metre fields of the headers differ by design) are equal, "yes*" when they differ
# only in the colour of fully transparent pixels (ImageMagick writes those black), else "no".
same_pixels() {
  python3 - "$1" "$2" <<'EOF'
import struct, sys
ours, theirs = (open(path, 'rb').read() for path in sys.argv[1:3])
bits = struct.unpack('<H', ours[28:30])[0]
if len(ours) != len(theirs) or bits != struct.unpack('<H', theirs[28:30])[0]:
    print('no')
elif ours[54:] == theirs[54:]:
    print('yes')
elif bits == 32 and all(ours[i:i + 4] == theirs[i:i + 4] or (ours[i + 3] == 0 and theirs[i + 3] == 0)
                        for i in range(54, len(ours) - 3, 4)):
    print('yes*')
else:
    print('no')
EOF
}

# median_of: the median of the numbers on stdin, one a line.
median_of() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit }
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f\n", m }'
}

# paired_runs <label> <folder holding img/>: -j 1 and -j 2 in turn, REPEATS pairs; one line with
# the median wall times of each and the median, smallest and largest of the pair ratios.
paired_runs() {
  label=$1
  cd "$2"
  : > "$work/pair-1.txt"
  : > "$work/pair-2.txt"
  : > "$work/pair-ratio.txt"
  for _ in $(seq "$repeats"); do
    rm -rf bmp
    set -- $(timed "$work/time.log" "$pow2bmp" --no-pause -j 1)
    one=$1
    rm -rf bmp
    set -- $(timed "$work/time.log" "$pow2bmp" --no-pause -j 2)
    two=$1
    echo "$one" >> "$work/pair-1.txt"
    echo "$two" >> "$work/pair-2.txt"
    awk -v a="$two" -v b="$one" 'BEGIN { if (b > 0) printf "%.3f\n", a / b }' >> "$work/pair-ratio.txt"
  done
  rm -rf bmp
  cd "$work"
  ratios=$(sort -n "$work/pair-ratio.txt" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s-%s", lo, hi }')
  say "$(printf '%-44s %9s %9s %9s %13s' "$label" "$(median_of < "$work/pair-1.txt")" \
    "$(median_of < "$work/pair-2.txt")" "$(median_of < "$work/pair-ratio.txt")" "$ratios")"
}

# paired_folder <corpus folder>: paired runs on the whole folder and on its largest file alone.
paired_folder() {
  rm -rf "$work/pair"
  mkdir -p "$work/pair/all/img" "$work/pair/largest/img"
  find "$1" -maxdepth 1 -type f ! -name '.*' -exec cp {} "$work/pair/all/img/" \;
  largest=$(find "$work/pair/all/img" -type f -printf '%s %f\n' | sort -n | tail -1 | cut -d' ' -f2-)
  cp "$work/pair/all/img/$largest" "$work/pair/largest/img/"
  paired_runs "$(basename "$1"), $(find "$work/pair/all/img" -type f | wc -l) files" "$work/pair/all"
  paired_runs "  largest alone: $largest" "$work/pair/largest"
  rm -rf "$work/pair"
}

# The same folder for both: img/ holds a copy of every corpus picture.
rm -rf "$work/img" "$work/bmp" "$work/im-bmp" "$work/empty" "$work/one"
mkdir -p "$work/img" "$work/empty/img" "$work/im-bmp"
find "$corpus" -maxdepth 1 -type f ! -name '.*' -exec cp {} "$work/img/" \;
count=$(find "$work/img" -type f | wc -l)
bytes=$(cat "$work/img"/* | wc -c)

say "bench-e2e $(date -u '+%Y-%m-%d %H:%M UTC'): $count files, $bytes bytes, from $corpus"
say "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
say "pow2bmp: $pow2bmp; ImageMagick: $("$convert" -version | head -1 | cut -d' ' -f2-3)"

# --- paired: -j 1 against -j 2, the whole folder and its largest file alone ---------------------
say "Paired runs, -j 1 and -j 2 in turn, $repeats pairs, --no-pause (wall s: medians; ratio: per pair)"
say "$(printf '%-44s %9s %9s %9s %13s' folder '-j 1 s' '-j 2 s' '-j2/-j1' 'ratio range')"
paired_folder "$corpus"
for folder in ${PAIRED_FOLDERS:-}; do
  paired_folder "$(cd "$folder" && pwd)"
done
say "  [goals: whole folder -j 2 / -j 1 at most 0.67; largest file alone at most 0.75]"
say ""
if [ "${PAIRED_ONLY:-0}" = 1 ]; then
  rm -rf "$work/img" "$work/empty"
  exit 0
fi

write_imagemagick_job "$work/im-pad.sh"

# --- pause and start-up: pow2bmp on an empty img/ ---------------------------------------------
cd "$work/empty"
: > "$work/runs.txt"
for _ in $(seq "$repeats"); do timed "$work/time.log" "$pow2bmp" >> "$work/runs.txt"; done
set -- $(median_wall_max_rss < "$work/runs.txt")
overhead=$1
say "pow2bmp on an empty img/ (2 s pause + start-up): median ${overhead} s, peak RSS $2 KiB"
say ""

# --- batch: the whole folder, -j 1 .. -j nproc -------------------------------------------------
cd "$work"
cpus=$(nproc)
say "Batch, all $count files, median of $repeats runs (peak RSS: largest of the runs)"
say "$(printf '%-40s %10s %14s %14s' program 'wall s' 'wall - pause s' 'peak RSS MiB')"
jobs=1
while [ "$jobs" -le "$cpus" ]; do
  : > "$work/runs.txt"
  for _ in $(seq "$repeats"); do
    rm -rf "$work/bmp"
    timed "$work/time.log" "$pow2bmp" -j "$jobs" >> "$work/runs.txt"
  done
  converted=$(find "$work/bmp" -type f | wc -l)
  if [ "$converted" -ne "$count" ]; then
    say "pow2bmp -j $jobs converted only $converted of $count files; its output:"
    tee -a "$report" < "$work/time.log.out"
    exit 1
  fi
  set -- $(median_wall_max_rss < "$work/runs.txt")
  net=$(awk -v a="$1" -v b="$overhead" 'BEGIN { printf "%.2f", a - b }')
  eval "p_net_$jobs=$net"
  say "$(printf '%-40s %10s %14s %14d' "pow2bmp -j $jobs" "$1" "$net" $(($2 / 1024)))"
  jobs=$((jobs + 1))
done

: > "$work/runs.txt"
for _ in $(seq "$repeats"); do
  rm -f "$work/im-bmp"/*
  # shellcheck disable=SC2016
  timed "$work/time.log" sh -c '
    for file in img/*; do
      name=$(basename "$file")
      sh im-pad.sh "$file" "im-bmp/${name%.*}.bmp" || exit 1
    done' >> "$work/runs.txt"
done
set -- $(median_wall_max_rss < "$work/runs.txt")
i_wall=$1
say "$(printf '%-40s %10s %14s %14d' 'ImageMagick convert, one file at a time' "$1" "$1" $(($2 / 1024)))"

# GNU parallel with the same number of jobs: peak RSS is that of the largest single process.
jobs=2
while [ "$jobs" -le "$cpus" ]; do
  : > "$work/runs.txt"
  for _ in $(seq "$repeats"); do
    rm -f "$work/im-bmp"/*
    # shellcheck disable=SC2016
    timed "$work/time.log" sh -c "ls img | parallel -j $jobs --halt now,fail=1 \
      'sh im-pad.sh img/{} im-bmp/{.}.bmp'" >> "$work/runs.txt"
  done
  set -- $(median_wall_max_rss < "$work/runs.txt")
  eval "i_par_$jobs=$1"
  say "$(printf '%-40s %10s %14s %14d' "ImageMagick under GNU parallel -j $jobs" "$1" "$1" $(($2 / 1024)))"
  jobs=$((jobs + 1))
done

# --- the floor: decodeImage on every file plus writing the output bytes from one buffer -------
if [ "$floor_bench" != none ]; then
  : > "$work/runs.txt"
  : > "$work/floor.txt"
  for _ in $(seq "$repeats"); do
    rm -rf "$work/floor-out"
    timed "$work/time.log" "$floor_bench" img floor-out >> "$work/runs.txt"
    cat "$work/time.log.out" >> "$work/floor.txt"
  done
  rm -rf "$work/floor-out"
  set -- $(median_wall_max_rss < "$work/runs.txt")
  floor_rss=$2
  decode=$(cut -d' ' -f1 "$work/floor.txt" | sed 's/$/ 0/' | median_wall_max_rss | cut -d' ' -f1)
  write=$(cut -d' ' -f2 "$work/floor.txt" | sed 's/$/ 0/' | median_wall_max_rss | cut -d' ' -f1)
  set -- "$decode" "$write" "$(awk -v a="$decode" -v b="$write" 'BEGIN { printf "%.2f", a + b }')"
  floor=$3
  say "$(printf '%-40s %10s %14s %14d' "floor: decode $1 s + write $2 s" "$3" "$3" $((floor_rss / 1024)))"
fi

say ""
say "Ratios (pow2bmp without the pause), goals on a 2-CPU machine in brackets:"
say "  -j 1 / -j $cpus: $(eval "awk -v a=\"\$p_net_1\" -v b=\"\$p_net_$cpus\" 'BEGIN { printf \"%.2f\", a / b }'")  [-j 2: at least 1.5; 1.7 on the corpus]"
say "  ImageMagick one at a time / pow2bmp -j $cpus: $(eval "awk -v a=\"$i_wall\" -v b=\"\$p_net_$cpus\" 'BEGIN { printf \"%.1f\", a / b }'")  [at least 30]"
say "  ImageMagick one at a time / pow2bmp -j 1: $(awk -v a="$i_wall" -v b="$p_net_1" 'BEGIN { printf "%.1f", a / b }')"
if [ "$cpus" -ge 2 ]; then
  say "  ImageMagick under GNU parallel -j $cpus / pow2bmp -j $cpus: $(eval "awk -v a=\"\$i_par_$cpus\" -v b=\"\$p_net_$cpus\" 'BEGIN { printf \"%.1f\", a / b }'")  [at least 10]"
fi
if [ "$floor_bench" != none ]; then
  say "  pow2bmp -j 1 / floor: $(awk -v a="$p_net_1" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')  [at most 1.3]"
fi
say ""

# --- per file: one run each -------------------------------------------------------------------
if [ "$per_file" = 1 ]; then
  say "Per file, one run each (pow2bmp alone on an img/ holding just that file, pause subtracted)"
  say "$(printf '%-40s %11s %9s %11s %9s %8s %5s' file 'pow2bmp s' 'RSS MiB' 'IM s' 'RSS MiB' 'IM/ours' same)"
  for file in "$work/img"/*; do
    name=$(basename "$file")
    stem=${name%.*}
    rm -rf "$work/one"
    mkdir -p "$work/one/img"
    cp "$file" "$work/one/img/"
    cd "$work/one"
    set -- $(timed "$work/time.log" "$pow2bmp")
    ours=$(awk -v a="$1" -v b="$overhead" 'BEGIN { d = a - b; if (d < 0.01) print "<0.01"; else printf "%.2f", d }')
    ours_rss=$2
    cd "$work"
    set -- $(timed "$work/time.log" sh "$work/im-pad.sh" "$file" "$work/one/im.bmp")
    theirs=$1
    theirs_rss=$2
    same=$(same_pixels "$work/one/bmp/$stem.bmp" "$work/one/im.bmp")
    say "$(printf '%-40s %11s %9d %11s %9d %8s %5s' "$name" "$ours" $((ours_rss / 1024)) \
      "$theirs" $((theirs_rss / 1024)) \
      "$(awk -v a="$theirs" -v b="$ours" 'BEGIN { if (b + 0 >= 0.01) printf "%.1f", a / b; else print "-" }')" \
      "$same")"
  done
  say ""
  say "same: yes = the BMP pixel arrays of pow2bmp and ImageMagick are byte for byte equal;"
  say "      yes* = equal but for the colour of fully transparent pixels (ImageMagick writes 0,0,0)"
fi
# The BMP files come to about 1 GB per program: dropped unless KEEP=1.
rm -rf "$work/one" "$work/empty"
if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work/bmp" "$work/im-bmp"; fi

#!/bin/sh
# Builds the "unseen" benchmark sets: pictures the converter was never tuned on, taken from
# Debian packages (GNOME help screenshots, game sprites and textures, desktop wallpapers).
# Usage: scripts/bench-unseen.sh [output-folder]      (default: build/bench-unseen)
#        FORCE=1 scripts/bench-unseen.sh ...          rebuilds every picture
#
# It makes two folders:
#   <output-folder>/decode/   the decoder set, 28 PNG and 29 JPEG (decode_bench --fresh):
#     png-shot-NAME.png    10 GNOME help screenshots as shipped: the largest 8-bit RGB or RGBA
#                          ones, shell-workspaces.png always among them
#     png-game-NAME.png    18 game sprites and textures as shipped, 9 of frozen-bubble-data and
#                          9 of pingus-data: a few named ones, then the largest; 8-bit RGB or
#                          RGBA, not interlaced (palette, grey and 16-bit files are left out)
#     jpeg-game-NAME.jpg   11 pingus-data JPEG as shipped: two named ones, then the largest
#     jpeg-{base,prog}-{420,422,444}-q85-NAME-256x256.jpg
#                          18 made with cjpeg at quality 85 from 3 game pictures, cut to 256x256
#   <output-folder>/e2e/img/  every file of decode/ and four wallpapers, 61 files: run
#                          `pow2bmp` (or bench-e2e.sh's PAIRED_FOLDERS) in <output-folder>/e2e
#     png-wall-wood-l-4096x2304.png, png-wall-adwaita-l-2560x1440.png  gnome-backgrounds WebP
#                          written as PNG; jpeg-wall-NAME.jpg  two mate-backgrounds JPEG as shipped
#
# The downloaded packages and their unpacked files stay in <output-folder>/.cache so a second
# run downloads nothing. A picture that already exists is kept, so the script can be rerun at
# will; the same Debian release gives the same bytes (the PNG files written here leave out the
# date and time chunks). Files of the two folders that are not part of the sets are removed.
#
# Nothing made here is committed: the output folder lies under build/.
set -eu

out=${1:-build/bench-unseen}
force=${FORCE:-0}
convert=/usr/bin/convert   # Debian's ImageMagick; /usr/local/bin may hold something else
cjpeg=/usr/bin/cjpeg

# --- tools --------------------------------------------------------------------------------
"$(dirname "$0")/install-deps.sh" imagemagick libjpeg-turbo-progs

# --- source packages ----------------------------------------------------------------------
# About 120 MB of downloads in all.
packages="gnome-user-docs frozen-bubble-data pingus-data gnome-backgrounds mate-backgrounds"
cache="$out/.cache"
# shellcheck disable=SC2086
"$(dirname "$0")/unpack-debs.sh" "$cache" $packages

figures="$cache/root/gnome-user-docs/usr/share/help/C/gnome-help/figures"
bubble="$cache/root/frozen-bubble-data/usr/share/games/frozen-bubble/gfx"
pingus="$cache/root/pingus-data/usr/share/games/pingus/data/images"
gnome="$cache/root/gnome-backgrounds/usr/share/backgrounds/gnome"
mate="$cache/root/mate-backgrounds/usr/share/backgrounds/mate"

decode="$out/decode"
e2e="$out/e2e/img"
mkdir -p "$decode" "$e2e"

# --- choosing -----------------------------------------------------------------------------
# largest <folder> <name pattern>: "bytes path" of every matching file below the folder,
# largest first, equal sizes in byte order of their paths.
largest() {
  find "$1" -type f -name "$2" -exec wc -c {} + | awk '$2 != "total"' | LC_ALL=C sort -k1,1nr -k2,2
}

# plain_png <file>: 8-bit RGB or RGBA, not interlaced, as its IHDR chunk says (bytes 24 to 28:
# depth, colour type, compression, filter, interlace).
plain_png() {
  # shellcheck disable=SC2046
  set -- $(od -An -tu1 -j12 -N17 "$1")
  [ $# -eq 17 ] && [ "$1 $2 $3 $4" = "73 72 68 82" ] && [ "${13}" = 8 ] &&
    { [ "${14}" = 2 ] || [ "${14}" = 6 ]; } && [ "${17}" = 0 ]
}

# jpeg_file <file>: starts with a JPEG start-of-image marker.
jpeg_file() {
  [ "$(od -An -tx1 -N3 "$1" | tr -d ' ')" = ffd8ff ]
}

# Must-have files that were missing or unfit, for the summary (choose runs in a subshell).
notes="$cache/notes"
: > "$notes"
note() {
  echo "note: $*" >&2
  echo "  $*" >> "$notes"
}

# choose <count> <check> <folder> <pattern> [must-have path below the folder ...]
# Prints the chosen paths: the must-have files first, then the largest files that pass the
# check (plain_png or jpeg_file), each file name at most once. A must-have file that is missing
# or fails the check is noted and its place goes to the next largest.
choose() {
  want=$1 check=$2 folder=$3 pattern=$4
  shift 4
  chosen="" names=" " count=0
  for must in "$@"; do
    if [ ! -f "$folder/$must" ]; then
      note "$folder/$must is not in its package; the next largest file takes its place"
    elif ! "$check" "$folder/$must"; then
      note "$folder/$must is not of the form this set needs; the next largest file takes its place"
    else
      chosen="$chosen$folder/$must
"
      names="$names$(basename "$must") "
      count=$((count + 1))
    fi
  done
  # Nothing but the paths goes to the standard output, and the loop runs in this shell.
  largest "$folder" "$pattern" > "$cache/candidates"
  while [ "$count" -lt "$want" ] && read -r _ path; do
    name=$(basename "$path")
    case "$names" in *" $name "*) continue ;; esac
    "$check" "$path" || continue
    chosen="$chosen$path
"
    names="$names$name "
    count=$((count + 1))
  done < "$cache/candidates"
  rm -f "$cache/candidates"
  if [ "$count" -lt "$want" ]; then
    echo "only $count of $want files of $folder/$pattern fit" >&2
    exit 1
  fi
  printf '%s' "$chosen"
}

# --- making -------------------------------------------------------------------------------
made=0
kept=0
members=" "   # every file name of the decoder set
# up_to_date <target>: the file exists and FORCE is not set, so there is nothing to do.
up_to_date() {
  case "$members" in *" $(basename "$1") "*) echo "two files would be $1" >&2; exit 1 ;; esac
  members="$members$(basename "$1") "
  if [ "$force" != 1 ] && [ -s "$1" ]; then kept=$((kept + 1)); return 0; fi
  made=$((made + 1))
  echo "making $1"
  return 1
}

# shipped <prefix> <extension> <path ...>: copies each file as shipped, as <prefix>-NAME.<ext>.
shipped() {
  prefix=$1 extension=$2
  shift 2
  for source in "$@"; do
    name=$(basename "$source")
    target="$decode/$prefix-${name%.*}.$extension"
    up_to_date "$target" && continue
    cp "$source" "$target.tmp"
    mv "$target.tmp" "$target"
  done
}

# small_jpeg <name> <source>: the source cut to 256x256 (scaled to cover it, the centre kept),
# then written by cjpeg at quality 85 in each subsampling, baseline and progressive.
small_jpeg() {
  for mode in base prog; do
    for sampling in 420 422 444; do
      target="$decode/jpeg-$mode-$sampling-q85-$1-256x256.jpg"
      up_to_date "$target" && continue
      case "$sampling" in
        420) sample="2x2,1x1,1x1" ;;
        422) sample="2x1,1x1,1x1" ;;
        444) sample="1x1,1x1,1x1" ;;
      esac
      if [ "$mode" = prog ]; then progressive="-progressive"; else progressive=""; fi
      # shellcheck disable=SC2086
      "$convert" "$2" -resize '256x256^' -gravity center -extent 256x256 -alpha off -depth 8 \
        -strip PPM:- | "$cjpeg" -quality 85 -sample "$sample" $progressive -outfile "$target.tmp"
      mv "$target.tmp" "$target"
    done
  done
}

list=$(choose 10 plain_png "$figures" '*.png' shell-workspaces.png)
# shellcheck disable=SC2086
shipped png-shot png $list

list=$(choose 9 plain_png "$bubble/pinguins" '*.png' \
  wait_p2_0045.png win_p1_0045.png loose_p1_0078.png)
# shellcheck disable=SC2086
shipped png-game png $list
list=$(choose 9 plain_png "$pingus" '*.png' entrances/desert_front.png)
# shellcheck disable=SC2086
shipped png-game png $list

# The exit named sortie, when pingus-data ships it as JPEG; else the texture of that name.
if [ -f "$pingus/exits/sortie.jpg" ]; then
  sortie=exits/sortie.jpg
else
  sortie=textures/sortie.jpg
  note "exits/sortie of pingus-data is no JPEG; $sortie takes its place"
fi
list=$(choose 11 jpeg_file "$pingus" '*.jpg' worldmaps/tutorial_layer0.jpg "$sortie")
# shellcheck disable=SC2086
shipped jpeg-game jpg $list

small_jpeg anim_fire "$pingus/textures/anim_fire.jpg"
small_jpeg back_one_player "$bubble/back_one_player.png"
small_jpeg backgrnd "$bubble/backgrnd.png"

# The end-to-end folder: the decoder set and four wallpapers.
for file in $members; do
  if [ "$force" = 1 ] || ! cmp -s "$decode/$file" "$e2e/$file"; then
    cp "$decode/$file" "$e2e/$file.tmp"
    mv "$e2e/$file.tmp" "$e2e/$file"
  fi
done
walls=" "
# wall <target name> <source> <size> <crop|cover>: a WebP written as PNG, cut to the size
# (crop: the centre of the picture as it is; cover: scaled to cover the size, the centre kept).
wall() {
  target="$e2e/$1"
  walls="$walls$1 "
  if [ "$force" != 1 ] && [ -s "$target" ]; then kept=$((kept + 1)); return 0; fi
  made=$((made + 1))
  echo "making $target"
  if [ "$4" = crop ]; then
    "$convert" "$2" -gravity center -crop "$3+0+0" +repage \
      -define png:exclude-chunks=date,time "PNG:$target.tmp"
  else
    "$convert" "$2" -resize "$3^" -gravity center -extent "$3" \
      -define png:exclude-chunks=date,time "PNG:$target.tmp"
  fi
  mv "$target.tmp" "$target"
}
wall png-wall-wood-l-4096x2304.png "$gnome/wood-l.webp" 4096x2304 crop
wall png-wall-adwaita-l-2560x1440.png "$gnome/adwaita-l.webp" 2560x1440 cover
for source in "$mate/nature/TwoWings.jpg" "$mate/nature/Blinds.jpg"; do
  name=$(basename "$source" .jpg)
  walls="${walls}jpeg-wall-$name.jpg "
  if [ "$force" = 1 ] || ! cmp -s "$source" "$e2e/jpeg-wall-$name.jpg"; then
    echo "making $e2e/jpeg-wall-$name.jpg"
    made=$((made + 1))
    cp "$source" "$e2e/jpeg-wall-$name.jpg.tmp"
    mv "$e2e/jpeg-wall-$name.jpg.tmp" "$e2e/jpeg-wall-$name.jpg"
  else
    kept=$((kept + 1))
  fi
done

# Files left from other versions of the sets go.
for file in "$decode"/* "$e2e"/*; do
  [ -f "$file" ] || continue
  case "$file" in "$decode"/*) keep=$members ;; *) keep="$members$walls" ;; esac
  case "$keep" in *" $(basename "$file") "*) continue ;; esac
  echo "removing $file: not part of the sets"
  rm -f "$file"
done

# --- checks -------------------------------------------------------------------------------
count_of() { find "$1" -maxdepth 1 -type f -name "$2" | wc -l; }
png_count=$(count_of "$decode" '*.png')
jpeg_count=$(count_of "$decode" '*.jpg')
e2e_count=$(count_of "$e2e" '*')
bad=0
for file in "$decode"/*.png "$e2e"/*.png; do
  plain_png "$file" || { echo "not 8-bit RGB or RGBA, or interlaced: $file"; bad=1; }
done
for file in "$decode"/*.jpg "$e2e"/*.jpg; do
  jpeg_file "$file" || { echo "not a JPEG file: $file"; bad=1; }
done
if [ "$png_count" -ne 28 ] || [ "$jpeg_count" -ne 29 ] || [ "$e2e_count" -ne 61 ]; then
  echo "expected 28 PNG and 29 JPEG in $decode and 61 files in $e2e"
  bad=1
fi

{
  echo "# Source packages"
  for package in $packages; do basename "$cache/debs/${package}_"*.deb; done
  echo "# Pictures"
  (cd "$out" && for file in decode/* e2e/img/*; do
    printf '%s %s %s\n' "$(sha256sum "$file" | cut -c1-16)" "$(wc -c < "$file")" "$file"
  done)
} > "$out/.manifest"

# --- summary ------------------------------------------------------------------------------
bytes_of() { find "$1" -maxdepth 1 -type f -exec cat {} + | wc -c; }
largest_line() {
  largest "$1" '*' | head -n 1 | awk '{ n = split($2, p, "/"); print p[n] " (" $1 " bytes)" }'
}
echo "unseen decode set: $decode: $png_count PNG, $jpeg_count JPEG, $(bytes_of "$decode") bytes;" \
  "largest $(largest_line "$decode")"
echo "unseen end-to-end set: $e2e: $e2e_count files, $(bytes_of "$e2e") bytes;" \
  "largest $(largest_line "$e2e")"
echo "($made made, $kept kept; list in $out/.manifest)"
if [ -s "$notes" ]; then echo "substituted:"; cat "$notes"; fi
exit "$bad"

#!/bin/sh
# Builds the benchmark corpus: pictures taken from Debian packages (wallpapers, artwork, game
# textures), converted with ImageMagick and cjpeg into the formats the converter reads.
# Usage: scripts/bench-corpus.sh [output-folder]      (default: build/bench-corpus)
#        FORCE=1 scripts/bench-corpus.sh ...          rebuilds every picture
#
# The pictures land at the top of the output folder; the downloaded packages and their
# unpacked files stay in <output-folder>/.cache so a second run downloads nothing. A picture
# that already exists is kept, so the script can be rerun at will; the same Debian release
# gives the same bytes (date and time chunks are left out of the PNG files).
#
# Nothing made here is committed: the output folder lies under build/.
set -eu

out=${1:-build/bench-corpus}
force=${FORCE:-0}
convert=/usr/bin/convert   # Debian's ImageMagick; /usr/local/bin may hold something else
cjpeg=/usr/bin/cjpeg
djpeg=/usr/bin/djpeg

# --- tools --------------------------------------------------------------------------------
"$(dirname "$0")/install-deps.sh" imagemagick libjpeg-turbo-progs python3 optipng pngcrush zopfli

# --- source packages ----------------------------------------------------------------------
# About 90 MB of downloads in all.
packages="desktop-base ukui-wallpapers lomiri-wallpapers extremetuxracer-data neverball-data"
cache="$out/.cache"
# shellcheck disable=SC2086
"$(dirname "$0")/unpack-debs.sh" "$cache" $packages

ukui="$cache/root/ukui-wallpapers/usr/share/backgrounds"
lomiri="$cache/root/lomiri-wallpapers/usr/share/backgrounds"
desktop="$cache/root/desktop-base/usr/share"
etr="$cache/root/extremetuxracer-data/usr/share/games/etr"
neverball="$cache/root/neverball-data/usr/share/games/neverball"

# --- conversions --------------------------------------------------------------------------
# Every picture is first brought to its size: "keep" leaves it, WxH scales it to cover WxH
# and crops the centre. All outputs are 8 bits per channel.
size_args() {
  if [ "$1" = keep ]; then echo "-depth 8"; else echo "-resize $1^ -gravity center -extent $1 -depth 8"; fi
}

made=0
kept=0
# target path exists and FORCE is not set: nothing to do.
up_to_date() {
  if [ "$force" != 1 ] && [ -s "$1" ]; then kept=$((kept + 1)); return 0; fi
  made=$((made + 1))
  echo "making $(basename "$1")"
  return 1
}

# png <name> <source> <size> <RGB|RGBA> <zlib level> <none|adam7> [filter]
# filter: 0..4 gives every scanline that filter type, 5 (the default) chooses per scanline.
png() {
  target="$out/$1.png"
  up_to_date "$target" && return 0
  if [ "$4" = RGBA ]; then kind="PNG32"; alpha="-alpha set"; else kind="PNG24"; alpha="-alpha off"; fi
  if [ "$6" = adam7 ]; then interlace="-interlace PNG"; else interlace="-interlace none"; fi
  # shellcheck disable=SC2046,SC2086
  "$convert" "$2" $(size_args "$3") $alpha -strip $interlace \
    -define png:compression-level="$5" -define png:compression-filter="${7:-5}" \
    -define png:exclude-chunks=date,time \
    "$kind:$target.tmp"
  mv "$target.tmp" "$target"
}

# recode <name> <corpus PNG without .png> <optipng|pngcrush|zopflipng>
# The same picture written again by another encoder, keeping 8-bit true colour (zopflipng may
# drop an alpha channel that is opaque everywhere; the checks below accept either).
recode() {
  target="$out/$1.png"
  up_to_date "$target" && return 0
  source="$out/$2.png"
  rm -f "$target.tmp.png"
  case "$3" in
    optipng) optipng -quiet -o2 -nc -nb -strip all -out "$target.tmp.png" "$source" ;;
    pngcrush) pngcrush -q -noreduce "$source" "$target.tmp.png" ;;
    zopflipng) zopflipng -y --iterations=2 "$source" "$target.tmp.png" >/dev/null ;;
  esac
  mv "$target.tmp.png" "$target"
}

# jpeg <name> <source> <size> <420|444> <baseline|progressive>
jpeg() {
  target="$out/$1.jpg"
  up_to_date "$target" && return 0
  if [ "$4" = 420 ]; then sample="2x2,1x1,1x1"; else sample="1x1,1x1,1x1"; fi
  if [ "$5" = progressive ]; then mode="-progressive"; else mode="-baseline"; fi
  if [ "$3" = 8192x8192 ]; then
    # Beyond Debian ImageMagick's pixel cache limits: made at 4096x4096, enlarged 2x by djpeg.
    # shellcheck disable=SC2046
    "$convert" "$2" $(size_args 4096x4096) -alpha off -strip PPM:- |
      "$cjpeg" -quality 100 -sample 1x1,1x1,1x1 | "$djpeg" -scale 2/1 -pnm |
      "$cjpeg" -quality 90 -sample "$sample" -optimize "$mode" -outfile "$target.tmp"
  else
    # shellcheck disable=SC2046
    "$convert" "$2" $(size_args "$3") -alpha off -strip PPM:- |
      "$cjpeg" -quality 90 -sample "$sample" -optimize "$mode" -outfile "$target.tmp"
  fi
  mv "$target.tmp" "$target"
}

# tga <name> <source> <size> <RGB|RGBA> <raw|rle> <top|bottom>
# ImageMagick 6 stores the rows in memory order and only labels them with the picture's
# orientation (descriptor bit 5), so "bottom" flips the picture first: the file then holds the
# bottom row first, labelled so, and every reader sees the picture the right way up.
tga() {
  target="$out/$1.tga"
  up_to_date "$target" && return 0
  if [ "$4" = RGBA ]; then type="-alpha set -type TrueColorAlpha"; else type="-alpha off -type TrueColor"; fi
  if [ "$5" = rle ]; then compress="RLE"; else compress="None"; fi
  if [ "$6" = bottom ]; then orient="-flip -orient BottomLeft"; else orient="-orient TopLeft"; fi
  # shellcheck disable=SC2046,SC2086
  "$convert" "$2" $(size_args "$3") $type $orient -compress "$compress" "TGA:$target.tmp"
  mv "$target.tmp" "$target"
}

# bmp <name> <source> <size> <24|32>
bmp() {
  target="$out/$1.bmp"
  up_to_date "$target" && return 0
  if [ "$4" = 32 ]; then
    type="-alpha set -type TrueColorAlpha -define bmp3:alpha=true"
  else
    type="-alpha off -type TrueColor"
  fi
  # shellcheck disable=SC2046,SC2086
  "$convert" "$2" $(size_args "$3") $type "BMP3:$target.tmp"
  mv "$target.tmp" "$target"
}

mkdir -p "$out"

# PNG, true colour, zlib level 6, adaptive filters.
png png-rgb-l6-rhythm-3840x2400      "$ukui/rhythm.jpg"                 keep      RGB  6 none
png png-rgb-l6-calla-3700x2400       "$ukui/calla.png"                  keep      RGB  6 none
png png-rgb-l6-warty-4096x4096       "$lomiri/warty-final-ubuntu.png"   4096x4096 RGB  6 none
png png-rgb-l6-softwaves-1920x1080   "$desktop/desktop-base/softwaves-theme/grub/grub-16x9.png" keep RGB 6 none
png png-rgb-l6-skybox-1024x1024      "$etr/env/etr/night/frontH.png"    keep      RGB  6 none
png png-rgb-l6-string-2048x2048      "$ukui/string.jpg"                 2048x2048 RGB  6 none
png png-rgb-l6-pave-256x256          "$etr/terrains/pave02.png"         keep      RGB  6 none
png png-rgb-l6-museum-256x256        "$neverball/shot-fwp/museum.png"   keep      RGB  6 none
# PNG, true colour with alpha, level 6.
png png-rgba-l6-emerald-1689x1800    "$desktop/plymouth/themes/emerald/logo+emerald.png" keep RGBA 6 none
png png-rgba-l6-glow-800x800         "$desktop/plymouth/themes/emerald/glow.png" keep RGBA 6 none
png png-rgba-l6-herring-512x512      "$etr/objects/herring.png"         keep      RGBA 6 none
png png-rgba-l6-goldfish-3640x2400   "$ukui/goldfish.png"               keep      RGBA 6 none
png png-rgba-l6-fluent-2048x1536     "$ukui/fluent-color.png"           2048x1536 RGBA 6 none
# PNG, level 9.
png png-rgb-l9-focal-3840x2400       "$ukui/focal-ubuntukylin.png"      keep      RGB  9 none
png png-rgb-l9-lomiri-4096x2304      "$lomiri/lomiri-default-background.png" keep RGB 9 none
png png-rgba-l9-splash-512x512       "$etr/textures/splash_1.png"       keep      RGBA 9 none
# PNG, Adam7-interlaced, level 6.
png png-adam7-rgb-calla-1850x1200    "$ukui/calla.png"                  1850x1200 RGB  6 adam7
png png-adam7-rgb-skybox-1024x1024   "$etr/env/etr/sunny/frontH.png"    keep      RGB  6 adam7
png png-adam7-rgba-emerald-1024x1024 "$desktop/plymouth/themes/emerald/logo+emerald.png" 1024x1024 RGBA 6 adam7
# PNG, one filter type for every scanline (ImageMagick's 0..4), level 6.
for filter in 0 1 2 3 4; do
  png "png-rgb-l6-f$filter-string-1024x1024"   "$ukui/string.jpg"        1024x1024 RGB  6 none "$filter"
  png "png-rgba-l6-f$filter-goldfish-1024x1024" "$ukui/goldfish.png"     1024x1024 RGBA 6 none "$filter"
done
# PNG, other zlib levels: 0 (stored blocks), 1, 3, 9.
png png-rgb-l0-pave-512x512          "$etr/terrains/pave02.png"         512x512   RGB  0 none
png png-rgba-l0-herring-512x512      "$etr/objects/herring.png"         512x512   RGBA 0 none
png png-rgb-l1-rhythm-2048x2048      "$ukui/rhythm.jpg"                 2048x2048 RGB  1 none
png png-rgba-l1-goldfish-2048x2048   "$ukui/goldfish.png"               2048x2048 RGBA 1 none
png png-rgb-l3-city-2048x1280        "$ukui/city.png"                   2048x1280 RGB  3 none
png png-rgba-l3-fluent-1600x1200     "$ukui/fluent-color.png"           1600x1200 RGBA 3 none
png png-rgb-l9-mouse-1024x1024       "$ukui/the-mouse.jpg"              1024x1024 RGB  9 none
png png-rgba-l9-emerald-800x600      "$desktop/plymouth/themes/emerald/logo+emerald.png" 800x600 RGBA 9 none
# PNG, more sizes, level 6, adaptive filters.
png png-rgb-l6-museum-300x200        "$neverball/shot-fwp/museum.png"   300x200   RGB  6 none
png png-rgb-l6-calla-640x480         "$ukui/calla.png"                  640x480   RGB  6 none
png png-rgb-l6-default-800x600       "$ukui/2004default.jpg"            800x600   RGB  6 none
png png-rgb-l6-city-1280x720         "$ukui/city.png"                   1280x720  RGB  6 none
png png-rgb-l6-mouse-2560x1440       "$ukui/the-mouse.jpg"              2560x1440 RGB  6 none
png png-rgb-l6-warty-5120x2880       "$lomiri/warty-final-ubuntu.png"   5120x2880 RGB  6 none
png png-rgba-l6-herring-256x256      "$etr/objects/herring.png"         256x256   RGBA 6 none
png png-rgba-l6-goldfish-1280x720    "$ukui/goldfish.png"               1280x720  RGBA 6 none
png png-rgba-l6-fluent-2560x1600     "$ukui/fluent-color.png"           2560x1600 RGBA 6 none
# PNG, Adam7, more sizes and levels.
png png-adam7-rgb-calla-640x480      "$ukui/calla.png"                  640x480   RGB  9 adam7
png png-adam7-rgba-goldfish-2048x2048 "$ukui/goldfish.png"              2048x2048 RGBA 6 adam7
png png-adam7-rgb-rhythm-3840x2160   "$ukui/rhythm.jpg"                 3840x2160 RGB  6 adam7
# PNG from other encoders, made from pictures above.
recode png-optipng-rgb-string-1024x1024    png-rgb-l6-f0-string-1024x1024    optipng
recode png-optipng-rgba-goldfish-1280x720  png-rgba-l6-goldfish-1280x720     optipng
recode png-optipng-rgb-calla-3700x2400     png-rgb-l6-calla-3700x2400        optipng
recode png-optipng-rgb-city-1280x720       png-rgb-l6-city-1280x720          optipng
recode png-pngcrush-rgb-mouse-2560x1440    png-rgb-l6-mouse-2560x1440        pngcrush
recode png-pngcrush-rgba-fluent-2560x1600  png-rgba-l6-fluent-2560x1600      pngcrush
recode png-pngcrush-rgb-default-800x600    png-rgb-l6-default-800x600        pngcrush
recode png-pngcrush-rgba-emerald-1689x1800 png-rgba-l6-emerald-1689x1800     pngcrush
recode png-zopflipng-rgb-museum-256x256    png-rgb-l6-museum-256x256         zopflipng
recode png-zopflipng-rgba-herring-512x512  png-rgba-l6-herring-512x512       zopflipng
recode png-zopflipng-rgb-calla-640x480     png-rgb-l6-calla-640x480          zopflipng
recode png-zopflipng-rgb-string-1024x1024  png-rgb-l6-f0-string-1024x1024    zopflipng
# JPEG, quality 90.
jpeg jpeg-base-420-rhythm-3840x2400  "$ukui/rhythm.jpg"                 keep      420 baseline
jpeg jpeg-base-444-default-3840x2400 "$ukui/2004default.jpg"            keep      444 baseline
jpeg jpeg-base-420-skybox-1024x1024  "$etr/env/etr/night/frontH.png"    keep      420 baseline
jpeg jpeg-prog-420-string-3640x2400  "$ukui/string.jpg"                 keep      420 progressive
jpeg jpeg-prog-444-mouse-2048x2048   "$ukui/the-mouse.jpg"              2048x2048 444 progressive
jpeg jpeg-prog-420-pave-256x256      "$etr/terrains/pave02.png"         keep      420 progressive
jpeg jpeg-base-444-museum-256x256    "$neverball/shot-fwp/museum.png"   keep      444 baseline
jpeg jpeg-base-420-herring-256x256   "$etr/objects/herring.png"         256x256   420 baseline
jpeg jpeg-base-420-calla-512x512     "$ukui/calla.png"                  512x512   420 baseline
jpeg jpeg-base-444-city-512x512      "$ukui/city.png"                   512x512   444 baseline
jpeg jpeg-prog-420-mouse-512x512     "$ukui/the-mouse.jpg"              512x512   420 progressive
jpeg jpeg-base-420-goldfish-2048x2048 "$ukui/goldfish.png"              2048x2048 420 baseline
jpeg jpeg-base-420-warty-4096x4096   "$lomiri/warty-final-ubuntu.png"   4096x4096 420 baseline
jpeg jpeg-base-420-rhythm-8192x8192  "$ukui/rhythm.jpg"                 8192x8192 420 baseline
jpeg jpeg-prog-420-calla-8192x8192   "$ukui/calla.png"                  8192x8192 420 progressive
# TGA.
tga tga-raw-rgb-goldfish-2048x1280   "$ukui/goldfish.png"               2048x1280 RGB  raw top
tga tga-raw-rgba-herring-512x512     "$etr/objects/herring.png"         keep      RGBA raw bottom
tga tga-rle-rgb-skybox-1024x1024     "$etr/env/etr/night/frontH.png"    keep      RGB  rle bottom
tga tga-rle-rgba-emerald-1689x1800   "$desktop/plymouth/themes/emerald/logo+emerald.png" keep RGBA rle top
# BMP, uncompressed.
bmp bmp24-city-3640x2400             "$ukui/city.png"                   keep      24
bmp bmp24-museum-256x256             "$neverball/shot-fwp/museum.png"   keep      24
bmp bmp32-glow-800x800               "$desktop/plymouth/themes/emerald/glow.png" keep 32

# --- checks -------------------------------------------------------------------------------
# Every PNG must be 8-bit true colour (colour type 2 or 6) and every BMP 24 or 32 bits, the
# forms the converter accepts; a surprise from ImageMagick stops the script here.
python3 - "$out" <<'EOF'
import os, struct, sys
folder = sys.argv[1]
bad = 0
for name in sorted(os.listdir(folder)):
    path = os.path.join(folder, name)
    if name.startswith('.') or not os.path.isfile(path):
        continue
    data = open(path, 'rb').read(64)
    if name.endswith('.png'):
        depth, colour, interlace = data[24], data[25], data[28]
        ok = depth == 8 and colour in (2, 6) and interlace == (1 if '-adam7-' in name else 0)
        if '-rgb-' in name and not any(t in name for t in ('-zopflipng-',)):
            ok = ok and colour == 2
        if '-rgba-' in name and not any(t in name for t in ('-zopflipng-',)):
            ok = ok and colour == 6
    elif name.endswith('.bmp'):
        bits = struct.unpack('<H', data[28:30])[0]
        ok = bits == (32 if name.startswith('bmp32') else 24) and data[30:34] == b'\0\0\0\0'
    elif name.endswith('.tga'):
        ok = data[2] == (10 if '-rle-' in name else 2) and data[16] == (32 if '-rgba-' in name else 24)
    else:
        ok = data[:2] == b'\xff\xd8'
    if not ok:
        print('unexpected form:', name)
        bad += 1
sys.exit(1 if bad else 0)
EOF

{
  echo "# Source packages"
  for package in $packages; do basename "$cache/debs/${package}_"*.deb; done
  echo "# Pictures"
  (cd "$out" && for file in *.png *.jpg *.tga *.bmp; do
    printf '%s %s %s\n' "$(sha256sum "$file" | cut -c1-16)" "$(wc -c < "$file")" "$file"
  done)
} > "$out/.manifest"

count=$(find "$out" -maxdepth 1 -type f ! -name '.*' | wc -l)
bytes=$(find "$out" -maxdepth 1 -type f ! -name '.*' -exec cat {} + | wc -c)
echo "corpus: $out: $count pictures, $bytes bytes ($made made, $kept kept); list in $out/.manifest"

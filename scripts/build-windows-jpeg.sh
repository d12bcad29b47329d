#!/bin/sh
# Builds the Windows libraries the windows preset links, with the mingw-w64 toolchain file, into
# build/windows-deps (static libraries only, so pow2bmp.exe needs no DLL):
#   - libjpeg-turbo from Debian's own source package, SIMD on (nasm);
#   - for the cross-built tests: GoogleTest from Debian's googletest package (/usr/src/googletest)
#     and libpng from Debian's source package, over zlib from libz-mingw-w64-dev.
# The source packages come through `apt-get source` with a temporary source list made from this
# host's apt configuration (each `deb` entry turned into `deb-src`), in a temporary folder, so the
# host's own apt state is untouched. A library already built for the same source version is kept,
# so a second run only checks the stamps.
#   scripts/build-windows-jpeg.sh [install folder, default build/windows-deps]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
deps=${1:-"$root/build/windows-deps"}
case $deps in /*) ;; *) deps="$PWD/$deps" ;; esac
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
work="$root/build/windows-deps-src"
jobs=${POW2BMP_JOBS:-2}

"$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix nasm \
  libz-mingw-w64-dev googletest dpkg-dev cmake
mkdir -p "$deps" "$work"

# The candidate version of a source package, as the host's apt knows the binary package.
candidate() { apt-cache policy "$1" | sed -n 's/^ *Candidate: *//p'; }

apt_dir=""
cleanup() { [ -z "$apt_dir" ] || rm -rf "$apt_dir"; }
trap cleanup EXIT INT TERM

# apt options for a private apt state whose sources are the host's, as deb-src.
make_source_list() {
  [ -n "$apt_dir" ] && return 0
  apt_dir=$(mktemp -d)
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/cache/archives/partial"
  : >"$apt_dir/sources.list"
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list" >>"$apt_dir/sources.list"
  done
  for parts in /etc/apt/sources.list.d/*.sources; do
    [ -f "$parts" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$parts" >"$apt_dir/parts/$(basename "$parts")"
  done
  apt_options="-o Dir::Etc::SourceList=$apt_dir/sources.list -o Dir::Etc::SourceParts=$apt_dir/parts"
  apt_options="$apt_options -o Dir::State::Lists=$apt_dir/lists -o Dir::Cache=$apt_dir/cache"
  if [ "$(id -u)" -eq 0 ]; then apt_options="$apt_options -o APT::Sandbox::User=root"; fi
  # shellcheck disable=SC2086
  apt-get $apt_options -qq update
}

# Unpacks Debian's source of a package into $work/NAME-VERSION (once) and prints that folder.
fetch_source() {
  name=$1
  version=$2
  # Without the epoch: a colon in a path breaks make's rules.
  folder="$work/$name-${version#*:}"
  if [ ! -d "$folder" ]; then
    make_source_list >&2
    rm -rf "$work/fetch" && mkdir -p "$work/fetch"
    # The host's version first; when the mirror no longer holds it, any version it does hold.
    # shellcheck disable=SC2086
    if ! (cd "$work/fetch" && apt-get $apt_options -qq source "$name=$version" >&2); then
      for other in $(apt-cache $apt_options showsrc "$name" | sed -n 's/^Version: //p'); do
        rm -rf "$work/fetch" && mkdir -p "$work/fetch"
        echo "build-windows-jpeg: trying $name $other instead" >&2
        (cd "$work/fetch" && apt-get $apt_options -qq source "$name=$other" >&2) && break
      done
    fi
    unpacked=$(find "$work/fetch" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    [ -n "$unpacked" ] || { echo "build-windows-jpeg: no source of $name unpacked" >&2; exit 1; }
    mv "$unpacked" "$folder"
    rm -rf "$work/fetch"
  fi
  echo "$folder"
}

# Configures, builds and installs one CMake project for Windows, unless the stamp says this
# version is in place already.
build_library() {
  name=$1
  version=$2
  source=$3
  shift 3
  stamp="$deps/.stamp-$name"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    echo "== $name $version: already built =="
    return 0
  fi
  echo "== $name $version for Windows =="
  rm -rf "$work/build-$name"
  # The source folder carries no epoch, see fetch_source.
  cmake -S "$source" -B "$work/build-$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DPOW2BMP_WINDOWS_DEPS="$deps" \
    -Wno-dev "$@" >"$work/build-$name.log" 2>&1 ||
    { cat "$work/build-$name.log"; exit 1; }
  cmake --build "$work/build-$name" -j"$jobs" >>"$work/build-$name.log" 2>&1 &&
    cmake --install "$work/build-$name" >>"$work/build-$name.log" 2>&1 ||
    { tail -n 60 "$work/build-$name.log"; exit 1; }
  echo "$version" >"$stamp"
}

jpeg_version=$(candidate libjpeg62-turbo-dev)
[ -n "$jpeg_version" ] && [ "$jpeg_version" != "(none)" ] ||
  { echo "build-windows-jpeg: apt knows no libjpeg62-turbo-dev" >&2; exit 1; }
if [ "$(cat "$deps/.stamp-libjpeg-turbo" 2>/dev/null)" != "$jpeg_version" ]; then
  jpeg_source=$(fetch_source libjpeg-turbo "$jpeg_version")
  build_library libjpeg-turbo "$jpeg_version" "$jpeg_source" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_TURBOJPEG=OFF \
    -DCMAKE_INSTALL_DOCDIR="$deps/share/doc/libjpeg-turbo"
else
  echo "== libjpeg-turbo $jpeg_version: already built =="
fi

gtest_version=$(dpkg-query -W -f='${Version}' googletest)
build_library googletest "$gtest_version" /usr/src/googletest -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON

png_version=$(candidate libpng-dev)
if [ "$(cat "$deps/.stamp-libpng" 2>/dev/null)" != "$png_version" ]; then
  png_source=$(fetch_source libpng1.6 "$png_version")
  build_library libpng "$png_version" "$png_source" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DZLIB_USE_STATIC_LIBS=ON
else
  echo "== libpng $png_version: already built =="
fi

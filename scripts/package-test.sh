#!/bin/sh
# Builds the Debian package from a release build and tries it on this machine: the package must
# pass lintian without errors (its warnings are printed), depend on the JPEG runtime (which the
# program loads, while it carries the C++ runtime in), carry its copyright file, changelog and
# compressed man page, install with apt-get (which pulls its dependencies), answer --version,
# convert the bundled examples exactly as the freshly built binary does, and leave nothing behind
# when removed. Runs apt-get and dpkg as root, or through sudo for another user. Refuses to run
# when a pow2bmp package is already installed, since it removes the package at the end.
# Usage, from anywhere: scripts/package-test.sh [build folder, default build/release]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build/release"}
case $build in /*) ;; *) build="$PWD/$build" ;; esac

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
else
  as_root="sudo"
fi

fail() {
  echo "package-test: $*" >&2
  exit 1
}

if dpkg-query -W -f='${Status}' pow2bmp 2>/dev/null | grep -q "install ok installed"; then
  fail "a pow2bmp package is already installed; remove it first"
fi

# cpack's Debian generator needs `file`, and the build the rest.
"$root/scripts/install-deps.sh"
"$root/scripts/install-deps.sh" lintian

echo "== Release build in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pow2bmp >/dev/null

echo "== cpack -G DEB"
rm -f "$build"/pow2bmp_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
set -- "$build"/pow2bmp_*.deb
if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
  fail "expected exactly one pow2bmp_*.deb in $build"
fi
package=$1
depends=$(dpkg-deb -f "$package" Depends)
echo "$(basename "$package"): Depends: $depends"
echo "$depends" | grep -q 'libjpeg62-turbo' || fail "the package does not depend on libjpeg62-turbo"
# The program loads the system's libjpeg, but carries the C++ runtime: a call per picture does
# not pay for loading libstdc++.
needed=$(objdump -p "$build/pow2bmp" | awk '$1 == "NEEDED" { print $2 }')
echo "pow2bmp needs: $(echo "$needed" | tr '\n' ' ')"
echo "$needed" | grep -q '^libjpeg\.so' || fail "the program does not load the system's libjpeg"
if echo "$needed" | grep -q '^libstdc++'; then fail "the program loads libstdc++"; fi
contents=$(dpkg-deb -c "$package")
echo "$contents" | grep -q ' \./usr/bin/pow2bmp$' || fail "the package holds no usr/bin/pow2bmp"
for file in usr/share/man/man1/pow2bmp.1.gz usr/share/doc/pow2bmp/copyright \
  usr/share/doc/pow2bmp/changelog.Debian.gz; do
  echo "$contents" | grep -q "^-rw-r--r-- .* \./$file\$" || fail "the package holds no $file (mode 644)"
done

# Errors fail the test; warnings are printed (overrides in packaging/debian/lintian-overrides).
echo "== lintian $(basename "$package")"
lintian --fail-on error --tag-display-limit 0 "$package" || fail "lintian reports errors"

work=$(mktemp -d)
installed=no
cleanup() {
  if [ "$installed" = yes ]; then
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y pow2bmp >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt-get install $(basename "$package")"
installed=yes
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "$package" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
[ -x /usr/bin/pow2bmp ] || fail "/usr/bin/pow2bmp is missing after installation"
[ -f /usr/share/man/man1/pow2bmp.1.gz ] || fail "the man page is missing after installation"
[ -f /usr/share/doc/pow2bmp/copyright ] || fail "the copyright file is missing after installation"

expected_version=$("$build/pow2bmp" --version)
installed_version=$(/usr/bin/pow2bmp --version)
echo "/usr/bin/pow2bmp --version: $installed_version"
[ "$installed_version" = "$expected_version" ] ||
  fail "installed binary says '$installed_version', the build says '$expected_version'"

echo "== Converting examples/img with the installed and the built binary"
for side in installed built; do
  mkdir "$work/$side"
  cp -R "$root/examples/img" "$work/$side/img"
done
(cd "$work/installed" && /usr/bin/pow2bmp >report.txt) || fail "the installed binary failed"
(cd "$work/built" && "$build/pow2bmp" >report.txt) || fail "the built binary failed"
cat "$work/installed/report.txt"
cmp "$work/installed/report.txt" "$work/built/report.txt" || fail "the reports differ"
count=0
for output in "$work/built/bmp"/*.bmp; do
  name=$(basename "$output")
  cmp "$output" "$work/installed/bmp/$name" || fail "bmp/$name differs"
  count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no output files"
[ "$(find "$work/installed/bmp" -type f | wc -l)" -eq "$count" ] || fail "the output folders differ"
echo "$count output files identical"

echo "== apt-get remove pow2bmp"
$as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y pow2bmp >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get remove failed"; }
installed=no
[ ! -e /usr/bin/pow2bmp ] || fail "/usr/bin/pow2bmp is still there after removal"
[ ! -e /usr/share/man/man1/pow2bmp.1.gz ] || fail "the man page is still there after removal"
[ ! -e /usr/share/doc/pow2bmp ] || fail "/usr/share/doc/pow2bmp is still there after removal"
if dpkg-query -W -f='${Status}' pow2bmp 2>/dev/null | grep -q "install ok installed"; then
  fail "dpkg still lists pow2bmp as installed"
fi
echo "package test passed"

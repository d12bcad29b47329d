#!/bin/bash
# The ways of driving pow2bmp one file per call, each against a folder run of the same pictures:
#   examples_test.sh BINARY SOURCE_DIR cmake|make|parallel|slurm
# cmake and make: the examples build every output, byte for byte as a folder run writes them,
# and after one picture is touched a rebuild converts exactly that one. parallel: the README's
# GNU parallel recipe, on this host only. slurm: the job-array script's shards, with the task
# variables set by hand, cover every picture exactly once.
set -euo pipefail
binary=$1
source=$2
part=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/pow2bmp-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL ($part): $*" >&2
  exit 1
}

# The reference: a folder run over the bundled samples plus one more name. (No spaces in the
# names: make cannot take them.)
mkdir -p "$work/reference/img" "$work/pictures"
cp "$source"/examples/img/* "$work/pictures/"
cp "$source/examples/img/badge.tga" "$work/pictures/badge-2.tga"
cp "$work"/pictures/* "$work/reference/img/"
(cd "$work/reference" && "$binary" >/dev/null) || fail "the folder run failed"
expected=$(cd "$work/reference/bmp" && ls | sort)
[ "$(echo "$expected" | wc -l)" -eq 5 ] || fail "the folder run wrote $(echo "$expected" | wc -l) files"

# same_as_reference FOLDER: FOLDER holds exactly the reference outputs, byte for byte.
same_as_reference() {
  [ "$(cd "$1" && ls | sort)" = "$expected" ] || fail "outputs in $1: $(cd "$1" && ls | tr '\n' ' ')"
  for name in $expected; do
    cmp -s "$1/$name" "$work/reference/bmp/$name" || fail "$1/$name differs from the folder run"
  done
}

# changed_since STAMP FOLDER: the names of outputs newer than STAMP.
changed_since() { find "$2" -type f -newer "$1" -printf '%f\n' | sort; }

touch_one_and_check() {  # $1: build command, $2: output folder
  sleep 1.1                      # file times of a second's resolution must move on
  touch "$work/stamp"
  sleep 1.1
  touch "$work/pictures/dusk.jpg"
  eval "$1" >/dev/null
  changed=$(changed_since "$work/stamp" "$2")
  [ "$changed" = "dusk.bmp" ] || fail "after touching dusk.jpg the rebuild changed: ${changed:-nothing}"
}

case $part in
  cmake)
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$source/examples/cmake" -B "$work/build" "${generator[@]}" \
      -DPOW2BMP_EXECUTABLE="$binary" -DTEXTURE_DIR="$work/pictures" >/dev/null
    cmake --build "$work/build" -j 4 >/dev/null
    same_as_reference "$work/build/bmp"
    touch_one_and_check 'cmake --build "$work/build" -j 4' "$work/build/bmp"
    ;;
  make)
    mkdir "$work/project"
    ln -s "$work/pictures" "$work/project/img"
    make -C "$work/project" -f "$source/examples/make/Makefile" -j 4 POW2BMP="$binary" >/dev/null
    same_as_reference "$work/project/bmp"
    touch_one_and_check 'make -C "$work/project" -f "$source/examples/make/Makefile" -j 4 POW2BMP="$binary"' \
      "$work/project/bmp"
    ;;
  parallel)
    command -v parallel >/dev/null || fail "GNU parallel is not installed (scripts/install-deps.sh installs it)"
    mkdir -p "$work/recipe/bmp"
    ln -s "$work/pictures" "$work/recipe/img"
    # The README's recipe, with this host as the only one (":" is the local host).
    (cd "$work/recipe" && find img/ -type f | parallel --will-cite --sshlogin : --workdir . -j 2 \
      "$binary" {} bmp/{/.}.bmp >/dev/null)
    same_as_reference "$work/recipe/bmp"
    ;;
  slurm)
    find "$work/pictures" -type f >"$work/list.txt"
    # Five pictures over three tasks: lines 0 and 3, 1 and 4, then 2.
    for shard in "0 2" "1 2" "2 1"; do
      set -- $shard
      SLURM_ARRAY_TASK_ID=$1 SLURM_ARRAY_TASK_COUNT=3 SLURM_CPUS_PER_TASK=2 POW2BMP="$binary" \
        "$source/examples/cluster/pow2bmp-array.sbatch" "$work/list.txt" "$work/out" >"$work/task$1.log"
      grep -q "task $1 of 3: $2 pictures, 2 workers" "$work/task$1.log" ||
        fail "task $1: $(head -1 "$work/task$1.log")"
    done
    same_as_reference "$work/out"
    # A task number outside the array is refused.
    if SLURM_ARRAY_TASK_ID=3 SLURM_ARRAY_TASK_COUNT=3 POW2BMP="$binary" \
      "$source/examples/cluster/pow2bmp-array.sbatch" "$work/list.txt" "$work/out" 2>/dev/null; then
      fail "task 3 of 3 was accepted"
    fi
    ;;
  *) fail "unknown part" ;;
esac
echo "$part: ok"

#!/bin/bash
# The README's recipes for driving pow2bmp one file per call, each run as README.md writes it
# against a folder run of the same pictures:
#   examples_test.sh BINARY SOURCE_DIR cmake|make|parallel|slurm
# Each recipe is the sh block after the line "<!-- recipe: NAME -->" in README.md, taken from
# there and run with bash (-e, pipefail) in a scratch folder that holds img/, with the folder of
# BINARY first on the PATH and POW2BMP_SOURCE set to SOURCE_DIR, as the README asks. img/ holds
# the bundled samples, a name with spaces, a hidden file, a link to a file, names without an
# extension or with a long one, a.png and a.tga (which make the same output: the later name,
# a.tga, wins in a folder run) and a subfolder (skipped). The outputs must be the folder run's,
# byte for byte, name for name.
# cmake and make: after one picture is touched, running the recipe again converts exactly that
# one, and a name the example cannot take stops it with a message naming the file.
# parallel: hosts.txt names only this machine (":"); no remote host is reached.
# slurm: `sbatch` is a stand-in that runs every task of --array at once on this machine, with
# Slurm's task variables set; the shards are also checked by hand, and a task outside the array
# is refused.
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

# recipe NAME: the text of the sh block that follows "<!-- recipe: NAME -->" in README.md.
recipe() {
  local text
  text=$(awk -v marker="<!-- recipe: $1 -->" '
    $0 == marker { markers++; state = 1; next }
    state == 1 && /^$/ { next }
    state == 1 && /^```sh$/ { state = 2; next }
    state == 1 { print "no sh block after the marker"; exit 1 }
    state == 2 && /^```$/ { state = 0; next }
    state == 2 { print }
    END { if (markers != 1) { print markers + 0 " markers"; exit 1 } }' "$source/README.md") ||
    fail "README.md, recipe $1: $text"
  [ -n "$text" ] || fail "README.md, recipe $1: empty"
  printf '%s\n' "$text"
}

# run_recipe NAME FOLDER: runs the README's recipe NAME in FOLDER, as the README says.
run_recipe() {
  local text
  text=$(recipe "$1")
  (cd "$2" && PATH="$(dirname "$binary"):$PATH" POW2BMP_SOURCE="$source" \
    bash -e -o pipefail -c "$text") >"$work/$1.log" 2>&1 ||
    fail "the README's $1 recipe failed in $2:"$'\n'"$text"$'\n'"$(cat "$work/$1.log")"
}

# make_pictures FOLDER: the test's img/ in FOLDER.
make_pictures() {
  local img=$1/img
  mkdir -p "$img/sub"
  cp "$source"/examples/img/* "$img/"
  cp "$source/examples/img/sunset.png" "$img/my sunset.png"
  cp "$source/examples/img/badge.tga" "$img/.hidden.tga"
  cp "$source/examples/img/sunset.png" "$img/a.png"
  cp "$source/examples/img/badge.tga" "$img/a.tga"
  cp "$source/examples/img/checker.bmp" "$img/plain"
  cp "$source/examples/img/dusk.jpg" "$img/scan.jpeg10"
  ln -s dusk.jpg "$img/link.jpg"
  cp "$source/examples/img/checker.bmp" "$img/sub/inner.bmp"
}

# names FOLDER: the names in FOLDER, hidden ones too, one a line, in byte order.
names() { (cd "$1" && find . -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort); }

# The reference: a folder run of the same pictures.
make_pictures "$work/reference"
(cd "$work/reference" && "$binary" >/dev/null) || fail "the folder run failed"
expected=$(names "$work/reference/bmp")
want=$(printf '%s\n' .hidden.bmp a.bmp badge.bmp checker.bmp dusk.bmp link.bmp 'my sunset.bmp' \
  plain scan.jpeg10 sunset.bmp)
[ "$expected" = "$want" ] || fail "the folder run wrote: $(echo "$expected" | tr '\n' '|')"

# same_as_reference FOLDER: FOLDER holds exactly the folder run's outputs, byte for byte.
same_as_reference() {
  local got name
  got=$(names "$1")
  [ "$got" = "$expected" ] || fail "outputs in $1: $(echo "$got" | tr '\n' '|')"
  while IFS= read -r name; do
    cmp -s "$1/$name" "$work/reference/bmp/$name" || fail "$1/$name differs from the folder run"
  done <<<"$expected"
}

# touch_one_and_check RECIPE FOLDER OUTPUTS: after checker.bmp is touched, running the recipe again
# in FOLDER rewrites checker.bmp in OUTPUTS and nothing else.
touch_one_and_check() {
  local changed
  sleep 1.1 # file times of a second's resolution must move on
  touch "$work/stamp"
  sleep 1.1
  touch "$2/img/checker.bmp"
  run_recipe "$1" "$2"
  changed=$(find "$3" -type f -newer "$work/stamp" -printf '%f\n' | LC_ALL=C sort)
  [ "$changed" = "checker.bmp" ] ||
    fail "after touching checker.bmp the rebuild changed: ${changed:-nothing}"
}

# refuses RECIPE NAME: in a folder whose img/ holds a picture called NAME, the recipe fails and
# its messages name img/NAME.
refuses() {
  local folder=$work/refuse-$RANDOM text
  mkdir -p "$folder/img"
  cp "$source/examples/img/dusk.jpg" "$folder/img/$2"
  text=$(recipe "$1")
  if (cd "$folder" && PATH="$(dirname "$binary"):$PATH" POW2BMP_SOURCE="$source" \
    bash -e -o pipefail -c "$text") >"$work/refused.log" 2>&1; then
    fail "the $1 recipe took the name '$2'"
  fi
  grep -qF "img/$2" "$work/refused.log" ||
    fail "the $1 recipe refused '$2' without naming it: $(cat "$work/refused.log")"
}

mkdir "$work/project"
make_pictures "$work/project"
case $part in
  cmake)
    run_recipe cmake "$work/project"
    same_as_reference "$work/project/build/textures/bmp"
    touch_one_and_check cmake "$work/project" "$work/project/build/textures/bmp"
    refuses cmake 'semi;colon.png'
    refuses cmake 'hash#.png'
    ;;
  make)
    run_recipe make "$work/project"
    same_as_reference "$work/project/bmp"
    touch_one_and_check make "$work/project" "$work/project/bmp"
    refuses make '50%.png'
    refuses make 'equals=.png'
    ;;
  parallel)
    command -v parallel >/dev/null ||
      fail "GNU parallel is not installed (scripts/install-deps.sh installs it)"
    echo : >"$work/project/hosts.txt"
    run_recipe parallel "$work/project"
    rm "$work/project/hosts.txt"
    same_as_reference "$work/project/bmp"
    ;;
  slurm)
    # A stand-in for sbatch: every task of --array=FIRST-LAST at once, as Slurm may run them.
    mkdir "$work/fake-slurm"
    cat >"$work/fake-slurm/sbatch" <<'EOF'
#!/bin/bash
set -eu
array="" cpus=1
while [ $# -gt 0 ]; do
  case $1 in
    --array=*) array=${1#--array=} ;;
    --cpus-per-task=*) cpus=${1#--cpus-per-task=} ;;
    -*) echo "sbatch stand-in: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
first=${array%-*} last=${array#*-}
pids=()
for ((task = first; task <= last; task++)); do
  SLURM_ARRAY_TASK_ID=$task SLURM_ARRAY_TASK_COUNT=$((last - first + 1)) \
    SLURM_CPUS_PER_TASK=$cpus "$@" >"pow2bmp-task-$task.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit "$status"
EOF
    chmod +x "$work/fake-slurm/sbatch"
    PATH="$work/fake-slurm:$PATH" run_recipe slurm "$work/project"
    rm -f "$work"/project/pow2bmp-task-*.log "$work/project/pictures.txt"
    same_as_reference "$work/project/bmp"

    # The shards by hand: the eleven pictures (ten outputs) over three tasks, a.png and a.tga
    # in one shard. The tasks run last to first, so a task that held a.png alone would move
    # its a.bmp over the one made of a.tga.
    (cd "$work/reference" && find "$PWD/img" -maxdepth 1 ! -type d | LC_ALL=C sort >"$work/list.txt")
    for shard in "2 3" "1 4" "0 4"; do
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

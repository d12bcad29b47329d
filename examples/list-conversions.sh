#!/bin/sh
# Lists what a folder run of pow2bmp would convert in the folder img/ of the current folder, by
# the run's own rules, for tools that call `pow2bmp INPUT OUTPUT` once per picture:
#
#   list-conversions.sh           one line per conversion: img/NAME<TAB>bmp/OUTPUT
#   list-conversions.sh --make    the same conversions as make rules (examples/make/Makefile)
#
# The rules: every regular file of img/ counts, hidden ones and links to files too (a link that
# leads nowhere too: pow2bmp then reports it as a file it cannot load); subfolders, links to
# folders and special files (FIFOs, sockets, devices) do not. An extension of at most four bytes
# after the last dot becomes ".bmp"; a name without a dot, or with a longer extension, is kept
# whole. Names are taken in byte order, and when two of them make the same output (a.png and
# a.tga), the later one (a.tga) is converted, as a folder run leaves it; a note on standard error
# names both.
#
# A name that these lines cannot carry is refused, with its name on standard error and status 1:
# a tab or a line feed in any mode, and for make also a backslash, "%", "|", ";" or "=", which
# make cannot take in a file name. A folder run converts such files; rename them, or use one.
set -eu
export LC_ALL=C

mode=pairs
case ${1-} in
  '') ;;
  --make) mode="make" ;;
  *) echo "usage: list-conversions.sh [--make]" >&2; exit 2 ;;
esac
if [ ! -d img ]; then
  echo "list-conversions.sh: there is no folder img in $(pwd)" >&2
  exit 1
fi

tab=$(printf '\t')
newline='
'
refused=0
names=""
for path in img/.* img/*; do
  name=${path#img/}
  case $name in .|..) continue ;; esac
  # An unmatched pattern stays as it is: it names a file only if one exists by that name.
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && continue                              # folders and links to them
  if [ -e "$path" ] && [ ! -f "$path" ]; then continue; fi  # FIFOs, sockets, devices
  case $name in
    *"$tab"* | *"$newline"*)
      printf 'list-conversions.sh: the name %s holds a tab or a line feed\n' "$path" >&2
      refused=1
      continue ;;
  esac
  if [ "$mode" = make ]; then
    case $name in
      *[\\%\|\;=]*)
        printf 'list-conversions.sh: make cannot take the name %s (it holds one of \\ %% | ; =)\n' \
          "$path" >&2
        refused=1
        continue ;;
    esac
  fi
  names="$names$name$newline"
done
[ "$refused" -eq 0 ] || exit 1
[ -n "$names" ] || exit 0

printf '%s' "$names" | sort | awk -v mode="$mode" '
  # make syntax for a file name in a rule: these characters are quoted, "$" doubled.
  function for_make(s) {
    gsub(/\\/, "\\\\", s)
    gsub(/[ #:*?\[\]]/, "\\\\&", s)
    gsub(/\$/, "$$", s)
    return s
  }
  # The shell word for a file name, in single quotes; "$" doubled for make.
  function for_recipe(s) {
    gsub(/'\''/, "'\''\\'\'''\''", s)
    gsub(/\$/, "$$", s)
    return "'\''" s "'\''"
  }
  {
    output = $0
    sub(/\.[^.]?[^.]?[^.]?[^.]?$/, ".bmp", output)
    if (output in input) {
      printf "list-conversions.sh: img/%s and img/%s both make bmp/%s: img/%s is converted, " \
        "as in a folder run\n", input[output], $0, output, $0 > "/dev/stderr"
    } else {
      order[++count] = output
    }
    input[output] = $0
  }
  END {
    for (i = 1; i <= count; i++) {
      output = order[i]
      if (mode == "pairs") {
        printf "img/%s\tbmp/%s\n", input[output], output
      } else {
        target = for_make("bmp/" output)
        printf "all: %s\n", target
        printf "%s: %s | bmp ; $(POW2BMP) $(POW2BMP_FLAGS) %s %s\n", target, for_make("img/" input[output]),
          for_recipe("img/" input[output]), for_recipe("bmp/" output)
      }
    }
  }'

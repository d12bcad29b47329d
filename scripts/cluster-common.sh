# Shell functions the cluster recipe tests share; sourced, with $root the source tree.

# free_port: a TCP port no one listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# recipe NAME: the sh block after "<!-- recipe: NAME -->" in README.md.
recipe() {
  awk -v marker="<!-- recipe: $1 -->" '
    $0 == marker { state = 1; next }
    state == 1 && /^```sh$/ { state = 2; next }
    state == 2 && /^```$/ { exit }
    state == 2 { print }' "$root/README.md"
}

# pictures FOLDER COUNT: img/ with the samples and COUNT pictures of each format made here, of
# sizes that differ from one to the next.
pictures() {
  mkdir -p "$1/img"
  cp "$root"/examples/img/* "$1/img/"
  local i
  for ((i = 0; i < $2; i++)); do
    convert -size "$((12 + 9 * i))x$((7 + 6 * i))" -seed "$i" plasma:fractal -depth 8 \
      "PNG24:$1/img/made$i.png"
    convert "$1/img/made$i.png" "$1/img/other$i.tga"
    convert "$1/img/made$i.png" "BMP3:$1/img/plain$i.bmp"
    convert "$1/img/made$i.png" -quality 90 "$1/img/photo$i.jpg"
  done
}

# names FOLDER: the names in FOLDER, one a line, sorted bytewise.
names() { (cd "$1" && find . -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort); }

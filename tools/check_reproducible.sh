#!/usr/bin/env bash
# Builds the module twice, from two copies of this tree in unrelated folders (one build folder
# inside its copy, the other outside), and checks that the two files are byte for byte the same
# and that neither names the folders it was built in. The build keeps its debug data, which is
# where absolute paths would show first.
#   check_reproducible.sh [CMAKE_ARGS...]
# Copies what git would commit (tracked files and new ones not ignored), so it checks your
# working tree; on a clean clone that is the commit itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if ! git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing tells the sources from other files; skipping"; exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/brambleloft-reproducible.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

copy_tree() {
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) | tar -xf - -C "$1"
}

build() {  # SOURCE BUILD_FOLDER
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRAMBLELOFT_TESTS=OFF "${@:3}" >/dev/null
  cmake --build "$2" --target brambleloft -j "${JOBS:-2}" >/dev/null
}

copy_tree "$scratch/a/brambleloft"
copy_tree "$scratch/second/copy-of-the-tree"
build "$scratch/a/brambleloft" "$scratch/a/brambleloft/build" "$@"
build "$scratch/second/copy-of-the-tree" "$scratch/elsewhere/build-two" "$@"

one=$scratch/a/brambleloft/build/brambleloft.abi3.so
two=$scratch/elsewhere/build-two/brambleloft.abi3.so
status=0
if ! cmp "$one" "$two"; then
  echo "the two builds differ"; status=1
fi
for module in "$one" "$two"; do
  if grep -a -o -F "$scratch" "$module" | head -n 3 | grep .; then
    echo "$module names the folder it was built in"; status=1
  fi
done
[ $status -eq 0 ] && echo "reproducible: two builds in different folders are identical ($(sha256sum < "$one" | cut -c1-16))"
exit $status

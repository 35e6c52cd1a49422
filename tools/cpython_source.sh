#!/usr/bin/env bash
# Fetches CPython 3.13's source from Debian 13's (trixie) python3.13 source package, once, and
# prints the path of the unpacked tree:
#   cpython_source.sh DIR
# DIR is tools/debian_source.sh's cache: a second run prints the cached tree without going to the
# network. The tree is upstream's source without Debian's patches, which fit Debian's own build
# (they disable ensurepip, for one): a plain ./configure && make builds a plain CPython. Only the
# path goes to stdout.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(bash "$here/debian_source.sh" trixie python3.13 "$1")
[ -f "$tree/configure" ] || { echo "cpython_source.sh: no configure in $tree" >&2; exit 1; }
echo "$tree"

#!/usr/bin/env bash
# Fetches CPython 3.13's source from Debian 13's (trixie) python3.13 source package, once, and
# prints the path of the unpacked tree:
#   cpython_source.sh DIR
# DIR holds a private apt list (deb-src for the mirror that apt on this machine uses; the
# machine's own apt lists and caches are left alone), the downloaded files and the tree. A
# second run prints the cached tree without going to the network. The tree is upstream's
# source without Debian's patches, which fit Debian's own build (they disable ensurepip, for
# one): a plain ./configure && make builds a plain CPython. Only the path goes to stdout.
set -euo pipefail
dir=$1
suite=trixie
package=python3.13
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
stamp=$dir/source.stamp

if [ -f "$stamp" ] && [ -f "$(cat "$stamp")/configure" ]; then
  cat "$stamp"
  exit 0
fi

bash "$here/ensure_packages.sh" dpkg-dev xz-utils >&2
mirror=$(bash "$here/debian_mirror.sh")
apt_dir=$dir/apt
rm -rf "$apt_dir" "$dir/download"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dir/download"
echo "deb-src $mirror $suite main" > "$apt_dir/sources.list"
# The mirror's Release files may be past their Valid-Until date; their signatures are still
# checked against the machine's archive keyring.
apt=(apt-get -q -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
     -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
     -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
echo "cpython_source.sh: fetching $package from Debian $suite's sources" >&2
"${apt[@]}" update >&2
(cd "$dir/download" && "${apt[@]}" source --download-only "$package" >&2)
dsc=$(ls "$dir/download/${package}"_*.dsc | head -n 1)
version=$(basename "$dsc" .dsc); version=${version#"${package}_"}
tree=$dir/$package-$version
rm -rf "$tree"
dpkg-source --skip-patches -x "$dsc" "$tree" >&2
[ -f "$tree/configure" ] || { echo "cpython_source.sh: no configure in $tree" >&2; exit 1; }
echo "$tree" > "$stamp"
echo "$tree"

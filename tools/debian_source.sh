#!/usr/bin/env bash
# Fetches a source package from Debian's archive, once, and prints the path of the unpacked tree:
#   debian_source.sh SUITE PACKAGE DIR
# DIR holds a private apt list (deb-src for the mirror that apt on this machine uses; the
# machine's own apt lists and caches are left alone), the downloaded files and the tree. A second
# run prints the cached tree without going to the network. The tree is upstream's source without
# Debian's patches, which fit Debian's own build. Only the path goes to stdout.
set -euo pipefail
suite=$1 package=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$3"
dir=$(cd "$3" && pwd)
stamp=$dir/source.stamp

if [ -f "$stamp" ] && [ -d "$(cat "$stamp")" ]; then
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
echo "debian_source.sh: fetching $package from Debian $suite's sources" >&2
"${apt[@]}" update >&2
(cd "$dir/download" && "${apt[@]}" source --download-only "$package" >&2)
dsc=$(ls "$dir/download/${package}"_*.dsc | head -n 1)
version=$(basename "$dsc" .dsc); version=${version#"${package}_"}
tree=$dir/$package-$version
rm -rf "$tree"
dpkg-source --skip-patches -x "$dsc" "$tree" >&2
echo "$tree" > "$stamp"
echo "$tree"

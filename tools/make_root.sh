#!/usr/bin/env bash
# Makes a Debian root folder that the platform tests run the module in, once:
#   make_root.sh NAME DIR
#   NAME  arm64     bookworm for arm64, unpacked only (its programs run under qemu-user)
#         sid       Debian unstable: the newest CPythons, GCC and glibc
#         bullseye  Debian 11: glibc 2.31 and CPython 3.9, an older system than ours
# DIR is reused while its stamp matches what NAME asks for; otherwise it is made anew
# (in DIR.partial, moved into place when complete, so an interrupted run leaves no half root).
# The packages come from the Debian mirror that apt on this machine uses.
set -euo pipefail
name=$1; dir=$2
here=$(cd "$(dirname "$0")" && pwd)

# python3-venv brings the pip that makes the test environments; libxxhash0 and xxhsum are the
# independent xxHash that the suite checks the module's digests against. bullseye's musl is 1.2.2,
# the oldest musl 1.2 in Debian's archive: the musl suite runs on its loader too.
case $name in
  arm64) suite=bookworm; arch=arm64; packages=python3,python3-venv,libxxhash0,libstdc++6 ;;
  sid) suite=sid; arch=amd64
       packages=python3.14,python3.14-venv,python3.14-dev,python3.15,python3.15-venv,python3.15-dev
       packages=$packages,g++,cmake,make,libxxhash-dev,libxxhash0,xxhash,ca-certificates ;;
  bullseye) suite=bullseye; arch=amd64; packages=python3,python3-venv,libxxhash0,xxhash,ca-certificates,musl ;;
  *) echo "make_root.sh: unknown root '$name' (arm64, sid or bullseye)" >&2; exit 2 ;;
esac
stamp="$suite $arch $packages"
if [ -f "$dir/.brambleloft-root" ] && [ "$(cat "$dir/.brambleloft-root")" = "$stamp" ]; then
  exit 0
fi

bash "$here/ensure_packages.sh" debootstrap
mirror=$(bash "$here/debian_mirror.sh")
echo "making the $name root in $dir from $mirror"
rm -rf "$dir" "$dir.partial"
mkdir -p "$(dirname "$dir")"
if [ "$arch" = arm64 ]; then
  # The kernel here cannot run arm64 programs (no binfmt_misc), so debootstrap's second stage,
  # which runs the packages' scripts inside the root, is replaced by unpacking every package.
  debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" \
    "$suite" "$dir.partial" "$mirror"
  for deb in "$dir.partial"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$dir.partial"; done
  rm -f "$dir.partial"/var/cache/apt/archives/*.deb
else
  debootstrap --arch="$arch" --variant=minbase --include="$packages" "$suite" "$dir.partial" "$mirror"
  rm -f "$dir.partial"/var/cache/apt/archives/*.deb
fi
echo "$stamp" > "$dir.partial/.brambleloft-root"
mv "$dir.partial" "$dir"

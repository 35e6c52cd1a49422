#!/usr/bin/env bash
# Installs, from Debian's archive, whichever of the named packages are missing.
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another apt run (a parallel make target, an unattended upgrade) holds dpkg's lock for a
# while; wait for it instead of failing.
apt=($sudo apt-get -o DPkg::Lock::Timeout=600 -y -q)
"${apt[@]}" install "${missing[@]}" || { "${apt[@]}" update && "${apt[@]}" install "${missing[@]}"; }

#!/usr/bin/env bash
# Runs a command inside a Debian root (tools/make_root.sh), with /proc mounted there for the
# command's lifetime only (a mount namespace of its own), and a plain environment:
#   in_root.sh ROOT COMMAND [ARGS...]
set -euo pipefail
root=$(realpath "$1"); shift
# Proxies and the package index reach the test environments' pip; nothing else of ours leaks in.
keep=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL; do
  [ -n "${!name:-}" ] && keep+=("$name=${!name}")
done
exec unshare --mount --fork -- env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  "${keep[@]}" bash -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" "$@"

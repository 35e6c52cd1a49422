#!/usr/bin/env bash
# Runs a command inside a Debian root (tools/make_root.sh), in a plain environment:
#   in_root.sh ROOT COMMAND [ARGS...]
# /proc, and this machine's name servers and trusted certificates (the package index may be
# reached through a proxy that only this machine's certificate store vouches for), are mounted
# there for the command's lifetime only, in a mount namespace of its own.
set -euo pipefail
root=$(realpath "$1"); shift
certificates=${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}
mkdir -p "$root/etc/ssl/certs"
touch "$root/etc/resolv.conf" "$root/etc/ssl/certs/ca-certificates.crt"
# Proxies and the package index reach the test environments' pip; nothing else of ours leaks in.
keep=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL; do
  [ -n "${!name:-}" ] && keep+=("$name=${!name}")
done
exec unshare --mount --fork -- env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  "${keep[@]}" bash -c '
    root=$1 certificates=$2; shift 2
    mount -t proc proc "$root/proc"
    mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
    mount --bind "$certificates" "$root/etc/ssl/certs/ca-certificates.crt"
    exec chroot "$root" "$@"' bash "$root" "$certificates" "$@"

#!/usr/bin/env bash
# Prints the Debian mirror that apt on this machine uses: the first enabled "deb" source for this
# system's own release, read from apt's sources lists in either format (one-line and deb822).
set -euo pipefail
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
shopt -s nullglob
lists=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] && lists+=("$file")
done
mirror=$(awk -v codename="$codename" '
  function flush() {
    if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " codename " ") && enabled != "no" && uris != "")
      { split(uris, u, " "); print u[1]; found = 1; exit }
    types = uris = suites = enabled = ""
  }
  FNR == 1 { flush() }
  FILENAME ~ /\.list$/ || FILENAME ~ /sources\.list$/ {
    sub(/#.*/, "")
    if ($1 != "deb") next
    i = 2
    if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
    if ($(i + 1) == codename) { print $i; found = 1; exit }
    next
  }
  /^[[:space:]]*#/ { next }
  /^[[:space:]]*$/ { flush(); next }
  {
    key = tolower($1); value = $0; sub(/^[^:]*:[[:space:]]*/, "", value)
    if (key == "types:") types = value
    else if (key == "uris:") uris = value
    else if (key == "suites:") suites = value
    else if (key == "enabled:") enabled = tolower(value)
  }
  END { if (!found) flush() }
' "${lists[@]}" /dev/null)
if [ -z "$mirror" ]; then
  echo "debian_mirror.sh: apt's sources lists name no Debian mirror for '$codename'" >&2
  exit 1
fi
echo "${mirror%/}"

#!/usr/bin/env bash
# Builds the wheel once and checks it: tag and contents, stable-ABI imports, installation
# and the Python suite under every CPython 3.8 to 3.13 found under pyenv (and Debian's own),
# and the stubs against the runtime and mypy. Extra arguments go to pytest.
# Exits 77 (skipped) when the Debian packages it relies on are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

needed=(python3-pip python3-setuptools python3-wheel python3-venv python3-pytest binutils)
if ! command -v dpkg-query >/dev/null; then
  echo "the packaging checks use Debian's ${needed[*]}; this is not a Debian system; skipping"
  exit 77
fi
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing Debian packages: ${missing[*]}; skipping the packaging checks"
  exit 77
fi

cd "$here"
PYTHONDONTWRITEBYTECODE=1 exec /usr/bin/python3 -m pytest -p no:cacheprovider -q -rs \
  --rootdir "$here" --confcutdir "$here" "$@"

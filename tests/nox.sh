#!/usr/bin/env bash
# Runs nox for CTest: nox.sh NOX ENVDIR SESSION_ARGS... Exits 77 (skipped) without a nox
# (make test bootstraps one and names it to CMake).
set -euo pipefail
nox=$1; envdir=$2; shift 2
if [ ! -x "$nox" ]; then
  echo "nox is not installed here (make test bootstraps it); skipping"; exit 77
fi
exec "$nox" --noxfile "$(cd "$(dirname "$0")/.." && pwd)/noxfile.py" --envdir "$envdir" "$@"

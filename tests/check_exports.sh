#!/usr/bin/env bash
# The module must export exactly one dynamic symbol: its init function.
set -euo pipefail
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u)
if [ "$exported" != "PyInit_brambleloft" ]; then
  echo "unexpected exported symbols:"; echo "$exported"; exit 1
fi
echo "only PyInit_brambleloft is exported"

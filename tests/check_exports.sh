#!/usr/bin/env bash
# The module must export exactly one dynamic symbol: its init function, or under abi3t its
# export hook.
#   check_exports.sh MODULE [SYMBOL]
set -euo pipefail
wanted=${2:-PyInit_brambleloft}
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u)
if [ "$exported" != "$wanted" ]; then
  echo "unexpected exported symbols:"; echo "$exported"; exit 1
fi
echo "only $wanted is exported"

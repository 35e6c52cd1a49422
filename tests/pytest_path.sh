#!/usr/bin/env bash
# Prints a folder that holds links to Debian's pure-Python test packages only.
set -euo pipefail
src=$(dirname "$(/usr/bin/python3 -c 'import pytest, os; print(os.path.dirname(pytest.__file__))')")
dest=${BRAMBLELOFT_PYTEST_LINKS:-/tmp/brambleloft-pytest-links-$(id -u)}
mkdir -p "$dest"
for name in _pytest pytest py py.py pluggy iniconfig packaging attr attrs exceptiongroup tomli \
            hypothesis _hypothesis_pytestplugin.py sortedcontainers; do
  if [ -e "$src/$name" ] && [ ! -e "$dest/$name" ]; then ln -sfn "$src/$name" "$dest/$name"; fi
done
echo "$dest"

#!/usr/bin/env bash
# Runs the pytest suite under one interpreter against the built module.
#   run_python_suite.sh VERSION MODULE_DIR [pytest args...]
# VERSION is a pyenv minor version (3.8 ... 3.13) or "debian" for /usr/bin/python3.
# Exits 77 (skipped) when that interpreter is not on this machine.
set -euo pipefail
version=$1; module_dir=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)

if [ "$version" = debian ]; then
  python=/usr/bin/python3
else
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  python=$(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -z "${python:-}" ] || [ ! -x "$python" ]; then
  echo "interpreter $version is not installed here; skipping"; exit 77
fi

# Debian's pytest and hypothesis are pure Python and run under every interpreter,
# but their folder also holds compiled modules for Debian's python3 only: link just
# the packages we need into a folder of their own.
links=$(bash "$here/pytest_path.sh")

cd "$here/python"
PYTHONPATH="$module_dir:$links" PYTHONDONTWRITEBYTECODE=1 \
  PYTHONWARNINGS="ignore::DeprecationWarning:_pytest.assertion.rewrite" \
  exec "$python" -m pytest -p no:cacheprovider -q "$@"

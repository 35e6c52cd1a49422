#!/usr/bin/env bash
# Builds the wheel of an sdist inside a Debian root (tools/make_root.sh), with that system's
# compiler, CMake and the headers of one of its interpreters:
#   wheel_in_root.sh ROOT PYTHON SDIST OUT [BUILD_ARGUMENTS...]
# The frontend and the backend are the ones pinned in pyproject.toml's dist group, installed into
# a virtual environment of PYTHON in the root; the build is not isolated, so nothing unpinned
# comes in (nor ninja, which the backend asks for but does without: it falls back to make).
# The wheel lands in OUT (made afresh). SOURCE_DATE_EPOCH, if set, is passed on.
set -euo pipefail
root=$(realpath "$1"); python=$2; sdist=$(realpath "$3"); out=$4; shift 4
here=$(cd "$(dirname "$0")" && pwd)

work=$root/tmp/brambleloft-wheel
rm -rf "$work" "$out"; mkdir -p "$work" "$out"
tar -xzf "$sdist" -C "$work"
python3 "$here/dependency_group.py" dist | grep -E '^(build|scikit-build-core)==' > "$work/requirements.txt"
epoch=()
[ -z "${SOURCE_DATE_EPOCH:-}" ] || epoch=("SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH")

bash "$here/../tests/platforms/in_root.sh" "$root" env "${epoch[@]}" bash -euc '
  python=$1; shift
  cd /tmp/brambleloft-wheel
  "$python" -m venv venv
  venv/bin/python -m pip install -q --disable-pip-version-check -r requirements.txt
  echo "building with $(g++ --version | head -n 1), $(cmake --version | head -n 1), $("$python" --version)"
  venv/bin/python -m build --wheel --no-isolation --skip-dependency-check --outdir wheel "$@" brambleloft-*/
' bash "$python" "$@"
mv "$work"/wheel/*.whl "$out/"
rm -rf "$work"

#!/usr/bin/env bash
# The Python suite inside a Debian root, against a wheel installed with pip into a fresh virtual
# environment of each named interpreter:
#   root_suite.sh ROOT WHEEL PYTHON... [-- SDIST]
# ROOT is made by tools/make_root.sh. With an sdist, it is also built there, by pip with the
# root's own compiler, CMake and headers of the last PYTHON, and the suite runs against that build.
# The suite checks that the module loads from the file the wheel holds (the sdist's build: the
# cp38-abi3 one).
set -euo pipefail
root=$(realpath "$1"); wheel=$(realpath "$2"); shift 2
pythons=(); sdist=""
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then sdist=$(realpath "$2"); break; fi
  pythons+=("$1"); shift
done
here=$(cd "$(dirname "$0")" && pwd)

# Everything the runs use is copied into the root's /tmp/brambleloft, made afresh.
work=$root/tmp/brambleloft
rm -rf "$work"; mkdir -p "$work"
cp -r "$here/../python" "$work/tests"
cp "$wheel" "$work/"
[ -z "$sdist" ] || cp "$sdist" "$work/"
python3 "$here/../../tools/dependency_group.py" test > "$work/test-requirements.txt"
wheel_module=$(python3 -c 'import sys, zipfile; print(*(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith(".so")))' "$wheel")

suite() {  # PYTHON VENV MODULE_FILE [pip install arguments...]
  local python=$1 venv=/tmp/brambleloft/$2 module_file=$3; shift 3
  echo "== $python: $* =="
  bash "$here/in_root.sh" "$root" env BRAMBLELOFT_MODULE_FILE="$module_file" bash -euc '
    python=$1 venv=$2; shift 2
    # A build from the sdist stops at warnings here: a newer compiler'"'"'s new ones are ours to fix.
    export CMAKE_ARGS=-DBRAMBLELOFT_WERROR=ON
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r /tmp/brambleloft/test-requirements.txt "$@"
    cd /tmp/brambleloft/tests
    "$venv/bin/python" -c "import brambleloft, sys; print(\"brambleloft from\", brambleloft.__file__, \"on\", sys.version.split()[0])"
    PYTHONDONTWRITEBYTECODE=1 exec "$venv/bin/python" -m pytest -p no:cacheprovider -q -rs
  ' bash "$python" "$venv" "$@"
}

for python in "${pythons[@]}"; do
  suite "$python" "venv-$python" "$wheel_module" "/tmp/brambleloft/$(basename "$wheel")"
done
if [ -n "$sdist" ]; then
  python=${pythons[-1]}
  bash "$here/in_root.sh" "$root" bash -c 'echo "building the sdist with $(g++ --version | head -n 1), $(cmake --version | head -n 1)"'
  suite "$python" "venv-$python-sdist" brambleloft.abi3.so --no-binary brambleloft "/tmp/brambleloft/$(basename "$sdist")"
fi

#!/usr/bin/env bash
# The Python suite on a musl CPython, against a wheel installed by that interpreter's own pip:
#   musl_suite.sh PYTHON WHEEL WHEELS WORK [pytest args...]
# PYTHON is a musl CPython (tools/musl/build_python.sh); WHEELS holds the test group's wheels
# (it has no ssl to reach the index with); the virtual environment is made afresh in WORK.
# Every test applies on this interpreter, so a skipped one fails the run, but for those of
# free-threaded interpreters only and the one that CPython 3.13.5 itself would crash in
# (test_allocation_failures.py says which). Set
# BRAMBLELOFT_TEST_EMULATOR to a musl loader to run the suite on that loader's C library
# instead of the one the interpreter names (tests that start an interpreter start it so too).
set -euo pipefail
python=$(realpath "$1"); wheel=$(realpath "$2"); wheels=$(realpath "$3"); work=$4; shift 4
here=$(cd "$(dirname "$0")" && pwd)
loader=${BRAMBLELOFT_TEST_EMULATOR:-}

rm -rf "$work"; mkdir -p "$work"; work=$(realpath "$work")
python3 "$here/../../tools/dependency_group.py" test > "$work/test-requirements.txt"
$loader "$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python3
# pip must find the wheel's musllinux tag among the ones it accepts here; --no-index keeps it from
# building the module from anything else.
$loader "$venv_python" -m pip install -q --disable-pip-version-check --no-index --find-links "$wheels" \
  --only-binary=:all: -r "$work/test-requirements.txt" "$wheel"

cd "$here/../python"
$loader "$venv_python" -c '
import brambleloft, sys
libc = next(path for path in (line.split()[-1] for line in open("/proc/self/maps"))
            if path.endswith(("-linux-musl/libc.so", "/ld-musl-x86_64.so.1")))
print("brambleloft from", brambleloft.__file__, "on", sys.version.split()[0], "with", libc)'
PYTHONDONTWRITEBYTECODE=1 $loader "$venv_python" -m pytest -p no:cacheprovider -q -rs "$@" | tee "$work/pytest.log"
if grep '^SKIPPED' "$work/pytest.log" | grep -v -e "the interpreter has a GIL" -e "PyType_FromSpec crash"; then
  echo "tests were skipped on musl; every test applies to this interpreter" >&2
  exit 1
fi

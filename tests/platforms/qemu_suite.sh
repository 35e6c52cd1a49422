#!/usr/bin/env bash
# The Python suite on arm64 CPython under qemu-user, against a wheel installed with pip:
#   qemu_suite.sh ROOT WHEEL WORK [pytest args...]
# ROOT is an arm64 root (tools/make_root.sh arm64); the test environment is made afresh in WORK.
# The kernel cannot start arm64 programs by itself here, so every one goes through qemu, the
# suite's own subprocesses too (BRAMBLELOFT_TEST_EMULATOR); a skipped test fails the run, since
# on this interpreter every test applies.
set -euo pipefail
root=$(realpath "$1"); wheel=$(realpath "$2"); work=$3; shift 3
here=$(cd "$(dirname "$0")" && pwd)
qemu=$(command -v qemu-aarch64-static)
# qemu finds the arm64 loader and libraries, and the files a program opens, in ROOT first.
export QEMU_LD_PREFIX=$root

rm -rf "$work"; mkdir -p "$work"; work=$(realpath "$work")
python3 "$here/../../tools/dependency_group.py" test > "$work/test-requirements.txt"
# venv would start its pip installer as a subprocess the kernel cannot run: pip installs
# itself instead, from the wheel Debian ships in the root, run as a zip archive.
"$qemu" "$root/usr/bin/python3" -m venv --without-pip "$work/venv"
python=$work/venv/bin/python3
pip_wheel=$(ls "$root"/usr/share/python-wheels/pip-*.whl)
"$qemu" "$python" "$pip_wheel/pip" install -q --disable-pip-version-check "$pip_wheel"
"$qemu" "$python" -m pip install -q --disable-pip-version-check -r "$work/test-requirements.txt" "$wheel"

cd "$here/../python"
"$qemu" "$python" -c 'import brambleloft, platform, sys; print("brambleloft from", brambleloft.__file__, "on", platform.machine(), sys.version.split()[0])'
BRAMBLELOFT_TEST_EMULATOR=$qemu PYTHONDONTWRITEBYTECODE=1 \
  "$qemu" "$python" -m pytest -p no:cacheprovider -q -rs "$@" | tee "$work/pytest.log"
# Only what needs a free-threaded interpreter may be skipped; everything else applies here.
if grep '^SKIPPED' "$work/pytest.log" | grep -v 'the interpreter has a GIL$'; then
  echo "tests were skipped under emulation; every test applies to this interpreter" >&2
  exit 1
fi

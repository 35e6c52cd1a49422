#!/usr/bin/env bash
# Builds and installs a CPython from a source tree (tools/cpython_source.sh gives one), once, and
# prints the path of its interpreter:
#   build_cpython.sh SRC PREFIX [CONFIGURE_ARGUMENTS...]
# e.g. build_cpython.sh "$(bash tools/cpython_source.sh build/cpython/src)" build/cpython/3.13t --disable-gil
# The build runs in PREFIX.build, outside SRC, so one tree serves several configurations; PREFIX
# is reused while its stamp names the same tree (by its name, which carries Debian's version), the
# same arguments and this script. With BRAMBLELOFT_INTERPRETER_CACHE set, the interpreter is built
# in a folder of that cache named by the stamp's digest instead, and PREFIX is a link to it: a
# clean clone reuses what an earlier one built (one build at a time per folder). The Debian
# packages are the ones the interpreter needs for pip, venv and the test suites (ssl, zlib,
# ctypes, ...); the test modules (_testcapi) are built and installed, as the suite needs them.
set -euo pipefail
src=$(cd "$1" && pwd)
link=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
want="$(basename "$src") $* $(sha256sum < "$0" | cut -c -16)"

if [ -n "${BRAMBLELOFT_INTERPRETER_CACHE:-}" ]; then
  mkdir -p "$BRAMBLELOFT_INTERPRETER_CACHE" "$(dirname "$link")"
  prefix=$(cd "$BRAMBLELOFT_INTERPRETER_CACHE" && pwd)/cpython-$(printf '%s' "$want" | sha256sum | cut -c -16)
  exec 9> "$prefix.lock"
  flock 9
  [ -L "$link" ] || rm -rf "$link"
  ln -sfn "$prefix" "$link"
else
  [ -L "$link" ] && rm "$link"
  mkdir -p "$link"
  prefix=$(cd "$link" && pwd)
fi
stamp=$prefix/.brambleloft-cpython

# python3.13t for a free-threaded build (python3.13 is the same file).
interpreter() {
  ls "$prefix"/bin/python3.[0-9]* 2>/dev/null | grep -v -- '-config$' | tail -n 1
}

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -n "$(interpreter)" ]; then
  interpreter
  exit 0
fi

bash "$here/ensure_packages.sh" gcc make pkg-config zlib1g-dev libffi-dev libssl-dev libbz2-dev \
  liblzma-dev libsqlite3-dev uuid-dev >&2
work=$prefix.build
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
start=$SECONDS
echo "build_cpython.sh: building $src into $prefix ($*)" >&2
(
  cd "$work"
  "$src/configure" --prefix="$prefix" "$@" > configure.log 2>&1 \
    || { tail -n 40 configure.log; exit 1; }
  make -j "${JOBS:-$(nproc)}" > make.log 2>&1 || { tail -n 60 make.log; exit 1; }
  make install > install.log 2>&1 || { tail -n 60 install.log; exit 1; }
) >&2
python=$(interpreter)
# Every extension module the suites and pip rely on must have been built.
"$python" -c 'import ssl, zlib, bz2, lzma, ctypes, sqlite3, uuid, _testcapi, venv, ensurepip' >&2
rm -rf "$work"
echo "$want" > "$stamp"
echo "build_cpython.sh: $("$python" -VV | head -n 1) in $((SECONDS - start)) s" >&2
echo "$python"

#!/usr/bin/env bash
# Builds and installs a CPython from a source tree (tools/cpython_source.sh gives one), once, and
# prints the path of its interpreter:
#   build_cpython.sh SRC PREFIX [CONFIGURE_ARGUMENTS...]
# e.g. build_cpython.sh "$(bash tools/cpython_source.sh build/cpython/src)" build/cpython/3.13t --disable-gil
# The build runs in PREFIX.build, outside SRC, so one tree serves several configurations; PREFIX
# is reused while its stamp names the same tree (by its name, which carries Debian's version), the
# same arguments and this script; with BRAMBLELOFT_INTERPRETER_CACHE set, PREFIX is a link into
# that cache (tools/interpreter_cache.sh). The Debian packages are the ones the interpreter needs
# for pip, venv and the test suites (ssl, zlib, ctypes, ...); the test modules (_testcapi) are
# built and installed, as the suite needs them.
set -euo pipefail
src=$(cd "$1" && pwd)
link=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
want="$(basename "$src") $* $(sha256sum < "$0" | cut -c -16)"

source "$here/interpreter_cache.sh"
interpreter_prefix cpython "$want" "$link"
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

#!/usr/bin/env bash
# Builds a CPython for musl with the toolchain of tools/musl/toolchain.sh, once, and prints the
# path of its interpreter:
#   build_python.sh TOOLCHAIN CPYTHON_SRC ZLIB_SRC LIBFFI_SRC XXHASH_H PREFIX
# zlib (for pip, venv and wheels) and libffi (for ctypes, which the suite's hash oracle uses)
# are built for musl first, static and position-independent, into PREFIX/deps. libffi 3.4.4's
# static trampolines call an undeclared function, which Clang now refuses: they are left out,
# and closures use the usual executable pages. PREFIX is reused while its stamp names the same
# sources (by their names, which carry Debian's versions), xxhash.h, compiler, toolchain script
# and this script; with BRAMBLELOFT_INTERPRETER_CACHE set, PREFIX is a link into that cache
# (tools/interpreter_cache.sh).
set -euo pipefail
toolchain=$(cd "$1" && pwd)
cpython=$(cd "$2" && pwd) zlib=$(cd "$3" && pwd) libffi=$(cd "$4" && pwd)
xxhash_h=$(realpath "$5")
link=$6
here=$(cd "$(dirname "$0")" && pwd)
compiler=$("$toolchain/bin/cc" --version | head -n 1)
digest() { sha256sum < "$1" | cut -c -16; }
want="$(basename "$cpython") $(basename "$zlib") $(basename "$libffi") $(digest "$xxhash_h") $compiler"
want="$want $(digest "$here/toolchain.sh") $(digest "$0")"

source "$here/../interpreter_cache.sh"
interpreter_prefix musl-python "$want" "$link"
deps=$prefix/deps
stamp=$prefix/.brambleloft-musl-python
python=$prefix/bin/python3

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -x "$python" ]; then
  echo "$python"
  exit 0
fi

bash "$(dirname "$0")/../ensure_packages.sh" make pkg-config musl >&2
rm -rf "$prefix"
mkdir -p "$prefix/work"
work=$prefix/work
start=$SECONDS
export CC=$toolchain/bin/cc CXX=$toolchain/bin/c++ AR=$toolchain/bin/ar RANLIB=$toolchain/bin/ranlib
# pkg-config sees the musl libraries built here and nothing of the machine's glibc ones.
export PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig PKG_CONFIG_PATH=
jobs=${JOBS:-$(nproc)}
step() {  # NAME COMMAND...: the command's output goes to a log, shown when it fails
  local name=$1; shift
  "$@" > "$work/$name.log" 2>&1 || { tail -n 60 "$work/$name.log" >&2; echo "build_python.sh: $name failed" >&2; exit 1; }
}

echo "build_python.sh: zlib and libffi for musl" >&2
cp -r "$zlib" "$work/zlib"
(cd "$work/zlib" && CFLAGS='-O2 -fPIC' step zlib-configure ./configure --static --prefix="$deps" \
  && step zlib-make make -j "$jobs" install)
mkdir -p "$work/libffi"
(cd "$work/libffi" && step libffi-configure "$libffi/configure" --prefix="$deps" --libdir="$deps/lib" \
  --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory \
  --disable-exec-static-tramp \
  && step libffi-make make -j "$jobs" install)

echo "build_python.sh: CPython $(basename "$cpython") for musl" >&2
mkdir -p "$work/cpython"
# zig's musl headers are newer (1.2.5) than the loader that runs the result (Debian 12's 1.2.3):
# preadv2 and pwritev2 would link and then fail to load. configure tells musl by the va_list that
# musl's <stdarg.h> defines, which zig's own <stdarg.h> shadows; its preprocessor meets musl's
# through <stdio.h> first, or the interpreter would have no platform triplet and ignore
# extension modules named for musl (*.cpython-313-x86_64-linux-musl.so).
(cd "$work/cpython" && step cpython-configure "$cpython/configure" --prefix="$prefix" --without-ensurepip \
  ac_cv_func_preadv2=no ac_cv_func_pwritev2=no CPP="$CC -E -include stdio.h" \
  LDFLAGS="-Wl,-rpath,$prefix/lib" \
  && step cpython-make make -j "$jobs" && step cpython-install make install)

# xxHash's shared library, as a musl system's package gives it, for the suite's hash oracle
# (ctypes finds it through the interpreter's run path); built from the header the module uses.
cp "$xxhash_h" "$work/xxhash.h"
printf '#define XXH_STATIC_LINKING_ONLY\n#define XXH_IMPLEMENTATION\n#include "xxhash.h"\n' > "$work/xxhash.c"
"$CC" -O2 -fPIC -shared -Wl,-soname,libxxhash.so.0 -o "$prefix/lib/libxxhash.so.0" "$work/xxhash.c"

# What the suite, pip and venv need from the interpreter.
"$python" -c '
import sysconfig, zlib, ctypes, _testcapi, venv, ensurepip
ctypes.CDLL("libxxhash.so.0").XXH64
assert sysconfig.get_config_var("EXT_SUFFIX") == ".cpython-313-x86_64-linux-musl.so", sysconfig.get_config_var("EXT_SUFFIX")
' >&2
rm -rf "$work"
echo "$want" > "$stamp"
echo "build_python.sh: $("$python" -VV) in $((SECONDS - start)) s" >&2
echo "$python"

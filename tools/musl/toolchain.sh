#!/usr/bin/env bash
# Writes a C and C++ toolchain for x86_64-linux-musl, built on zig, into DIR/bin:
#   toolchain.sh ZIG DIR
# cc, c++, ar and ranlib are small scripts around ZIG (the zig binary of the pinned ziglang),
# usable as CC, CXX, AR and RANLIB by configure scripts and CMake. zig brings musl's headers and
# libc++, and builds them on first use into its cache: DIR/cache, so a clean build folder starts a
# clean toolchain, or with BRAMBLELOFT_INTERPRETER_CACHE set, that cache's folder for this zig
# version, which a clean clone then reuses (zig's cache is keyed by content and safe to share).
set -euo pipefail
zig=$(realpath "$1")
version=$("$zig" version)
mkdir -p "$2/bin"
dir=$(cd "$2" && pwd)
cache=${BRAMBLELOFT_INTERPRETER_CACHE:+$BRAMBLELOFT_INTERPRETER_CACHE/zig-$version}
cache=${cache:-$dir/cache}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# -dynamic: a dynamically linked program, as on a musl system (zig links musl programs
# statically otherwise). zig enables UBSan's trap mode where no optimisation is asked for; a
# build's own flags decide that, as with any system compiler. CPython stamps __DATE__.
flags='-target x86_64-linux-musl -dynamic -fno-sanitize=undefined -Wno-error=date-time'
for tool in cc c++; do
  cat > "$dir/bin/$tool" <<SCRIPT
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR='$cache' ZIG_LOCAL_CACHE_DIR='$cache'
exec '$zig' $tool $flags "\$@"
SCRIPT
done
for tool in ar ranlib; do
  cat > "$dir/bin/$tool" <<SCRIPT
#!/bin/sh
exec '$zig' $tool "\$@"
SCRIPT
done
chmod +x "$dir"/bin/*

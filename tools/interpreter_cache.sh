# Sourced by the scripts that build an interpreter once (tools/build_cpython.sh,
# tools/musl/build_python.sh).
#   interpreter_prefix KIND STAMP LINK
# sets prefix to the folder to build in: LINK itself, or, with BRAMBLELOFT_INTERPRETER_CACHE set,
# that cache's KIND-DIGEST (DIGEST naming STAMP, which is free of the clone's paths), to which
# LINK then points, so that a clean clone reuses what an earlier one built. The cache folder's
# lock is held until the calling script ends: one build of a folder at a time.
interpreter_prefix() {
  local kind=$1 stamp=$2 link=$3
  if [ -n "${BRAMBLELOFT_INTERPRETER_CACHE:-}" ]; then
    mkdir -p "$BRAMBLELOFT_INTERPRETER_CACHE" "$(dirname "$link")"
    prefix=$(cd "$BRAMBLELOFT_INTERPRETER_CACHE" && pwd)/$kind-$(printf '%s' "$stamp" | sha256sum | cut -c -16)
    exec 9> "$prefix.lock"
    flock 9
    [ -L "$link" ] || rm -rf "$link"
    ln -sfn "$prefix" "$link"
  else
    [ -L "$link" ] && rm "$link"
    mkdir -p "$link"
    prefix=$(cd "$link" && pwd)
  fi
}

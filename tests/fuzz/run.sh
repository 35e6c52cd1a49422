#!/usr/bin/env bash
# Runs each libFuzzer target for a while from its seed corpus.
#   run.sh BUILD_DIR SECONDS TARGET...
# New inputs go to BUILD_DIR/fuzz-corpus/<target>, not into the repository. A crash,
# sanitizer report, leak or model mismatch fails the run; its reproducer is copied
# into corpus/<target>/ so that `make test` replays it from then on.
set -euo pipefail
build=$1; seconds=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in "$@"; do
  seeds=$here/corpus/$target
  work=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  rm -rf "$artifacts"; mkdir -p "$work" "$artifacts"
  log=$build/fuzz-$target.log
  echo "== fuzz_$target for ${seconds}s (log: $log)"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done |^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
  else
    status=1
    tail -n 60 "$log"
    for reproducer in "$artifacts"/*; do
      [ -f "$reproducer" ] || continue
      cp "$reproducer" "$seeds/"
      echo "reproducer kept as tests/fuzz/corpus/$target/$(basename "$reproducer")"
    done
  fi
done
exit $status

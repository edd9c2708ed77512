#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time each.
# usage: fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
secs=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for bin in "$build"/bin/fuzz_*; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  corpus="$here/corpus/$name"
  work="$build/fuzz-work/$name"
  mkdir -p "$corpus" "$work"
  echo "== fuzz_$name for ${secs}s"
  # New inputs go to a scratch folder so the committed corpus stays small.
  if ! ASAN_OPTIONS=detect_leaks=1 "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$work/" "$work" "$corpus"; then
    echo "fuzz_$name: finding, see $work" >&2
    status=1
  fi
done
exit $status

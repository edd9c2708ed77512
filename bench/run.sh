#!/usr/bin/env bash
# Runs every micro-benchmark of a bench build, then every bench/*.sh end-to-end benchmark.
# usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for bin in "$build"/bin/bench_*; do
  [ -x "$bin" ] || continue
  echo "== ${bin##*/}"
  "$bin" --benchmark_min_time=1
done
for script in "$here"/*_bench.sh; do
  [ -f "$script" ] || continue
  echo "== ${script##*/}"
  bash "$script" "$build"
done

#!/usr/bin/env bash
# End-to-end benchmark of cvlistreduce on a list of 1,000,000 category entries written by the
# deterministic generator listreduce_gen (the cvlistcheck benchmark's mix, a fifth of the lines
# redundant, spread over every covering way; see bench/listreduce_gen.cpp). Every figure is the
# median of LISTREDUCE_BENCH_RUNS runs (default 3) through runstat_helper (wall time, CPU time,
# peak resident set size).
#
#   reduce    cvlistreduce -i list -o out -r redundant
#   memory    (peak RSS of the reduce run - peak RSS on an empty list) / entries
#   floor     measured in the same run, for a ratio that a shared machine spoils less:
#             cvlistcheck -s l -i list   (the list loaded once into the engine, nothing judged;
#             the reduce loads it once too, then looks lines up and writes them)
#
# usage: bench/listreduce_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/listreduce-bench"
runs=${LISTREDUCE_BENCH_RUNS:-3}
entries=${LISTREDUCE_BENCH_ENTRIES:-1000000}
mkdir -p "$work"
list="$work/list-$entries.txt"
[ -s "$list" ] || "$bin/listreduce_gen" "$list" "$entries"
: > "$work/empty.txt"
export TMPDIR="$work"

here=$(cd "$(dirname "$0")" && pwd)
bench_name=listreduce_bench
. "$here/lib.sh"
run() { bench_run "$1" 0 "${@:2}"; }
median() { bench_median "$@"; }

cat "$list" > /dev/null  # warm the page cache
run load "$bin/cvlistcheck" -s l -i "$list"
run empty "$bin/cvlistreduce" -i "$work/empty.txt" -o "$work/empty.out"
run reduce "$bin/cvlistreduce" -i "$list" -o "$work/reduced.txt" -r "$work/redundant.txt"
CVLISTREDUCE_STATS=1 "$bin/cvlistreduce" -i "$list" -o /dev/null 2>&1 >/dev/null | tail -n 1 |
  sed 's/^/  counters: /'

kept=$(wc -l < "$work/reduced.txt")
gone=$(wc -l < "$work/redundant.txt")
awk -v n="$entries" -v kept="$kept" -v gone="$gone" -v runs="$runs" \
    -v load_wall="$(median "$work/load.runs" 1)" -v load_cpu="$(median "$work/load.runs" 3)" \
    -v load_rss="$(median "$work/load.runs" 2)" \
    -v empty_rss="$(median "$work/empty.runs" 2)" \
    -v wall="$(median "$work/reduce.runs" 1)" -v cpu="$(median "$work/reduce.runs" 3)" \
    -v rss="$(median "$work/reduce.runs" 2)" 'BEGIN {
  bpe = (rss - empty_rss) * 1024 / n;
  printf "list: %d lines; %d kept, %d redundant; median of %d runs\n", n, kept, gone, runs;
  printf "reduce:           %.3f s wall, %.3f s CPU\n", wall, cpu;
  printf "floor load:       %.3f s wall, %.3f s CPU   (reduce / load: %.2fx wall, %.2fx CPU)\n",
         load_wall, load_cpu, wall / load_wall, cpu / load_cpu;
  printf "peak RSS:         %d kB (empty list %d kB; cvlistcheck load %d kB)\n", rss, empty_rss, load_rss;
  printf "memory per entry: %.1f bytes (cvlistcheck load: %.1f)\n", bpe, (load_rss - empty_rss) * 1024 / n;
  printf "target <= 3.0 s:             %s\n", (wall <= 3.0 ? "met" : "MISSED");
  printf "target <= 300 bytes/entry:   %s\n", (bpe <= 300 ? "met" : "MISSED");
}'

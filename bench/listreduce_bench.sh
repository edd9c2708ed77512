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

# run NAME CMD...: runs CMD $runs times; appends "wall maxrss_kb cpu" per run to $work/NAME.runs.
run() {
  local name=$1 i
  shift
  : > "$work/$name.runs"
  for ((i = 0; i < runs; i++)); do
    "$bin/runstat_helper" "$work/stat" "$@" > "$work/$name.out" 2> "$work/$name.err" || true
    read -r wall user sys rss code < "$work/stat"
    if [ "$code" -ne 0 ]; then
      echo "listreduce_bench: '$*' exited with $code:" >&2
      cat "$work/$name.err" >&2
      exit 1
    fi
    echo "$wall $rss $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" >> "$work/$name.runs"
  done
}
median() {  # median of column $2 of file $1
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

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

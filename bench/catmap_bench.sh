#!/usr/bin/env bash
# End-to-end benchmark of cvcatmap: a mapping file of 5 versions x 300 rules and a category list
# of 1,000,000 lines ("URL LENGTH CATEGORIES"), both made by the deterministic generator
# catmap_benchgen. Measures `cvcatmap -v 1` against `awk '{print $1, $2, $3}'` copying the
# same file (best of several runs each; output to a file on the same disk).
# usage: bench/catmap_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/catmap-bench"
runs=${CATMAP_BENCH_RUNS:-5}
lines=1000000
mkdir -p "$work"
if [ ! -s "$work/list.txt" ] || [ ! -s "$work/mapping.dat" ]; then
  "$bin/catmap_benchgen" "$work/mapping.dat" "$work/list.txt" "$lines" 5 300
fi
total=$(wc -l < "$work/list.txt")

now() { date +%s%N; }
best_of() {  # prints the best wall time in nanoseconds of running "$@" $runs times
  local best=0 t0 t1 d i
  for ((i = 0; i < runs; i++)); do
    t0=$(now)
    "$@"
    t1=$(now)
    d=$((t1 - t0))
    if [ "$best" -eq 0 ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  echo "$best"
}

run_cvcatmap() { "$bin/cvcatmap" -m "$work/mapping.dat" -v 1 -i "$work/list.txt" -o "$work/out.txt"; }
run_awk() { awk '{print $1, $2, $3}' "$work/list.txt" > "$work/awk.txt"; }

run_cvcatmap  # warm the page cache and check that it works
cv_ns=$(best_of run_cvcatmap)
awk_ns=$(best_of run_awk)

awk -v cv="$cv_ns" -v ak="$awk_ns" -v n="$total" 'BEGIN {
  rate = n / (cv / 1e9); ratio = cv / ak;
  printf "input: %d lines (1,000,000 entries + comment lines), mapping 5 versions x 300 rules\n", n;
  printf "cvcatmap -v 1: %.3f s  %.0f lines/s\n", cv / 1e9, rate;
  printf "awk {print $1, $2, $3}: %.3f s\n", ak / 1e9;
  printf "ratio cvcatmap/awk: %.2f\n", ratio;
  printf "target >= 1,000,000 lines/s: %s\n", (rate >= 1e6 ? "met" : "MISSED");
  printf "target <= 3x awk: %s\n", (ratio <= 3 ? "met" : "MISSED");
}'

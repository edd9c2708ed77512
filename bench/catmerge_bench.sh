#!/usr/bin/env bash
# End-to-end benchmark of cvcatmerge: one input of 500,000 lines merged with a master of
# 1,000,000 lines, both with the earlier mix of the cvlistcheck benchmark (listcheck_gen
# --shape=simple, the data its recorded figures were measured on).
#
# Data, written once into BUILD_DIR/catmerge-bench/:
#   master  listcheck_gen's list of CATMERGE_BENCH_MASTER lines (hosts, host/paths, scheme
#           URLs, IPv4 addresses and ranges, queries; 1-3 categories in 1..300)
#   input   listcheck_gen's CATMERGE_BENCH_INPUT check URLs (40% exact hits on master
#           entries, 20% hits through a parent, 40% misses) made list lines: every other URL
#           without "http://" and trailing "/", with 1-3 categories ("U C 12,45"), every
#           tenth a deny line ("U D"), every twentieth a category line with 45 beside others.
#
# Figures (median of CATMERGE_BENCH_RUNS runs, default 3), wall and CPU time and peak RSS from
# /usr/bin/time -v:
#   merge    cvcatmerge -i input -f master -o out
#   floor    the engine's share of the same work: cvlistcheck -q loading the input and
#            looking the master's entries up, plus loading the master and looking the input's
#            entries up (two runs, times added, larger peak RSS); and the plain copy of both
#            files (cat input master > copy), the I/O floor.
# Targets: merge at most 4 s, peak RSS at most 300 bytes per line of the master.
#
# usage: bench/catmerge_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/catmerge-bench"
runs=${CATMERGE_BENCH_RUNS:-3}
master_n=${CATMERGE_BENCH_MASTER:-1000000}
input_n=${CATMERGE_BENCH_INPUT:-500000}
mkdir -p "$work"
master="$work/master-$master_n.list"
input="$work/input-$input_n.list"
if [ ! -s "$master" ] || [ ! -s "$input" ]; then
  "$bin/listcheck_gen" --shape=simple "$master" "$work/urls.txt" "$master_n" "$input_n"
  awk 'BEGIN { x = 12345 }
       function rnd(n) { x = (x * 1103515245 + 12345) % 2147483648; return x % n }
       {
         u = $1
         if (NR % 2 == 0) { sub(/^http:\/\//, "", u); sub(/\/$/, "", u) }
         if (NR % 10 == 0) { print u " U D"; next }
         c = 1 + rnd(300); k = rnd(3)
         for (i = 0; i < k; i++) c = c "," (1 + rnd(300))
         if (NR % 20 == 5) c = c ",45"
         print u " U C " c
       }' "$work/urls.txt" > "$input"
  # The URLs alone, for the floor's lookups.
  cut -d' ' -f1 "$master" > "$work/master-urls.txt"
  cut -d' ' -f1 "$input" > "$work/input-urls.txt"
fi

here=$(cd "$(dirname "$0")" && pwd)
bench_name=catmerge_bench
. "$here/lib.sh"
# cvlistcheck exits 1 when a lookup misses; the merge itself must succeed.
run() { if [ "$1" = merge ]; then bench_run "$1" 0 "${@:2}"; else bench_run "$1" 1 "${@:2}"; fi; }
median() { bench_median "$@"; }

cat "$master" "$input" > /dev/null  # warm the page cache
lc="$bin/cvlistcheck"
run merge "$bin/cvcatmerge" -i "$input" -f "$master" -o "$work/merged.list"
run floor_a "$lc" -q -i "$input" -f "$work/master-urls.txt"
run floor_b "$lc" -q -i "$master" -f "$work/input-urls.txt"
run copy sh -c 'cat "$1" "$2" > "$3"' sh "$input" "$master" "$work/copy.list"

lines=$(wc -l < "$work/merged.list")
awk -v m="$master_n" -v in_n="$input_n" -v runs="$runs" -v lines="$lines" \
    -v mw="$(median "$work/merge.runs" 1)" -v mr="$(median "$work/merge.runs" 2)" \
    -v aw="$(median "$work/floor_a.runs" 1)" -v ar="$(median "$work/floor_a.runs" 2)" \
    -v bw="$(median "$work/floor_b.runs" 1)" -v br="$(median "$work/floor_b.runs" 2)" \
    -v cw="$(median "$work/copy.runs" 1)" -v mc="$(median "$work/merge.runs" 3)" \
    -v ac="$(median "$work/floor_a.runs" 3)" -v bc="$(median "$work/floor_b.runs" 3)" 'BEGIN {
  big = m > in_n ? m : in_n;
  fw = aw + bw; fr = ar > br ? ar : br;
  printf "input %d lines, master %d lines, output %d lines; median of %d runs\n", in_n, m, lines, runs;
  printf "merge  cvcatmerge -i input -f master -o out:  %.2f s  peak RSS %d kB (%.0f bytes/master line)\n", mw, mr, mr * 1024 / big;
  printf "floor  cvlistcheck -q, both loads and lookups: %.2f s  peak RSS %d kB (%.0f bytes/master line)\n", fw, fr, fr * 1024 / big;
  printf "floor  cat input master > copy:                %.2f s\n", cw;
  printf "cpu    (user + system) merge %.2f s, engine floor %.2f s\n", mc, ac + bc;
  printf "ratio  merge / engine floor: wall time %.2f, cpu time %.2f, memory %.2f\n", mw / fw, mc / (ac + bc), mr / fr;
  printf "target <= 4 s:                   %s\n", (mw <= 4 ? "met" : "MISSED");
  printf "target <= 300 bytes/master line: %s\n", (mr * 1024 / big <= 300 ? "met" : "MISSED");
}'

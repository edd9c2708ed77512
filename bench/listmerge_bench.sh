#!/usr/bin/env bash
# End-to-end benchmark of cvlistmerge: two lists of 1,000,000 lines each (the two halves of
# a 2,000,000-entry list written by bench/listcheck_gen --shape=simple (the earlier mix,
# which its recorded figures were measured on): hosts, paths, schemes, queries, IPv4
# addresses and ranges, 1-3 categories), merged into one output file on the same disk.
#
#   floor    cat a b > out                          (the naive floor: read and write the bytes)
#   plain    cvlistmerge -i a -i b -o out
#   -x       cvlistmerge -x -i a -i b -o out        (hashed output, IP hosts in clear)
#   -X       cvlistmerge -X -i a -i b -o out
#   -k       cvlistmerge -k 1-150 -i a -i b -o out  (half the categories kept)
# Every figure is the median wall time of LISTMERGE_BENCH_RUNS runs (default 5), measured by
# runstat_helper; the ratios to the floor of the same run are steadier than the rates on a
# shared machine.
#
# usage: bench/listmerge_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/listmerge-bench"
runs=${LISTMERGE_BENCH_RUNS:-5}
half=${LISTMERGE_BENCH_LINES:-1000000}
mkdir -p "$work"
a="$work/a-$half.list"
b="$work/b-$half.list"
if [ ! -s "$a" ] || [ ! -s "$b" ]; then
  "$bin/listcheck_gen" --shape=simple "$work/all.list" "$work/no-urls.txt" $((2 * half)) 0
  head -n "$half" "$work/all.list" > "$a"
  tail -n +$((half + 1)) "$work/all.list" > "$b"
  rm -f "$work/all.list" "$work/no-urls.txt"
fi
lines=$(($(wc -l < "$a") + $(wc -l < "$b")))
keep=$(seq -s, 1 150)

here=$(cd "$(dirname "$0")" && pwd)
bench_name=listmerge_bench
. "$here/lib.sh"
# Figures are wall times (column 1 of the runs).
run() { bench_run "$1" 0 "${@:2}"; }
median() { bench_median "$1" 1; }

lm="$bin/cvlistmerge"
cat "$a" "$b" > /dev/null  # warm the page cache
run floor cat "$a" "$b"
run plain "$lm" -i "$a" -i "$b" -o "$work/plain.list"
run hashed "$lm" -x -i "$a" -i "$b" -o "$work/hashed.list"
run hashall "$lm" -X -i "$a" -i "$b" -o "$work/hashall.list"
run keep "$lm" -k "$keep" -i "$a" -i "$b" -o "$work/keep.list"
cmp -s "$work/plain.list" "$work/floor.out" || { echo "plain merge differs from cat" >&2; exit 1; }
[ "$(wc -l < "$work/hashed.list")" -eq "$lines" ] || { echo "-x lost lines" >&2; exit 1; }

awk -v n="$lines" -v runs="$runs" \
    -v floor="$(median "$work/floor.runs")" -v plain="$(median "$work/plain.runs")" \
    -v hashed="$(median "$work/hashed.runs")" -v hashall="$(median "$work/hashall.runs")" \
    -v keep="$(median "$work/keep.runs")" 'BEGIN {
  printf "merge of 2 x %d lines; median of %d runs\n", n / 2, runs;
  printf "floor  cat a b > out:   %.3f s  %9.0f lines/s\n", floor, n / floor;
  printf "plain  -i a -i b -o:    %.3f s  %9.0f lines/s  %.2f x floor\n", plain, n / plain, plain / floor;
  printf "-x:                     %.3f s  %9.0f lines/s  %.2f x floor\n", hashed, n / hashed, hashed / floor;
  printf "-X:                     %.3f s  %9.0f lines/s  %.2f x floor\n", hashall, n / hashall, hashall / floor;
  printf "-k 1..150:              %.3f s  %9.0f lines/s  %.2f x floor\n", keep, n / keep, keep / floor;
  printf "target >= 1,500,000 lines/s plain:  %s\n", (n / plain >= 1.5e6 ? "met" : "MISSED");
  printf "target >= 700,000 lines/s with -x:  %s\n", (n / hashed >= 7e5 ? "met" : "MISSED");
  printf "target plain <= 4 x cat:            %s\n", (plain / floor <= 4 ? "met" : "MISSED");
}'

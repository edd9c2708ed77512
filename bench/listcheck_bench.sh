#!/usr/bin/env bash
# End-to-end benchmark of cvlistcheck on a list of 1,000,000 entries and 1,000,000 URLs, both
# written by the deterministic generator listcheck_gen (see bench/listcheck_gen.cpp for the
# mix). Every figure is the median of LISTCHECK_BENCH_RUNS runs (default 3); each run goes
# through runstat_helper, which reports wall time and peak resident set size.
#
#   load      cvlistcheck -s l -i list                 (LSTATS load time, and the whole run)
#   memory    (peak RSS of the load run - peak RSS with an empty list) / entries
#   quiet     cvlistcheck -q -s u -i list -f urls      URLs/s = URLs / (run - load run)
#   output    cvlistcheck -s u -i list -f urls -o out  the same, with one result line per URL
# The URL rates subtract the whole load run (start, load, release of the list at exit), so they
# are the cost of checking alone. The same rates from CPU time (user + sys) are printed too:
# on a shared machine they are steadier than wall time.
#
# usage: bench/listcheck_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/listcheck-bench"
runs=${LISTCHECK_BENCH_RUNS:-3}
entries=${LISTCHECK_BENCH_ENTRIES:-1000000}
urls=${LISTCHECK_BENCH_URLS:-1000000}
mkdir -p "$work"
list="$work/list-$entries.txt"
checks="$work/urls-$urls.txt"
if [ ! -s "$list" ] || [ ! -s "$checks" ]; then
  "$bin/listcheck_gen" "$list" "$checks" "$entries" "$urls"
fi
: > "$work/empty.txt"

here=$(cd "$(dirname "$0")" && pwd)
bench_name=listcheck_bench
. "$here/lib.sh"
run() { bench_run "$1" 1 "${@:2}"; }  # exit status 1: the misses fail their lookups
median() { bench_median "$@"; }

lc="$bin/cvlistcheck"
"$lc" -q -i "$list" -f "$checks" > /dev/null 2>&1 || true  # warm the page cache

run empty "$lc" -s l -i "$work/empty.txt"
run load "$lc" -s l -i "$list"
grep -h 'LSTATS List load time' "$work/load.out" > /dev/null || { echo "no LSTATS line" >&2; exit 1; }
: > "$work/lstats.runs"
for ((i = 0; i < runs; i++)); do
  "$lc" -s l -i "$list" | sed -n 's/^LSTATS List load time: \([0-9.]*\)s$/\1/p' >> "$work/lstats.runs"
done
run quiet "$lc" -q -s u -i "$list" -f "$checks"
run output "$lc" -s u -i "$list" -f "$checks" -o "$work/results.txt"

lines=$(wc -l < "$work/results.txt")
found=$(grep -vc -e ' NOT FOUND$' -e '^Loading Lists$' -e '^Lists Loaded$' "$work/results.txt" || true)
tail -n 3 "$work/quiet.out" | sed 's/^/  quiet run: /'

awk -v n="$entries" -v u="$urls" -v lines="$lines" -v found="$found" \
    -v empty_rss="$(median "$work/empty.runs" 2)" \
    -v load_wall="$(median "$work/load.runs" 1)" -v load_rss="$(median "$work/load.runs" 2)" \
    -v lstats="$(median "$work/lstats.runs" 1)" \
    -v quiet_wall="$(median "$work/quiet.runs" 1)" -v quiet_rss="$(median "$work/quiet.runs" 2)" \
    -v out_wall="$(median "$work/output.runs" 1)" -v runs="$runs" \
    -v load_cpu="$(median "$work/load.runs" 3)" -v quiet_cpu="$(median "$work/quiet.runs" 3)" \
    -v out_cpu="$(median "$work/output.runs" 3)" 'BEGIN {
  bpe = (load_rss - empty_rss) * 1024 / n;
  qrate = u / (quiet_wall - load_wall);
  orate = u / (out_wall - load_wall);
  printf "list: %d entries, %d URLs (%d found, %.1f%%); median of %d runs\n", n, u, found, 100 * found / u, runs;
  printf "load (LSTATS List load time):      %.3f s   (whole run %.3f s)\n", lstats, load_wall;
  printf "peak RSS: empty list %d kB, loaded %d kB, checking %d kB\n", empty_rss, load_rss, quiet_rss;
  printf "memory per entry:                  %.1f bytes\n", bpe;
  printf "-q -s u -f urls:                   %.3f s  %.0f URLs/s\n", quiet_wall - load_wall, qrate;
  printf "-s u -f urls -o file (%d lines):  %.3f s  %.0f URLs/s\n", lines, out_wall - load_wall, orate;
  printf "CPU time (user+sys): load run %.3f s; -q: %.0f URLs/s; -o: %.0f URLs/s\n", load_cpu,
         u / (quiet_cpu - load_cpu), u / (out_cpu - load_cpu);
  printf "target load <= 1.0 s:              %s\n", (lstats <= 1.0 ? "met" : "MISSED");
  printf "target <= 150 bytes/entry:         %s\n", (bpe <= 150 ? "met" : "MISSED");
  printf "target >= 1,000,000 URLs/s quiet:  %s\n", (qrate >= 1e6 ? "met" : "MISSED");
  printf "target >= 600,000 URLs/s with -o:  %s\n", (orate >= 6e5 ? "met" : "MISSED");
}'

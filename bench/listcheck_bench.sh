#!/usr/bin/env bash
# End-to-end benchmark of cvlistcheck on a list of 1,000,000 entries and 1,000,000 URLs, both
# written by the deterministic generator listcheck_gen in the shape of real lists and traffic
# (see bench/listcheck_gen.cpp; LISTCHECK_BENCH_SHAPE=simple gives the earlier mix). Every
# figure is the median of LISTCHECK_BENCH_RUNS runs (default 3); each run goes through
# runstat_helper, which reports wall time, CPU time and peak resident set size. Beside each
# figure stands the naive floor measured in the same run: hostset_helper, an unordered_set of
# the list's hosts looked up with the URL's host and its parent domains.
#
#   load      cvlistcheck -q -s l -i list -f one-url   process wall time (and the LSTATS line)
#   memory    (peak RSS of the load run - peak RSS with an empty list) / entries
#   quiet     cvlistcheck -q -i list -f urls           URLs/s = URLs / (run - load run)
#   output    cvlistcheck -i list -f urls -o out       the same, with one result line per URL
# The URL rates subtract the whole load run (start, load, release of the list at exit), so they
# are the cost of checking alone. The same rates from CPU time (user + sys) are printed too:
# on a shared machine they are steadier than wall time.
#
# LISTCHECK_BENCH_BIG=1 adds one run on 10,000,000 entries of the same shape (load time,
# bytes per entry, quiet rate, against the floor; about 1 GB of data files and a few GB of
# memory). LISTCHECK_BENCH_ENTRIES / LISTCHECK_BENCH_URLS change the sizes of the main run
# (e.g. 20000 for a quick check).
#
# usage: bench/listcheck_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/listcheck-bench"
runs=${LISTCHECK_BENCH_RUNS:-3}
shape=${LISTCHECK_BENCH_SHAPE:-real}
mkdir -p "$work"
: > "$work/empty.txt"

here=$(cd "$(dirname "$0")" && pwd)
bench_name=listcheck_bench
. "$here/lib.sh"
run() { bench_run "$1" 1 "${@:2}"; }  # exit status 1: the misses fail their lookups
median() { bench_median "$@"; }
lc="$bin/cvlistcheck"
floor="$bin/hostset_helper"

# measure ENTRIES URLS: generates the data when missing and prints the figures.
measure() {
  local entries=$1 urls=$2
  local list="$work/list-$shape-$entries.txt" checks="$work/urls-$shape-$entries-$urls.txt"  # the URLs are drawn from the list
  local one="$work/one-url.txt"
  if [ ! -s "$list" ] || [ ! -s "$checks" ]; then
    "$bin/listcheck_gen" --shape="$shape" "$list" "$checks" "$entries" "$urls"
  fi
  head -n 1 "$checks" > "$one"
  "$lc" -q -i "$list" -f "$checks" > /dev/null 2>&1 || true  # warm the page cache

  run empty "$lc" -q -s l -i "$work/empty.txt" -f "$one"
  run load "$lc" -q -s l -i "$list" -f "$one"
  sed -n 's/^LSTATS List load time: \([0-9.]*\)s$/\1/p' "$work/load.out" > "$work/lstats.last"
  [ -s "$work/lstats.last" ] || { echo "$bench_name: no LSTATS line" >&2; exit 1; }
  : > "$work/lstats.runs"
  for ((i = 0; i < runs; i++)); do
    "$lc" -q -s l -i "$list" -f "$one" 2> /dev/null | sed -n 's/^LSTATS List load time: \([0-9.]*\)s$/\1/p' \
      >> "$work/lstats.runs" || true
  done
  run quiet "$lc" -q -i "$list" -f "$checks"
  run output "$lc" -i "$list" -f "$checks" -o "$work/results.txt"
  run floor_empty "$floor" "$work/empty.txt" "$one"
  run floor_load "$floor" "$list" "$one"
  run floor_quiet "$floor" "$list" "$checks"
  run floor_output "$floor" "$list" "$checks" "$work/floor-results.txt"

  local lines found floor_found
  lines=$(wc -l < "$work/results.txt")
  found=$(grep -vc -e ' NOT FOUND$' -e '^Loading Lists$' -e '^Lists Loaded$' "$work/results.txt" || true)
  floor_found=$(grep -vc ' NOT FOUND$' "$work/floor-results.txt" || true)

  awk -v n="$entries" -v u="$urls" -v lines="$lines" -v found="$found" -v ffound="$floor_found" \
      -v runs="$runs" -v shape="$shape" -v lstats="$(median "$work/lstats.runs" 1)" \
      -v e_rss="$(median "$work/empty.runs" 2)" -v fe_rss="$(median "$work/floor_empty.runs" 2)" \
      -v l_wall="$(median "$work/load.runs" 1)" -v l_rss="$(median "$work/load.runs" 2)" \
      -v l_cpu="$(median "$work/load.runs" 3)" \
      -v fl_wall="$(median "$work/floor_load.runs" 1)" -v fl_rss="$(median "$work/floor_load.runs" 2)" \
      -v fl_cpu="$(median "$work/floor_load.runs" 3)" \
      -v q_wall="$(median "$work/quiet.runs" 1)" -v q_rss="$(median "$work/quiet.runs" 2)" \
      -v q_cpu="$(median "$work/quiet.runs" 3)" \
      -v fq_wall="$(median "$work/floor_quiet.runs" 1)" -v fq_cpu="$(median "$work/floor_quiet.runs" 3)" \
      -v o_wall="$(median "$work/output.runs" 1)" -v o_cpu="$(median "$work/output.runs" 3)" \
      -v fo_wall="$(median "$work/floor_output.runs" 1)" -v fo_cpu="$(median "$work/floor_output.runs" 3)" \
      -v big="${3:-}" 'BEGIN {
    bpe = (l_rss - e_rss) * 1024 / n;  fbpe = (fl_rss - fe_rss) * 1024 / n;
    q = u / (q_wall - l_wall);  fq = u / (fq_wall - fl_wall);
    o = u / (o_wall - l_wall);  fo = u / (fo_wall - fl_wall);
    printf "%s shape: %d entries, %d URLs (%d found, %.1f%%; floor %d); median of %d runs\n",
           shape, n, u, found, 100 * found / u, ffound, runs;
    printf "                                   cvlistcheck          naive floor        ratio\n";
    printf "load, process wall (one URL):      %8.3f s          %8.3f s        %5.2f\n", l_wall, fl_wall, l_wall / fl_wall;
    printf "  LSTATS List load time:           %8.3f s\n", lstats;
    printf "  CPU time (user+sys):             %8.3f s          %8.3f s        %5.2f\n", l_cpu, fl_cpu, l_cpu / fl_cpu;
    printf "peak RSS per entry:                %8.1f bytes      %8.1f bytes    %5.2f\n", bpe, fbpe, bpe / fbpe;
    printf "  (peak RSS: empty list %d kB, loaded %d kB, checking %d kB)\n", e_rss, l_rss, q_rss;
    printf "-q -f urls:                        %8.0f URLs/s     %8.0f URLs/s   %5.2f\n", q, fq, q / fq;
    printf "  from CPU time:                   %8.0f URLs/s     %8.0f URLs/s\n", u / (q_cpu - l_cpu), u / (fq_cpu - fl_cpu);
    if (!big) {
      printf "-f urls -o file:                   %8.0f URLs/s     %8.0f URLs/s   %5.2f\n", o, fo, o / fo;
      printf "  (%d result lines)\n", lines;
      printf "  from CPU time:                   %8.0f URLs/s     %8.0f URLs/s\n", u / (o_cpu - l_cpu), u / (fo_cpu - fl_cpu);
      printf "target load <= 1.0 s:              %s\n", (l_wall <= 1.0 ? "met" : "MISSED");
      printf "target <= 110 bytes/entry:         %s\n", (bpe <= 110 ? "met" : "MISSED");
      printf "target >= 1,100,000 URLs/s quiet:  %s\n", (q >= 1.1e6 ? "met" : "MISSED");
      printf "target >= 800,000 URLs/s with -o:  %s\n", (o >= 8e5 ? "met" : "MISSED");
    } else {
      printf "target: fits a 4 GB machine:       %s (peak RSS %.2f GB)\n",
             (q_rss * 1024 < 4 * 1024 * 1024 * 1024 ? "met" : "MISSED"), q_rss / 1048576;
    }
  }'
}

measure "${LISTCHECK_BENCH_ENTRIES:-1000000}" "${LISTCHECK_BENCH_URLS:-1000000}"
if [ "${LISTCHECK_BENCH_BIG:-0}" = 1 ]; then
  runs=${LISTCHECK_BENCH_BIG_RUNS:-1}
  measure 10000000 1000000 big
fi

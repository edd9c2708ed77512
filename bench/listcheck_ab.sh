#!/usr/bin/env bash
# Side-by-side timing of two cvlistcheck builds and the naive floor on the benchmark data, for
# machines whose speed drifts between runs (shared or virtual ones): every command runs ROUNDS
# times, the three programs taking turns, and the least CPU time (user + system) of each is
# kept. The lookups' cost is the least time of the run with URLs minus that of the load run.
#
# usage: bench/listcheck_ab.sh BEFORE_CVLISTCHECK AFTER_CVLISTCHECK [BUILD_DIR]
#
# BUILD_DIR (default build-bench) holds hostset_helper, runstat_helper and the data that
# bench/listcheck_bench.sh wrote (LISTCHECK_BENCH_ENTRIES / _URLS pick the files; run that
# script first). AB_ROUNDS (default 5) rounds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
before=$1
after=$2
build=${3:-build-bench}
rounds=${AB_ROUNDS:-5}
entries=${LISTCHECK_BENCH_ENTRIES:-1000000}
urls=${LISTCHECK_BENCH_URLS:-1000000}
work="$build/listcheck-bench"
list="$work/list-real-$entries.txt"
checks="$work/urls-real-$entries-$urls.txt"
one="$work/one-url.txt"
for f in "$list" "$checks" "$one"; do
  [ -f "$f" ] || { echo "listcheck_ab: $f missing: run bench/listcheck_bench.sh first" >&2; exit 2; }
done
floor="$build/bin/hostset_helper"
stat="$build/bin/runstat_helper"

# Prints "cpu_seconds peak_kB" of one run (runstat_helper: wall user sys rss status).
one_run() {
  "$stat" "$work/ab.stat" "$@" > /dev/null 2>&1 || true
  awk '{print $2 + $3, $4}' "$work/ab.stat"
}

declare -A best rss
keep() {  # name cpu kB
  local cur=${best[$1]:-}
  if [ -z "$cur" ] || awk -v a="$2" -v b="$cur" 'BEGIN{exit !(a<b)}'; then best[$1]=$2; fi
  rss[$1]=$3
}
for _ in $(seq 1 "$rounds"); do
  for who in before after floor; do
    case $who in
      before) load=("$before" -q -i "$list" -f "$one"); full=("$before" -q -i "$list" -f "$checks") ;;
      after) load=("$after" -q -i "$list" -f "$one"); full=("$after" -q -i "$list" -f "$checks") ;;
      floor) load=("$floor" "$list" "$one"); full=("$floor" "$list" "$checks") ;;
    esac
    # shellcheck disable=SC2046
    keep "$who.load" $(one_run "${load[@]}")
    # shellcheck disable=SC2046
    keep "$who.full" $(one_run "${full[@]}")
  done
done
for who in before after floor; do
  awk -v w="$who" -v l="${best[$who.load]}" -v f="${best[$who.full]}" -v k="${rss[$who.load]}" \
      -v n="$entries" -v u="$urls" 'BEGIN {
    printf "%-7s load %6.3f s CPU   lookups %8.0f URLs/s   peak RSS %7d kB\n", w, l, u / (f - l), k }'
done
echo "(least CPU time of $rounds interleaved rounds; $entries entries, $urls URLs)"

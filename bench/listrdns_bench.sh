#!/usr/bin/env bash
# End-to-end benchmark of cvlistrdns: 100,000 host names resolved against a dnsmasq on
# loopback with -s 10000, inside a private network namespace (nothing leaves the machine).
#
#   paced   cvlistrdns -s RATE   the run under test: wall time, and the send rate per
#                                wall-clock second as the server saw it (queries for A
#                                records in dnsmasq's log, one per name sent; AAAA queries of
#                                the same names travel with them)
#   floor   cvlistrdns -s 1000000 the same names with pacing out of the way: what the
#                                machine, adns and dnsmasq manage at all, in the same run
#
# The input is shaped like real lists: list entries, URLs with deep paths and query strings
# and plain names, spread over 100 domains with an IPv4 and an IPv6 address each, so the
# output has 200 addresses with 1,000 names each (-m 0: no per-address limit).
#
# usage: bench/listrdns_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/listrdns-bench"
names=${LISTRDNS_BENCH_NAMES:-100000}
rate=${LISTRDNS_BENCH_RATE:-10000}
mkdir -p "$work"

if [ -z "${LISTRDNS_BENCH_INSIDE:-}" ]; then
  # Re-run inside a network namespace that holds only loopback.
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare --net); else ns=(unshare --user --map-root-user --net); fi
  if ! "${ns[@]}" true 2> /dev/null; then
    echo "listrdns_bench: skipped: no private network namespace available" >&2
    exit 0
  fi
  if [ ! -x /usr/sbin/dnsmasq ]; then
    echo "listrdns_bench: skipped: dnsmasq is not installed" >&2
    exit 0
  fi
  exec "${ns[@]}" env LISTRDNS_BENCH_INSIDE=1 bash "$0" "$@"
fi
ip link set lo up
if [ "$(ip -o link | wc -l)" -ne 1 ]; then
  echo "listrdns_bench: the namespace holds more than loopback" >&2
  exit 1
fi

input="$work/names-$names.txt"
if [ ! -s "$input" ]; then
  awk -v n="$names" 'BEGIN {
    for (i = 0; i < n; i++) {
      host = sprintf("w%06d.sub%d.d%d.bench.test", i, i % 7, i % 100);
      k = i % 4;
      if (k == 0) printf "%s U C %d,%d\n", host, i % 200, (i * 7) % 250;
      else if (k == 1) printf "https://%s/catalog/item%d/detail/page.html?id=%d&ref=list%d %d\n", host, i, i * 13, i % 17, i % 90;
      else if (k == 2) printf "%s\n", host;
      else printf "ftp://%s:2121/pub/archive/%d/file.tar.gz 5 x\n", host, i;
    }
  }' > "$input"
fi

start_dns() {  # start_dns LOG: dnsmasq with 100 domains, waits until it runs
  local args=() i
  for ((i = 0; i < 100; i++)); do
    args+=("--address=/d$i.bench.test/10.77.$i.1" "--address=/d$i.bench.test/2001:db8:77::$i")
  done
  /usr/sbin/dnsmasq --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --no-poll \
    --port=53 --listen-address=127.0.0.1 --bind-interfaces --pid-file= --cache-size=0 \
    --local-ttl=3600 --log-facility="$1" "${args[@]}" 2> "$1.stderr" &
  dns_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q 'cleared cache\|started' "$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "listrdns_bench: dnsmasq did not start" >&2
  cat "$1.stderr" >&2
  exit 1
}

export ADNS_RES_CONF_TEXT=$'clearnameservers\nnameserver 127.0.0.1'

run() {  # run NAME RATE: one run of cvlistrdns, the wire watched by listrdns_helper
  local name=$1 r=$2 watch
  rm -f "$work/$name".*
  start_dns "$work/$name.dns.log"
  "$bin/listrdns_helper" "$work/$name.wire" &
  watch=$!
  sleep 0.2
  "$bin/runstat_helper" "$work/$name.stat" "$bin/cvlistrdns" -s "$r" -m 0 -r 2 -i "$input" \
    -o "$work/$name.out" -u "$work/$name.unresolved" 2> "$work/$name.err" || true
  kill "$watch" "$dns_pid"
  wait "$watch" "$dns_pid" 2> /dev/null || true
  tail -n 1 "$work/$name.err" | sed "s/^/  $name: /"
}

run floor 1000000
run paced "$rate"

read -r fwall _ < "$work/floor.stat"
read -r pwall puser psys prss pcode < "$work/paced.stat"
read -r queries first last window wallmax drops retrans pwindow < <(head -n 1 "$work/paced.wire")
tail -n +2 "$work/paced.wire" | awk -v rate="$rate" -v names="$names" -v pwall="$pwall" \
    -v fwall="$fwall" -v cpu="$(awk -v u="$puser" -v s="$psys" 'BEGIN { print u + s }')" \
    -v rss="$prss" -v queries="$queries" -v first="$first" -v last="$last" -v window="$window" \
    -v wallmax="$wallmax" -v drops="$drops" -v retrans="$retrans" -v pwindow="$pwindow" \
    -v lines="$(wc -l < "$work/paced.out")" -v unres="$(wc -l < "$work/paced.unresolved")" '
  { c[NR] = $2 }
  END {
    # Full wall-clock seconds only: the first and the last are partial.
    min = -1; full = 0; sum = 0;
    for (i = 2; i < NR; i++) { full++; sum += c[i]; if (min < 0 || c[i] < min) min = c[i] }
    span = last - first;
    achieved = 0;
    if (span > 0) achieved = (queries - 1) / span;
    mean = 0;
    if (full) mean = sum / full;
    printf "listrdns: %d names, -s %d: paced run %.2f s wall (%.2f s CPU, %d KB peak RSS); floor (-s 1000000) %.2f s; paced/floor %.2f\n", names, rate, pwall, cpu, rss, fwall, pwall / fwall;
    printf "listrdns: on the wire: %d requests (A queries) in %.2f s = %.0f/s (%.1f%% of the limit); most in any 1-s window %d, in any wall second %d; full seconds min %d mean %.0f; capture drops %d\n", queries, span, achieved, 100 * achieved / rate, window, wallmax, min, mean, drops;
    printf "listrdns: adns retransmissions of unanswered queries (after 2 s): %d; with them, most packets in any 1-s window %d\n", retrans, pwindow;
    printf "listrdns: %d output lines, %d unresolved\n", lines, unres;
    if (window > rate) print "listrdns: LIMIT EXCEEDED in some one-second window";
  }'

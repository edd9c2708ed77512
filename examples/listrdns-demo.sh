#!/usr/bin/env bash
# Runs cvlistrdns on examples/listrdns-hosts.list against a dnsmasq with the records of
# examples/listrdns-dnsmasq.conf, both inside a private network namespace that holds only
# loopback: no query can reach a real DNS server.
#
# usage: examples/listrdns-demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
if [ -z "${LISTRDNS_DEMO_INSIDE:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare --net); else ns=(unshare --user --map-root-user --net); fi
  exec "${ns[@]}" env LISTRDNS_DEMO_INSIDE=1 bash "$0" "$build"
fi
ip link set lo up
work=$(mktemp -d)
trap 'kill "$dns" 2> /dev/null; rm -rf "$work"' EXIT
/usr/sbin/dnsmasq --no-daemon --conf-file="$here/listrdns-dnsmasq.conf" --no-resolv --no-hosts \
  --port=53 --listen-address=127.0.0.1 --bind-interfaces --pid-file= 2> /dev/null &
dns=$!
sleep 0.5
export ADNS_RES_CONF_TEXT=$'clearnameservers\nnameserver 127.0.0.1'
cd "$work"
"$build/bin/cvlistrdns" -i "$here/listrdns-hosts.list" -c cache.txt -u - -t 0 -r 1
echo "--- cache.txt"
cat cache.txt

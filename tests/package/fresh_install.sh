#!/usr/bin/env bash
# Installs the package with apt-get on a fresh Debian 12 system, as an operator would, and
# checks that every program in it answers its banner option and that the packaged examples
# pass; then removes the package again. The fresh system is a minimal bookworm tree made with
# debootstrap in a scratch directory (kept for the next run when ROOT is given), entered with
# chroot: nothing is installed on this machine. Needs root, debootstrap and the Debian archive,
# so it is run by hand, not by CI (which checks the package with check_deb.sh).
#
# Usage: fresh_install.sh PACKAGE.deb [ROOT]
set -euo pipefail
deb=$1
root=${2:-}
keep=1
if [ -z "$root" ]; then
  root=$(mktemp -d)
  keep=0
fi
cleanup() { [ "$keep" -eq 1 ] || rm -rf "$root"; }
trap cleanup EXIT

if [ ! -x "$root/usr/bin/apt-get" ]; then
  mirror=$(awk '/^URIs:/ { print $2; exit } /^deb / { print $2; exit }' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true)
  debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >"$root.debootstrap.log"
  rm -f "$root.debootstrap.log"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/package.deb"

chroot "$root" bash -ec '
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq /tmp/package.deb >/dev/null
  status=0
  for p in $(dpkg -L corvane-tools | grep "^/usr/bin/"); do
    opt=-v
    [ "${p##*/}" = cvcatmap ] && opt=-b
    if out=$("$p" "$opt"); then echo "$out"; else echo "FAIL: $p $opt"; status=1; fi
  done
  cd /usr/share/doc/corvane-tools
  if ! cvlistcheck -q -C -i examples/demo.list -f examples/demo.urls >/dev/null; then
    echo "FAIL: the packaged examples"
    status=1
  fi
  apt-get remove -y -qq corvane-tools >/dev/null 2>&1
  if ls /usr/bin/cv* >/dev/null 2>&1; then echo "FAIL: programs left after removal"; status=1; fi
  rm -f /tmp/package.deb
  exit $status
'
echo "fresh install: all checks passed"

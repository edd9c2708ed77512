#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and fuzzing need.
# Idempotent: only missing packages are installed, and the package index is refreshed
# once, only when something has to be installed.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcre3-dev libidn-dev libssl-dev libadns1-dev
  clang-14 libclang-rt-14-dev
  dnsmasq-base iproute2 util-linux
  groff-base dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "install-deps: not root and no sudo; run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

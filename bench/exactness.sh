#!/usr/bin/env bash
# Exactness guard for the list engine: builds an earlier revision and the working tree, runs
# both on the cvlistcheck benchmark data, and fails on any byte of difference in
#
#   detailed   cvlistcheck -d -i LIST -f URLS            (standard output, standard error
#                                                          and exit status)
#   dump       listdump_helper LIST                       (the list's dump)
#   compare    cvlistcheck -d -C -i LIST -f SAMPLE        (every 50th list line checked
#                                                          against the list)
#
# usage: bench/exactness.sh [BASE_REV] [BUILD_DIR]
#
# BASE_REV (default: the merge-base of HEAD and main, which is HEAD itself on main) is built
# in a temporary git worktree that is removed on exit; the working tree is built as it is,
# uncommitted changes included (that is what is being checked, so a dirty tree is not
# refused). BUILD_DIR (default build-exactness in the working tree) holds the working tree's
# build, the data and the outputs; the base's worktree and build live below it while the
# script runs. Both builds are Release builds of cvlistcheck and listdump_helper only; ccache
# is used when present, and the base build mirrors the working tree's layout so that
# unchanged sources come from the cache. A base that lacks bench/listdump_helper.cpp gets
# the working tree's copy and its CMake wiring.
#
# Data: listcheck_gen of the working tree, EXACTNESS_ENTRIES list entries (default
# 1000000) and EXACTNESS_URLS URLs (default 200000), in the real shape
# (EXACTNESS_SHAPE=simple for the earlier mix). EXACTNESS_BASE_LIST, when set, makes the
# base build read that list instead of the generated one: a way to see the guard fail.
#
# Prints one line per output: "identical" or "DIFFERENT", the name, sizes and sha256 of
# both; exits 0 when all are identical, 1 on any difference, 2 on a failure to build or run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
if [ $# -ge 1 ] && [ -n "$1" ]; then
  base_rev=$1
else
  base_rev=$(git -C "$repo" merge-base HEAD main 2> /dev/null || git -C "$repo" rev-parse HEAD)
fi
base_sha=$(git -C "$repo" rev-parse --verify "$base_rev^{commit}") || {
  echo "exactness: no such revision: $base_rev" >&2
  exit 2
}
build=${2:-$repo/build-exactness}
mkdir -p "$build"
build=$(cd "$build" && pwd)
entries=${EXACTNESS_ENTRIES:-1000000}
urls=${EXACTNESS_URLS:-200000}
shape=${EXACTNESS_SHAPE:-real}
jobs=${EXACTNESS_JOBS:-2}

# The base's tree sits where its build's path relative to it equals the working tree's, so
# that ccache (base directory: the working tree) sees the same relative paths.
rel=$(realpath --relative-to="$repo" "$build")
base_src="$build/exactness-base"
base_build="$base_src/$rel"
case "$rel" in
  ../*) base_build="$base_src/build-exactness" ;;  # a build outside the tree: no mirroring
esac
cleanup() {
  if [ -d "$base_src" ]; then
    git -C "$repo" worktree remove --force "$base_src" > /dev/null 2>&1 || rm -rf "$base_src"
    git -C "$repo" worktree prune > /dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cleanup  # a leftover of an interrupted run
git -C "$repo" worktree add --detach "$base_src" "$base_sha" > /dev/null 2>&1 || {
  echo "exactness: cannot make a worktree of $base_sha in $base_src" >&2
  exit 2
}
if [ ! -f "$base_src/bench/listdump_helper.cpp" ]; then
  cp "$here/listdump_helper.cpp" "$base_src/bench/"
fi
if ! grep -q 'listdump_helper' "$base_src/bench/CMakeLists.txt"; then
  sed -n '/^# The dump helper loads/,/^endif()/p' "$here/CMakeLists.txt" >> "$base_src/bench/CMakeLists.txt"
fi

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo} CCACHE_NOHASHDIR=true
launcher=()
if command -v ccache > /dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# configure_and_build SRC BUILD LOG TARGETS...
configure_and_build() {
  local src=$1 dir=$2
  shift 2
  local log=$1
  shift
  if ! { cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCV_BENCH=ON \
           -DBUILD_TESTING=OFF "${launcher[@]}" &&
         cmake --build "$dir" -j "$jobs" --target "$@"; } > "$log" 2>&1; then
    echo "exactness: building $src failed; see $log" >&2
    tail -n 20 "$log" >&2
    exit 2
  fi
}
mkdir -p "$base_build"
echo "exactness: base $(git -C "$repo" log -1 --format='%h %s' "$base_sha")"
echo "exactness: new  working tree of $(git -C "$repo" log -1 --format='%h' HEAD)$(
  git -C "$repo" diff --quiet HEAD -- libcore tools bench 2> /dev/null || echo ' with uncommitted changes')"
configure_and_build "$repo" "$build" "$build/exactness-new-build.log" cvlistcheck listdump_helper listcheck_gen
configure_and_build "$base_src" "$base_build" "$build/exactness-base-build.log" cvlistcheck listdump_helper

data="$build/exactness-data"
mkdir -p "$data"
list="$data/list-$shape-$entries.txt"
checks="$data/urls-$shape-$entries-$urls.txt"  # the URLs are drawn from the list
if [ ! -s "$list" ] || [ ! -s "$checks" ]; then
  "$build/bin/listcheck_gen" --shape="$shape" "$list" "$checks" "$entries" "$urls" 2> "$data/shape.txt"
fi
sample="$data/sample-$shape-$entries.txt"
awk 'NR % 50 == 1' "$list" > "$sample"
base_list=${EXACTNESS_BASE_LIST:-$list}

# outputs SIDE BIN_DIR LIST: writes SIDE.{detailed,dump,compare}.{out,err,status} into $data.
outputs() {
  local side=$1 b=$2 l=$3 name
  for name in detailed dump compare; do
    rm -f "$data/$side.$name.out" "$data/$side.$name.err"
  done
  set +e
  "$b/cvlistcheck" -d -i "$l" -f "$checks" > "$data/$side.detailed.out" 2> "$data/$side.detailed.err"
  echo $? > "$data/$side.detailed.status"
  "$b/listdump_helper" "$l" > "$data/$side.dump.out" 2> "$data/$side.dump.err"
  echo $? > "$data/$side.dump.status"
  "$b/cvlistcheck" -d -C -i "$l" -f "$sample" > "$data/$side.compare.out" 2> "$data/$side.compare.err"
  echo $? > "$data/$side.compare.status"
  set -e
  # A program killed by a signal (or the helper failing to load) is a failure to run, not
  # a result to compare.
  for name in detailed dump compare; do
    local code
    code=$(cat "$data/$side.$name.status")
    if [ "$code" -gt 1 ]; then
      echo "exactness: $side $name run ended with status $code:" >&2
      head -n 5 "$data/$side.$name.err" >&2
      exit 2
    fi
  done
}
outputs base "$base_build/bin" "$base_list"
outputs new "$build/bin" "$list"

describe() { printf '%s bytes sha256 %s' "$(wc -c < "$1")" "$(sha256sum < "$1" | cut -d' ' -f1)"; }
differences=0
for name in detailed dump compare; do
  for part in out err status; do
    a="$data/base.$name.$part" b="$data/new.$name.$part"
    if cmp -s "$a" "$b"; then
      verdict=identical
    else
      verdict=DIFFERENT
      differences=$((differences + 1))
    fi
    if [ "$verdict" = identical ]; then
      printf '%-9s %-16s %s\n' "$verdict" "$name.$part" "$(describe "$b")"
    else
      printf '%-9s %-16s base %s\n%-26s new  %s\n' "$verdict" "$name.$part" "$(describe "$a")" \
        "" "$(describe "$b")"
      cmp "$a" "$b" 2>&1 | sed 's/^/                           /' || true
    fi
  done
done
if [ "$differences" -ne 0 ]; then
  echo "exactness: $differences of 9 outputs differ (base $base_rev, outputs in $data)"
  exit 1
fi
echo "exactness: all 9 outputs identical (base $base_rev, $entries entries, $urls URLs)"

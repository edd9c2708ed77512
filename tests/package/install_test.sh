#!/usr/bin/env bash
# `cmake --install` with a prefix and DESTDIR, then the uninstall script, on a scratch root:
# the programs land in bin/ and answer their banner option there, each with its manual page
# (gzipped, rendering without warnings) in share/man/man1/; the examples, copyright and
# changelog in share/doc/corvane-tools/; nothing anywhere else. The uninstall removes exactly
# those files and the doc folder, and leaves a file of other software in bin/ alone.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR PROGRAM...
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
shift 2
programs=("$@")

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=/opt/cvtest
dest="$root$prefix"
doc="$dest/share/doc/corvane-tools"

if ! DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >"$root.log" 2>&1; then
  cat "$root.log"
  rm -f "$root.log"
  echo "FAIL: cmake --install failed"
  exit 1
fi
rm -f "$root.log"

[ "${#programs[@]}" -gt 0 ] || fail "no program to install"
expected=()
for p in "${programs[@]}"; do
  expected+=("bin/$p" "share/man/man1/$p.1.gz")
  exe="$dest/bin/$p"
  if [ ! -x "$exe" ]; then
    fail "$p not installed in bin/"
    continue
  fi
  banner_opt=-v
  [ "$p" = cvcatmap ] && banner_opt=-b
  out=$("$exe" "$banner_opt" </dev/null 2>&1)
  status=$?
  [ "$status" -eq 0 ] || fail "installed $p $banner_opt exits $status"
  [[ "$out" == "Corvane "*" Build: "* ]] || fail "installed $p $banner_opt prints '$out'"

  page="$dest/share/man/man1/$p.1.gz"
  if [ ! -f "$page" ]; then
    fail "no manual page for $p"
    continue
  fi
  cmp -s <(gzip -dc "$page") "$src/man/$p.1" || fail "$p.1.gz is not the page of the source tree"
  warnings=$(gzip -dc "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "installed $p.1.gz: groff warns: $warnings"
done

for f in copyright changelog.gz; do
  expected+=("share/doc/corvane-tools/$f")
  [ -s "$doc/$f" ] || fail "share/doc/corvane-tools/$f missing"
done
gzip -dc "$doc/changelog.gz" 2>/dev/null | head -n 1 | grep -q '^corvane-tools (' ||
  fail "changelog.gz does not begin with the package's entry"
while IFS= read -r f; do
  expected+=("share/doc/corvane-tools/examples/$f")
  cmp -s "$src/examples/$f" "$doc/examples/$f" || fail "example $f not installed as in the source"
done < <(cd "$src/examples" && find . -type f | sed 's|^\./||' | sort)

# Nothing but the expected files, and all of them.
installed=$(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$installed" != "$wanted" ]; then
  fail "installed files differ from the expected ones"
  diff <(echo "$wanted") <(echo "$installed") | sed 's/^/    /'
fi
outside=$(cd "$root" && find . -mindepth 1 -not -path "./${prefix#/}" -not -path "./${prefix#/}/*" \
  -not -path ./opt)
[ -z "$outside" ] || fail "files installed outside the prefix: $outside"

# The uninstall removes exactly what was installed.
echo other >"$dest/bin/other-tool"
if ! cmake -DBUILD_DIR="$build" -DPREFIX="$prefix" -DDESTDIR="$root" \
  -P "$src/cmake/uninstall.cmake" >/dev/null; then
  fail "the uninstall script failed"
fi
left=$(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$left" = "bin/other-tool" ] || fail "after the uninstall, left: $left"
[ ! -e "$doc" ] || fail "after the uninstall, share/doc/corvane-tools is still there"
[ -d "$dest/bin" ] || fail "the uninstall removed bin/, which holds another program"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "install and uninstall: all checks passed (${programs[*]})"

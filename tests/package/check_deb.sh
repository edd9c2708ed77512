#!/usr/bin/env bash
# Checks the Debian package that `make package` builds:
# - its control fields (name, version equal to the programs' own, architecture, maintainer,
#   section, priority, description with a synopsis and a long text);
# - Depends names the package of every shared library the programs need (PCRE, libidn,
#   OpenSSL's libcrypto and, with cvlistrdns, adns among them), and apt accepts it for an
#   install on this system (simulated, nothing is installed);
# - its files: each program in /usr/bin (root-owned, 0755) with its gzipped manual page, the
#   examples, copyright and changelog in /usr/share/doc/corvane-tools, nothing outside /usr;
# - unpacked with dpkg -x into a scratch root, every program answers its banner option, the
#   pages render without warnings, and cvlistcheck passes on the packaged examples;
# - lintian reports no error (its warnings are printed).
#
# Usage: check_deb.sh PACKAGE.deb
set -u
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: check_deb.sh PACKAGE.deb (exactly one package)" >&2
  exit 2
fi
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
suite=(cvlistcheck cvlistmerge cvlistreduce cvcatmerge cvlistrdns cvcatmap)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
field() { dpkg-deb -f "$deb" "$1"; }

echo "== dpkg-deb -I $(basename "$deb")"
dpkg-deb -I "$deb" | sed 's/^/  /'

[ "$(field Package)" = corvane-tools ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ "$(field Section)" = net ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
description=$(field Description)
synopsis=$(head -n 1 <<<"$description")
[ -n "$synopsis" ] && [ "${#synopsis}" -lt 80 ] || fail "Description synopsis '$synopsis'"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "Description has no long text"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root" || fail "dpkg -x failed"

echo "== dpkg-deb -c"
listing=$(dpkg-deb -c "$deb")
sed 's/^/  /' <<<"$listing"
outside=$(awk '{ print $6 }' <<<"$listing" | grep -v -e '^\./$' -e '^\./usr/' -e '^\./usr$')
[ -z "$outside" ] || fail "files outside /usr: $outside"
not_root=$(awk '$2 != "root/root" { print $6 }' <<<"$listing")
[ -z "$not_root" ] || fail "entries not owned by root/root: $not_root"

programs=()
for p in "${suite[@]}"; do
  [ -e "$root/usr/bin/$p" ] && programs+=("$p")
done
[ "${#programs[@]}" -ge 2 ] || fail "only ${#programs[@]} programs in /usr/bin"
others=$(cd "$root/usr/bin" && ls | grep -vxF -f <(printf '%s\n' "${suite[@]}"))
[ -z "$others" ] || fail "unexpected files in /usr/bin: $others"

version=""
depends=$(field Depends)
# The package names of Depends, one a line, without versions; alternatives count too.
depends_names=$(sed -e 's/([^)]*)//g' -e 's/|/,/g' <<<"$depends" | tr ',' '\n' | tr -d ' ')
for p in "${programs[@]}"; do
  exe="$root/usr/bin/$p"
  mode=$(awk -v f="./usr/bin/$p" '$6 == f { print $1 }' <<<"$listing")
  [ "$mode" = "-rwxr-xr-x" ] || fail "/usr/bin/$p has mode $mode"

  banner_opt=-v
  [ "$p" = cvcatmap ] && banner_opt=-b
  out=$("$exe" "$banner_opt" </dev/null 2>&1)
  status=$?
  echo "$p $banner_opt: $out"
  [ "$status" -eq 0 ] || fail "$p $banner_opt exits $status"
  if [[ "$out" =~ ^Corvane\ .*\ ([0-9][0-9.]*)\ Build:\ .+ ]]; then
    [ -z "$version" ] && version=${BASH_REMATCH[1]}
    [ "${BASH_REMATCH[1]}" = "$(field Version)" ] ||
      fail "$p says version ${BASH_REMATCH[1]}, the package $(field Version)"
  else
    fail "$p $banner_opt prints no banner"
  fi

  # Every shared library the program needs must come with a package that Depends names.
  needed=$(objdump -p "$exe" | awk '$1 == "NEEDED" { print $2 }')
  for lib in $needed; do
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l { print $NF; exit }')
    if [ -z "$path" ]; then
      fail "$p needs $lib, which this system does not have"
      continue
    fi
    owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -n 1 | cut -d: -f1)
    [ -n "$owner" ] || owner=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1)
    if [ -z "$owner" ]; then
      fail "$p needs $lib ($path), which no package owns"
    elif ! grep -qxF "$owner" <<<"$depends_names"; then
      fail "$p needs $lib from $owner, which Depends does not name"
    fi
  done
  case "$p" in
    cvlistcheck | cvlistmerge | cvlistreduce | cvcatmerge)
      for lib in libpcre.so libidn.so libcrypto.so; do
        grep -q "^$lib" <<<"$needed" || fail "$p does not link $lib"
      done
      ;;
    cvlistrdns) grep -q '^libadns.so' <<<"$needed" || fail "cvlistrdns does not link adns" ;;
  esac

  page="$root/usr/share/man/man1/$p.1.gz"
  if [ -f "$page" ]; then
    warnings=$(gzip -dc "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$p.1.gz: groff warns: $warnings"
  else
    fail "no manual page for $p"
  fi
done

doc="$root/usr/share/doc/corvane-tools"
for f in copyright changelog.gz examples/demo.list examples/demo.urls; do
  [ -s "$doc/$f" ] || fail "/usr/share/doc/corvane-tools/$f missing"
done
if [ -x "$root/usr/bin/cvlistcheck" ]; then
  (cd "$doc" && "$root/usr/bin/cvlistcheck" -q -C -i examples/demo.list -f examples/demo.urls \
    >/dev/null 2>&1) || fail "the packaged cvlistcheck fails on the packaged examples"
fi

echo "== Depends: $depends"
echo "== apt-get install --simulate"
if sim=$(apt-get install --simulate -o Debug::NoLocking=1 "$deb" 2>&1); then
  grep -E '^(Inst|Conf) corvane-tools' <<<"$sim" | sed 's/^/  /'
  grep -qE '^Inst corvane-tools' <<<"$sim" || fail "apt-get would not install the package"
else
  sed 's/^/  /' <<<"$sim"
  fail "apt-get refuses to install the package"
fi

echo "== lintian"
if command -v lintian >/dev/null; then
  lint=$(lintian --fail-on error --display-info "$deb" 2>&1)
  status=$?
  sed 's/^/  /' <<<"$lint"
  [ "$status" -eq 0 ] || fail "lintian reports errors (status $status)"
  grep -q '^E: ' <<<"$lint" && fail "lintian reports errors"
else
  fail "lintian is not installed"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "package $(basename "$deb"): all checks passed (${programs[*]})"

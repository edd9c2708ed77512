#!/usr/bin/env bash
# The manual pages: each renders without a single groff warning, has the sections an operator
# looks for, names the rest of the suite under SEE ALSO, documents every option that its
# program's usage text lists (with its argument, when the usage shows one) and no option the
# program lacks, quotes the program's own banner, and its examples print what the page shows.
#
# Usage: man_pages_test.sh SOURCE_DIR [NAME=PROGRAM_PATH]...
# Every page is checked for form; the checks against a program run for the programs given
# (those built in this tree).
#
# Examples: in the EXAMPLES section, each line of an .EX/.EE block that begins with "$ " is a
# command, run with bash in a scratch directory that holds examples/ (the source tree's) and
# with the programs first in PATH; it must exit 0 and print exactly the lines that follow it
# up to the next command or the end of the block. A page whose examples use file names that
# examples/ does not hold says so in the comment checked below, and its examples are not run.
set -u

src=$1
shift
declare -A prog=()
for arg in "$@"; do
  prog[${arg%%=*}]=${arg#*=}
done

suite=(cvlistcheck cvlistmerge cvlistreduce cvcatmerge cvlistrdns cvcatmap)
not_run_marker='.\" Examples use generic file names; not run by the page test.'
failures=0
notes=()

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The page as plain text: no overstriking, no hyphenation, lines long enough that an option's
# tag and text are never wrapped.
render() {
  LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou -rLL=250n -rHY=0 "$1" 2>/dev/null
}

# The lines of a rendered section, without its heading.
section() {
  awk -v want="$2" '
    /^[A-Z][A-Z ]*$/ { inside = ($0 == want); next }
    inside { print }' <<<"$1"
}

# roff escapes that example lines may use, turned back into what the reader types.
unescape() {
  sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\&//g' -e 's/\\e/\\/g'
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

path_dirs=""
for name in "${!prog[@]}"; do
  path_dirs="$(dirname "${prog[$name]}"):$path_dirs"
done

check_examples() {
  local name=$1 page=$2
  local work="$scratch/$name"
  mkdir -p "$work"
  ln -s "$src/examples" "$work/examples"
  local commands=0 in_ex=0 in_section=0 cmd="" expected="" have_cmd=0
  run_one() {
    [ "$have_cmd" -eq 1 ] || return 0
    commands=$((commands + 1))
    local got status
    got=$(cd "$work" && PATH="$path_dirs$PATH" bash -c "$cmd" </dev/null 2>"$work/.stderr")
    status=$?
    if [ "$status" -ne 0 ]; then
      fail "$name.1: example exits $status: $cmd"
      sed 's/^/    stderr: /' "$work/.stderr"
    fi
    if [ "$got" != "$expected" ]; then
      fail "$name.1: example prints other lines than the page shows: $cmd"
      diff <(printf '%s\n' "$expected") <(printf '%s\n' "$got") | sed 's/^/    /'
    fi
  }
  while IFS= read -r line; do
    case "$line" in
      .SH\ EXAMPLES*) in_section=1; continue ;;
      .SH*) in_section=0; continue ;;
    esac
    [ "$in_section" -eq 1 ] || continue
    case "$line" in
      .EX) in_ex=1; continue ;;
      .EE) run_one; in_ex=0; have_cmd=0; continue ;;
    esac
    [ "$in_ex" -eq 1 ] || continue
    local plain
    plain=$(unescape <<<"$line")
    if [[ "$(sed -e 's/\\-//g' -e 's/\\(aq//g' -e 's/\\(dq//g' -e 's/\\&//g' -e 's/\\e//g' <<<"$line")" == *\\* ]]; then
      fail "$name.1: example line uses a roff escape this test cannot read: $line"
      continue
    fi
    if [[ "$plain" == '$ '* ]]; then
      run_one
      cmd=${plain#\$ }
      expected=""
      have_cmd=1
    elif [ "$have_cmd" -eq 1 ]; then
      if [ -z "$expected" ]; then expected=$plain; else expected+=$'\n'$plain; fi
    fi
  done <"$page"
  [ "$commands" -gt 0 ] || fail "$name.1: no example command found"
}

for name in "${suite[@]}"; do
  page="$src/man/$name.1"
  if [ ! -f "$page" ]; then
    fail "$name.1 is missing"
    continue
  fi

  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "$name.1: groff warns: $warnings"

  text=$(render "$page")
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES \
    "SEE ALSO"; do
    grep -qx "$heading" <<<"$text" || fail "$name.1: no $heading section"
  done
  grep -qxE '[A-Z ]*(FORMAT|INPUT)[A-Z ]*' <<<"$text" ||
    fail "$name.1: no section on the file format it reads"
  section "$text" NAME | grep -q "^ *$name - " || fail "$name.1: NAME does not begin with '$name - '"
  see_also=$(section "$text" "SEE ALSO")
  for other in "${suite[@]}"; do
    [ "$other" = "$name" ] && continue
    grep -q "$other(1)" <<<"$see_also" || fail "$name.1: SEE ALSO does not name $other(1)"
  done

  if [ -z "${prog[$name]:-}" ]; then
    notes+=("$name.1: form checked; $name is not built in this tree, so its options and examples are not")
    continue
  fi
  exe=${prog[$name]}

  usage=$("$exe" -h </dev/null 2>/dev/null)
  status=$?
  { [ "$status" -eq 0 ] || [ "$status" -eq 255 ]; } || fail "$name -h exits $status"
  # Options of the usage text: a line that begins with white space and "-X". With an argument
  # when a word follows after one space.
  declare -A usage_opts=()
  while IFS= read -r line; do
    if [[ "$line" =~ ^[[:space:]]+-([A-Za-z])([[:space:]]|$) ]]; then
      letter=${BASH_REMATCH[1]}
      if [[ "$line" =~ ^[[:space:]]+-[A-Za-z]\ [^[:space:]] ]]; then
        usage_opts[$letter]=arg
      else
        usage_opts[$letter]=flag
      fi
    fi
  done <<<"$usage"
  [ "${#usage_opts[@]}" -ge 5 ] || fail "$name -h: found only ${#usage_opts[@]} options in its usage text"

  # Options of the page: the tags of the OPTIONS section.
  declare -A page_opts=()
  while IFS= read -r line; do
    if [[ "$line" =~ ^\ {7}-([A-Za-z])( |$) ]]; then
      letter=${BASH_REMATCH[1]}
      if [[ "$line" =~ ^\ {7}-[A-Za-z]\ [^\ ] ]]; then page_opts[$letter]=arg; else page_opts[$letter]=flag; fi
    fi
  done < <(section "$text" OPTIONS)

  for letter in "${!usage_opts[@]}"; do
    if [ -z "${page_opts[$letter]:-}" ]; then
      fail "$name.1: option -$letter of the usage text is not in OPTIONS"
    elif [ "${usage_opts[$letter]}" = arg ] && [ "${page_opts[$letter]}" != arg ]; then
      fail "$name.1: option -$letter takes an argument but the page shows none"
    fi
  done
  for letter in "${!page_opts[@]}"; do
    [ -n "${usage_opts[$letter]:-}" ] || fail "$name.1: OPTIONS documents -$letter, which $name -h does not list"
  done
  unset usage_opts page_opts

  # The banner as the page quotes it (cvcatmap's version option is -b: its -v takes a version).
  banner_opt=-v
  [ "$name" = cvcatmap ] && banner_opt=-b
  banner=$("$exe" "$banner_opt" </dev/null 2>/dev/null | head -n 1)
  banner=${banner%% Build:*}
  if [ -z "$banner" ]; then
    fail "$name $banner_opt prints no banner"
  else
    grep -qF "$banner Build:" <<<"$text" || fail "$name.1: does not quote the banner '$banner Build:'"
  fi

  if grep -qxF "$not_run_marker" "$page"; then
    notes+=("$name.1: examples not run (the page says they use generic file names)")
  else
    check_examples "$name" "$page"
  fi
done

for n in "${notes[@]}"; do echo "NOTE: $n"; done
if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "manual pages: all checks passed"

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
# up to the next command or the end of the block. Input files that the page shows with a
# leading "cat FILE" are laid out from the page when examples/ does not hold them. A page whose
# examples cannot run here says why in a comment (checked below), and they are not run.
set -u

src=$1
shift
declare -A prog=()
for arg in "$@"; do
  prog[${arg%%=*}]=${arg#*=}
done

suite=(cvlistcheck cvlistmerge cvlistreduce cvcatmerge cvlistrdns cvcatmap)
# A page whose examples cannot run here (they need a DNS server, say) says why in a comment
# line that ends with this text.
not_run_marker='not run by the page test.'
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
  local -a cmds=() outs=()
  local in_ex=0 in_section=0 n=-1 line plain
  while IFS= read -r line; do
    case "$line" in
      .SH\ EXAMPLES*) in_section=1; continue ;;
      .SH*) in_section=0; continue ;;
    esac
    [ "$in_section" -eq 1 ] || continue
    case "$line" in
      .EX) in_ex=1; continue ;;
      .EE) in_ex=0; n=-1; continue ;;
    esac
    [ "$in_ex" -eq 1 ] || continue
    if [[ "$(sed -e 's/\\-//g' -e 's/\\(aq//g' -e 's/\\(dq//g' -e 's/\\&//g' -e 's/\\e//g' <<<"$line")" == *\\* ]]; then
      fail "$name.1: example line uses a roff escape this test cannot read: $line"
      continue
    fi
    plain=$(unescape <<<"$line")
    if [[ "$plain" == '$ '* ]]; then
      cmds+=("${plain#\$ }")
      outs+=("")
      n=$((${#cmds[@]} - 1))
    elif [ "$n" -ge 0 ]; then
      if [ -z "${outs[$n]}" ]; then outs[$n]=$plain; else outs[$n]+=$'\n'$plain; fi
    fi
  done <"$page"
  if [ "${#cmds[@]}" -eq 0 ]; then
    fail "$name.1: no example command found"
    return
  fi

  # Input files that the page shows with "cat FILE" before any other command, when examples/
  # does not hold them, are laid out from what the page shows. Files under examples/ are
  # never written, and files cat'ed after a program ran are that program's output.
  local i fixtures=""
  for ((i = 0; i < ${#cmds[@]}; i++)); do
    [[ "${cmds[$i]}" =~ ^cat\ ([A-Za-z0-9._-]+)$ ]] || break
    printf '%s\n' "${outs[$i]}" >"$work/${BASH_REMATCH[1]}"
    fixtures+=" ${BASH_REMATCH[1]}"
  done
  [ -z "$fixtures" ] || notes+=("$name.1: example inputs laid out from the page:$fixtures")

  local got status
  for ((i = 0; i < ${#cmds[@]}; i++)); do
    got=$(cd "$work" && PATH="$path_dirs$PATH" bash -c "${cmds[$i]}" </dev/null 2>"$work/.stderr")
    status=$?
    if [ "$status" -ne 0 ]; then
      fail "$name.1: example exits $status: ${cmds[$i]}"
      sed 's/^/    stderr: /' "$work/.stderr"
    fi
    if [ "$got" != "${outs[$i]}" ]; then
      fail "$name.1: example prints other lines than the page shows: ${cmds[$i]}"
      diff <(printf '%s\n' "${outs[$i]}") <(printf '%s\n' "$got") | sed 's/^/    /'
    fi
  done
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

  if reason=$(grep -m1 "^\.\\\\\" .*$not_run_marker\$" "$page"); then
    notes+=("$name.1: examples not run: $(sed 's/^\.\\" //' <<<"$reason")")
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

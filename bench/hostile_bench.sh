#!/usr/bin/env bash
# End-to-end benchmark of the inputs that used to take quadratic time or worse, each beside a
# naive floor measured in the same run on the same data:
#   1. a mapping file of 20,000 versions with one new rule each (cvcatmap -v 1), floor: awk
#      reading the mapping file;
#   2. 200,000 keyword phrases sharing one word, and a URL holding that word 1,000 times
#      (cvlistcheck load + lookup), floor: awk reading the list;
#   3. one category field of 300,000 numbers in descending order, in cvlistcheck (list entry
#      and -C expected result) and in cvcatmap, floor: sort -n of the 300,000 numbers;
#   4. the expression "(a|b)*a(a|b){200}c" against URLs of 1,000 and 3,000 random a/b
#      characters (15 s and over a minute per lookup before), floor: grep -E over the URLs.
# Data comes from awk with fixed seeds. Best of several runs each.
# usage: bench/hostile_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin="$build/bin"
work="$build/hostile-bench"
runs=${HOSTILE_BENCH_RUNS:-3}
mkdir -p "$work"
cd "$work"

awk 'BEGIN { for (v = 1; v <= 20000; v++) print v, v, v + 1 }' > versions.dat
echo "a.test 6 5" > one.txt
awk 'BEGIN { for (i = 0; i < 200000; i++) printf "shared+w%dx k C 1\n", i }' > phrases.list
awk 'BEGIN { printf "http://h.test/"; for (i = 0; i < 1000; i++) printf "shared/"; print "" }' \
  > phrases.urls
awk 'BEGIN { printf "a.test U C "; for (i = 300000; i > 1; i--) printf "%d,", i; print 1 }' \
  > desc.list
awk 'BEGIN { printf "http://a.test/ U C "; for (i = 300000; i > 1; i--) printf "%d,", i; print 1 }' \
  > desc.urls
awk 'BEGIN { printf "a.test 6 "; for (i = 300000; i > 1; i--) printf "%d,", i; print 1 }' \
  > desc.txt
printf '2 10 20\n1 20 30\n' > small.dat
echo '/(a|b)*a(a|b){200}c/ R C 1' > regex.list
awk 'BEGIN { srand(1); for (n = 0; n < 10; n++) { printf "http://h.test/";
  len = n < 5 ? 1000 : 3000; for (i = 0; i < len; i++) printf (rand() < 0.5 ? "a" : "b");
  print "" } }' > regex.urls

now() { date +%s%N; }
best_of() {  # best wall time in nanoseconds of running "$@" $runs times
  local best=0 t0 t1 d i
  for ((i = 0; i < runs; i++)); do
    t0=$(now)
    "$@" > /dev/null 2>&1 || true
    t1=$(now)
    d=$((t1 - t0))
    if [ "$best" -eq 0 ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  echo "$best"
}
report() {  # name, ns, floor name, floor ns
  awk -v n="$1" -v t="$2" -v f="$3" -v ft="$4" 'BEGIN {
    printf "%-44s %8.3f s   %-28s %8.3f s   ratio %6.1f\n", n, t / 1e9, f, ft / 1e9, t / ft }'
}

t=$(best_of "$bin/cvcatmap" -m versions.dat -v 1 -i one.txt)
f=$(best_of awk '{ n += $3 } END { print n }' versions.dat)
report "cvcatmap, 20,000 versions" "$t" "awk over the mapping" "$f"

t=$(best_of "$bin/cvlistcheck" -q -i phrases.list -f phrases.urls)
f=$(best_of awk '{ n += length($1) } END { print n }' phrases.list)
report "cvlistcheck, 200,000 phrases sharing a word" "$t" "awk over the list" "$f"

numbers() { tr ',' '\n' < desc.txt | sed 's/^a\.test 6 //' | sort -n; }
f=$(best_of numbers)
t=$(best_of "$bin/cvlistcheck" -q -i desc.list -u http://a.test/)
report "cvlistcheck, 300,000 numbers in a list" "$t" "sort -n of the numbers" "$f"
t=$(best_of "$bin/cvlistcheck" -q -C -i desc.list -f desc.urls)
report "cvlistcheck -C, 300,000 numbers expected" "$t" "sort -n of the numbers" "$f"
t=$(best_of "$bin/cvcatmap" -m small.dat -v 1 -i desc.txt)
report "cvcatmap, 300,000 numbers in a field" "$t" "sort -n of the numbers" "$f"

t=$(best_of "$bin/cvlistcheck" -q -i regex.list -f regex.urls)
f=$(best_of grep -cE '(a|b)*a(a|b){200}c' regex.urls)
report "cvlistcheck, costly expression, 10 URLs" "$t" "grep -E over the URLs" "$f"

# Shared by the end-to-end benchmark scripts, which source it. The caller sets `bin` (the
# build's bin/ folder), `work` (its scratch folder), `runs` (runs per figure) and
# `bench_name` (its name in messages).

# bench_run NAME MAXCODE CMD...: runs CMD $runs times through runstat_helper and appends
# "wall_s maxrss_kb cpu_s" (cpu: user + system) per run to $work/NAME.runs. The last run's
# standard output and error stay in $work/NAME.out and $work/NAME.err. Before each run the
# previous $work/NAME.out and $work/NAME.list are removed, outside the timing: replacing a
# large file frees its pages, which would be timed for a program that renames its output
# but not for a shell redirection. An exit status above MAXCODE stops the benchmark.
bench_run() {
  local name=$1 maxcode=$2 i wall user sys rss code
  shift 2
  : > "$work/$name.runs"
  for ((i = 0; i < runs; i++)); do
    rm -f "$work/$name.out" "$work/$name.list"
    "$bin/runstat_helper" "$work/stat" "$@" > "$work/$name.out" 2> "$work/$name.err" || true
    read -r wall user sys rss code < "$work/stat"
    if [ "$code" -gt "$maxcode" ]; then
      echo "$bench_name: '$*' exited with $code:" >&2
      cat "$work/$name.err" >&2
      exit 1
    fi
    echo "$wall $rss $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" >> "$work/$name.runs"
  done
}

# bench_median FILE [COLUMN]: the median of a column (default 1) of FILE.
bench_median() {
  local c=${2:-1}
  sort -g -k"$c","$c" "$1" | awk -v c="$c" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

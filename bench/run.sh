#!/usr/bin/env bash
# run.sh - builds the product and the benchmark programs, generates the
# benchmark graphs, times every call against its floor in the same run,
# draws bench/percall.svg and rewrites bench/RESULTS.md.
#
#   bench/run.sh               the whole run (about ten minutes on 2 cores)
#   QUICK=1 bench/run.sh       fewer runs and sizes, for a try-out
#   SIZES="0 100" bench/run.sh only these sizes (entities) of the graph of
#                              many short observations
#   LONG_SIZES="1000" ...      the same for the graph of few long ones
#   MEM_CALLS="1000" ...       the lengths of the sessions whose peak memory
#                              is measured (default 1000 10000)
#
# Needs hyperfine, jq, GNU time (/usr/bin/time), node and libbenchmark-dev.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-bench
OUT=$ROOT/bench/out
RESULTS=$ROOT/bench/RESULTS.md
SVG=$ROOT/bench/percall.svg
QUICK=${QUICK:-0}

cmake -S "$ROOT" -B "$BUILD" -DPLUGIN_MEMORY_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target plugin_memory bench_gen bench_floor bench_minimal bench_with_stdin bench_micro >/dev/null

EXE=$BUILD/plugin_memory
GEN=$BUILD/bench/bench_gen
FLOOR=$BUILD/bench/bench_floor
MINIMAL=$BUILD/bench/bench_minimal
MICRO=$BUILD/bench/bench_micro
WITH_STDIN=$BUILD/bench/bench_with_stdin
NODE=$(command -v node)
NODE_FLOOR=$ROOT/bench/node_floor.mjs

if [ -n "${SIZES+x}" ]; then :; elif [ "$QUICK" = 1 ]; then SIZES="0 100 1000 20000"; else SIZES="0 100 1000 5000 20000"; fi
if [ -n "${LONG_SIZES+x}" ]; then :; elif [ "$QUICK" = 1 ]; then LONG_SIZES="4000"; else LONG_SIZES="1000 4000"; fi
MEM_CALLS=${MEM_CALLS:-1000 10000}
# The graphs: <shape>:<entities>, each in its own directory of $OUT.
GRAPHS=""
for n in $SIZES; do GRAPHS="$GRAPHS short:$n"; done
for n in $LONG_SIZES; do GRAPHS="$GRAPHS long:$n"; done
dir_of() { case $1 in short:*) echo "$OUT/s${1#short:}" ;; long:*) echo "$OUT/l${1#long:}" ;; esac; }
# Calls added to a session to measure the cost of one more call: the product
# always runs 200 more reads; the floors and Node, whose calls each parse the
# whole file, run fewer on the large graphs to keep the run within minutes.
# Changes each write the whole file durably: 100 more on the small graphs,
# 20 on the large ones.
K_WARM=200
max_calls=10000
for c in $MEM_CALLS; do [ "$c" -gt "$max_calls" ] && max_calls=$c; done

rm -rf "$OUT"
mkdir -p "$OUT/json"
for gr in $GRAPHS; do
  d=$(dir_of "$gr")
  n=${gr#*:}
  shape=${gr%%:*}
  rels=$((2 * n))
  [ "$shape" = long ] && rels=$n
  mkdir -p "$d"
  "$GEN" "$n" "$rels" "$d" "$max_calls" 100 "$shape" >/dev/null
  big=0
  [ "$(stat -c %s "$d/graph.jsonl")" -gt 2000000 ] && big=1
  kf=200; kc=100
  [ "$big" = 1 ] && { kf=20; kc=20; }
  echo "$kf $kc" >"$d/k.txt"
  # Sessions of one call, of one call plus K_WARM (reads) or kc (changes), of
  # one plus kf for the floors and Node.
  head -n 1 "$d/open.jsonl" >"$d/open1.jsonl"
  head -n $((K_WARM + 1)) "$d/open.jsonl" >"$d/openK.jsonl"
  head -n $((kf + 1)) "$d/open.jsonl" >"$d/openF.jsonl"
  head -n 1 "$d/search.jsonl" >"$d/search1.jsonl"
  head -n $((K_WARM + 1)) "$d/search.jsonl" >"$d/searchK.jsonl"
  head -n 1 "$d/change.jsonl" >"$d/change1.jsonl"
  head -n $((kc + 1)) "$d/change.jsonl" >"$d/changeK.jsonl"
  # The sessions of the memory table: open_nodes calls, every tenth a
  # search_nodes and every five hundredth an add_observations.
  for c in $MEM_CALLS; do
    awk -v k="$c" 'FILENAME == ARGV[1] { o[FNR] = $0; next }
                   FILENAME == ARGV[2] { s[FNR] = $0; next }
                   { ch[FNR] = $0 }
                   END { for (i = 1; i <= k; i++)
                           print (i % 500 == 250) ? ch[int(i / 500) % 100 + 1] : (i % 10 == 0) ? s[i / 10] : o[i] }' \
      "$d/open.jsonl" "$d/search.jsonl" "$d/change.jsonl" >"$d/mem$c.jsonl"
  done
done

TIMES=$OUT/times.md      # rows of the timing table
MEM=$OUT/memory.md       # rows of the memory table
MEMSUM=$OUT/memsum.md    # one line per graph: session peaks against the file
PLOT=$OUT/plot.tsv       # the per-call costs drawn in percall.svg
CHECKS=$OUT/checks.txt   # answers that were not what a working product gives
: >"$TIMES"
: >"$MEM"
: >"$MEMSUM"
: >"$PLOT"
: >"$CHECKS"
# Restores a graph before each timed change run, on disk, so that the flush
# of the copy is not charged to the run.
cat >"$OUT/reset.sh" <<'RESET'
#!/bin/sh
cp "$1" "$2" && sync "$2"
RESET
chmod +x "$OUT/reset.sh"

ms() { awk -v s="$1" 'BEGIN { printf "%.2f", s * 1000 }'; }
ms3() { awk -v s="$1" 'BEGIN { printf "%.3f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
ratio3() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }
verdict() { # <target factor> <product> <floor>
  awk -v t="$1" -v a="$2" -v b="$3" 'BEGIN { print (a <= t * b) ? "holds" : "misses" }'
}

# The median of all runs of result i in the JSON files of id, and the mean
# CPU time (user + system) of those runs.
median_of() {
  jq -s --argjson i "$2" '[.[].results[$i].times[]] | sort | if length % 2 == 1 then .[length / 2 | floor] else (.[length / 2 - 1] + .[length / 2]) / 2 end' "$OUT/json/$1".*.json
}
cpu_of() {
  jq -s --argjson i "$2" '([.[].results[$i] | (.user + .system) * (.times | length)] | add) / ([.[].results[$i].times | length] | add)' "$OUT/json/$1".*.json
}

# hf <id> <rounds> <min runs> <max runs> <warmup> [hyperfine options and -n name cmd pairs...]
# Runs hyperfine without a shell in rounds (all commands in turn in each
# round, so that a change in the machine's load falls on all of them).
hf() {
  local id=$1 rounds=$2 minr=$3 maxr=$4 warmup=$5 k
  shift 5
  for k in $(seq "$rounds"); do
    hyperfine -N -i --style none -m "$minr" -M "$maxr" --warmup "$warmup" "$@" \
      --export-json "$OUT/json/$id.$k.json" >/dev/null 2>&1 || return 1
  done
}

# timed <id> <size> <label> <target factor or ""> <min runs> <max runs> <warmup> <product cmd> <floor cmd> [hyperfine options...]
# Times a whole call of the product against its floor (single calls in three
# rounds) and appends a table row with the two medians, their ratio and the
# ratio of the mean CPU times.
timed() {
  local id=$1 size=$2 label=$3 target=$4 minr=$5 maxr=$6 warmup=$7 prod=$8 floor=$9
  shift 9
  local rounds=1
  if [ "$minr" -ge 5 ]; then rounds=3; fi
  if ! hf "$id" "$rounds" $(((minr + rounds - 1) / rounds)) $(((maxr + rounds - 1) / rounds)) "$warmup" "$@" \
    -n product "$prod" -n floor "$floor"; then
    echo "| $size | $label | failed | | | | | ${target:+≤ ${target}x} |" >>"$TIMES"
    return 0
  fi
  local p f pc fc runs v=""
  p=$(median_of "$id" 0); f=$(median_of "$id" 1)
  pc=$(cpu_of "$id" 0); fc=$(cpu_of "$id" 1)
  runs=$(jq -s '[.[].results[0].times | length] | add' "$OUT/json/$id".*.json)
  case $target in
    "") ;;
    "+1 ms") v="≤ +1 ms ($(awk -v a="$p" -v b="$f" 'BEGIN { print (a - b <= 0.001) ? "holds" : "misses" }'))" ;;
    *) v="≤ ${target}x ($(verdict "$target" "$p" "$f"))" ;;
  esac
  echo "| $size | $label | $(ms "$p") | $(ms "$f") | $(ratio "$p" "$f") | $(ratio "$pc" "$fc") | $runs | $v |" >>"$TIMES"
  LAST_P=$p
}

# marginal_row <id> <size> <label> <target factor or ""> <i1> <iK> <K> <j1> <jK> <KF>
# A row for the cost of one more call: (median of the session of K + 1 calls
# - median of the session of 1) / K for the product (results i1, iK of the
# runs of id) and the same for its floor (results j1, jK, with KF). Sets
# LAST_P and LAST_F to the two costs per call in seconds.
marginal_row() {
  local id=$1 size=$2 label=$3 target=$4 i1=$5 iK=$6 K=$7 j1=$8 jK=$9 KF=${10}
  local p f pc fc v=""
  p=$(awk -v a="$(median_of "$id" "$iK")" -v b="$(median_of "$id" "$i1")" -v k="$K" 'BEGIN { printf "%.9f", (a - b) / k }')
  f=$(awk -v a="$(median_of "$id" "$jK")" -v b="$(median_of "$id" "$j1")" -v k="$KF" 'BEGIN { printf "%.9f", (a - b) / k }')
  pc=$(awk -v a="$(cpu_of "$id" "$iK")" -v b="$(cpu_of "$id" "$i1")" -v k="$K" 'BEGIN { printf "%.9f", (a - b) / k }')
  fc=$(awk -v a="$(cpu_of "$id" "$jK")" -v b="$(cpu_of "$id" "$j1")" -v k="$KF" 'BEGIN { printf "%.9f", (a - b) / k }')
  [ -n "$target" ] && v="≤ ${target}x ($(verdict "$target" "$p" "$f"))"
  local runs
  runs=$(jq -s --argjson i "$iK" '[.[].results[$i].times | length] | add' "$OUT/json/$id".*.json)
  echo "| $size | $label | $(ms3 "$p") | $(ms3 "$f") | $(ratio3 "$p" "$f") | $(ratio3 "$pc" "$fc") | $runs | $v |" >>"$TIMES"
  LAST_P=$p
  LAST_F=$f
}

# rss <cmd...>: peak resident set of one run, in KiB (stdin from $RSS_IN).
rss() {
  /usr/bin/time -v "$@" <"${RSS_IN:-/dev/null}" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { print $2 }'
}

# check <size> <what> <text> <pattern>: records an answer that lacks pattern.
check() {
  if ! printf '%s' "$3" | grep -q -- "$4"; then
    echo "size $1, $2: answer lacks $4: $(printf '%s' "$3" | head -c 300)" >>"$CHECKS"
  fi
}
# check_session <size> <what> <session file> <answers file>: every call of
# the session answered without error.
check_session() {
  local want got
  want=$(wc -l <"$3")
  got=$(grep -c '"isError":false' "$4" || true)
  [ "$got" = "$want" ] || echo "size $1, $2: $got of $want calls answered without error" >>"$CHECKS"
}

echo "start-up"
timed start - "process start (--version)" "+1 ms" 100 300 20 "$EXE --version" "$MINIMAL"
check - "--version" "$("$EXE" --version)" "1.0.0"

for gr in $GRAPHS; do
  d=$(dir_of "$gr")
  n=${gr#*:}
  shape=${gr%%:*}
  label=$n
  [ "$shape" = long ] && label="$n long"
  g=$d/graph.jsonl
  q=$(cat "$d/query.txt")
  bytes=$(stat -c %s "$g")
  read -r kf kc <"$d/k.txt"
  # Single calls run for about 3 seconds each (5 to 40 runs); QUICK=1 makes
  # that 2 to 5.
  r="5 40"
  [ "$QUICK" = 1 ] && r="2 5"
  wu=$([ "$bytes" -gt 2000000 ] && echo 1 || echo 3)
  echo "graph $label ($bytes bytes)"
  export MEMORY_FILE_PATH=$g
  unset REQUEST_METHOD CONTENT_LENGTH BOT_PASSWORD QUERY_STRING

  # Sanity: the answers are those of a working product.
  check "$label" "cgi stats" "$(QUERY_STRING=action=stats "$EXE")" "\"entities\":$n,"
  check "$label" "cgi graph" "$(QUERY_STRING=action=graph "$EXE" | head -c 200)" '"ok":true'
  check "$label" "cgi search" "$(QUERY_STRING="action=search&q=$q" "$EXE" | head -c 200)" '"ok":true'
  a=$("$EXE" --mcp <"$d/open1.jsonl")
  check "$label" "mcp open_nodes" "$a" '"isError":false'
  [ "$n" -gt 0 ] && check "$label" "mcp open_nodes" "$a" '"entities":\[{'
  "$EXE" --mcp <"$d/openK.jsonl" >"$d/answers.jsonl"
  check_session "$label" "mcp open_nodes session" "$d/openK.jsonl" "$d/answers.jsonl"
  "$EXE" --mcp <"$d/searchK.jsonl" >"$d/answers.jsonl"
  check_session "$label" "mcp search_nodes session" "$d/searchK.jsonl" "$d/answers.jsonl"
  "$NODE" "$NODE_FLOOR" "$g" <"$d/openF.jsonl" >"$d/answers.jsonl"
  [ "$(wc -l <"$d/answers.jsonl")" = "$(wc -l <"$d/openF.jsonl")" ] ||
    echo "size $label, node floor: not one answer per call" >>"$CHECKS"
  if [ "$n" -gt 0 ]; then
    cp "$g" "$d/work.jsonl"
    MEMORY_FILE_PATH=$d/work.jsonl "$EXE" --mcp <"$d/changeK.jsonl" >"$d/answers.jsonl"
    check_session "$label" "mcp change session" "$d/changeK.jsonl" "$d/answers.jsonl"
    grown=$(($(stat -c %s "$d/work.jsonl") - bytes))
    [ "$grown" -gt 0 ] || echo "size $label, mcp change session: the file did not grow" >>"$CHECKS"
  fi
  rm -f "$d/answers.jsonl"

  # Cold calls: a process of its own for one call, against the floor's one
  # read (or read and durable write).
  QUERY_STRING=action=stats timed "stats_$gr" "$label" "CGI stats" 1.25 $r $wu "$EXE" "$FLOOR read $g"
  QUERY_STRING=action=graph timed "graph_$gr" "$label" "CGI graph" "" $r $wu "$EXE" "$FLOOR read $g"
  QUERY_STRING="action=search&q=$q" timed "search_$gr" "$label" "CGI search" "" $r $wu "$EXE" "$FLOOR read $g"
  timed "open1_$gr" "$label" "MCP open_nodes, first call" 1.25 $r $wu \
    "$WITH_STDIN $d/open1.jsonl $EXE --mcp" "$WITH_STDIN $d/open1.jsonl $FLOOR read $g 1"
  cold=$LAST_P
  MEMORY_FILE_PATH=$d/work.jsonl timed "change1_$gr" "$label" "MCP add_observations, first call" 1.25 $r $wu \
    "$WITH_STDIN $d/change1.jsonl $EXE --mcp" "$WITH_STDIN $d/change1.jsonl $FLOOR change $d/work.jsonl 1" \
    --prepare "$OUT/reset.sh $g $d/work.jsonl"

  # Warm calls: the cost of one more call in a session, from sessions of 1
  # and of 1 + K calls, product, floor and Node in turn in each round. Their
  # targets are judged on the graphs over 2 MB: on a small graph the floor's
  # parse costs less than the server's own handling of a request.
  wo=0.01; ws=0.25; wc=1.1
  [ "$bytes" -gt 2000000 ] || { wo=""; ws=""; wc=""; }
  rounds=3; mr=2; xr=5
  [ "$QUICK" = 1 ] && { rounds=1; mr=1; xr=2; }
  if hf "reads_$gr" "$rounds" "$mr" "$xr" 0 \
    -n open1 "$WITH_STDIN $d/open1.jsonl $EXE --mcp" -n openK "$WITH_STDIN $d/openK.jsonl $EXE --mcp" \
    -n search1 "$WITH_STDIN $d/search1.jsonl $EXE --mcp" -n searchK "$WITH_STDIN $d/searchK.jsonl $EXE --mcp" \
    -n floor1 "$FLOOR read $g 1" -n floorK "$FLOOR read $g $((kf + 1))" \
    -n node1 "$WITH_STDIN $d/open1.jsonl $NODE $NODE_FLOOR $g" -n nodeK "$WITH_STDIN $d/openF.jsonl $NODE $NODE_FLOOR $g"; then
    marginal_row "reads_$gr" "$label" "MCP open_nodes, one more call in a session" "$wo" 0 1 "$K_WARM" 4 5 "$kf"
    warm=$LAST_P; floor=$LAST_F
    marginal_row "reads_$gr" "$label" "MCP search_nodes, one more call in a session" "$ws" 2 3 "$K_WARM" 4 5 "$kf"
    marginal_row "reads_$gr" "$label" "Node.js, read + JSON.parse every line, one more call" "" 6 7 "$kf" 4 5 "$kf"
    node=$LAST_P
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$shape" "$n" "$bytes" "$(ms3 "$cold")" "$(ms3 "$warm")" "$(ms3 "$floor")" "$(ms3 "$node")" >>"$PLOT"
  else
    echo "| $label | warm reads | failed | | | | | |" >>"$TIMES"
  fi
  if MEMORY_FILE_PATH=$d/work.jsonl hf "changes_$gr" "$rounds" "$mr" "$xr" 0 --prepare "$OUT/reset.sh $g $d/work.jsonl" \
    -n change1 "$WITH_STDIN $d/change1.jsonl $EXE --mcp" -n changeK "$WITH_STDIN $d/changeK.jsonl $EXE --mcp" \
    -n write1 "$FLOOR write $d/work.jsonl 1" -n writeK "$FLOOR write $d/work.jsonl $((kc + 1))"; then
    marginal_row "changes_$gr" "$label" "MCP add_observations, one more call in a session" "$wc" 0 1 "$kc" 2 3 "$kc"
  else
    echo "| $label | warm changes | failed | | | | | |" >>"$TIMES"
  fi

  # Peak memory of each call kind, next to the floor's.
  fr=$(rss "$FLOOR" read "$g")
  peak=0
  memrow() { # <label> <kib> <floor kib>
    local kib=$2
    [ "$kib" -gt "$peak" ] && peak=$kib
    local per_file="-"
    [ "$bytes" -gt 0 ] && per_file=$(awk -v k="$kib" -v b="$bytes" 'BEGIN { printf "%.2f", k * 1024 / b }')
    echo "| $label | $bytes | $1 | $kib | $3 | $(ratio "$kib" "$3") | $per_file |" >>"$MEM"
  }
  memrow "CGI stats" "$(QUERY_STRING=action=stats rss "$EXE")" "$fr"
  memrow "CGI graph" "$(QUERY_STRING=action=graph rss "$EXE")" "$fr"
  memrow "CGI search" "$(QUERY_STRING="action=search&q=$q" rss "$EXE")" "$fr"
  first=""; last=""
  for c in $MEM_CALLS; do
    cp "$g" "$d/work.jsonl"
    kib=$(MEMORY_FILE_PATH=$d/work.jsonl RSS_IN=$d/mem$c.jsonl rss "$EXE" --mcp)
    memrow "MCP session, $c calls" "$kib" "$fr"
    [ -z "$first" ] && first="$c $kib"
    last="$c $kib"
  done
  # Below a few MB the process's own few MB outweigh the graph.
  if [ "$bytes" -gt 2000000 ] && [ -n "$first" ]; then
    set -- $first $last
    awk -v l="$label" -v c1="$1" -v k1="$2" -v c2="$3" -v k2="$4" -v b="$bytes" 'BEGIN {
      r = k1 * 1024 / b; printf "- %s: %d-call session %.2fx the file (target 3x: %s)", l, c1, r, (r <= 3) ? "holds" : "misses";
      if (c2 != c1) printf "; %d calls %.2fx the %d-call peak (flat: %s)", c2, k2 / k1, c1, (k2 <= 1.1 * k1) ? "holds" : "misses";
      printf "; largest peak of the graph %.2fx the file\n", '"$peak"' * 1024 / b }' >>"$MEMSUM"
  fi
done
unset MEMORY_FILE_PATH QUERY_STRING
rm -f "$OUT"/[sl]*/work.jsonl*

echo "web host"
# The web host's lines, and its two round trips on the plot's row of the
# same graph.
if OUT=$OUT BUILD=$BUILD QUICK=$QUICK bash "$ROOT/bench/web.sh" >/dev/null; then
  read -r wn wf _ wc _ <"$OUT/web.tsv"
  awk -F '\t' -v OFS='\t' -v n="$wn" -v f="$wf" -v c="$wc" \
    '$1 == "short" && $2 == n { $8 = f; $9 = c } { print }' "$PLOT" >"$PLOT.new" && mv "$PLOT.new" "$PLOT"
else
  echo "web host benchmarks: failed" >>"$CHECKS"
  : >"$OUT/web.md"
fi

echo "micro-benchmarks"
"$MICRO" --benchmark_min_time=0.3 --benchmark_out="$OUT/json/micro.json" --benchmark_out_format=json >/dev/null 2>&1 || true
"$NODE" "$ROOT/bench/plot.mjs" "$PLOT" >"$SVG"

# ---- RESULTS.md --------------------------------------------------------------
commit=$(git -C "$ROOT" rev-parse HEAD)
dirty=$(git -C "$ROOT" status --porcelain -- src CMakeLists.txt | head -n 1)
version=$("$EXE" --version 2>/dev/null | head -n 1 || true)
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bench/run.sh\`; do not edit by hand."
  echo
  echo "- Commit measured: \`$commit\`${dirty:+ (with uncommitted changes in src/)}"
  echo "- Product: \`plugin_memory --version\` = \`$version\`, Release build (-O3)"
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(lscpu | awk -F': +' '/Model name/ { print $2; exit }'), $(nproc) cores, $(free -g | awk '/Mem:/ { print $2 }') GiB RAM, Linux $(uname -r), $(df -T "$ROOT" | awk 'NR == 2 { print $2 }') file system"
  echo "- Load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg) (the machine is shared; figures from one run)"
  echo "- Tools: $(hyperfine --version), $(g++ --version | head -n 1), yyjson 0.12.0"
  echo
  echo "## Graphs"
  echo
  echo "Made by \`bench_gen\` (fixed seed), in two shapes: many short observations (n entities with"
  echo "3 to 8 observations of 7 to 18 words each, 2n relations) and few long ones (\"long\": n"
  echo "entities with 1 or 2 observations of 150 to 600 words, n relations). Texts mix ASCII, UTF-8,"
  echo "quotes, backslashes and control characters."
  echo
  echo "| graph | entities | relations | file bytes |"
  echo "|---|---:|---:|---:|"
  for gr in $GRAPHS; do
    n=${gr#*:}
    rels=$((2 * n)); [ "${gr%%:*}" = long ] && rels=$n
    echo "| ${gr%%:*} | $n | $rels | $(stat -c %s "$(dir_of "$gr")/graph.jsonl") |"
  done
  echo
  echo "## Timings"
  echo
  echo "Medians of whole-process runs (hyperfine, no shell; MCP sessions are fed from a file by"
  echo "\`bench_with_stdin\`, product and floor alike). Single calls run in three rounds of product"
  echo "and floor in turn; runs = product runs in all. Ratio = product / floor of the wall-clock"
  echo "medians; CPU ratio = the same for the mean user + system time, which a busy machine disturbs"
  echo "less. Targets are judged on the wall-clock ratio."
  echo
  echo "Floors: \`bench_minimal\` (a C program that returns 0) for the start; \`bench_floor read\` (read"
  echo "the file in one block and parse every line with yyjson) for reads; \`bench_floor change\` (the"
  echo "same, then write the same bytes to a temporary file, fsync, rename) for a first change."
  echo "The floors take memory as the system gives it by default; the product asks for large pages"
  echo "for the block it reads the file into (where the system grants them on request), which spares"
  echo "it most of the page faults of filling that block: a cold read's wall-clock and system time"
  echo "gain from that, not only from doing less work (bench/PROFILES.md counts the instructions)."
  echo
  echo "\"One more call in a session\" is the cost of a call in a long-lived process: (median of a"
  echo "session of 1 + K calls - median of a session of 1 call) / K, with K = $K_WARM for the product's"
  echo "reads. Its floor is the same difference for \`bench_floor read\` (one more read and parse of"
  echo "the whole file), or for changes \`bench_floor write\` (the durable write alone: write the"
  echo "same bytes, fsync, rename). Floors, Node.js and changes use K = 200 (changes 100) on the"
  echo "graphs under 2 MB and K = 20 above. The Node.js line is \`bench/node_floor.mjs\`: a"
  echo "long-lived Node process that, per call, reads the file and JSON.parses every line, the least"
  echo "a server in Node must do when it loads afresh for every call; its ratio is to the same floor."
  echo
  echo "| graph entities | measure | product ms | floor ms | ratio | CPU ratio | runs | target |"
  echo "|---:|---|---:|---:|---:|---:|---:|---|"
  cat "$TIMES"
  echo
  echo "## Per-call cost against graph size"
  echo
  echo "MCP open_nodes: the first call of a process (cold, with the process start), one more call in"
  echo "a session (warm), the floor's read and parse per call, the Node.js line per call, and the"
  echo "round trip of the same call through the web host (FastCGI and CGI, 20,000 entities); solid"
  echo "lines the graph of many short observations, dashed the graph of few long ones."
  echo
  echo "![Per-call cost against graph size](percall.svg)"
  echo
  echo "## Peak memory"
  echo
  echo "Maximum resident set size from \`/usr/bin/time -v\`, KiB, of one process. Floor: \`bench_floor"
  echo "read\`, one call. The MCP sessions are open_nodes calls with a search_nodes every tenth call"
  echo "and an add_observations every five hundredth (on a copy of the graph). Target: a 1,000-call"
  echo "session at most 3x the file, and flat from 1,000 to 10,000 calls (within 10%)."
  echo
  echo "| graph entities | file bytes | measure | product KiB | floor KiB | ratio to floor | product / file |"
  echo "|---:|---:|---|---:|---:|---:|---:|"
  cat "$MEM"
  echo
  cat "$MEMSUM"
  echo
  if [ -s "$OUT/web.md" ]; then
    cat "$OUT/web.md"
    echo
  fi
  echo "## Micro-benchmarks"
  echo
  echo "Google Benchmark (\`bench_micro\`), linked with plugin_memory_core; the argument is the"
  echo "number of entities of the generated graph."
  echo
  echo "| benchmark | time per iteration | throughput |"
  echo "|---|---:|---:|"
  if [ -s "$OUT/json/micro.json" ]; then
    jq -r '.benchmarks[] | "| \(.name) | \(if .error_occurred then "error: \(.error_message)" else "\(.real_time * 1000 | round / 1000) \(.time_unit)" end) | \(if .bytes_per_second then "\(.bytes_per_second / 1048576 | round) MiB/s" else "" end) |"' "$OUT/json/micro.json"
  else
    echo "| (did not run) | | |"
  fi
  if [ -s "$CHECKS" ]; then
    echo
    echo "## Answers that were wrong during this run"
    echo
    sed 's/^/- /' "$CHECKS"
  fi
} >"$RESULTS"
echo "wrote $RESULTS"

#!/usr/bin/env bash
# run.sh - builds the product and the benchmark programs, generates the
# benchmark graphs, times every call against its floor in the same run and
# rewrites bench/RESULTS.md.
#
#   bench/run.sh            the whole run (a few minutes)
#   QUICK=1 bench/run.sh    fewer runs and no 5,000-entity size, for a try-out
#   SIZES="0 100" bench/run.sh  only these graph sizes (entities)
#   FULL=1 bench/run.sh     1,000-call read sessions on every size (slow: by
#                           default the sizes above 1,000 entities run 100)
#
# Needs hyperfine, jq, GNU time (/usr/bin/time) and libbenchmark-dev.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-bench
OUT=$ROOT/bench/out
RESULTS=$ROOT/bench/RESULTS.md
QUICK=${QUICK:-0}
FULL=${FULL:-0}

cmake -S "$ROOT" -B "$BUILD" -DPLUGIN_MEMORY_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target plugin_memory bench_gen bench_floor bench_minimal bench_with_stdin bench_micro >/dev/null

EXE=$BUILD/plugin_memory
GEN=$BUILD/bench/bench_gen
FLOOR=$BUILD/bench/bench_floor
MINIMAL=$BUILD/bench/bench_minimal
MICRO=$BUILD/bench/bench_micro
WITH_STDIN=$BUILD/bench/bench_with_stdin

if [ -n "${SIZES:-}" ]; then :; elif [ "$QUICK" = 1 ]; then SIZES="0 100 1000 20000"; else SIZES="0 100 1000 5000 20000"; fi

rm -rf "$OUT"
mkdir -p "$OUT/json"
for n in $SIZES; do
  mkdir -p "$OUT/s$n"
  "$GEN" "$n" $((2 * n)) "$OUT/s$n" >/dev/null
  # A session of one call of each kind, for the per-call figures.
  head -n 1 "$OUT/s$n/open.jsonl" >"$OUT/s$n/open1.jsonl"
  head -n 1 "$OUT/s$n/change.jsonl" >"$OUT/s$n/change1.jsonl"
  # The read session: open_nodes and search_nodes in turn, 1,000 calls (100
  # on the large graphs unless FULL=1, to keep the run within minutes).
  reads=1000
  if [ "$n" -gt 1000 ] && [ "$FULL" != 1 ]; then reads=100; fi
  paste -d '\n' "$OUT/s$n/open.jsonl" "$OUT/s$n/search.jsonl" | awk -v k=$reads 'NR <= k' >"$OUT/s$n/reads.jsonl"
done

TIMES=$OUT/times.md      # rows of the timing table
MEM=$OUT/memory.md       # rows of the memory table
CHECKS=$OUT/checks.txt   # answers that were not what a working product gives
: >"$TIMES"
: >"$MEM"
: >"$CHECKS"
# Restores a graph before each timed change run, on disk, so that the flush
# of the copy is not charged to the run.
cat >"$OUT/reset.sh" <<'RESET'
#!/bin/sh
cp "$1" "$2" && sync "$2"
RESET
chmod +x "$OUT/reset.sh"

ms() { awk -v s="$1" 'BEGIN { printf "%.2f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# timed <id> <size> <label> <target> <min runs> <max runs> <warmup> <product cmd> <floor cmd> [hyperfine options...]
# Times both commands with hyperfine, without a shell, each for about 3
# seconds within the bounds. Single calls (at least 5 runs) are timed in 3
# rounds, product and floor in turn, so that a change in the machine's load
# falls on both. Appends a table row with the two medians over all runs,
# their ratio and the ratio of the mean CPU times (user + system).
timed() {
  local id=$1 size=$2 label=$3 target=$4 minr=$5 maxr=$6 warmup=$7 prod=$8 floor=$9
  shift 9
  local rounds=1 k
  if [ "$minr" -ge 5 ]; then rounds=3; fi
  for k in $(seq "$rounds"); do
    hyperfine -N -i --style none -m $(((minr + rounds - 1) / rounds)) -M $(((maxr + rounds - 1) / rounds)) \
      --warmup "$warmup" "$@" --export-json "$OUT/json/$id.$k.json" \
      -n product "$prod" -n floor "$floor" >/dev/null 2>&1 || {
      echo "| $size | $label | failed | | | | | $target |" >>"$TIMES"
      return 0
    }
  done
  # median of all runs of result i; mean CPU time of result i
  local med='[.[].results[$i].times[]] | sort | if length % 2 == 1 then .[length / 2 | floor] else (.[length / 2 - 1] + .[length / 2]) / 2 end'
  local cpu='([.[].results[$i] | (.user + .system) * (.times | length)] | add) / ([.[].results[$i].times | length] | add)'
  local p f pc fc runs
  p=$(jq -s --argjson i 0 "$med" "$OUT/json/$id".*.json)
  f=$(jq -s --argjson i 1 "$med" "$OUT/json/$id".*.json)
  pc=$(jq -s --argjson i 0 "$cpu" "$OUT/json/$id".*.json)
  fc=$(jq -s --argjson i 1 "$cpu" "$OUT/json/$id".*.json)
  runs=$(jq -s '[.[].results[0].times | length] | add' "$OUT/json/$id".*.json)
  local verdict=""
  case $target in
    "≤ 1.25x") verdict=$(awk -v a="$p" -v b="$f" 'BEGIN { print (a <= 1.25 * b) ? "holds" : "misses" }') ;;
    "≤ +1 ms") verdict=$(awk -v a="$p" -v b="$f" 'BEGIN { print (a - b <= 0.001) ? "holds" : "misses" }') ;;
  esac
  echo "| $size | $label | $(ms "$p") | $(ms "$f") | $(ratio "$p" "$f") | $(ratio "$pc" "$fc") | $runs | $target ${verdict:+($verdict)} |" >>"$TIMES"
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

echo "start-up"
timed start - "process start (--version)" "≤ +1 ms" 100 300 20 "$EXE --version" "$MINIMAL"
check - "--version" "$("$EXE" --version)" "1.0.0"

for n in $SIZES; do
  d=$OUT/s$n
  g=$d/graph.jsonl
  q=$(cat "$d/query.txt")
  bytes=$(stat -c %s "$g")
  # Single calls run for about 3 seconds each (5 to 40 runs), sessions 1 to 3
  # times; QUICK=1 makes that 2 to 5 and one.
  r="5 40"; rs="1 3"
  if [ "$QUICK" = 1 ]; then r="2 5"; rs="1 1"; fi
  wu=$([ "$n" -ge 5000 ] && echo 1 || echo 3)
  echo "size $n ($bytes bytes)"
  export MEMORY_FILE_PATH=$g
  unset REQUEST_METHOD CONTENT_LENGTH BOT_PASSWORD QUERY_STRING

  # Sanity: the answers are those of a working product.
  check "$n" "cgi stats" "$(QUERY_STRING=action=stats "$EXE")" "\"entities\":$n,"
  check "$n" "cgi graph" "$(QUERY_STRING=action=graph "$EXE" | head -c 200)" '"ok":true'
  check "$n" "cgi search" "$(QUERY_STRING="action=search&q=$q" "$EXE" | head -c 200)" '"ok":true'
  a=$("$EXE" --mcp <"$d/open1.jsonl")
  check "$n" "mcp open_nodes" "$a" '"isError":false'
  if [ "$n" -gt 0 ]; then
    check "$n" "mcp open_nodes" "$a" '"entities":\[{'
  fi
  want=$(wc -l <"$d/reads.jsonl")
  lines=$("$EXE" --mcp <"$d/reads.jsonl" | grep -c '"isError":false' || true)
  [ "$lines" = "$want" ] || echo "size $n, mcp read session: $lines of $want calls answered without error" >>"$CHECKS"
  if [ "$n" -gt 0 ]; then
    cp "$g" "$d/work.jsonl"
    lines=$(MEMORY_FILE_PATH=$d/work.jsonl "$EXE" --mcp <"$d/change.jsonl" | grep -c '"isError":false' || true)
    [ "$lines" = 100 ] || echo "size $n, mcp change session: $lines of 100 calls answered without error" >>"$CHECKS"
    grown=$(($(stat -c %s "$d/work.jsonl") - bytes))
    [ "$grown" -gt 0 ] || echo "size $n, mcp change session: the file did not grow" >>"$CHECKS"
  fi

  QUERY_STRING=action=stats timed "stats_$n" "$n" "CGI stats" "≤ 1.25x" $r $wu "$EXE" "$FLOOR read $g"
  QUERY_STRING=action=graph timed "graph_$n" "$n" "CGI graph" "" $r $wu "$EXE" "$FLOOR read $g"
  QUERY_STRING="action=search&q=$q" timed "search_$n" "$n" "CGI search" "" $r $wu "$EXE" "$FLOOR read $g"
  timed "open1_$n" "$n" "MCP open_nodes, 1 call" "≤ 1.25x" $r $wu \
    "$WITH_STDIN $d/open1.jsonl $EXE --mcp" "$WITH_STDIN $d/open1.jsonl $FLOOR read $g 1"
  timed "reads_$n" "$n" "MCP session, $want reads" "" $rs 0 \
    "$WITH_STDIN $d/reads.jsonl $EXE --mcp" "$WITH_STDIN $d/reads.jsonl $FLOOR read $g $want"
  MEMORY_FILE_PATH=$d/work.jsonl timed "change1_$n" "$n" "MCP add_observations, 1 call" "≤ 1.25x" $r $wu \
    "$WITH_STDIN $d/change1.jsonl $EXE --mcp" "$WITH_STDIN $d/change1.jsonl $FLOOR change $d/work.jsonl 1" \
    --prepare "$OUT/reset.sh $g $d/work.jsonl"
  MEMORY_FILE_PATH=$d/work.jsonl timed "changes_$n" "$n" "MCP session, 100 changes" "" $rs 0 \
    "$WITH_STDIN $d/change.jsonl $EXE --mcp" "$WITH_STDIN $d/change.jsonl $FLOOR change $d/work.jsonl 100" \
    --prepare "$OUT/reset.sh $g $d/work.jsonl"

  # Peak memory of each call kind, next to the floor's.
  fr=$(rss "$FLOOR" read "$g")
  cp "$g" "$d/work.jsonl"
  fc=$(rss "$FLOOR" change "$d/work.jsonl")
  peak=0
  memrow() { # <label> <kib> <floor kib>
    local kib=$2
    [ "$kib" -gt "$peak" ] && peak=$kib
    local per_file="-"
    [ "$bytes" -gt 0 ] && per_file=$(awk -v k="$kib" -v b="$bytes" 'BEGIN { printf "%.2f", k * 1024 / b }')
    echo "| $n | $bytes | $1 | $kib | $3 | $(ratio "$kib" "$3") | $per_file |" >>"$MEM"
  }
  memrow "CGI stats" "$(QUERY_STRING=action=stats rss "$EXE")" "$fr"
  memrow "CGI graph" "$(QUERY_STRING=action=graph rss "$EXE")" "$fr"
  memrow "CGI search" "$(QUERY_STRING="action=search&q=$q" rss "$EXE")" "$fr"
  memrow "MCP session, $want reads" "$(RSS_IN=$d/reads.jsonl rss "$EXE" --mcp)" "$fr"
  cp "$g" "$d/work.jsonl"
  memrow "MCP session, 100 changes" "$(MEMORY_FILE_PATH=$d/work.jsonl RSS_IN=$d/change.jsonl rss "$EXE" --mcp)" "$fc"
  if [ "$n" = 20000 ]; then
    PEAK_20K=$peak
    BYTES_20K=$bytes
  fi
done
unset MEMORY_FILE_PATH QUERY_STRING
rm -f "$OUT"/s*/work.jsonl*

echo "micro-benchmarks"
"$MICRO" --benchmark_min_time=0.3 --benchmark_out="$OUT/json/micro.json" --benchmark_out_format=json >/dev/null 2>&1 || true

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
  echo "Made by \`bench_gen\` (fixed seed): n entities with 3 to 8 observations each, 2n relations;"
  echo "texts mix ASCII, UTF-8, quotes, backslashes and control characters."
  echo
  echo "| entities | relations | file bytes |"
  echo "|---:|---:|---:|"
  for n in $SIZES; do echo "| $n | $((2 * n)) | $(stat -c %s "$OUT/s$n/graph.jsonl") |"; done
  echo
  echo "## Timings"
  echo
  echo "Medians of whole-process runs (hyperfine; single calls in three rounds of product and floor in"
  echo "turn, runs = product runs in all). Floors: \`bench_minimal\` (a C program"
  echo "that returns 0) for the start; \`bench_floor read\` (read the file in one block and parse"
  echo "every line with yyjson, once per call) for reads; \`bench_floor change\` (the same, then"
  echo "write the same bytes to a temporary file, fsync, rename) for changes. Ratio = product / floor"
  echo "of the wall-clock medians; CPU ratio = the same for the mean user + system time, which a busy"
  echo "machine disturbs less. MCP sessions are fed from a file by \`bench_with_stdin\` (product and"
  echo "floor alike); no shell is involved. Targets are judged on the wall-clock ratio."
  echo
  echo "| graph entities | measure | product ms | floor ms | ratio | CPU ratio | runs | target |"
  echo "|---:|---|---:|---:|---:|---:|---:|---|"
  cat "$TIMES"
  echo
  echo "## Peak memory"
  echo
  echo "Maximum resident set size from \`/usr/bin/time -v\`, KiB. Floor: \`bench_floor read\`"
  echo "(\`bench_floor change\` for the change session), one call. Target: at most 3x the file."
  echo
  echo "| graph entities | file bytes | measure | product KiB | floor KiB | ratio to floor | product / file |"
  echo "|---:|---:|---|---:|---:|---:|---:|"
  cat "$MEM"
  if [ -n "${PEAK_20K:-}" ]; then
    echo
    awk -v k="$PEAK_20K" -v b="$BYTES_20K" 'BEGIN { r = k * 1024 / b;
      printf "Largest peak on the 20,000-entity graph: %d KiB = %.2fx the file (target 3x: %s).\n", k, r, (r <= 3) ? "holds" : "misses" }'
  fi
  echo
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

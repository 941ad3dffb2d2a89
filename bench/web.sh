#!/usr/bin/env bash
# web.sh - the web host benchmarks: the real host (scripts/host.sh, lighttpd)
# on the 20,000-entity graph, in its FastCGI mode and in CGI mode, with
# keep-alive clients (bench/web_client.mjs):
#  - the median round trip of /mcp open_nodes and of the page's entity
#    action, against the parse floor (bench_floor read, one read and parse of
#    the whole file), target 0.05x;
#  - requests per second of 4 concurrent clients for reads (entity) and for
#    changes (add_obs), FastCGI against CGI;
#  - the peak resident set of each FastCGI worker against the file, target
#    3x.
# Writes the section's rows to $OUT/web.md and the plot's points to
# $OUT/web.tsv. bench/run.sh runs it; run alone, it takes the build and the
# graph from an earlier run (or makes them) and, with --results, puts its
# section into bench/RESULTS.md in place of the earlier one.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
OUT=${OUT:-$ROOT/bench/out}
QUICK=${QUICK:-0}
N=${WEB_ENTITIES:-20000}
EXE=$BUILD/plugin_memory
FLOOR=$BUILD/bench/bench_floor
CLIENT=$ROOT/bench/web_client.mjs
into_results=0
[ "${1:-}" = --results ] && into_results=1

if [ ! -x "$EXE" ] || [ ! -x "$FLOOR" ] || [ "$into_results" = 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -DPLUGIN_MEMORY_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j2 --target plugin_memory bench_gen bench_floor >/dev/null
fi
src=$OUT/s$N
if [ ! -f "$src/graph.jsonl" ]; then
  mkdir -p "$src"
  "$BUILD/bench/bench_gen" "$N" $((2 * N)) "$src" 100 100 short >/dev/null
fi
g=$src/graph.jsonl
bytes=$(stat -c %s "$g")
name=$(head -n 1 "$src/open.jsonl" | jq -r '.params.arguments.names[0]')
enc=$(jq -rn --arg s "$name" '$s | @uri')
work=$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_webbench.XXXXXX")
host_pid=""
stop_host() {
  if [ -n "$host_pid" ]; then kill -TERM "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; host_pid=""; fi
}
trap 'stop_host; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

calls=200; secs=8; floor_runs=15
[ "$QUICK" = 1 ] && { calls=50; secs=3; floor_runs=5; }
head -n 1 "$src/open.jsonl" >"$work/open.json"
jq -cn --arg n "$name" '{action: "add_obs", name: $n, contents: ["bench change @N@"]}' >"$work/change.json"
workers=4

# start <mode options...>: the host on a free port with a copy of the graph.
start() {
  rm -rf "$work/data"; mkdir -p "$work/data"
  cp "$g" "$work/data/memory.jsonl"
  port=$((20000 + RANDOM % 40000))
  env -u BOT_PASSWORD -u MEMORY_FILE_PATH bash "$ROOT/scripts/host.sh" --port "$port" --data "$work/data" \
    --exe "$EXE" "$@" >"$work/host.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 1 400); do
    grep -q '^plugin_memory: serving' "$work/host.log" && return 0
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.025
  done
  echo "web.sh: the host did not start"; cat "$work/host.log"; exit 1
}
client() { node "$CLIENT" "$@"; }
base() { echo "http://127.0.0.1:$port"; }

# The floor: the median of single reads and parses of the whole file.
floor=$(hyperfine -N --style none -r "$floor_runs" -w 2 "$FLOOR read $g" --export-json "$work/floor.json" >/dev/null 2>&1 &&
        jq '.results[0].median' "$work/floor.json")

ms() { awk -v s="$1" 'BEGIN { printf "%.3f", s * 1000 }'; }
row_lat() { # label product seconds
  awk -v l="$1" -v p="$2" -v f="$floor" -v n="$N" 'BEGIN {
    r = p / f; printf "| %s | %s | %.3f | %.2f | %.4f | ≤ 0.05x (%s) |\n", n, l, p * 1000, f * 1000, r, (r <= 0.05) ? "holds" : "misses" }'
}

start --workers "$workers"
mcp_fcgi=$(client latency "$(base)/mcp" "$calls" "$work/open.json")
ent_fcgi=$(client latency "$(base)/plugin_memory?action=entity&name=$enc" "$calls")
reads_fcgi=$(client rate "$(base)/plugin_memory?action=entity&name=$enc" 4 "$secs")
changes_fcgi=$(client rate "$(base)/plugin_memory" 4 "$secs" "$work/change.json")
lpid=$(pgrep -P "$host_pid" -x lighttpd || true)
peak=0
for w in $(pgrep -P "$lpid" || true); do
  k=$(awk '/^VmHWM:/ { print $2 }' "/proc/$w/status" 2>/dev/null || echo 0)
  [ "${k:-0}" -gt "$peak" ] && peak=$k
done
stop_host

start --cgi
mcp_cgi=$(client latency "$(base)/mcp" "$((calls / 10))" "$work/open.json")
ent_cgi=$(client latency "$(base)/plugin_memory?action=entity&name=$enc" "$((calls / 10))")
reads_cgi=$(client rate "$(base)/plugin_memory?action=entity&name=$enc" 4 "$secs")
changes_cgi=$(client rate "$(base)/plugin_memory" 4 "$secs" "$work/change.json")
stop_host

for v in "$mcp_fcgi" "$ent_fcgi" "$reads_fcgi" "$changes_fcgi" "$mcp_cgi" "$ent_cgi" "$reads_cgi" "$changes_cgi"; do
  case "$v" in failed*|'') echo "web.sh: a client failed: $v"; exit 1 ;; esac
done

{
  echo "## Through the web host"
  echo
  echo "The real host (\`scripts/host.sh\`: lighttpd, $workers FastCGI workers on a unix socket, or CGI"
  echo "with \`--cgi\`) on the $N-entity graph ($bytes bytes), driven by \`bench/web_client.mjs\` with"
  echo "keep-alive connections. Round trip: the median of $calls requests one after another (CGI: $((calls / 10)))"
  echo "after one that warms the connection and the worker. Floor: \`bench_floor read\`, one read and"
  echo "parse of the whole file (median of $floor_runs runs). Measured at commit"
  echo "\`$(git -C "$ROOT" rev-parse --short HEAD)\`, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d ' ' -f 1-3 /proc/loadavg)."
  echo
  echo "| graph entities | round trip | product ms | floor ms | ratio | target |"
  echo "|---:|---|---:|---:|---:|---|"
  row_lat "FastCGI: /mcp open_nodes" "$mcp_fcgi"
  row_lat "FastCGI: page entity action" "$ent_fcgi"
  row_lat "CGI: /mcp open_nodes" "$mcp_cgi" | sed 's/≤ 0.05x (.*) |$/(the CGI mode, for comparison) |/'
  row_lat "CGI: page entity action" "$ent_cgi" | sed 's/≤ 0.05x (.*) |$/(the CGI mode, for comparison) |/'
  echo
  echo "Requests per second of 4 concurrent clients for $secs s each (reads: the entity action;"
  echo "changes: add_obs on one entity, each a durable save of the whole file):"
  echo
  echo "| graph entities | requests | FastCGI req/s | CGI req/s | FastCGI / CGI |"
  echo "|---:|---|---:|---:|---:|"
  awk -v n="$N" -v f="$reads_fcgi" -v c="$reads_cgi" 'BEGIN { printf "| %s | reads | %.1f | %.1f | %.1fx |\n", n, f, c, f / c }'
  awk -v n="$N" -v f="$changes_fcgi" -v c="$changes_cgi" 'BEGIN { printf "| %s | changes | %.1f | %.1f | %.1fx |\n", n, f, c, f / c }'
  echo
  awk -v k="$peak" -v b="$bytes" 'BEGIN { r = k * 1024 / b; printf "Peak resident set of the busiest FastCGI worker after these runs: %d KiB, %.2fx the file (target 3x: %s).\n", k, r, (r <= 3) ? "holds" : "misses" }'
} >"$OUT/web.md"
printf '%s\t%s\t%s\t%s\t%s\n' "$N" "$(ms "$mcp_fcgi")" "$(ms "$ent_fcgi")" "$(ms "$mcp_cgi")" "$(ms "$floor")" >"$OUT/web.tsv"
cat "$OUT/web.md"

if [ "$into_results" = 1 ]; then
  results=$ROOT/bench/RESULTS.md
  awk -v sec="$OUT/web.md" '
    /^## Through the web host/ { skip = 1; next }
    skip && /^## / { skip = 0 }
    skip { next }
    /^## Micro-benchmarks/ && !done { while ((getline l < sec) > 0) print l; print ""; done = 1 }
    { print }' "$results" >"$results.new"
  mv "$results.new" "$results"
  echo "updated $results"
  # The plot again, from the rows of the earlier run in RESULTS.md and this
  # run's round trips.
  awk -F ' *\\| *' -v web="$OUT/web.tsv" '
    BEGIN { getline w < web; split(w, wv, "\t") }
    /^\| (short|long) \| [0-9]+ \| [0-9]+ \| [0-9]+ \|$/ { bytes[$2 ":" $3] = $5; order[++k] = $2 ":" $3 }
    /^\| [0-9]+( long)? \| / { key = ($2 ~ / long$/) ? "long:" $2 : "short:" $2; sub(/ long$/, "", key) }
    /\| MCP open_nodes, first call \|/ { cold[key] = $4 }
    /\| MCP open_nodes, one more call in a session \|/ { warm[key] = $4; fl[key] = $5 }
    /\| Node.js, read \+ JSON.parse every line, one more call \|/ { node[key] = $4 }
    END { for (i = 1; i <= k; i++) { g = order[i]; split(g, p, ":")
            f = (p[1] == "short" && p[2] == wv[1]) ? wv[2] "\t" wv[4] : "\t"
            printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", p[1], p[2], bytes[g], cold[g], warm[g], fl[g], node[g], f } }' \
    "$results" >"$OUT/plot_again.tsv"
  node "$ROOT/bench/plot.mjs" "$OUT/plot_again.tsv" >"$ROOT/bench/percall.svg"
  echo "redrew $ROOT/bench/percall.svg"
fi

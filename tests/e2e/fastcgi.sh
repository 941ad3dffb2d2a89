#!/usr/bin/env bash
# End to end through the real web host in its FastCGI mode (scripts/host.sh's
# default), against the same host in CGI mode (--cgi):
#  - the same requests get the same status lines, headers and bodies in both
#    modes: the page, every action, the password, the host's own names,
#    requests from other pages, the graph's limits, the body limits, /mcp,
#    and MCP headers sent again under a second spelling (refused);
#  - a change made over stdio shows in the next HTTP answer of every worker,
#    and a change made over HTTP in the next answer of a warm stdio server;
#  - 4 HTTP writers and 2 stdio writers at once lose nothing;
#  - workers killed while writers save lose nothing that was acknowledged,
#    leave a whole graph file, and are started again by lighttpd.
# Usage: tests/e2e/fastcgi.sh <executable>
set -euo pipefail

exe="$(realpath "${1:?usage: fastcgi.sh <plugin_memory executable>}")"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps.sh)"; exit 1; }
case "$("$exe" --fastcgi </dev/null || true)" in
  *"needs a FastCGI listening socket"*) ;;
  *) echo "fastcgi: this build has no FastCGI mode; nothing to test"; exit 0 ;;
esac

tmp="$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_fcgi.XXXXXX")"
. "$repo/tests/e2e/lib/host.bash"
stdio_pid=""
cleanup() {
  if [ -n "$stdio_pid" ]; then kill "$stdio_pid" 2>/dev/null || true; wait "$stdio_pid" 2>/dev/null || true; fi
  stop_host; rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

workers=3
pass='pa ss'
host_env=(BOT_PASSWORD="$pass" MEMORY_MAX_ENTITIES=6 MEMORY_LOCK_TIMEOUT_MS=20000)
P=(-H "X-Bot-Password: $pass")
J=(-H 'Content-Type: application/json' -H 'Accept: application/json, text/event-stream')
B=(-H "Authorization: Bearer $pass")

# --- the same answers in both modes -----------------------------------------
# Each line: a name, then curl's arguments (words; @BIG@ stands for a body
# above the 8 MiB limit, @HUGE@ for one above the 24 MiB import limit).
requests() {
  cat <<'EOF'
page_refused	/plugin_memory
page	-P /plugin_memory
hub_route	-P /plugins?plugin=plugin_memory&action=stats
pwd_query	/plugin_memory?action=stats&pwd=pa+ss
bearer	-B /plugin_memory?action=stats
wrong_password	-H X-Bot-Password:nope /plugin_memory?action=stats
foreign_host	-P -H Host:evil.test /plugin_memory?action=stats
foreign_origin	-P -H Origin:http://evil.test /plugin_memory?action=stats
cross_site	-P -H Sec-Fetch-Site:cross-site /plugin_memory?action=graph
other_path	-P /other
stats_empty	-P /plugin_memory?action=stats
add_ada	-P -X POST --data-binary {"action":"add_entity","name":"Ada","entityType":"person","observations":["math"]} /plugin_memory
add_bob	-P /plugin_memory?action=add_entity&name=Bob&entityType=person&observations=a|b
relation	-P /plugin_memory?action=add_relation&from=Ada&to=Bob&relationType=knows
add_obs	-P -X POST --data-binary {"action":"add_obs","name":"Ada","contents":["engines"]} /plugin_memory
graph	-P /plugin_memory?format=json
search	-P /plugin_memory?action=search&q=eng
entity	-P /plugin_memory?action=entity&name=Ada
missing_name	-P /plugin_memory?action=entity
not_json	-P -X POST --data-binary {nope /plugin_memory
unknown	-P /plugin_memory?action=nope
missing_action	-P -X POST --data-binary {} /plugin_memory
delete_obs	-P /plugin_memory?action=delete_obs&name=Bob&observations=a
delete_relation	-P /plugin_memory?action=delete_relation&from=Ada&to=Bob
import_check	-P -X POST --data-binary @IMPORT@ /plugin_memory?action=import&check=1
import	-P -X POST --data-binary @IMPORT@ /plugin_memory?action=import
over_limit	-P -X POST --data-binary @MANY@ /plugin_memory?action=import
delete_entity	-P /plugin_memory?action=delete_entity&name=Bob
stats	-P /plugin_memory?action=stats
export	-P /plugin_memory?action=export
tools	-P /plugin_memory?action=tools
too_large	-P -X POST --data-binary @BIG@ /plugin_memory
import_too_large	-P -X POST --data-binary @HUGE@ /plugin_memory?action=import
mcp_refused	-J -X POST --data-binary {"jsonrpc":"2.0","id":1,"method":"ping"} /mcp
mcp_initialize	-B -J -X POST --data-binary {"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"t","version":"1"}}} /mcp
mcp_open	-B -J -X POST --data-binary {"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"open_nodes","arguments":{"names":["Ada"]}}} /mcp
mcp_notification	-B -J -X POST --data-binary {"jsonrpc":"2.0","method":"notifications/initialized"} /mcp
mcp_get	-B /mcp
mcp_type	-B -X POST --data-binary {} /mcp
mcp_accept	-B -H Accept:text/html -H Content-Type:application/json -X POST --data-binary {} /mcp
mcp_version	-B -J -H MCP-Protocol-Version:1999-01-01 -X POST --data-binary {} /mcp
mcp_too_large	-B -J -X POST --data-binary @BIG@ /mcp
mcp_foreign	-B -J -H Origin:http://evil.test -X POST --data-binary {} /mcp
smuggled_method	-B -J -H Mcp_Method:tools/call -H Mcp-Method:tools/list -H Mcp-Name:create_entities -H MCP-Protocol-Version:2026-07-28 -X POST --data-binary @SMUGGLE@ /mcp
smuggled_name	-B -J -H Mcp-Method:tools/call -H Mcp_Name:create_entities -H Mcp-Name:read_graph -H MCP-Protocol-Version:2026-07-28 -X POST --data-binary @SMUGGLE@ /mcp
smuggled_version	-B -J -H Mcp-Method:tools/call -H Mcp-Name:create_entities -H MCP_Protocol_Version:2026-07-28 -H MCP-Protocol-Version:2025-06-18 -X POST --data-binary @SMUGGLE@ /mcp
after_smuggling	-P /plugin_memory?action=search&q=Smuggled
EOF
}

head -c $((8 * 1048576 + 10)) /dev/zero | tr '\0' ' ' >"$tmp/big"
head -c $((24 * 1048576 + 10)) /dev/zero | tr '\0' '\n' >"$tmp/huge"
printf '%s\n' '{"type":"entity","name":"Cy","entityType":"robot","observations":["x"]}' \
  '{"type":"relation","from":"Cy","to":"Ada","relationType":"built by"}' >"$tmp/import"
for i in 1 2 3 4 5 6; do
  printf '{"type":"entity","name":"m%d","entityType":"t","observations":[]}\n' "$i"
done >"$tmp/many"
# A change of the stateless revision whose headers come again under a second
# spelling (Mcp_Method for Mcp-Method): the host gives both one variable, so
# a front end routing by the real header would see another request than the
# program. Refused whichever comes first, and nothing is changed.
printf '%s' '{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"create_entities","arguments":{"entities":[{"name":"Smuggled","entityType":"t","observations":[]}]},"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}}}}' >"$tmp/smuggle"

# Sends every request to the running host; each answer (status line, headers
# but the date and the framing lighttpd chooses, body) into $1/<name>.
run_requests() { # dir
  mkdir -p "$1"
  local name words args w
  while IFS=$'\t' read -r name words; do
    args=()
    for w in $words; do
      case "$w" in
        -P) args+=("${P[@]}") ;;
        -B) args+=("${B[@]}") ;;
        -J) args+=("${J[@]}") ;;
        @BIG@) args+=("@$tmp/big") ;;
        @HUGE@) args+=("@$tmp/huge") ;;
        @IMPORT@) args+=("@$tmp/import") ;;
        @MANY@) args+=("@$tmp/many") ;;
        @SMUGGLE@) args+=("@$tmp/smuggle") ;;
        /*) args+=("$base$w") ;;
        -H|-X|--data-binary) args+=("$w") ;;
        *) args+=("$w") ;;
      esac
    done
    curl -s -i -H 'Expect:' "${args[@]}" | tr -d '\r' | grep -v -i -E '^(date|content-length|transfer-encoding|connection):' >"$1/$name" || true
  done < <(requests)
}

start_host "${host_env[@]}" -- --cgi
base="http://127.0.0.1:$port"
run_requests "$tmp/cgi"
stop_host
rm -rf "$tmp/data"
start_host "${host_env[@]}" -- --workers "$workers"
base="http://127.0.0.1:$port"
expect_has "served by FastCGI" "$(cat "$tmp/host.log")" "plugin_memory: $workers FastCGI workers"
run_requests "$tmp/fastcgi"
while IFS=$'\t' read -r name _; do
  if ! cmp -s "$tmp/cgi/$name" "$tmp/fastcgi/$name"; then
    fail "same answer: $name"$'\n'"$(diff "$tmp/cgi/$name" "$tmp/fastcgi/$name" | head -20)"
  fi
done < <(requests)
expect_has "the page was served" "$(cat "$tmp/fastcgi/page")" "</html>"
expect_has "the limit held" "$(cat "$tmp/fastcgi/over_limit")" '"ok":false'
expect_has "a large body refused" "$(head -1 "$tmp/fastcgi/too_large")" "413"
for mode in cgi fastcgi; do
  for h in method:Mcp-Method name:Mcp-Name version:MCP-Protocol-Version; do
    expect_has "$mode: smuggled ${h#*:} refused" "$(cat "$tmp/$mode/smuggled_${h%%:*}")" \
      "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32000,\"message\":\"the request sends ${h#*:} under two spellings\"}}"
    expect_has "$mode: smuggled ${h#*:} status" "$(head -1 "$tmp/$mode/smuggled_${h%%:*}")" "400"
  done
  expect_has "$mode: nothing smuggled in" "$(cat "$tmp/$mode/after_smuggling")" '{"ok":true,"entities":[],"relations":[]}'
done
stop_host
rm -rf "$tmp/data"

# --- freshness across the stdio server and the workers ----------------------
start_host MEMORY_LOCK_TIMEOUT_MS=20000 -- --workers "$workers"
base="http://127.0.0.1:$port"
data="$(realpath "$tmp/data")"
mcp_env=(env -u MEMORY_FILE_PATH MEMORY_CONNECTOR_DIR="$data" MEMORY_LOCK_TIMEOUT_MS=20000)
call_line() { # id tool arguments-json
  printf '{"jsonrpc":"2.0","id":%s,"method":"tools/call","params":{"name":"%s","arguments":%s}}\n' "$1" "$2" "$3"
}

coproc STDIO { "${mcp_env[@]}" "$exe" --mcp; }
stdio_pid=$STDIO_PID
stdio() { # tool arguments-json: the answer line
  call_line 1 "$1" "$2" >&"${STDIO[1]}"
  local line
  IFS= read -r -t 20 line <&"${STDIO[0]}" || line="(no answer)"
  printf '%s' "$line"
}
http() { curl -s "$base/plugin_memory?$1"; }

expect_eq "http add" "$(http 'action=add_entity&name=Ada&entityType=person')" \
  '{"ok":true,"entities":[{"name":"Ada","entityType":"person","observations":[]}]}'
# Every worker reads the graph once, so that each keeps it warm.
for _ in $(seq 1 $((workers * 3))); do http 'action=entity&name=Ada' >/dev/null; done
expect_has "stdio sees the http change" "$(stdio open_nodes '{"names":["Ada"]}')" '"name":"Ada"'
expect_has "stdio change" "$(stdio add_observations '{"observations":[{"entityName":"Ada","contents":["from stdio"]}]}')" '"isError":false'
for i in $(seq 1 $((workers * 3))); do
  expect_has "worker answer $i after the stdio change" "$(http 'action=entity&name=Ada')" '"from stdio"'
done
expect_has "http change" "$(http 'action=add_obs&name=Ada&contents=from+http')" '"ok":true'
expect_has "warm stdio sees the http change" "$(stdio open_nodes '{"names":["Ada"]}')" 'from http'
exec {STDIO[1]}>&-
wait "$stdio_pid" 2>/dev/null || true
stdio_pid=""

# --- 4 HTTP writers and 2 stdio writers at once -----------------------------
n=20
writers=()
for w in 1 2 3 4; do
  (
    for k in $(seq 1 $n); do
      http "action=add_entity&name=h${w}_$k&entityType=t" >>"$tmp/http$w.out"
      echo >>"$tmp/http$w.out"
    done
  ) &
  writers+=($!)
done
for w in 1 2; do
  (
    for k in $(seq 1 $n); do
      call_line "$k" create_entities "{\"entities\":[{\"name\":\"s${w}_$k\",\"entityType\":\"t\",\"observations\":[]}]}"
    done | "${mcp_env[@]}" "$exe" --mcp >"$tmp/stdio$w.out"
  ) &
  writers+=($!)
done
wait "${writers[@]}"
for w in 1 2 3 4; do
  expect_eq "http writer $w acknowledged" "$(grep -c '^{"ok":true,"entities":\[{' "$tmp/http$w.out")" "$n"
done
for w in 1 2; do
  expect_eq "stdio writer $w acknowledged" "$(grep -c '"isError":false' "$tmp/stdio$w.out")" "$n"
done
stats="$(http 'action=stats')"
expect_has "nothing lost" "$stats" "\"entities\":$((6 * n + 1)),"
expect_has "no unreadable lines" "$stats" '"unreadable_lines":0,'

# --- workers killed while writers save --------------------------------------
# A graph of a few MB, so that each save takes a while.
obs="$(head -c 1000 /dev/zero | tr '\0' 'o')"
for i in $(seq 1 3000); do
  printf '{"type":"entity","name":"bulk%d","entityType":"t","observations":["%s"]}\n' "$i" "$obs"
done >"$tmp/bulk"
expect_has "bulk import" "$(curl -s -X POST --data-binary "@$tmp/bulk" "$base/plugin_memory?action=import")" '"ok":true'
lighttpd_pid="$(pgrep -P "$host_pid" -x lighttpd || true)"
worker_pids() { pgrep -P "$lighttpd_pid" | sort; }
expect_eq "workers running" "$(worker_pids | wc -l)" "$workers"
before="$(worker_pids)"
writers=()
for w in 1 2; do
  (
    k=0
    while [ ! -e "$tmp/stop" ]; do
      k=$((k + 1))
      if http "action=add_entity&name=k${w}_$k&entityType=t" | grep -q '^{"ok":true,"entities":\[{'; then
        echo "k${w}_$k" >>"$tmp/acked"
      fi
    done
  ) &
  writers+=($!)
done
for _ in 1 2 3 4 5 6; do
  sleep 0.3
  victim="$(worker_pids | shuf -n 1)"
  [ -z "$victim" ] || kill -KILL "$victim" 2>/dev/null || true
done
sleep 0.3
touch "$tmp/stop"
wait "${writers[@]}"
# lighttpd starts a worker again when one has died.
for _ in $(seq 1 100); do
  [ "$(worker_pids | wc -l)" -eq "$workers" ] && break
  sleep 0.1
done
expect_eq "workers replaced" "$(worker_pids | wc -l)" "$workers"
if [ "$(worker_pids)" = "$before" ]; then fail "no worker was killed and replaced"; fi
stats="$(http 'action=stats')"
expect_has "the graph loads whole" "$stats" '"unreadable_lines":0,'
curl -s "$base/plugin_memory?action=export" >"$tmp/export"
acked=0
while IFS= read -r name; do
  acked=$((acked + 1))
  grep -q "\"name\":\"$name\"" "$tmp/export" || fail "acknowledged $name is lost"
done <"$tmp/acked"
[ "$acked" -gt 0 ] || fail "no change was acknowledged while workers were killed"
expect_eq "no leftover lock" "$(ls "$data" | grep -c lock || true)" 0
echo "killed-worker run: $acked acknowledged changes"

finish "fastcgi"

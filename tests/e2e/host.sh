#!/usr/bin/env bash
# End to end through the real web host: scripts/host.sh runs lighttpd on a
# free loopback port with a fresh data directory; curl proves both routes,
# the answer headers, the three ways of giving the password, the refusal of
# other host names and of requests from other web pages, changes by POST and
# by GET, and concurrent writers. Usage: tests/e2e/host.sh <executable>
set -euo pipefail

exe="$(realpath "${1:?usage: host.sh <plugin_memory executable>}")"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps.sh)"; exit 1; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_e2e.XXXXXX")"
. "$repo/tests/e2e/lib/host.bash"
cleanup() { stop_host; rm -rf "$tmp"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

start_host BOT_PASSWORD='se cr+t' MEMORY_LOCK_TIMEOUT_MS=20000 MEMORY_WEB_HOSTS=memory.test
base="http://127.0.0.1:$port"
H=(-H 'X-Bot-Password: se cr+t')

# --- the password -----------------------------------------------------------
refused=$'{"ok":false,"error":"invalid node password"}'
for url in "/plugin_memory" "/plugin_memory?action=stats" "/plugins?plugin=plugin_memory&action=graph" \
           "/plugin_memory?action=stats&pwd=wrong"; do
  expect_eq "refused $url status" "$(curl -s -o /dev/null -w '%{http_code}' "$base$url")" 401
  expect_eq "refused $url body" "$(curl -s "$base$url")" "$refused"
done
expect_eq "wrong header" "$(curl -s -o /dev/null -w '%{http_code}' -H 'X-Bot-Password: se cr+T' "$base/plugin_memory?action=stats")" 401
expect_eq "lower-case bearer" "$(curl -s -o /dev/null -w '%{http_code}' -H 'Authorization: bearer se cr+t' "$base/plugin_memory?action=stats")" 401

empty_stats='{"ok":true,"entities":0,"relations":0,"observations":0,"unreadable_lines":0,"file_exists":false,"file_bytes":0,"types":[]}'
expect_eq "header password" "$(curl -s "${H[@]}" "$base/plugin_memory?action=stats")" "$empty_stats"
expect_eq "bearer password" "$(curl -s -H 'Authorization:   Bearer   se cr+t' "$base/plugin_memory?action=stats")" "$empty_stats"
expect_eq "pwd password" "$(curl -s "$base/plugin_memory?action=stats&pwd=se+cr%2Bt")" "$empty_stats"
expect_eq "wrong header, right pwd" \
  "$(curl -s -H 'X-Bot-Password: no' "$base/plugin_memory?pwd=se%20cr%2bt&action=stats")" "$empty_stats"

# --- routes and headers -------------------------------------------------------
headers="$(curl -s -D - -o /dev/null "${H[@]}" "$base/plugins?plugin=plugin_memory&action=stats" | tr -d '\r')"
expect_has "hub route status" "$headers" "HTTP/1.1 200 OK"
expect_has "json content type" "$headers" "Content-Type: application/json; charset=utf-8"
expect_has "json no-store" "$headers" "Cache-Control: no-store"
expect_has "json nosniff" "$headers" "X-Content-Type-Options: nosniff"
expect_eq "hub route body" "$(curl -s "${H[@]}" "$base/plugins?x=1&plugin=plugin_memory&action=stats")" "$empty_stats"
expect_eq "hub route without plugin" "$(curl -s -o /dev/null -w '%{http_code}' "${H[@]}" "$base/plugins?action=stats")" 403
expect_eq "other plugin" "$(curl -s -o /dev/null -w '%{http_code}' "${H[@]}" "$base/plugins?plugin=plugin_memoryx")" 403
expect_eq "no static files" "$(curl -s -o /dev/null -w '%{http_code}' "${H[@]}" "$base/plugin_memory/")" 403

page_headers="$(curl -s -D - -o "$tmp/page.html" "${H[@]}" "$base/plugin_memory" | tr -d '\r')"
expect_has "page status" "$page_headers" "HTTP/1.1 200 OK"
expect_has "page type" "$page_headers" "Content-Type: text/html; charset=utf-8"
expect_has "page frame option" "$page_headers" "X-Frame-Options: SAMEORIGIN"
expect_has "page policy" "$page_headers" "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'"
expect_has "page body" "$(cat "$tmp/page.html")" "</html>"
expect_eq "page through the hub" "$(curl -s "${H[@]}" "$base/plugins?plugin=plugin_memory" | cmp - "$tmp/page.html" && echo same)" same

error_headers="$(curl -s -D - -o "$tmp/err.json" "${H[@]}" "$base/plugin_memory?action=nope" | tr -d '\r')"
expect_has "error status line" "$error_headers" "HTTP/1.1 400 Bad Request"
expect_eq "error body" "$(cat "$tmp/err.json")" '{"ok":false,"status":400,"error":"unknown action"}'
expect_eq "invalid body" "$(curl -s "${H[@]}" -H 'Content-Type: application/json' --data-binary '{x' "$base/plugin_memory?action=stats")" \
  '{"ok":false,"status":400,"error":"the request body is not valid JSON"}'
expect_eq "post without action" "$(curl -s "${H[@]}" --data-binary '{}' "$base/plugin_memory")" \
  '{"ok":false,"status":400,"error":"missing action"}'

head -c 9000000 /dev/zero | tr '\0' ' ' >"$tmp/big.json"
expect_eq "body above 8 MiB" \
  "$(curl -s -w ' %{http_code}' "${H[@]}" --data-binary @"$tmp/big.json" "$base/plugin_memory?action=stats")" \
  $'{"ok":false,"status":413,"error":"the request body is too large"}\n 413'

# An import takes a whole graph file, as large as a load reads (24 MiB): the
# host lets such a body through to the program (checked, not imported here).
obs="$(head -c 1000 /dev/zero | tr '\0' 'x')"
awk -v obs="$obs" 'BEGIN { for (i = 0; i < 19000; i++) printf "{\"type\":\"entity\",\"name\":\"big%d\",\"entityType\":\"t\",\"observations\":[\"%s\"]}\n", i, obs }' >"$tmp/big.jsonl"
expect_has "import of $(($(stat -c %s "$tmp/big.jsonl") / 1048576)) MiB" \
  "$(curl -s "${H[@]}" -H 'Content-Type: application/x-ndjson' --data-binary @"$tmp/big.jsonl" "$base/plugin_memory?action=import&check=1")" \
  '{"ok":true,"checked":true,"added":{"entities":19000,'

# --- changes by POST and by GET ----------------------------------------------
expect_eq "POST add_entity" \
  "$(curl -s "${H[@]}" -H 'Content-Type: application/json' \
      --data-binary '{"action":"add_entity","name":"Ada","entityType":"person","observations":["wrote a|b","likes tea"]}' \
      "$base/plugins?plugin=plugin_memory&action=add_entity")" \
  '{"ok":true,"entities":[{"name":"Ada","entityType":"person","observations":["wrote a|b","likes tea"]}]}'
expect_eq "GET add_obs" "$(curl -s "${H[@]}" "$base/plugin_memory?action=add_obs&name=Ada&contents=first%20note|second")" \
  '{"ok":true,"results":[{"entityName":"Ada","addedObservations":["first note","second"]}]}'
expect_eq "GET add_entity" "$(curl -s "$base/plugin_memory?pwd=se+cr%2Bt&action=add_entity&name=Bob&entityType=person")" \
  '{"ok":true,"entities":[{"name":"Bob","entityType":"person","observations":[]}]}'
expect_eq "POST add_relation" \
  "$(curl -s "${H[@]}" --data-binary '{"action":"add_relation","from":"Ada","to":"Bob","relationType":"knows"}' "$base/plugin_memory")" \
  '{"ok":true,"relations":[{"from":"Ada","to":"Bob","relationType":"knows"}]}'
expect_eq "graph after changes" "$(curl -s "${H[@]}" "$base/plugin_memory?format=json")" \
  '{"ok":true,"entities":[{"name":"Ada","entityType":"person","observations":["wrote a|b","likes tea","first note","second"]},{"name":"Bob","entityType":"person","observations":[]}],"relations":[{"from":"Ada","to":"Bob","relationType":"knows"}]}'
curl -s "${H[@]}" -D "$tmp/export.h" -o "$tmp/export.jsonl" "$base/plugin_memory?action=export"
expect_has "export name" "$(tr -d '\r' <"$tmp/export.h")" 'Content-Disposition: attachment; filename="memory.jsonl"'
expect_eq "export is the file" "$(cmp "$tmp/export.jsonl" "$tmp/data/memory.jsonl" && echo same)" same

# --- where requests come from -------------------------------------------------
# Another host name (DNS rebinding) or another page's Origin or fetch
# metadata is refused with 403 before anything is read or changed, on every
# answer and both routes; the graph file stays byte for byte as it was.
expect_has "names announced" "$(cat "$tmp/host.log")" \
  "plugin_memory: answers to the host names 127.0.0.1:$port localhost:$port [::1]:$port memory.test:$port"
cp "$tmp/data/memory.jsonl" "$tmp/before.jsonl"
other="127.0.0.1:$((port == 65535 ? port - 1 : port + 1))"
foreign_host='{"ok":false,"status":403,"error":"this server does not answer to that host name"}'
foreign_page='{"ok":false,"status":403,"error":"requests from other web pages are refused"}'
while IFS='|' read -r name url body want header1 header2; do
  [ -n "$name" ] || continue
  args=(-s -o "$tmp/refused.body" -D "$tmp/refused.head" "${H[@]}")
  [ -z "$header1" ] || args+=(-H "$header1")
  [ -z "$header2" ] || args+=(-H "$header2")
  [ -z "$body" ] || args+=(-H 'Content-Type: text/plain' --data-binary "$body")
  curl "${args[@]}" "$base$url"
  head="$(tr -d '\r' <"$tmp/refused.head")"
  expect_has "$name: status" "$head" "HTTP/1.1 403 Forbidden"
  expect_has "$name: type" "$head" "Content-Type: application/json; charset=utf-8"
  expect_has "$name: no-store" "$head" "Cache-Control: no-store"
  expect_has "$name: nosniff" "$head" "X-Content-Type-Options: nosniff"
  expect_eq "$name: body" "$(cat "$tmp/refused.body")" "${!want}"
  expect_eq "$name: graph file unchanged" "$(cmp "$tmp/before.jsonl" "$tmp/data/memory.jsonl" && echo same)" same
done <<EOF_CASES
rebound page|/plugin_memory||foreign_host|Host: evil.example:$port
rebound graph|/plugin_memory?action=graph||foreign_host|Host: evil.example:$port
rebound export|/plugin_memory?action=export||foreign_host|Host: evil.example
rebound hub route|/plugins?plugin=plugin_memory&action=graph||foreign_host|Host: evil.example:$port
rebound edit|/plugin_memory?action=add_entity&name=Evil&entityType=t||foreign_host|Host: 127.0.0.1.evil.example:$port
other port as host|/plugin_memory?action=stats||foreign_host|Host: $other
image on another site|/plugin_memory?action=add_entity&name=Evil&entityType=t||foreign_page|Sec-Fetch-Site: cross-site|Sec-Fetch-Dest: image
image on the hub route|/plugins?plugin=plugin_memory&action=delete_entity&name=Ada||foreign_page|Sec-Fetch-Site: cross-site|Sec-Fetch-Dest: image
page on another port reads|/plugin_memory?action=graph||foreign_page|Sec-Fetch-Site: same-site
page on another port exports|/plugin_memory?action=export||foreign_page|Sec-Fetch-Site: same-site
framed from another site|/plugin_memory||foreign_page|Sec-Fetch-Site: cross-site|Sec-Fetch-Dest: iframe
text/plain POST|/plugin_memory|{"action":"add_entity","name":"Evil","entityType":"t"}|foreign_page|Origin: http://evil.example
form POST from another port|/plugins?plugin=plugin_memory|{"action":"delete_entity","name":"Ada"}|foreign_page|Origin: http://$other
POST from an opaque origin|/plugin_memory?action=delete_entity&name=Ada||foreign_page|Origin: null
POST with another origin of this host|/plugin_memory?action=delete_entity&name=Ada||foreign_page|Origin: http://localhost:$port|Sec-Fetch-Site: cross-site
EOF_CASES
for h in "localhost:$port" "[::1]:$port" "LOCALHOST:$port" "memory.test:$port"; do
  expect_eq "served as $h" "$(curl -s -o /dev/null -w '%{http_code}' "${H[@]}" -H "Host: $h" "$base/plugin_memory?action=stats")" 200
done
expect_eq "typed address" "$(curl -s -o /dev/null -w '%{http_code}' "${H[@]}" -H 'Sec-Fetch-Site: none' -H 'Sec-Fetch-Dest: document' "$base/plugins?plugin=plugin_memory")" 200
expect_eq "own page reads" "$(curl -s "${H[@]}" -H 'Sec-Fetch-Site: same-origin' "$base/plugin_memory?action=entity&name=Bob")" \
  '{"ok":true,"entities":[{"name":"Bob","entityType":"person","observations":[]}],"relations":[{"from":"Ada","to":"Bob","relationType":"knows"}]}'
expect_eq "graph file unchanged after the reads" "$(cmp "$tmp/before.jsonl" "$tmp/data/memory.jsonl" && echo same)" same
expect_eq "own page edits" "$(curl -s "${H[@]}" -H "Host: localhost:$port" -H "Origin: http://localhost:$port" -H 'Sec-Fetch-Site: same-origin' \
    --data-binary '{"action":"add_obs","name":"Bob","contents":["came by"]}' "$base/plugin_memory")" \
  '{"ok":true,"results":[{"entityName":"Bob","addedObservations":["came by"]}]}'
expect_has "own edit undone" "$(curl -s "${H[@]}" --data-binary '{"action":"delete_obs","name":"Bob","observations":["came by"]}' "$base/plugin_memory")" '"ok":true'
expect_eq "graph file as before" "$(cmp "$tmp/before.jsonl" "$tmp/data/memory.jsonl" && echo same)" same

# --- concurrent writers -------------------------------------------------------
# Each writer retries while another holds the graph; every change must land.
post_until_done() { # out-file body
  local i answer
  for i in $(seq 1 20); do
    answer="$(curl -s "${H[@]}" --data-binary "$2" "$base/plugin_memory")"
    case "$answer" in *'"the graph is busy; try again"'*) sleep 0.1 ;; *) break ;; esac
  done
  printf '%s\n' "$answer" >"$1"
}
n=12
pids=()
for i in $(seq 1 $n); do
  post_until_done "$tmp/w$i.out" "{\"action\":\"add_entity\",\"name\":\"W$i\",\"entityType\":\"worker\",\"observations\":[\"born $i\"]}" &
  pids+=($!)
  post_until_done "$tmp/o$i.out" "{\"action\":\"add_obs\",\"name\":\"Ada\",\"contents\":[\"note $i\"]}" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
for i in $(seq 1 $n); do
  expect_has "writer W$i" "$(cat "$tmp/w$i.out")" '"ok":true'
  expect_has "observer $i" "$(cat "$tmp/o$i.out")" '"ok":true'
done
stats="$(curl -s "${H[@]}" "$base/plugin_memory?action=stats")"
expect_has "all writers present" "$stats" "\"entities\":$((n + 2)),\"relations\":1,\"observations\":$((4 + 2 * n)),"
graph="$(curl -s "${H[@]}" "$base/plugin_memory?action=graph")"
for i in $(seq 1 $n); do
  expect_has "entity W$i" "$graph" "{\"name\":\"W$i\",\"entityType\":\"worker\",\"observations\":[\"born $i\"]}"
  expect_has "note $i" "$graph" "\"note $i\""
done

# --- stopping -----------------------------------------------------------------
stop_host
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "the port is still open after stopping"; fi
if grep -qs "server.port = $port\$" "${TMPDIR:-/tmp}"/plugin_memory_host.*/lighttpd.conf; then
  fail "the host left its run directory"
fi

finish "host end-to-end"

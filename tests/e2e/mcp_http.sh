#!/usr/bin/env bash
# MCP over HTTP end to end through the real web host: raw requests to /mcp
# with curl for every answer the endpoint gives (200, 202, 400, 401, 403,
# 405, 406, 413, 415), the graph file unchanged by every refusal, the
# --listen and --allow-host options of scripts/host.sh, and a FastCGI worker
# that keeps no session from one client to the next.
# Usage: tests/e2e/mcp_http.sh <executable>
set -euo pipefail

exe="$(realpath "${1:?usage: mcp_http.sh <plugin_memory executable>}")"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps.sh)"; exit 1; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_mcp.XXXXXX")"
. "$repo/tests/e2e/lib/host.bash"
cleanup() { stop_host; rm -rf "$tmp"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

start_host
url="http://127.0.0.1:$port/mcp"
expect_has "endpoint announced" "$(cat "$tmp/host.log")" "plugin_memory: MCP endpoint $url"
J=(-H 'Content-Type: application/json' -H 'Accept: application/json, text/event-stream')

# One POST; prints the status, the headers that matter (lower-cased names,
# in the order given) and the body, one per line.
call() { # curl arguments...
  rm -f "$tmp/head" "$tmp/body"
  curl -s -H 'Expect:' -D "$tmp/head" -o "$tmp/body" "$@" "$url" || true
  tr -d '\r' <"$tmp/head" | awk 'NR == 1 { print $2 }
    tolower($1) ~ /^(allow|www-authenticate|content-type|mcp-session-id):$/ {
      n = index($0, ":"); print tolower(substr($0, 1, n)) substr($0, n + 1) }'
  cat "$tmp/body" 2>/dev/null || true
}

# --- requests, notifications and what is no message -------------------------
expect_eq "initialize" "$(call "${J[@]}" --data-binary '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"curl","version":"1"}}}')" \
  '200
content-type: application/json; charset=utf-8
{"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":false},"resources":{"subscribe":false,"listChanged":false}},"serverInfo":{"name":"memory-server","title":"Knowledge Graph Memory","version":"1.0.0"}}}'
expect_eq "create by tools/call" "$(call "${J[@]}" -H 'MCP-Protocol-Version: 2025-06-18' --data-binary '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"create_entities","arguments":{"entities":[{"name":"Ada","entityType":"person","observations":["likes tea"]}]}}}' | sed -n 1p)" 200
expect_eq "the graph file holds it" "$(cat "$tmp/data/memory.jsonl")" '{"type":"entity","name":"Ada","entityType":"person","observations":["likes tea"]}'
cp "$tmp/data/memory.jsonl" "$tmp/before.jsonl"

ping='{"jsonrpc":"2.0","id":"p","method":"ping"}'
pong='{"jsonrpc":"2.0","id":"p","result":{}}'
err() { echo "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":$1,\"message\":\"$2\"}}"; }
big="$tmp/big.json"
head -c 9000000 /dev/zero | tr '\0' ' ' >"$big"
# name | curl arguments (one per ^) | status, headers and body, lines joined by ^
while IFS='|' read -r name args want; do
  [ -n "$name" ] || continue
  IFS='^' read -r -a argv <<<"$args"
  expect_eq "$name" "$(call "${argv[@]}")" "${want//^/$'\n'}"
  expect_eq "$name: graph file unchanged" "$(cmp "$tmp/before.jsonl" "$tmp/data/memory.jsonl" && echo same)" same
done <<EOF_CASES
ping|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^$ping|200^content-type: application/json; charset=utf-8^$pong
unknown session id still answered|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^Mcp-Session-Id: 0000-gone^--data-binary^$ping|200^content-type: application/json; charset=utf-8^$pong
notification|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^{"jsonrpc":"2.0","method":"notifications/initialized"}|202
tool call as a notification runs nothing|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^{"jsonrpc":"2.0","method":"tools/call","params":{"name":"delete_entities","arguments":{"entityNames":["Ada"]}}}|202
client response|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^{"jsonrpc":"2.0","id":5,"result":{}}|202
malformed JSON|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^{"jsonrpc":|400^content-type: application/json; charset=utf-8^$(err -32700 'Parse error: not valid JSON')
batch|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^[$ping]|400^content-type: application/json; charset=utf-8^$(err -32600 'Invalid request: expected an object')
unsupported protocol version|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^MCP-Protocol-Version: 1900-01-01^--data-binary^$ping|400^content-type: application/json; charset=utf-8^{"jsonrpc":"2.0","id":"p","error":{"code":-32022,"message":"Unsupported protocol version","data":{"supported":["2026-07-28","2025-11-25","2025-06-18","2025-03-26"],"requested":"1900-01-01"}}}
event stream only|-H^Content-Type: application/json^-H^Accept: text/event-stream^--data-binary^$ping|406^content-type: application/json; charset=utf-8^$(err -32000 'the client must accept application/json')
form body|-H^Content-Type: application/x-www-form-urlencoded^--data-binary^$ping|415^content-type: application/json; charset=utf-8^$(err -32000 'the body must be application/json')
body above 8 MiB|${J[0]}^${J[1]}^${J[2]}^${J[3]}^--data-binary^@$big|413^content-type: application/json; charset=utf-8^$(err -32000 'the request body is too large')
GET|-X^GET|405^allow: POST^content-type: application/json; charset=utf-8^$(err -32000 'this endpoint takes POST only')
GET for an event stream|-H^Accept: text/event-stream|405^allow: POST^content-type: application/json; charset=utf-8^$(err -32000 'this endpoint takes POST only')
DELETE|-X^DELETE^-H^Mcp-Session-Id: 1|405^allow: POST^content-type: application/json; charset=utf-8^$(err -32000 'this endpoint takes POST only')
foreign Origin|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^Origin: http://evil.example^--data-binary^$ping|403^content-type: application/json; charset=utf-8^$(err -32000 'requests from other web pages are refused')
foreign Host|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^Host: evil.example:$port^-H^Origin: http://evil.example:$port^--data-binary^{"jsonrpc":"2.0","id":1,"method":"resources/read","params":{"uri":"memory://knowledge-graph"}}|403^content-type: application/json; charset=utf-8^$(err -32000 'this server does not answer to that host name')
page on another port|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^Sec-Fetch-Site: same-site^--data-binary^$ping|403^content-type: application/json; charset=utf-8^$(err -32000 'requests from other web pages are refused')
own origin|${J[0]}^${J[1]}^${J[2]}^${J[3]}^-H^Host: localhost:$port^-H^Origin: http://localhost:$port^--data-binary^$ping|200^content-type: application/json; charset=utf-8^$pong
EOF_CASES
stop_host

# --- the password: a bearer token ----------------------------------------------
start_host BOT_PASSWORD='se cr+t'
url="http://127.0.0.1:$port/mcp"
for auth in "" "X-Bot-Password: se cr+t" "Authorization: Bearer se cr+T" "Authorization: bearer se cr+T"; do
  expect_eq "refused with [$auth]" "$(call "${J[@]}" ${auth:+-H "$auth"} --data-binary "$ping")" \
    "401"$'\n'"www-authenticate: Bearer"$'\n'"content-type: application/json; charset=utf-8"$'\n'"$(err -32000 'invalid node password')"
done
# The scheme's name is matched in any case, as HTTP's authentication schemes are.
for auth in "Authorization: Bearer se cr+t" "Authorization: bearer se cr+t" "Authorization: BEARER se cr+t"; do
  expect_eq "bearer token [$auth]" "$(call "${J[@]}" -H "$auth" --data-binary "$ping")" \
    "200"$'\n'"content-type: application/json; charset=utf-8"$'\n'"$pong"
done
expect_eq "graph file unchanged by the refusals" "$(cmp "$tmp/before.jsonl" "$tmp/data/memory.jsonl" && echo same)" same
stop_host

# --- where the host listens ----------------------------------------------------
for addr in 0.0.0.0 192.0.2.1 :: 2001:db8::1; do
  set +e
  out="$(env -u BOT_PASSWORD bash "$repo/scripts/host.sh" --listen "$addr" --port 1 --data "$tmp/data" --exe "$exe" 2>&1)"
  status=$?
  set -e
  expect_eq "--listen $addr without a password: status" "$status" 2
  expect_has "--listen $addr without a password: why" "$out" \
    "host.sh: refusing to listen on $addr without BOT_PASSWORD: it is not a loopback address, so anyone who can reach it could read and change the graph."
done
set +e
out="$(bash "$repo/scripts/host.sh" --listen not-an-address --port 1 --exe "$exe" 2>&1)"
status=$?
set -e
expect_eq "--listen of a name" "$status:$out" "2:host.sh: not an IP address to listen on: not-an-address"

listen_addr=127.0.0.2
start_host -- --listen 127.0.0.2 --allow-host memory.test --allow-host proxy.test:443,plain.test:80
expect_has "--listen and --allow-host names" "$(cat "$tmp/host.log")" \
  "plugin_memory: answers to the host names 127.0.0.1:$port localhost:$port [::1]:$port 127.0.0.2:$port memory.test:$port proxy.test:443 plain.test:80 plain.test"
expect_eq "--listen 127.0.0.2 serves there" \
  "$(curl -s "${J[@]}" --data-binary "$ping" "http://127.0.0.2:$port/mcp")" "$pong"
for h in "127.0.0.2:$port" "memory.test:$port" proxy.test:443 plain.test; do
  expect_eq "served as $h" \
    "$(curl -s -o /dev/null -w '%{http_code}' -H "Host: $h" "http://127.0.0.2:$port/plugin_memory?action=stats")" 200
done
expect_eq "a name added with a port answers on that port only" \
  "$(curl -s -o /dev/null -w '%{http_code}' -H "Host: proxy.test:$port" "http://127.0.0.2:$port/plugin_memory?action=stats")" 403
stop_host

# --- one FastCGI worker serves many clients: no session carries over ----------
listen_addr=127.0.0.1
start_host -- --workers 1
url="http://127.0.0.1:$port/mcp"
expect_has "one worker" "$(cat "$tmp/host.log")" "plugin_memory: 1 FastCGI workers"
expect_has "initialize asking for 2025-11-25" "$(call "${J[@]}" --data-binary '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"curl","version":"1"}}}')" '"protocolVersion":"2025-11-25"'
expect_eq "another client without the header is not in that session" \
  "$(call "${J[@]}" --data-binary '{"jsonrpc":"2.0","id":2,"method":"logging/setLevel","params":{"level":"info"}}')" \
  '200
content-type: application/json; charset=utf-8
{"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found"}}'
expect_eq "a client naming 2025-11-25 is" \
  "$(call "${J[@]}" -H 'MCP-Protocol-Version: 2025-11-25' --data-binary '{"jsonrpc":"2.0","id":3,"method":"logging/setLevel","params":{"level":"info"}}')" \
  '200
content-type: application/json; charset=utf-8
{"jsonrpc":"2.0","id":3,"result":{}}'
stop_host

finish "MCP over HTTP end-to-end"

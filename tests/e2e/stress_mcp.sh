#!/usr/bin/env bash
# Concurrent writers on one graph file: several MCP servers and a stream of
# CGI requests add distinct entities and observations at the same time.
# Afterwards every single one must be in the graph: no change may be lost to
# another writer's later save.
#   stress_mcp.sh PATH/TO/plugin_memory
set -euo pipefail
exe="${1:?usage: stress_mcp.sh PATH/TO/plugin_memory}"
tmp="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT

export MEMORY_FILE_PATH="$tmp/memory.jsonl"
export HOME="$tmp/home"
# Writers wait for each other instead of giving up: a "busy" answer would be
# a failed call here, and the test counts it as one.
export MEMORY_LOCK_TIMEOUT_MS=30000
mkdir -p "$HOME"

mcp_procs=5   # MCP servers
mcp_calls=25  # per server: this many entities and as many hub observations
cgi_procs=2   # CGI request streams
cgi_calls=15  # per stream: this many entities and as many hub observations

call() { # id tool arguments
    printf '{"jsonrpc":"2.0","id":%s,"method":"tools/call","params":{"name":"%s","arguments":%s}}\n' "$1" "$2" "$3"
}

call 0 create_entities '{"entities":[{"name":"hub","entityType":"t"}]}' | "$exe" --mcp >"$tmp/init.out"
grep -q '"isError":false' "$tmp/init.out" || { echo "cannot create the hub entity"; cat "$tmp/init.out"; exit 1; }

expect_ents=()
expect_obs=()
for p in $(seq 1 "$mcp_procs"); do
    for j in $(seq 1 "$mcp_calls"); do
        call "$j" create_entities "{\"entities\":[{\"name\":\"m$p-$j\",\"entityType\":\"t\",\"observations\":[\"o\"]}]}"
        call "$((j + 1000))" add_observations "{\"observations\":[{\"entityName\":\"hub\",\"contents\":[\"m$p-$j\"]}]}"
        expect_ents+=("m$p-$j")
        expect_obs+=("m$p-$j")
    done >"$tmp/in.$p"
done
for p in $(seq 1 "$cgi_procs"); do
    for j in $(seq 1 "$cgi_calls"); do
        expect_ents+=("c$p-$j")
        expect_obs+=("c$p-$j")
    done
done

cgi_stream() { # p
    local p="$1" j
    for j in $(seq 1 "$cgi_calls"); do
        REQUEST_METHOD=GET QUERY_STRING="action=add_entity&name=c$p-$j&entityType=t" \
            timeout 60 "$exe" >>"$tmp/cgi.$p" </dev/null
        echo >>"$tmp/cgi.$p"
        REQUEST_METHOD=GET QUERY_STRING="action=add_obs&name=hub&contents=c$p-$j" \
            timeout 60 "$exe" >>"$tmp/cgi.$p" </dev/null
        echo >>"$tmp/cgi.$p"
    done
}

for p in $(seq 1 "$mcp_procs"); do
    timeout 300 "$exe" --mcp <"$tmp/in.$p" >"$tmp/out.$p" &
    pids+=("$!")
done
for p in $(seq 1 "$cgi_procs"); do
    cgi_stream "$p" &
    pids+=("$!")
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
pids=()
[ "$status" -eq 0 ] || { echo "a writer did not finish cleanly"; exit 1; }

fail=0
for p in $(seq 1 "$mcp_procs"); do
    n=$(grep -c '"isError":false' "$tmp/out.$p" || true)
    if [ "$n" -ne $((2 * mcp_calls)) ]; then
        echo "MCP server $p: $n of $((2 * mcp_calls)) calls succeeded"
        grep -v '"isError":false' "$tmp/out.$p" | head -3
        fail=1
    fi
done
for p in $(seq 1 "$cgi_procs"); do
    n=$(grep -c '^{"ok":true' "$tmp/cgi.$p" || true)
    if [ "$n" -ne $((2 * cgi_calls)) ]; then
        echo "CGI stream $p: $n of $((2 * cgi_calls)) requests succeeded"
        grep '^{"ok":false' "$tmp/cgi.$p" | head -3
        fail=1
    fi
done

# Read the result back through the tools.
{
    call 1 read_graph '{"observationLimit":0}'
    call 2 open_nodes '{"names":["hub"]}'
} | "$exe" --mcp >"$tmp/read.out"
graph_line="$(sed -n 1p "$tmp/read.out")"
hub_line="$(sed -n 2p "$tmp/read.out")"
graph_sc="${graph_line#*\"structuredContent\":}"
hub_sc="${hub_line#*\"structuredContent\":}"

missing=0
for e in "${expect_ents[@]}"; do
    case "$graph_sc" in *"{\"name\":\"$e\","*) ;; *) echo "entity $e was lost"; missing=$((missing + 1)) ;; esac
done
for o in "${expect_obs[@]}"; do
    case "$hub_sc" in *"\"$o\""*) ;; *) echo "observation $o of hub was lost"; missing=$((missing + 1)) ;; esac
done
total=$(( ${#expect_ents[@]} + ${#expect_obs[@]} ))
count=$(grep -o '"observationCount":' <<<"$graph_sc" | wc -l)
if [ "$count" -ne $(( ${#expect_ents[@]} + 1 )) ]; then
    echo "the graph holds $count entities, expected $(( ${#expect_ents[@]} + 1 ))"
    fail=1
fi
if [ -e "$MEMORY_FILE_PATH.lock" ]; then echo "a lock file was left behind"; fail=1; fi
if ls "$tmp"/memory.jsonl.tmp.* >/dev/null 2>&1; then echo "a temporary file was left behind"; fail=1; fi
if [ "$missing" -ne 0 ] || [ "$fail" -ne 0 ]; then
    echo "FAIL: $missing of $total changes lost"
    exit 1
fi
echo "ok: $total changes from $((mcp_procs + cgi_procs)) concurrent writers, none lost"

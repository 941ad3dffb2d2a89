#!/usr/bin/env bash
# A long MCP session of mixed calls: no leak and no growth of memory.
# A normal build runs under valgrind's memcheck; a sanitizer build relies on
# LeakSanitizer, which fails the process at exit on any leak. The largest
# resident size of a session of 1,000 calls and of one of 5,000 must match
# (the graph is kept small by the session itself, so only a leak could make
# the longer one grow).
#   memcheck.sh PATH/TO/plugin_memory [CALLS]
set -euo pipefail
exe="${1:?usage: memcheck.sh PATH/TO/plugin_memory [CALLS]}"
calls="${2:-10000}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export HOME="$tmp/home" MEMORY_FILE_PATH="$tmp/memory.jsonl"
mkdir -p "$HOME"

# Writes n requests: every tool, the resource, the fixed methods, refusals,
# parse errors and notifications, in cycles that create and delete again.
session() { # n
  local n="$1" i=0 c=0
  while [ "$i" -lt "$n" ]; do
    c=$((c + 1))
    for line in \
      '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"create_entities","arguments":{"entities":[{"name":"a'$c'","entityType":"person","observations":["x","y"]},{"name":"b'$c'","entityType":"place"},{"name":"keep","entityType":"t"}]}}}' \
      '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"create_relations","arguments":{"relations":[{"from":"a'$c'","to":"b'$c'","relationType":"visits"}]}}}' \
      '{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"add_observations","arguments":{"observations":[{"entityName":"a'$c'","contents":["z","x"]}]}}}' \
      '{"jsonrpc":"2.0","id":"s","method":"tools/call","params":{"name":"search_nodes","arguments":{"query":"A","limit":3,"observationLimit":1}}}' \
      '{"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"open_nodes","arguments":{"names":["a'$c'","nobody"]}}}' \
      '{"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"read_graph","arguments":{"entityTypes":["person"]}}}' \
      '{"jsonrpc":"2.0","id":6,"method":"resources/read","params":{"uri":"memory://knowledge-graph"}}' \
      '{"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"delete_observations","arguments":{"deletions":[{"entityName":"a'$c'","observations":["y"]}]}}}' \
      '{"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"delete_relations","arguments":{"relations":[{"from":"a'$c'","to":"b'$c'","relationType":"visits"}]}}}' \
      '{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"delete_entities","arguments":{"entityNames":["a'$c'","b'$c'"]}}}' \
      '{"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"create_relations","arguments":{"relations":[{"from":"keep"}]}}}' \
      '{"jsonrpc":"2.0","id":11,"method":"tools/call","params":{"name":"no_such_tool"}}' \
      '{"jsonrpc":"2.0","id":12,"method":"tools/list"}' \
      '{"jsonrpc":"2.0","id":13,"method":"initialize","params":{}}' \
      '{"jsonrpc":"2.0","id":[1],"method":"ping"}' \
      '{"jsonrpc":"2.0","method":"notifications/initialized"}' \
      'not json {' \
      '[1,2]' \
      '{"jsonrpc":"2.0","id":14,"method":"resources/read","params":{"uri":"other://x"}}' \
      '{"jsonrpc":"2.0","id":15,"method":"nope"}'; do
      [ "$i" -lt "$n" ] || break
      printf '%s\n' "$line"
      i=$((i + 1))
    done
  done
}

session 1000 >"$tmp/short.in"
session "$calls" >"$tmp/long.in"
[ "$(wc -l <"$tmp/long.in")" -eq "$calls" ] || { echo "memcheck: the session has the wrong length"; exit 1; }

# (ldd's whole output first: grep -q leaving early would fail the pipe.)
libs="$(ldd "$exe" 2>/dev/null || true)"
if [[ "$libs" == *libasan* ]]; then
  mode=lsan
  run() { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1" "$exe" --mcp; }
else
  mode=valgrind
  command -v valgrind >/dev/null || { echo "memcheck: valgrind is missing (scripts/install-deps.sh installs it)"; exit 1; }
  run() { valgrind -q --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 "$exe" --mcp; }
fi

rm -f "$MEMORY_FILE_PATH"
if ! run <"$tmp/long.in" >"$tmp/long.out" 2>"$tmp/long.err"; then
  echo "memcheck ($mode): errors or leaks in a session of $calls calls:"
  head -n 80 "$tmp/long.err"
  exit 1
fi
answers=$(wc -l <"$tmp/long.out")
if [ -s "$tmp/long.err" ]; then
  echo "memcheck ($mode): the session wrote to standard error:"; head -n 40 "$tmp/long.err"; exit 1
fi
# Every request with an id gets one answer; only the notifications do not.
expect=$((calls - $(grep -c '^{"jsonrpc":"2.0","method"' "$tmp/long.in")))
[ "$answers" -eq "$expect" ] || { echo "memcheck: $answers answers for $expect requests"; exit 1; }

# Flat memory: the largest resident size, without any tool in between.
max_rss() { # input
  rm -f "$MEMORY_FILE_PATH"
  /usr/bin/time -f '%M' -o "$tmp/rss" "$exe" --mcp <"$1" >/dev/null
  cat "$tmp/rss"
}
if [ "$mode" = valgrind ]; then
  short_kb=$(max_rss "$tmp/short.in")
  long_kb=$(max_rss "$tmp/long.in")
  echo "memcheck: $calls calls under valgrind, no error, no leak; max RSS $short_kb KiB after 1000 calls, $long_kb KiB after $calls"
  if [ "$long_kb" -gt $((short_kb + 1024)) ]; then
    echo "memcheck: memory grows with the length of the session"; exit 1
  fi
else
  echo "memcheck: $calls calls under LeakSanitizer, no leak"
fi

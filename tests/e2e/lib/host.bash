# Shared by the scripts in tests/e2e: checks that count failures, and the real
# web host (scripts/host.sh) on a free loopback port with the data directory
# $tmp/data. The sourcing script sets $exe, $repo and $tmp first, and calls
# stop_host (or host_cleanup) when it ends.

fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
expect_eq() { # name got want
  if [ "$2" != "$3" ]; then fail "$1"$'\n'"  got:  $2"$'\n'"  want: $3"; fi
}
expect_has() { # name text needle
  case "$2" in *"$3"*) ;; *) fail "$1: missing [$3] in"$'\n'"$2" ;; esac
}
# Ends the script with the count of failed checks.
finish() { # what
  if [ "$fails" -ne 0 ]; then echo "$fails check(s) failed"; exit 1; fi
  echo "$1: all checks passed"
}

# A port nobody answers on; if another process takes it before the host
# does, the host fails to start and another port is tried.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
}

host_pid=""
stop_host() {
  if [ -n "$host_pid" ]; then
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
    host_pid=""
  fi
}

# Starts the host on $port, answering at http://$listen_addr:$port. Its
# arguments are extra environment as NAME=value words, then "--" and extra
# options of host.sh; the log is $tmp/host.log.
start_host() {
  local envs=() opts=() tries
  while [ $# -gt 0 ] && [ "$1" != -- ]; do envs+=("$1"); shift; done
  [ $# -eq 0 ] || { shift; opts=("$@"); }
  for tries in 1 2 3 4 5; do
    port="$(free_port)"
    env "${envs[@]}" bash "$repo/scripts/host.sh" --port "$port" --data "$tmp/data" --exe "$exe" \
      "${opts[@]}" >"$tmp/host.log" 2>&1 &
    host_pid=$!
    for _ in $(seq 1 400); do
      if grep -q "^plugin_memory: serving http://${listen_addr:-127.0.0.1}:$port/plugin_memory\$" "$tmp/host.log"; then
        return 0
      fi
      kill -0 "$host_pid" 2>/dev/null || break
      sleep 0.025
    done
    stop_host   # the port was taken meanwhile, or the host did not start
  done
  echo "the host did not start:"; cat "$tmp/host.log"; exit 1
}

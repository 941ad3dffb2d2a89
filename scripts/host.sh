#!/usr/bin/env bash
# Runs the connector behind a local lighttpd, through a few FastCGI workers
# (or, with --cgi, as a CGI program), in the foreground, on 127.0.0.1 unless told otherwise: the browser page and the
# API at /plugin_memory (and the hub route /plugins?plugin=plugin_memory),
# MCP over HTTP at /mcp. Stops (and removes its run directory) on Ctrl-C,
# SIGTERM or when lighttpd ends.
#
#   scripts/host.sh [--port N] [--listen ADDR] [--data DIR] [--exe PATH]
#                   [--allow-host NAME]... [--cgi] [--workers N]
#
#   --port N            port to listen on (default: $PORT, else 8080)
#   --listen ADDR       address to listen on (default: 127.0.0.1); one that
#                       is not a loopback address is refused unless
#                       BOT_PASSWORD is set
#   --data DIR          keep the graph in DIR (sets MEMORY_CONNECTOR_DIR and
#                       drops MEMORY_FILE_PATH); default: the connector's usual
#                       location
#   --exe PATH          the plugin_memory executable (default:
#                       build/plugin_memory)
#   --allow-host NAME   also answer requests made to NAME (a host name or
#                       address, with ":PORT" when it differs from the port
#                       listened on); may be given more than once
#   --cgi               run the program anew for every request (CGI) instead
#                       of keeping FastCGI workers (Linux only: a build
#                       without libfcgi serves this way)
#   --workers N         number of FastCGI workers (default 4); lighttpd
#                       starts a worker again when it dies
#
# The program answers only requests whose Host header is one of the host's
# own names, 127.0.0.1:PORT, localhost:PORT and [::1]:PORT, or a name added
# with --allow-host or in MEMORY_WEB_HOSTS (names separated by spaces or
# commas), and refuses requests sent by pages of other origins (403): no
# other web site, and no site that rebinds its own name to this machine, can
# read or change the graph.
#
# Stop it with SIGTERM (or Ctrl-C; a script that starts it in the background
# from a non-interactive shell must use SIGTERM, since such a shell starts
# background jobs with SIGINT ignored).
#
# BOT_PASSWORD, the storage variables, the limits and the lock settings of the
# environment are passed on to the program.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port="${PORT:-8080}"
data=""
exe="$here/build/plugin_memory"
listen=127.0.0.1
allowed=()
mode=fastcgi
workers=4

usage() { echo "usage: scripts/host.sh [--port N] [--listen ADDR] [--data DIR] [--exe PATH] [--allow-host NAME]... [--cgi] [--workers N]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --port) [ $# -ge 2 ] || usage; port="$2"; shift 2 ;;
    --listen) [ $# -ge 2 ] || usage; listen="$2"; shift 2 ;;
    --data) [ $# -ge 2 ] || usage; data="$2"; shift 2 ;;
    --exe)  [ $# -ge 2 ] || usage; exe="$2"; shift 2 ;;
    --allow-host) [ $# -ge 2 ] || usage; allowed+=("$2"); shift 2 ;;
    --cgi) mode=cgi; shift ;;
    --workers) [ $# -ge 2 ] || usage; workers="$2"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "host.sh: unknown argument: $1" >&2; usage ;;
  esac
done
case "$port" in ''|*[!0-9]*) echo "host.sh: bad port: $port" >&2; exit 2 ;; esac
case "$workers" in ''|*[!0-9]*|0) echo "host.sh: bad number of workers: $workers" >&2; exit 2 ;; esac

# The listening address: an IPv4 address, or an IPv6 one with or without
# brackets; localhost stands for 127.0.0.1. Beyond loopback anyone who can
# reach the address could read and change the graph, so that needs the node
# password.
listen="${listen#[}"; listen="${listen%]}"
[ "$listen" != localhost ] || listen=127.0.0.1
if [[ "$listen" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  bind="$listen"; probe="$listen"; url_host="$listen"
  [ "$listen" != 0.0.0.0 ] || probe=127.0.0.1
elif [[ "$listen" =~ ^[0-9A-Fa-f:.]+$ && "$listen" == *:* ]]; then
  bind="[$listen]"; probe="$listen"; url_host="[$listen]"
  [ "$listen" != :: ] || probe=::1
else
  echo "host.sh: not an IP address to listen on: $listen" >&2; exit 2
fi
case "$listen" in
  127.*|::1|0:0:0:0:0:0:0:1) ;;
  *)
    if [ -z "${BOT_PASSWORD:-}" ]; then
      echo "host.sh: refusing to listen on $listen without BOT_PASSWORD: it is not a loopback address, so anyone who can reach it could read and change the graph. Set BOT_PASSWORD (every request then needs the node password), or listen on 127.0.0.1." >&2
      exit 2
    fi ;;
esac

# The names the program answers to, passed to it in MEMORY_WEB_HOSTS: the
# loopback names for the port, then the names the user added. A name without
# a port gets the listening port; for port 80 a browser leaves the port out,
# so such a name is listed without it as well.
names=()
add_name() {
  names+=("$1")
  if [ "${1%:80}" != "$1" ]; then names+=("${1%:80}"); fi
}
for n in 127.0.0.1 localhost '[::1]'; do add_name "$n:$port"; done
case "$url_host" in 127.0.0.1|'[::1]'|0.0.0.0|'[::]') ;; *) add_name "$url_host:$port" ;; esac
for n in ${MEMORY_WEB_HOSTS:-} "${allowed[@]}"; do
  n="${n//,/ }"
  for one in $n; do
    if [[ ! "$one" =~ ^([A-Za-z0-9._-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]+)?$ ]]; then
      echo "host.sh: not a host name: $one" >&2; exit 2
    fi
    if [ -n "${BASH_REMATCH[2]}" ]; then add_name "$one"; else add_name "$one:$port"; fi
  done
done
export MEMORY_WEB_HOSTS="${names[*]}"

lighttpd_bin="$(command -v lighttpd || true)"
[ -n "$lighttpd_bin" ] || lighttpd_bin=/usr/sbin/lighttpd
if [ ! -x "$lighttpd_bin" ]; then
  echo "host.sh: lighttpd is not installed (run scripts/install-deps.sh)" >&2; exit 1
fi
if [ ! -x "$exe" ]; then
  echo "host.sh: no executable at $exe (build first, or pass --exe)" >&2; exit 1
fi
exe="$(realpath "$exe")"
# A build without libfcgi has no FastCGI mode: it is served as CGI.
if [ "$mode" = fastcgi ]; then
  case "$("$exe" --fastcgi </dev/null 2>/dev/null || true)" in
    *"needs a FastCGI listening socket"*) ;;
    *) echo "host.sh: $exe has no FastCGI mode; serving it as CGI" >&2; mode=cgi ;;
  esac
fi

if [ -n "$data" ]; then
  mkdir -p "$data"
  export MEMORY_CONNECTOR_DIR="$(realpath "$data")"
  unset MEMORY_FILE_PATH
fi

run="$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_host.XXXXXX")"
server=""
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT
trap 'cleanup; exit 0' INT TERM

mkdir -p "$run/www" "$run/upload"
ln -s "$exe" "$run/www/plugin_memory"
ln -s "$exe" "$run/www/mcp"

# Only variables that are set are passed; lighttpd reads their values from
# its own environment (env.NAME), so no value needs quoting here.
setenv=""
copyenv=""
for v in BOT_PASSWORD MEMORY_WEB_HOSTS MEMORY_CONNECTOR_DIR MEMORY_FILE_PATH HOME LOCALAPPDATA \
         MEMORY_MAX_ENTITIES MEMORY_MAX_OBS MEMORY_MAX_RELATIONS MEMORY_MAX_BAD \
         MEMORY_LOCK_TIMEOUT_MS MEMORY_LOCK_STALE_MS ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  if [ -n "${!v+x}" ]; then
    setenv+="  \"$v\" => env.$v,"$'\n'
    copyenv+="\"$v\", "
  fi
done
if [ "$mode" = fastcgi ]; then module=mod_fastcgi; else module=mod_cgi; fi
conf="$run/lighttpd.conf"
{
  while IFS= read -r line; do
    case "$line" in
      @SETENV@) printf '%s' "$setenv" ;;
      @HANDLER@) cat "$here/scripts/lighttpd.$mode.in" ;;
      *) printf '%s\n' "$line" ;;
    esac
  done < "$here/scripts/lighttpd.conf.in"
} | while IFS= read -r line; do
  line="${line//@PORT@/$port}"; line="${line//@BIND@/$bind}"; line="${line//@RUNDIR@/$run}"
  line="${line//@MODULE@/$module}"; line="${line//@WORKERS@/$workers}"; line="${line//@COPYENV@/$copyenv}"
  printf '%s\n' "$line"
done > "$conf"

"$lighttpd_bin" -D -f "$conf" &
server=$!

# Wait until the port answers (or lighttpd gives up, e.g. the port is taken).
up=0
for _ in $(seq 1 200); do
  if ! kill -0 "$server" 2>/dev/null; then break; fi
  if (exec 3<>"/dev/tcp/$probe/$port") 2>/dev/null; then up=1; break; fi
  sleep 0.025
done
if [ "$up" -ne 1 ]; then
  echo "host.sh: lighttpd did not start on $url_host:$port" >&2
  cat "$run/error.log" >&2 2>/dev/null || true
  exit 1
fi

echo "plugin_memory: serving http://$url_host:$port/plugin_memory"
echo "plugin_memory: hub route http://$url_host:$port/plugins?plugin=plugin_memory"
echo "plugin_memory: MCP endpoint http://$url_host:$port/mcp"
if [ "$mode" = fastcgi ]; then echo "plugin_memory: $workers FastCGI workers"; else echo "plugin_memory: CGI, a process per request"; fi
if [ -n "${MEMORY_CONNECTOR_DIR:-}" ]; then echo "plugin_memory: data in $MEMORY_CONNECTOR_DIR"; fi
if [ -n "${BOT_PASSWORD:-}" ]; then echo "plugin_memory: guarded by BOT_PASSWORD"; fi
echo "plugin_memory: answers to the host names $MEMORY_WEB_HOSTS"
echo "plugin_memory: press Ctrl-C to stop"

set +e
wait "$server"
status=$?
server=""
if [ "$status" -ne 0 ]; then
  echo "host.sh: lighttpd stopped with status $status" >&2
  cat "$run/error.log" >&2 2>/dev/null || true
fi
exit "$status"

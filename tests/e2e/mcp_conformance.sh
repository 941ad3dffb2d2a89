#!/usr/bin/env bash
# The official MCP conformance suite (npm @modelcontextprotocol/conformance,
# pinned in tests/conformance, run by the Node 22 that npm's package node
# ships there) against the /mcp endpoint of the real web host:
#  - 0.1.16: the server scenarios of initialisation, ping, the tool and
#    resource lists and DNS rebinding protection must all pass;
#  - 0.2 (the package conformance-0.2): every scenario that revisions
#    2025-11-25 and 2026-07-28 require, each run at its revision, must pass
#    but for the checks listed in tests/conformance/baseline-<revision>.yml
#    (each entry says why); the suite itself fails a run with a check that
#    fails unlisted, or with a listed check that passes.
# Usage: tests/e2e/mcp_conformance.sh <executable>
set -euo pipefail

exe="$(realpath "${1:?usage: mcp_conformance.sh <plugin_memory executable>}")"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
suite="$repo/tests/conformance/node_modules"
node22="$suite/.bin/node"
if [ ! -x "$node22" ] || [ ! -f "$suite/@modelcontextprotocol/conformance/dist/index.js" ] ||
   [ ! -f "$suite/conformance-0.2/dist/index.js" ]; then
  echo "the conformance suite is not installed (scripts/install-deps.sh)"; exit 1
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/plugin_memory_conf.XXXXXX")"
. "$repo/tests/e2e/lib/host.bash"
cleanup() { stop_host; rm -rf "$tmp"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

expect_has "Node 22" "$("$node22" --version)" "v22."
start_host
# The suite writes its results under the working directory.
cd "$tmp"
for scenario in server-initialize ping tools-list resources-list dns-rebinding-protection; do
  if timeout 120 "$node22" "$suite/@modelcontextprotocol/conformance/dist/index.js" server \
      --url "http://127.0.0.1:$port/mcp" --scenario "$scenario" >"$tmp/$scenario.out" 2>&1; then
    expect_has "$scenario" "$(cat "$tmp/$scenario.out")" ", 0 failed, 0 warnings"
  else
    fail "$scenario"$'\n'"$(cat "$tmp/$scenario.out")"
  fi
done
for revision in 2025-11-25 2026-07-28; do
  if timeout 600 "$node22" "$suite/conformance-0.2/dist/index.js" server \
      --url "http://127.0.0.1:$port/mcp" --requirements "$revision" \
      --expected-failures "$repo/tests/conformance/baseline-$revision.yml" >"$tmp/$revision.out" 2>&1; then
    expect_has "0.2 at $revision" "$(cat "$tmp/$revision.out")" "Baseline check passed"
  else
    fail "0.2 at $revision"$'\n'"$(cat "$tmp/$revision.out")"
  fi
done
stop_host

finish "MCP conformance"

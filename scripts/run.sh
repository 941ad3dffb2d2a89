#!/usr/bin/env bash
# The main job: installs what is needed, builds, and serves the connector's
# browser page and JSON API through a local lighttpd, in the foreground.
#   bash scripts/run.sh [OPTION]...   port $PORT, else 8080
# The graph is kept in the connector's usual data directory; BOT_PASSWORD,
# when set, guards every request. Options are those of scripts/host.sh (for
# one, --allow-host NAME to answer under another host name; --cgi to run a
# process per request instead of the FastCGI workers).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec bash scripts/host.sh --port "${PORT:-8080}" --exe build/plugin_memory "$@"

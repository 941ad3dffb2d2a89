#!/usr/bin/env bash
# Installs everything the build, the run script and the test suite need on a
# Debian 12 machine (with --windows, also what the Windows build and its
# tests under Wine need). Idempotent: when everything is present it changes nothing.
# Works as root or, for a normal user, through sudo.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages from the stable suite.
APT_PKGS=(build-essential cmake pkg-config libgtest-dev googletest libbenchmark-dev
          clang libclang-rt-14-dev lighttpd libfcgi-dev libfcgi-bin curl chromium hyperfine time valgrind
          nodejs man-db)
# With --windows also the cross compiler of the Windows executable and Wine,
# which runs it for the tests (scripts/test.sh --windows).
if [ "${1:-}" = "--windows" ]; then
  APT_PKGS+=(g++-mingw-w64-x86-64-posix wine64)
fi
YYJSON_VERSION="0.12.0+ds-2"

missing=()
for p in "${APT_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
have_yyjson=0
if [ "$(dpkg-query -W -f='${Version}' libyyjson-dev 2>/dev/null || true)" = "$YYJSON_VERSION" ]; then
  have_yyjson=1
fi

updated=0
apt_update() {
  if [ "$updated" -eq 0 ]; then
    $SUDO apt-get update -qq >/dev/null
    updated=1
  fi
}

if [ "$have_yyjson" -eq 0 ]; then
  # yyjson 0.12.0 only exists in Debian's unstable suite. Add that suite from
  # the same registry this machine already uses, and pin it so that nothing but
  # the two yyjson packages is ever taken from it.
  list=/etc/apt/sources.list.d/plugin-memory-unstable.sources
  if [ ! -f "$list" ]; then
    uri=""
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      uri=$(awk '/^URIs:/{u=$2} /^Suites:/{ for(i=2;i<=NF;i++) if ($i=="bookworm") {print u; exit} }' "$f")
      [ -n "$uri" ] && break
    done
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
      uri=$(awk '$1=="deb" && $3=="bookworm" {print $2; exit}' /etc/apt/sources.list)
    fi
    if [ -z "$uri" ]; then
      echo "install-deps: no Debian bookworm source found in the apt configuration" >&2
      exit 1
    fi
    printf 'Types: deb\nURIs: %s\nSuites: unstable\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" \
      | $SUDO tee "$list" >/dev/null
  fi
  printf 'Package: *\nPin: release a=unstable\nPin-Priority: 1\n\nPackage: libyyjson-dev libyyjson0\nPin: release a=unstable\nPin-Priority: 600\n' \
    | $SUDO tee /etc/apt/preferences.d/plugin-memory-yyjson >/dev/null
  apt_update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "libyyjson-dev=$YYJSON_VERSION" "libyyjson0=$YYJSON_VERSION" >/dev/null
fi

if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm packages of the browser and client interop tests (no browser download:
# the tests use Debian's chromium), of the MCP conformance suite with the
# Node 22 it needs (npm's package node, which installs its binary from npm),
# and the MCP bundle tool of scripts/package.sh.
for dir in "$here/tests/js" "$here/tests/conformance" "$here/packaging"; do
  if [ -f "$dir/package.json" ]; then
    if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
      (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null && touch node_modules)
    fi
  fi
done

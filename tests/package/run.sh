#!/usr/bin/env bash
# The release packages as their users get them: makes them with
# scripts/package.sh, then installs the .deb on this machine and removes it,
# unpacks the tarball and each MCP bundle and runs what they hold, and checks
# that every file carries the program's version.
#   bash tests/package/run.sh
# Installing the .deb needs root (as in CI); elsewhere those checks are
# skipped and say so. A plugin-memory package installed before is replaced and
# removed.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$(pwd)
here="$root/tests/package"

passed=0
failed=0
skipped=0
ok() { passed=$((passed + 1)); echo "ok      $1"; }
bad() { failed=$((failed + 1)); echo "FAILED  $1"; [ -z "${2:-}" ] || echo "$2" | sed 's/^/        /'; }
# check NAME COMMAND...: one check, passed when COMMAND succeeds; its output
# is shown when it fails.
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then ok "$name"; else bad "$name" "$out"; fi
}

bash scripts/package.sh || { bad "scripts/package.sh makes the packages"; echo "0 passed, 1 failed"; exit 1; }

tmp=$(mktemp -d)
installed_here=0
cleanup() {
  if [ "$installed_here" -eq 1 ] && dpkg-query -W plugin-memory >/dev/null 2>&1; then
    dpkg -r plugin-memory >/dev/null 2>&1
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

read -r _ version < <(build-release/plugin_memory --version)
deb="dist/plugin-memory_${version}_amd64.deb"
tarball="dist/plugin-memory-${version}-linux-x86_64.tar.gz"
mapfile -t bundles < <(ls dist/*.mcpb 2>/dev/null)

# --- one version everywhere ---------------------------------------------------
check "the .deb is named and versioned $version" \
  test "$(dpkg-deb -f "$deb" Version 2>/dev/null)" = "$version"
check "the tarball is named for $version" test -f "$tarball"
check "the Linux bundle is named for $version" test -f "dist/plugin-memory-${version}-linux-x64.mcpb"
if [ -f build-windows/plugin_memory.exe ]; then
  check "the Windows bundle is named for $version" test -f "dist/plugin-memory-${version}-win32-x64.mcpb"
fi
check "the meta line carries $version" \
  grep -q "\"version\":\"$version\"" <(build-release/plugin_memory --meta)
check "server.json describes the bundles of $version" \
  node "$here/bundles.mjs" server-json server.json "$version" "${bundles[@]}"

# --- the .deb -------------------------------------------------------------------
# Its only dependency is the C library, at a version Debian 12 has (2.36).
depends=$(dpkg-deb -f "$deb" Depends)
check "the .deb depends only on libc6 that Debian 12 has ($depends)" \
  bash -c "[[ '$depends' =~ ^libc6\ \(\>=\ 2\.([0-9]+)\)$ ]] && [ \${BASH_REMATCH[1]} -le 36 ]"

if [ "$(id -u)" -eq 0 ]; then
  installed_here=1
  check "dpkg -i installs the .deb" dpkg -i "$deb"
  check "plugin_memory is on PATH in /usr/bin" test "$(command -v plugin_memory)" = /usr/bin/plugin_memory
  check "the installed plugin_memory prints its version" \
    test "$(plugin_memory --version)" = "plugin_memory $version"
  mkdir -p "$tmp/deb-data"
  check "the installed plugin_memory answers MCP initialize, tools/list and a tool call" \
    node "$here/bundles.mjs" mcp plugin_memory "$tmp/deb-data" "$version" --mcp
  check "man -w plugin_memory finds the page" \
    test "$(man -w plugin_memory)" = /usr/share/man/man1/plugin_memory.1.gz
  check "the page renders" bash -c "man -P cat plugin_memory 2>/dev/null | grep -q 'EXIT STATUS'"
  check "the README is in /usr/share/doc/plugin_memory" test -f /usr/share/doc/plugin_memory/README.md
  dpkg -L plugin-memory > "$tmp/files"
  check "dpkg -r removes the package" dpkg -r plugin-memory
  left=""
  while read -r f; do
    if [ "$f" = "/." ]; then
      continue
    elif [ -d "$f" ]; then
      # A folder may stay only when another package also has it.
      dpkg -S "$f" >/dev/null 2>&1 || left+="$f "
    elif [ -e "$f" ] || [ -L "$f" ]; then
      left+="$f "
    fi
  done < "$tmp/files"
  check "dpkg -r leaves none of its files behind" bash -c "echo '$left'; test -z '$left'"
  check "dpkg -r leaves no package state" \
    bash -c "! dpkg-query -W -f='\${db:Status-Status}' plugin-memory 2>/dev/null | grep -qv not-installed"
  check "plugin_memory is gone from PATH" bash -c "! command -v plugin_memory"
else
  skipped=$((skipped + 1))
  echo "skip    installing the .deb needs root"
fi

# --- the tarball ------------------------------------------------------------------
mkdir -p "$tmp/tar"
tar -C "$tmp/tar" -xzf "$tarball"
tree="$tmp/tar/plugin-memory-${version}-linux-x86_64"
check "the tarball holds bin/, the manual page and the README" \
  test -x "$tree/bin/plugin_memory" -a -f "$tree/share/man/man1/plugin_memory.1" \
       -a -f "$tree/share/doc/plugin_memory/README.md"
# Every library the executable loads belongs to Debian's base system: an
# essential or required package, or one that such a package depends on (libc6
# itself is one of these), and no symbol is newer than Debian 12's glibc 2.36.
base_packages() {
  dpkg-query -W -f='${Package}|${Essential}|${Priority}|${Pre-Depends}|${Depends}\n' \
    | awk -F'|' '$2 == "yes" || $3 == "required" {
        print $1
        n = split($4 "," $5, d, /[,|]/)
        for (i = 1; i <= n; i++) { g = d[i]; sub(/^ +/, "", g); sub(/[ :(].*/, "", g); if (g != "") print g }
      }' | sort -u
}
base_only() {
  local lib path pkg base
  base=$(base_packages)
  ldd "$1" || return 1
  while read -r lib; do
    path=$(realpath -e "$lib" 2>/dev/null) || { echo "not found: $lib"; return 1; }
    pkg=$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$path" 2>/dev/null) || { echo "$lib: in no package"; return 1; }
    pkg=${pkg%%:*}
    grep -qx "$pkg" <<< "$base" || { echo "$lib: from $pkg, not part of the base system"; return 1; }
  done < <(ldd "$1" | grep -o '/[^ ]*')
  ! objdump -T "$1" | grep -o 'GLIBC_2\.[0-9]*' | sort -uV | awk -F. '$2 > 36 {print; bad=1} END {exit !bad}'
}
check "the tarball's executable needs only Debian 12's base system (ldd)" base_only "$tree/bin/plugin_memory"
mkdir -p "$tmp/tar-data"
check "the tarball's executable answers MCP" \
  node "$here/bundles.mjs" mcp "$tree/bin/plugin_memory" "$tmp/tar-data" "$version" --mcp

# --- the MCP bundles -------------------------------------------------------------
mcpb="$root/packaging/node_modules/.bin/mcpb"
# The Windows bundle's command runs under Wine where the Windows tests set it
# up (scripts/test.sh --windows installs it and makes the prefix).
if [ -f build-windows/plugin_memory.exe ] && [ -z "${WINE_RUN:-}" ] && [ -f tests/wine/wine.bash ] \
   && dpkg-query -W wine64 >/dev/null 2>&1; then
  # shellcheck source=/dev/null
  source tests/wine/wine.bash
  if wine_start build-windows; then
    trap 'wine_stop; cleanup' EXIT
    export WINE_RUN="$WINE_LOADER"
  fi
fi
for b in "${bundles[@]}"; do
  name=$(basename "$b" .mcpb)
  dir="$tmp/$name"
  check "$name: mcpb unpack" "$mcpb" unpack "$b" "$dir"
  check "$name: mcpb validate" "$mcpb" validate "$dir/manifest.json"
  mkdir -p "$tmp/$name-data"
  what="its command starts from the unpacked folder and keeps the graph in the data directory setting"
  if [[ "$name" == *-win32-* ]] && [ -z "${WINE_RUN:-}" ]; then
    what="its command names the Windows executable in the unpacked folder (no WINE_RUN to run it)"
  fi
  check "$name: $what" node "$here/bundles.mjs" bundle "$dir" "$tmp/$name-data" "$version"
done

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]

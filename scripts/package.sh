#!/usr/bin/env bash
# Builds the release and makes its packages in dist/, then rewrites server.json:
#   plugin-memory_VERSION_amd64.deb             for Debian 12 and later
#   plugin-memory-VERSION-linux-x86_64.tar.gz   the installed tree, for any Linux
#   plugin-memory-VERSION-linux-x64.mcpb        MCP bundle (Linux)
#   plugin-memory-VERSION-win32-x64.mcpb        MCP bundle (Windows), when
#                                               build-windows/plugin_memory.exe exists
#   server.json                                 the MCP registry entry of the bundles
# VERSION is what the built program prints for --version.
#
# Environment:
#   PLUGIN_MEMORY_OWNER       the GitHub account that publishes the releases; it
#                             names the registry entry io.github.OWNER/plugin-memory
#                             and the bundles' download addresses (default: OWNER,
#                             a placeholder to replace before publishing)
#   PLUGIN_MEMORY_MAINTAINER  the .deb's Maintainer field
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

owner="${PLUGIN_MEMORY_OWNER:-OWNER}"
maintainer="${PLUGIN_MEMORY_MAINTAINER:-plugin_memory developers <${owner}@users.noreply.github.com>}"
# A GitHub account name, and what the registry accepts in a server name.
if ! [[ "$owner" =~ ^[A-Za-z0-9][A-Za-z0-9-]*$ ]]; then
  echo "package: PLUGIN_MEMORY_OWNER must be a GitHub account name, not '$owner'" >&2
  exit 1
fi

bash scripts/install-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release
exe="build-release/plugin_memory"

read -r id version < <("$exe" --version)
if [ "$id" != "plugin_memory" ] || [ -z "$version" ]; then
  echo "package: $exe --version printed '$id $version'" >&2
  exit 1
fi

stage="build-release/stage"
rm -rf "$stage" dist
mkdir -p "$stage" dist

# The executable may need nothing but the C library (libc6, in every Debian
# system): the C++ runtime and yyjson are linked in.
needed=$(objdump -p "$exe" | awk '$1 == "NEEDED" {print $2}')
for lib in $needed; do
  case "$lib" in
    libc.so.6 | libm.so.6 | ld-linux-x86-64.so.2) ;;
    *) echo "package: $exe needs $lib, which is not part of the C library" >&2; exit 1 ;;
  esac
done
# The newest symbol version it uses from the C library is the oldest libc6 it
# runs with.
glibc=$(objdump -T "$exe" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n1)

# --- .deb -------------------------------------------------------------------
deb="$stage/deb"
DESTDIR="$root/$deb" cmake --install build-release --prefix /usr --strip >/dev/null
gzip -9n "$deb/usr/share/man/man1/plugin_memory.1"
mkdir -p "$deb/DEBIAN"
(cd "$deb" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$deb/DEBIAN/md5sums"
cat > "$deb/DEBIAN/control" <<EOF
Package: plugin-memory
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)
Depends: libc6 (>= $glibc)
Section: utils
Priority: optional
Homepage: https://github.com/$owner/plugin-memory
Description: knowledge-graph memory for AI assistants (MCP server)
 plugin_memory keeps a knowledge graph of named entities, their observations
 and typed relations in one local JSON Lines file, and offers it to an AI
 assistant as a Model Context Protocol server over standard input and output
 (plugin_memory --mcp), or to a browser as a CGI program with a JSON API.
EOF
dpkg-deb --root-owner-group -Zxz --build "$deb" "dist/plugin-memory_${version}_amd64.deb" >/dev/null

# --- .tar.gz ----------------------------------------------------------------
tarname="plugin-memory-${version}-linux-x86_64"
cmake --install build-release --prefix "$root/$stage/tar/$tarname" --strip >/dev/null
tar -C "$stage/tar" --sort=name --owner=0 --group=0 --numeric-owner -cf - "$tarname" \
  | gzip -9n > "dist/$tarname.tar.gz"

# --- MCP bundles --------------------------------------------------------------
mcpb="$root/packaging/node_modules/.bin/mcpb"
"$exe" --schema > "$stage/tools.json"
bundles=()
make_bundle() { # platform arch executable
  local platform=$1 arch=$2 file=$3 name dir out
  name=$(basename "$file")
  dir="$stage/mcpb-$platform"
  out="dist/plugin-memory-${version}-${platform}-${arch}.mcpb"
  mkdir -p "$dir/server"
  install -m 0755 "$file" "$dir/server/$name"
  cp README.md "$dir/"
  node packaging/release.mjs manifest "$platform" "$version" "$name" "$stage/tools.json" "$owner" \
    > "$dir/manifest.json"
  "$mcpb" validate "$dir/manifest.json" >/dev/null
  "$mcpb" pack "$dir" "$out" >/dev/null
  bundles+=("$out")
}
strip -o "$stage/plugin_memory" "$exe"
make_bundle linux x64 "$stage/plugin_memory"
if [ -f build-windows/plugin_memory.exe ]; then
  make_bundle win32 x64 build-windows/plugin_memory.exe
fi

# --- registry entry ------------------------------------------------------------
node packaging/release.mjs server-json server.json "$version" "$owner" "${bundles[@]}"

echo "package: plugin_memory $version"
(cd dist && ls -1 && sha256sum -- *) | sed 's/^/  /'

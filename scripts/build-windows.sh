#!/usr/bin/env bash
# Builds the Windows x86-64 console executable on a Debian 12 machine:
# installs the mingw-w64 cross compiler (and CMake, and a native compiler for
# the build's own tool) when missing, cross-builds with the "windows" preset,
# and leaves build-windows/plugin_memory.exe, linked statically: it needs
# only the system's own DLLs. yyjson 0.12.0 is built from its pinned source
# (cmake/yyjson.cmake). Works as root or, for a normal user, through sudo.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
APT_PKGS=(build-essential cmake g++-mingw-w64-x86-64-posix)
missing=()
for p in "${APT_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq >/dev/null
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset windows >/dev/null
cmake --build --preset windows
exe=build-windows/plugin_memory.exe
objdump=x86_64-w64-mingw32-objdump

# Only the DLLs that every Windows has.
dlls=$($objdump -p "$exe" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
if [ "$dlls" != "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ]; then
  echo "build-windows: $exe needs other DLLs: $dlls" >&2
  exit 1
fi
# No aligned 32- or 64-byte move on the stack, which Windows aligns to 16
# bytes only (see the compile options in CMakeLists.txt).
aligned=$($objdump -d --no-show-raw-insn "$exe" |
  grep -cE 'vmov(aps|apd|dqa|dqa32|dqa64)\s+(%[yz]mm[0-9]+,.*\(%r[sb]p\)|.*\(%r[sb]p\),%[yz]mm)' || true)
if [ "$aligned" != 0 ]; then
  echo "build-windows: $exe moves vectors to or from the stack as aligned" >&2
  exit 1
fi
ls -l "$exe"

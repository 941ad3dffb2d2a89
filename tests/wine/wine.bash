# wine.bash - runs the Windows executable under Wine for the test suite.
# Sourced by scripts/test.sh --windows:
#
#   wine_start BUILD_DIR   creates the Wine prefix BUILD_DIR/wine-prefix once,
#                          starts its server, and writes the wrapper
#                          BUILD_DIR/plugin_memory-wine, which the tests run
#                          in place of the executable (PLUGIN_MEMORY_EXE)
#   wine_stop              stops the server (set as an exit trap by start)
#
# What Wine needs for the tests to see the program as a Windows machine would
# run it, and quickly:
# - WINEDEBUG=-all: Wine's own diagnostics would land on standard error,
#   where the program writes nothing.
# - A server kept running between processes (wineserver -p): without it
#   every process starts a server of its own, and waits about 2.5 s for it.
# - HOME: Wine passes the Unix HOME to no Windows program and hands over
#   WINEHOME as HOME instead, so the wrapper sets WINEHOME from HOME.
# - LOCALAPPDATA: Wine sets it for every process from the registry key
#   HKCU\Volatile Environment, over the value the caller gives (or its
#   absence). The value is deleted there while the server runs, so that the
#   tests decide it, as a caller on Windows does.
# - The server is stopped with wineserver -k, never by a signal, and lingers
#   at most WINE_LINGER_S seconds after its last process should a run end
#   without the trap.

WINE_LINGER_S=600

wine_tool() {  # wine_tool NAME: Debian's wine64 keeps its tools off PATH
  local p
  p=$(dpkg -L wine64 2>/dev/null | grep -E "/(bin|lib/wine)/$1\$" | head -n1)
  [ -n "$p" ] || p=$(command -v "$1" || true)
  [ -n "$p" ] || { echo "wine.bash: $1 not found; install wine64" >&2; return 1; }
  printf '%s\n' "$p"
}

wine_start() {
  local build
  build=$(cd "$1" && pwd)
  WINE_LOADER=$(wine_tool wine64)
  WINE_SERVER=$(wine_tool wineserver64)
  export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
  # No .NET or HTML engine: the program needs neither, and installing them
  # would ask for downloads.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE_LOADER" wineboot -i >/dev/null 2>&1
    "$WINE_SERVER" -w
  fi
  "$WINE_SERVER" -p"$WINE_LINGER_S"
  trap wine_stop EXIT
  "$WINE_LOADER" reg delete 'HKCU\Volatile Environment' /v LOCALAPPDATA /f >/dev/null 2>&1 || true
  WINE_WRAPPER="$build/plugin_memory-wine"
  cat >"$WINE_WRAPPER" <<WRAPPER
#!/bin/sh
# Runs plugin_memory.exe under Wine with the caller's arguments, standard
# streams and environment (written by tests/wine/wine.bash).
if [ "\${HOME+set}" = set ]; then WINEHOME=\$HOME; export WINEHOME; fi
# Wine reads the environment and the host's file names in the locale's
# character set: UTF-8, as they are here.
WINEPREFIX='$WINEPREFIX'; WINEDEBUG=-all; LC_ALL=C.UTF-8
export WINEPREFIX WINEDEBUG LC_ALL
exec '$WINE_LOADER' '$build/plugin_memory.exe' "\$@"
WRAPPER
  chmod +x "$WINE_WRAPPER"
}

wine_stop() {
  [ -n "${WINE_SERVER:-}" ] && "$WINE_SERVER" -k 2>/dev/null || true
  WINE_SERVER=""
}

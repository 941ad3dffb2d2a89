#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole test suite.
#   scripts/test.sh            the normal build (build/)
#   scripts/test.sh --asan     the same suite under ASan + UBSan (build-asan/)
#   scripts/test.sh --windows  the Windows executable (build-windows/), cross-
#                              built, with the black-box tests and the MCP
#                              SDK client run against it under Wine
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
preset=default
case "${1:-}" in
  --asan) preset=asan ;;
  --windows) preset=windows ;;
esac
if [ "$preset" = windows ]; then
  bash scripts/install-deps.sh --windows
  bash scripts/build-windows.sh >/dev/null
  # The test programs themselves run here, from the normal build.
  cmake --preset default >/dev/null
  cmake --build --preset default --target blackbox_tests
  source tests/wine/wine.bash
  wine_start build-windows
  ctest --preset windows -j2
  PLUGIN_MEMORY_EXE="$WINE_WRAPPER" PLUGIN_MEMORY_SDK_TRANSPORTS=stdio node --test --test-name-pattern=stdio \
    tests/js/mcp_sdk.test.mjs
  exit 0
fi
bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2

#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole test suite.
#   scripts/test.sh          the normal build (build/)
#   scripts/test.sh --asan   the same suite under ASan + UBSan (build-asan/)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh
preset=default
if [ "${1:-}" = "--asan" ]; then preset=asan; fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2

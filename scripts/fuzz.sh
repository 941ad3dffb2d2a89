#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan + UBSan) in build-fuzz/
# and runs each for N seconds; fails on any finding.
#   scripts/fuzz.sh [SECONDS]    default 60; FUZZ_SECONDS in the environment
#                                works too
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds="${1:-${FUZZ_SECONDS:-60}}"
bash scripts/install-deps.sh
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLUGIN_MEMORY_FUZZ=ON -DPLUGIN_MEMORY_TESTS=OFF -DFUZZ_SECONDS="$seconds" >/dev/null
cmake --build build-fuzz -j2 --target fuzz_mcp fuzz_graph fuzz_cgi fuzz_query fuzz_mcp_http
rm -rf build-fuzz/tests/fuzz/logs build-fuzz/tests/fuzz/findings
# Each run prints its executions and exec/s; a finding fails the build step.
cmake --build build-fuzz --target fuzz

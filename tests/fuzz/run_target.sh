#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on its working corpus (seeded
# from the committed one), keeps the log, and fails on any finding.
#   run_target.sh FUZZER WORK_CORPUS SEED_CORPUS SECONDS LOG ARTIFACT_PREFIX
set -uo pipefail
fuzzer="$1" work="$2" seeds="$3" seconds="$4" log="$5" artifacts="$6"
mkdir -p "$work" "$(dirname "$log")" "$(dirname "$artifacts")"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$fuzzer" "$work" "$seeds" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts" >"$log" 2>&1
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "fuzz: $(basename "$fuzzer") found a fault (exit $rc); the end of $log:"
  tail -n 60 "$log"
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
[ -n "$secs" ] && [ "$secs" -gt 0 ] || secs="$seconds"
echo "fuzz: $(basename "$fuzzer"): ${runs:-?} executions in ${secs} s, $(( ${runs:-0} / secs )) exec/s, no finding"

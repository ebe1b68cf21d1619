#!/usr/bin/env bash
# Sets up, builds the Release and the sanitizer configurations and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=$(nproc)
scripts/setup.sh
scripts/setup.sh --sanitize
for dir in build/release build/sanitize; do
  echo "== tests in $dir"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900 </dev/null)
done

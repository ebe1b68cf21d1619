#!/usr/bin/env bash
# Formatting and static checks for contributors: clang-format (report only, or --fix)
# and cppcheck over our own sources. Not part of CI's gate.
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run "${files[@]}" 2>&1 | grep -c 'warning:' | xargs -I{} echo "clang-format: {} lines to reformat (scripts/check.sh --fix)"
fi
cppcheck --quiet --std=c++20 --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -I . lib oci console manager extract apply reader tools sim 2>&1

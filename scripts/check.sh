#!/usr/bin/env bash
# Formatting and static checks of our own sources: clang-format and cppcheck. Exits 1
# when a file is not formatted or cppcheck reports anything, so CI runs it as a gate.
# Usage: scripts/check.sh [--fix]   (--fix formats the files in place first)
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
status=0
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
fi
unformatted=$(clang-format --dry-run "${files[@]}" 2>&1 | grep -c 'warning:')
if [ "$unformatted" -ne 0 ]; then
  clang-format --dry-run "${files[@]}" 2>&1 | grep 'warning:' | cut -d: -f1 | sort -u | sed 's/^/check: not formatted: /'
  echo "check: $unformatted lines to reformat (scripts/check.sh --fix)"
  status=1
fi
dirs=()
for d in lib oci console manager extract apply reader tools sim; do [ -d "$d" ] && dirs+=("$d"); done
findings=$(cppcheck --quiet --std=c++20 --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem --error-exitcode=0 -I . "${dirs[@]}" 2>&1)
if [ -n "$findings" ]; then
  echo "$findings"
  echo "check: cppcheck findings above"
  status=1
fi
[ "$status" -eq 0 ] && echo "check: formatting and static checks pass"
exit "$status"

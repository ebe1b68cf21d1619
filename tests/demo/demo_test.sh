#!/usr/bin/env bash
# Runs scripts/demo.sh with 300 transactions on an already built tree and checks what an
# operator relies on: it ends with "identical" from orasim diff, exits 0, and leaves no
# process running from its home and no IPC object with its key.
# usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1 build=$2
home=$(mktemp -u /tmp/kestro-demo-test.XXXXXX)
out=$(mktemp /tmp/kestro-demo-test-out.XXXXXX)
trap 'rm -rf "$home" "$out"' EXIT
"$src/scripts/demo.sh" --txns 300 --rate 150 --timeout 60 --no-setup --build-dir "$build" --home "$home" >"$out" 2>&1
rc=$?
fail() { echo "demo test: $*"; echo "---- demo output ----"; cat "$out"; exit 1; }
[ "$rc" = 0 ] || fail "exit status $rc"
[ "$(tail -n 1 "$out")" = "identical" ] || fail "the last line is not \"identical\""
grep -q "no IPC object left" "$out" || fail "no IPC report"
grep -q "HR.EMPLOYEES -> HR_COPY.EMPLOYEES: created" "$out" || fail "HR was not instantiated under its mapping"
key=$(grep -o 'key 0x[0-9a-f]*' "$out" | tail -1 | cut -d' ' -f2)
[ -n "$key" ] && ipcs | awk -v k="$key" '$1 == k { bad = 1 } END { exit bad }' || fail "IPC objects with key $key remain"
pids=$(find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$home/bin/*" 2>/dev/null | cut -d/ -f3)
[ -z "$pids" ] || fail "processes $pids still run from the home"
echo "demo test: ok"

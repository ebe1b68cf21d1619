#!/bin/sh
# Soak run of the restart tests: kill -9 of extract (with the operator's checkpoint
# reset) and of apply, and orderly stops and starts, at random moments during a running
# workload, for many more rounds than CI runs. Every round must end with the target equal
# to the source; the first failure stops the run and prints the seed that replays it.
#
#   bench/soak/soak.sh [-b BUILD_DIR] [-n ROUNDS_PER_RUN] [-r RUNS] [-s SEED]
#
# Defaults: build/release, 100 rounds per run, 5 runs, a new random seed per run.
set -u
build=build/release
rounds=100
runs=5
seed=""
while getopts b:n:r:s: opt; do
  case $opt in
    b) build=$OPTARG ;;
    n) rounds=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) seed=$OPTARG ;;
    *) sed -n '9p' "$0"; exit 2 ;;
  esac
done
test=$build/bin/test_e2e
if [ ! -x "$test" ]; then
  echo "soak: $test not built (cmake --build $build --target test_e2e)" >&2
  exit 2
fi
start=$(date +%s)
i=1
while [ "$i" -le "$runs" ]; do
  s=${seed:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
  s=$((s % 2147483647))
  log=$(mktemp /tmp/soak.XXXXXX)
  if KS_E2E_ITERATIONS=$rounds KS_E2E_SEED=$s "$test" --gtest_filter='Restart.*' >"$log" 2>&1; then
    echo "run $i/$runs: $rounds rounds, seed $s: identical after every round"
    rm -f "$log"
  else
    echo "run $i/$runs: seed $s FAILED; replay with: KS_E2E_ITERATIONS=$rounds KS_E2E_SEED=$s $test --gtest_filter='Restart.*'"
    grep -E 'round [0-9]+:|Failure' "$log" | head -20
    echo "full output: $log"
    exit 1
  fi
  i=$((i + 1))
done
echo "soak: $runs runs of $rounds rounds in $(( $(date +%s) - start )) s"

#!/usr/bin/env bash
# Sets up, builds, installs into a new home directory and runs the system's main job.
# Until the end-to-end demo lands this shows the build's banner, the installed programs
# and the simulated source database at work: a small OLTP workload written as real redo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
home=${KESTRO_DEMO_HOME:-$(mktemp -d /tmp/kestro-demo.XXXXXX)}
cmake --install build/release --prefix "$home" >/dev/null
echo "installed into $home"
KESTRO_HOME="$home" "$home/bin/extract" -h </dev/null || true
echo "programs: $(cd "$home/bin" && ls | grep -v '^bench_' | tr '\n' ' ')"
src="$home/sim"
"$home/bin/orasim" create -d "$src" -n SRC --log-size 1M --groups 3
"$home/bin/orasim" run -d "$src" -n SRC --txns 2000 --seed 7
echo "redo written:"
ls -l "$src"/SRC/onlinelog "$src"/SRC/archivelog
first=$(ls "$src"/SRC/archivelog/*.arc | head -1)
echo "first records of $first (redocat):"
"$home/bin/redocat" -f "$first" | head -12
echo "source tables (orasim print, first rows):"
"$home/bin/orasim" print -d "$src" -n SRC | head -8
echo "home: $home   (rm -rf it when done)"

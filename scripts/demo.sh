#!/usr/bin/env bash
# Sets up, builds, installs into a new home directory and runs the system's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
home=${KESTRO_DEMO_HOME:-$(mktemp -d /tmp/kestro-demo.XXXXXX)}
cmake --install build/release --prefix "$home" >/dev/null
echo "installed into $home"
for p in "$home"/bin/*; do
  [ -x "$p" ] || continue
  echo "== $(basename "$p")"
  KESTRO_HOME="$home" "$p" -v </dev/null || true
done

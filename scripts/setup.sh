#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages (idempotent), then
# configures and builds. Usage: scripts/setup.sh [--sanitize] [--no-build]
#   build trees: build/release (default) and build/sanitize (--sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(g++ cmake make pkg-config libgtest-dev libgmock-dev googletest libsqlite3-dev sqlite3
          clang-format cppcheck tmux procps)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq </dev/null
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

sanitize=OFF
build=1
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=ON ;;
    --no-build) build=0 ;;
    *) echo "setup: unknown option $a" >&2; exit 2 ;;
  esac
done
[ "$build" = 1 ] || exit 0

dir=build/release
[ "$sanitize" = ON ] && dir=build/sanitize
# A compiler cache, where the machine has one, makes rebuilds of a fresh clone cheap; paths
# are taken relative to the tree so that clones in other folders share it.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
cmake -S . -B "$dir" -DKS_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"

#!/usr/bin/env bash
# Configures and builds one tree. Usage: scripts/build.sh [BUILD_DIR [SANITIZER [TARGET]]]
#   BUILD_DIR defaults to build/; SANITIZER is empty, address or thread;
#   TARGET defaults to everything.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
san=${2:-}
target=${3:-all}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$dir" -DMORVANE_SANITIZE="$san" >/dev/null
cmake --build "$dir" -j "$jobs" --target "$target"

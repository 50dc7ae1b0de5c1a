#!/usr/bin/env bash
# The README's test command: installs what is missing, builds, and runs every test
# through CTest.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)"

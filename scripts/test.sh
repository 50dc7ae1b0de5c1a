#!/usr/bin/env bash
# The README's test command: installs what is missing, builds, and runs every test
# through CTest, first in the ordinary build (build/), then under AddressSanitizer
# with UndefinedBehaviorSanitizer (build-asan/, every test) and ThreadSanitizer
# (build-tsan/, the tests labelled "tsan": the engine and the message queues).
#   scripts/test.sh          all three
#   scripts/test.sh --quick  the ordinary build only
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

"$root/scripts/install-deps.sh" test

run_ctest() {  # DIR [ctest args...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

echo "== ordinary build"
"$root/scripts/build.sh" "$root/build"
run_ctest "$root/build"
[ $quick = 1 ] && exit 0

echo "== address and undefined-behaviour sanitizers"
"$root/scripts/build.sh" "$root/build-asan" address
run_ctest "$root/build-asan"

echo "== thread sanitizer"
"$root/scripts/build.sh" "$root/build-tsan" thread tsan_tests
run_ctest "$root/build-tsan" -L tsan

#!/usr/bin/env bash
# Rewrites the corpus seeds (tests/data/datagrams/real-*, built-*, wire-*) with make_seed_corpus, in a network namespace of
# its own; findings (finding-*) stay. Needs root. Usage: tests/fuzz/make-seeds.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$root/build}
cmake -S "$root" -B "$dir" >/dev/null
cmake --build "$dir" -j 2 --target make_seed_corpus
out=$root/tests/data/datagrams
rm -f "$out"/real-* "$out"/built-* "$out"/wire-*
"$root/tests/netns-run.sh" "$dir/bin/make_seed_corpus" "$out"

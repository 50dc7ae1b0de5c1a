#!/usr/bin/env bash
# Fuzzes the capture thread's handling of one frame (tests/fuzz/fuzz_capture.cpp)
# with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh [SECONDS]   default 60
# Builds with clang into build-fuzz/, runs over a copy of tests/data/datagrams,
# and exits non-zero on any finding: a crash, a sanitizer report, a leak, or an
# input running longer than the time-out. Every input that found a fault is
# copied into tests/data/datagrams as finding-*, so that the corpus replay test
# keeps running it from then on.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
dir=$root/build-fuzz
corpus_src=$root/tests/data/datagrams
# An input is one frame, of which the thread captures at most 1500 bytes; longer
# ones (offloaded segments, loopback datagrams) are delivered with their true size.
max_len=4096
unit_timeout_s=10

set -e
"$root/scripts/install-deps.sh" fuzz
cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DMORVANE_FUZZ=ON -DMORVANE_SANITIZE=address \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$dir" -j 2 --target fuzz_capture
set +e

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"
cp "$corpus_src"/* "$work/corpus/"

echo "== fuzzing for $seconds s over $(ls "$work/corpus" | wc -l) seed inputs"
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$dir/bin/fuzz_capture" "$work/corpus" -max_total_time="$seconds" -timeout="$unit_timeout_s" \
  -max_len="$max_len" -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  2> "$work/log"
rc=$?
# A report in full; otherwise libFuzzer's closing lines and statistics.
if grep -q 'ERROR:' "$work/log"; then
  sed -n '/ERROR:/,$p' "$work/log"
else
  grep -v '^#[0-9]' "$work/log" | grep -v '^"' | tail -n 12
fi

findings=0
for f in "$work/artifacts"/*; do
  [ -e "$f" ] || continue
  findings=$((findings + 1))
  name=finding-$(basename "$f")
  cp "$f" "$corpus_src/$name"
  echo "finding kept as tests/data/datagrams/$name"
done
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
echo "fuzz: ${runs:-?} inputs ran in $seconds s; $findings finding(s); libFuzzer exit $rc"
[ $rc -eq 0 ] && [ $findings -eq 0 ]

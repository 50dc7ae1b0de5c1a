#!/usr/bin/env bash
# capture_dump end to end, inside the network namespace tests/netns-run.sh
# makes (127.0.0.2 on loopback). Usage: capture_dump_test.sh PATH_TO_capture_dump
set -u
dump=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*; do echo "--- $f"; cat "$f"; done; exit 1; }

# Waits until a packet socket is bound to an interface and receiving (the
# dump has opened its engine): /proc/net/packet lists this namespace's packet
# sockets, the fifth column being the interface index (0 while unbound), the
# sixth 1 once frames are queued (the helper's socket is bound but receives
# nothing until the dump binds it for all protocols). Bounded, no sleep.
wait_for_bound_packet_socket() {
  local i sk ref type proto iface running rest
  for ((i = 0; i < 20000; i++)); do
    while read -r sk ref type proto iface running rest; do
      [ "$sk" != sk ] && [ "$iface" != 0 ] && [ "$running" = 1 ] && return 0
    done < /proc/net/packet
  done
  return 1
}

hex() { printf %s "$1" | od -An -tx1 | tr -d ' \n'; }

# 1. Lines for each datagram, then SIGTERM: stop, "delivered N", exit 0.
"$dump" 127.0.0.2 600 > "$work/out" 2> "$work/err" &
pid=$!
wait_for_bound_packet_socket || { kill -KILL $pid; fail "the dump never opened its socket"; }
probes=(probe-one probe-two probe-three)
for p in "${probes[@]}"; do
  printf %s "$p" > /dev/udp/127.0.0.2/45100 || fail "cannot send $p"
done
# Stop only once every probe's line is out: a stop request is seen before
# the next receive, so datagrams still queued in the socket are not listed.
for ((i = 0; i < 5000; i++)); do
  all=1
  for p in "${probes[@]}"; do grep -q "$(hex "$p")" "$work/out" || { all=0; break; }; done
  [ $all -eq 1 ] && break
done
kill -TERM $pid
wait $pid
rc=$?
[ $rc -eq 0 ] || fail "SIGTERM run exited $rc"
for p in "${probes[@]}"; do
  n=$(awk -F'\t' -v h="$(hex "$p")" -v s=$((28 + ${#p})) \
        '$1 == "UDP" && $2 == s && $5 == "127.0.0.2" && $6 == 45100 && $7 == h' "$work/out" | wc -l)
  [ "$n" -eq 1 ] || fail "$p: $n lines, wanted 1"
done
awk -F'\t' 'NF != 7 { exit 1 }' "$work/out" || fail "a line without seven tab-separated fields"
lines=$(wc -l < "$work/out")
grep -qx "delivered $lines" "$work/err" || fail "stderr does not say delivered $lines"

# 2. SECONDS ends the run by itself (0: at once, even before the thread is up).
"$dump" 127.0.0.2 0 > "$work/out0" 2> "$work/err0" || fail "SECONDS run exited $?"
grep -qx 'delivered [0-9]*' "$work/err0" || fail "SECONDS run: no delivered line"

# 3. Engine failures: the engine's text, exit 1.
"$dump" 10.255.255.1 1 > /dev/null 2> "$work/err1"
[ $? -eq 1 ] && grep -qx 'Bind ip failed.' "$work/err1" || fail "bad address"
setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$dump" 127.0.0.2 1 > /dev/null 2> "$work/err2"
[ $? -eq 1 ] && grep -qx 'Create socket failed.' "$work/err2" || fail "unprivileged run"

# 4. Wrong arguments: usage, exit 2.
"$dump" 127.0.0.2 > /dev/null 2>&1
[ $? -eq 2 ] || fail "missing SECONDS"
"$dump" 127.0.0.2 -1 > /dev/null 2>&1
[ $? -eq 2 ] || fail "negative SECONDS"
echo "capture_dump: all checks passed"

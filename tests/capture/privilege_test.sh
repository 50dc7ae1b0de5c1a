#!/usr/bin/env bash
# Usage: privilege_test.sh TEST_PROGRAM HELPER GRANT_SCRIPT, in the namespace tests/netns-run.sh makes. The grant
# script prepares a helper copy; the test program then runs as user nobody with the helper's group and without.
set -u
bin=$1 helper=$2 grant=$3
[ "$(id -u)" = 0 ] || { echo "skipped: granting capabilities needs root"; exit 77; }
made_group=0
getent group morvane >/dev/null || made_group=1
# /tmp: some overlay file systems drop the extended attribute file capabilities live in.
work=$(mktemp -d /tmp/morvane-privilege.XXXXXX)
cleanup() {
  rm -rf "$work"
  if [ $made_group = 1 ] && [ -z "$(getent group morvane | cut -d: -f4)" ]; then groupdel morvane; fi
}
trap cleanup EXIT
chmod 755 "$work"
install -m 755 "$bin" "$work/test" && install -m 755 "$helper" "$work/morvane-capture" || exit 1
"$grant" --helper "$work/morvane-capture" >/dev/null || { echo "FAIL: grant-capture.sh"; exit 1; }
got="$(stat -c '%U:%G %a' "$work/morvane-capture") $(getcap "$work/morvane-capture" | sed 's/.* //')"
[ "$got" = "root:morvane 750 cap_net_raw=p" ] && rc=0 || { echo "FAIL: the helper is $got"; rc=1; }
run() {  # NAME GTEST_FILTER TESTS SETPRIV_GROUPS: an ordinary login's ids, nothing inherited from root
  out=$(setpriv --reuid=nobody --regid=nogroup "$4" --inh-caps=-all "$work/test" --gtest_filter="$2" 2>&1)
  status=$?
  echo "$out"
  if [ $status -ne 0 ] || ! grep -q "^\[  PASSED  \] $3 test" <<<"$out"; then echo "FAIL: $1"; rc=1; fi
}
run "a member" 'CaptureLoopback.*' 2 --groups="$(getent group morvane | cut -d: -f3)"
run "an outsider" 'CaptureRights.*' 1 --clear-groups
exit $rc

#!/usr/bin/env bash
# Capture rights end to end, inside the network namespace tests/netns-run.sh
# makes. Usage: privilege_test.sh TEST_PROGRAM HELPER GRANT_SCRIPT
#
# Copies of the test program and the helper go to a fresh folder; the grant
# script prepares that helper copy (group morvane, root:morvane 0750,
# cap_net_raw). The test program then runs as user nobody, once with the
# group (a member) and once without (an outsider). The group is made only if
# missing and removed again if this run made it; no user is added to it.
# Exits 77 (skipped) when not root.
set -u
bin=$1 helper=$2 grant=$3
if [ "$(id -u)" != 0 ]; then
  echo "skipped: granting capabilities needs root"
  exit 77
fi
made_group=0
getent group morvane >/dev/null || made_group=1
# /tmp because file capabilities live in an extended attribute that some
# overlay file systems do not keep.
work=$(mktemp -d /tmp/morvane-privilege.XXXXXX)
cleanup() {
  rm -rf "$work"
  if [ $made_group = 1 ] && [ -z "$(getent group morvane | cut -d: -f4)" ]; then groupdel morvane; fi
}
trap cleanup EXIT
chmod 755 "$work"
install -m 755 "$bin" "$work/test_privilege"
install -m 755 "$helper" "$work/morvane-capture"
"$grant" --helper "$work/morvane-capture" || { echo "FAIL: grant-capture.sh"; exit 1; }

rc=0
gid=$(getent group morvane | cut -d: -f3)
got=$(stat -c '%U:%G %a' "$work/morvane-capture")
[ "$got" = "root:morvane 750" ] || { echo "FAIL: helper is $got"; rc=1; }
got=$(getcap "$work/morvane-capture")
grep -q 'cap_net_raw=p$' <<<"$got" || { echo "FAIL: helper capabilities: $got"; rc=1; }
[ -z "$(getcap "$work/test_privilege")" ] || { echo "FAIL: the test program holds capabilities"; rc=1; }

# The real uid and gid of nobody and no capability inherited from root: what
# an ordinary login has; with or without the helper's group.
run() {  # NAME GTEST_FILTER SETPRIV_GROUPS...
  local name=$1 filter=$2 out status
  shift 2
  out=$(setpriv --reuid=nobody --regid=nogroup "$@" --inh-caps=-all "$work/test_privilege" --gtest_filter="$filter" 2>&1)
  status=$?
  echo "$out"
  if [ $status -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
    echo "FAIL: $name (exit $status)"
    rc=1
  fi
}
run "a member of morvane" 'CaptureRights.AGroupMember*' --groups="$gid"
run "an outsider" 'CaptureRights.AnOutsider*' --clear-groups
exit $rc

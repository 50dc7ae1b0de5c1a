#!/usr/bin/env bash
# Least privilege end to end, inside the network namespace tests/netns-run.sh
# makes. Usage: privilege_test.sh PATH_TO_test_privilege
#
# The executable is meant to carry cap_net_raw,cap_net_admin as permitted file
# capabilities only (never setuid); run by an ordinary user it then starts
# with both permitted and nothing effective. Copies of the test program are
# run as user nobody: with those file capabilities, with them effective as
# well (a set-up mistake the capture thread must not carry), and without.
# Exits 77 (skipped) when not root.
set -u
bin=$1
if [ "$(id -u)" != 0 ]; then
  echo "skipped: setting file capabilities needs root"
  exit 77
fi
# A fresh directory nobody can read; /tmp because file capabilities live in an
# extended attribute that some overlay file systems do not keep.
work=$(mktemp -d /tmp/morvane-privilege.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
install -m 755 "$bin" "$work/with-caps"
install -m 755 "$bin" "$work/effective-caps"
install -m 755 "$bin" "$work/without-caps"
if ! setcap cap_net_raw,cap_net_admin+p "$work/with-caps" ||
   ! setcap cap_net_raw,cap_net_admin+ep "$work/effective-caps"; then
  echo "FAIL: setcap does not work on $work"
  exit 1
fi
getcap "$work/with-caps" "$work/effective-caps"
for f in "$work"/*; do [ -u "$f" ] && { echo "FAIL: $f is setuid"; exit 1; }; done

# The real uid and gid of nobody, no supplementary groups, and no capability
# inherited from root: what an ordinary login has.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$@"; }

rc=0
run() {  # NAME PROGRAM GTEST_FILTER
  local out
  out=$(as_nobody "$2" --gtest_filter="$3" 2>&1)
  local status=$?
  echo "$out"
  if [ $status -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
    echo "FAIL: $1 (exit $status)"
    rc=1
  fi
}
run "with permitted capabilities" "$work/with-caps" 'LeastPrivilege.WithPermitted*'
run "with effective capabilities" "$work/effective-caps" 'LeastPrivilege.WithEffective*'
run "without capabilities" "$work/without-caps" 'LeastPrivilege.WithoutCapabilities*'
exit $rc

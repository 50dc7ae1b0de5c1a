#!/usr/bin/env bash
# Usage: privilege_test.sh TEST_PROGRAM HELPER GRANT_SCRIPT CMAKE BUILD_DIR, in the namespace tests/netns-run.sh
# makes. Capture rights end to end:
# - the build installed under a temporary prefix and the installed helper granted: installing again must leave it
#   as granted; the grant must refuse, and change nothing of, a symbolic link and a helper in a folder another user
#   can change;
# - a granted helper copy beside a copy of the test program, which then runs as user nobody with the helper's group
#   and without.
set -u
bin=$1 helper=$2 grant=$3 cmake=$4 build=$5
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
umask 022
chmod 755 "$work"
rc=0
expect() {  # WHAT FILE OWNER:GROUP MODE [CAPABILITY]
  local caps got
  caps=$(getcap "$2")
  got="$(stat -c '%U:%G %a' "$2")${caps:+ ${caps##* }}"
  [ "$got" = "$3" ] || { echo "FAIL: $1: $2 is $got, not $3"; rc=1; }
}
refused() {  # WHAT HELPER_PATH FILE OWNER:GROUP MODE
  if "$grant" --helper "$2" >/dev/null 2>&1; then echo "FAIL: $1: the grant took it"; rc=1; fi
  expect "$1" "$3" "$4"
}

"$cmake" --install "$build" --prefix "$work/usr" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
installed=$work/usr/bin/morvane-capture
"$grant" --helper "$installed" >/dev/null || { echo "FAIL: the grant of the installed helper"; exit 1; }
expect "granted" "$installed" "root:morvane 750 cap_net_raw=p"
"$cmake" --install "$build" --prefix "$work/usr" >/dev/null || { echo "FAIL: cmake --install again"; exit 1; }
expect "installed again" "$installed" "root:morvane 750 cap_net_raw=p"

printf x >"$work/target" && chmod 640 "$work/target" && ln -s "$work/target" "$work/link" || exit 1
refused "a symbolic link" "$work/link" "$work/target" "root:root 640"
mkdir "$work/theirs" "$work/open" && chown nobody "$work/theirs" && chmod 777 "$work/open" || exit 1
for d in theirs open; do install -m 755 /dev/null "$work/$d/morvane-capture" || exit 1; done
refused "a folder of another user" "$work/theirs/morvane-capture" "$work/theirs/morvane-capture" "root:root 755"
refused "a folder anyone may write" "$work/open/morvane-capture" "$work/open/morvane-capture" "root:root 755"

mkdir "$work/run" || exit 1
install -m 755 "$bin" "$work/run/test" && install -m 755 "$helper" "$work/run/morvane-capture" || exit 1
"$grant" --helper "$work/run/morvane-capture" >/dev/null || { echo "FAIL: grant-capture.sh"; exit 1; }
expect "a helper copy granted" "$work/run/morvane-capture" "root:morvane 750 cap_net_raw=p"
run() {  # NAME GTEST_FILTER TESTS SETPRIV_GROUPS: an ordinary login's ids, nothing inherited from root
  out=$(setpriv --reuid=nobody --regid=nogroup "$4" --inh-caps=-all "$work/run/test" --gtest_filter="$2" 2>&1)
  status=$?
  echo "$out"
  if [ $status -ne 0 ] || ! grep -q "^\[  PASSED  \] $3 test" <<<"$out"; then echo "FAIL: $1"; rc=1; fi
}
run "a member" 'CaptureLoopback.*' 2 --groups="$(getent group morvane | cut -d: -f3)"
run "an outsider" 'CaptureRights.*' 1 --clear-groups
exit $rc

#!/usr/bin/env bash
# Lets members of the system group "morvane" capture: the capture helper
# becomes root:morvane, mode 0750, with the one capability it needs
# (cap_net_raw, permitted: the helper raises it only to create the socket).
# Each USER named is added to the group (effective at their next login).
# Run as root after each build or install.
# Usage: scripts/grant-capture.sh [--helper PATH] [USER...]
#   PATH defaults to build/bin/morvane-capture of this checkout; name the
#   installed one after `cmake --install`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
helper=$root/build/bin/morvane-capture
if [ "${1:-}" = --helper ]; then
  [ $# -ge 2 ] || { echo "usage: $0 [--helper PATH] [USER...]" >&2; exit 2; }
  helper=$2
  shift 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "grant-capture: must run as root: sudo $0 $*" >&2
  exit 1
fi
if [ ! -f "$helper" ]; then
  echo "grant-capture: no helper at $helper (build first, or name it with --helper)" >&2
  exit 1
fi
for user in "$@"; do
  id -u "$user" >/dev/null 2>&1 || { echo "grant-capture: no user $user" >&2; exit 1; }
done

getent group morvane >/dev/null || groupadd --system morvane
# Ownership and mode first: changing either clears file capabilities.
chown root:morvane "$helper"
chmod 0750 "$helper"
if ! setcap cap_net_raw=p "$helper"; then
  echo "grant-capture: setcap failed on $helper (does this file system keep extended attributes?)" >&2
  exit 1
fi
# The program beside it holds none (an earlier set-up gave it some).
program=$(dirname "$helper")/Morvane
if [ -f "$program" ] && [ -n "$(getcap "$program")" ]; then setcap -r "$program"; fi

for user in "$@"; do
  usermod -a -G morvane "$user"
  echo "grant-capture: $user is in group morvane (from their next login)"
done
echo "grant-capture: $(getcap "$helper")"

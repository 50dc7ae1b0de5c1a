#!/usr/bin/env bash
# Runs one test program inside a network namespace of its own: loopback up and
# 127.0.0.2 added to it, so that capture tests send only to 127.x addresses that
# exist nowhere but here. Exits 77 (CTest "skipped") when no namespace can be made.
set -u
if [ "${MORVANE_IN_NETNS:-}" != 1 ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "skipped: cannot create a network namespace (needs root or CAP_SYS_ADMIN)"
    exit 77
  fi
  exec unshare -n env MORVANE_IN_NETNS=1 "$0" "$@"
fi
ip link set lo up || exit 1
ip addr add 127.0.0.2/8 dev lo || exit 1
exec "$@"

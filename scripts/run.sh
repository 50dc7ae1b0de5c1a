#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, grants the
# capture helper its capability when run as root, and starts it on the current
# display. Usage: scripts/run.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
exe="$root/build/bin/Morvane"

# A window needs a display; say so at once instead of after the build.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat >&2 <<'MSG'
run: no display: neither DISPLAY nor WAYLAND_DISPLAY is set.
Morvane is a desktop program; start this script from a desktop session, or on a
virtual X display, for example:
    Xvfb :99 -screen 0 1280x800x24 &
    DISPLAY=:99 scripts/run.sh
MSG
  exit 1
fi

"$root/scripts/install-deps.sh" run
"$root/scripts/build.sh" "$root/build"

# Capture goes through the helper beside the program; only the helper may hold
# CAP_NET_RAW, and only members of the group morvane may run it.
helper="$root/build/bin/morvane-capture"
if [ "$(id -u)" -eq 0 ]; then
  if ! "$root/scripts/grant-capture.sh" ${SUDO_USER:+"$SUDO_USER"}; then
    echo "run: the grant step failed; running as root, capture works anyway" >&2
  fi
elif ! getcap "$helper" 2>/dev/null | grep -q cap_net_raw || ! id -nG | grep -qw morvane; then
  cat >&2 <<MSG
run: this user cannot capture yet, so Start will show "Create socket failed.".
Grant it once after each build (then log in again if you were just added):
    sudo $root/scripts/grant-capture.sh $(id -un)
MSG
fi

exec "$exe"

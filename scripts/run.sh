#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, gives the program
# its capture capabilities when run as root, and starts it on the current
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

# Capture opens a packet socket in promiscuous mode: CAP_NET_RAW and
# CAP_NET_ADMIN. File capabilities let later runs as an ordinary user capture too.
if [ "$(id -u)" -eq 0 ]; then
  if setcap cap_net_raw,cap_net_admin+p "$exe"; then
    echo "run: gave $exe cap_net_raw,cap_net_admin"
  else
    echo "run: setcap failed (does this file system keep extended attributes?);" \
         "running as root, capture works anyway" >&2
  fi
elif ! getcap "$exe" 2>/dev/null | grep -q cap_net_raw; then
  cat >&2 <<MSG
run: $exe has no capture capabilities, so Start will show "Create socket failed.".
Give them once after each build (or run this script as root):
    sudo setcap cap_net_raw,cap_net_admin+p $exe
MSG
fi

exec "$exe"

#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, grants the
# capture helper its capability when run as root, and starts the program on the
# current display, never as root: under sudo it runs as the user who called
# sudo. Usage: scripts/run.sh, or sudo scripts/run.sh
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

# Root installs packages and grants; the program itself runs as the sudo user.
user=
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  user=$SUDO_USER
fi

"$root/scripts/install-deps.sh" run
# In the sudo user's own checkout the build is theirs: files root made in it
# would make their later builds fail.
if [ -n "$user" ] && [ "$(stat -c %u "$root")" = "$(id -u "$user")" ]; then
  if ! runuser -u "$user" -- "$root/scripts/build.sh" "$root/build"; then
    echo "run: the build as $user failed; if build/ holds files of an earlier run as root, give them back: sudo chown -R $user: $root/build" >&2
    exit 1
  fi
else
  "$root/scripts/build.sh" "$root/build"
fi

# Capture goes through the helper beside the program; only the helper may hold
# CAP_NET_RAW, and only members of the group morvane may run it.
helper="$root/build/bin/morvane-capture"
if [ "$(id -u)" -eq 0 ]; then
  if ! "$root/scripts/grant-capture.sh" ${user:+"$user"}; then
    echo "run: the grant step failed, so Start will show \"Create socket failed.\"" >&2
  fi
  if [ -z "$user" ]; then
    cat >&2 <<MSG
run: Morvane is built but not started: it does not run as root (it needs no
privilege, and as root it would hold every capability). Start it as an ordinary
user in the group morvane: from that user's desktop session, sudo $0
does it all; or, as root:
    $root/scripts/grant-capture.sh USER     # once, adds USER to the group
    runuser -u USER -- $exe
MSG
    exit 1
  fi
  # runuser keeps the display variables (DISPLAY, XAUTHORITY, WAYLAND_DISPLAY);
  # sudo drops the runtime folder, which Wayland and the session bus live in.
  uid=$(id -u "$user")
  if [ -z "${XDG_RUNTIME_DIR:-}" ] && [ -d "/run/user/$uid" ]; then
    export XDG_RUNTIME_DIR=/run/user/$uid
  fi
  exec runuser -u "$user" -- "$exe"
elif ! getcap "$helper" 2>/dev/null | grep -q cap_net_raw || ! id -nG | grep -qw morvane; then
  cat >&2 <<MSG
run: this user cannot capture yet, so Start will show "Create socket failed.".
Grant it once after each build (then log in again if you were just added):
    sudo $root/scripts/grant-capture.sh $(id -un)
MSG
fi

exec "$exe"

#!/usr/bin/env bash
# Lets members of the system group "morvane" capture: the capture helper
# becomes root:morvane, mode 0750, with the one capability it needs
# (cap_net_raw, permitted: the helper raises it only to create the socket).
# Each USER named is added to the group (effective at their next login).
# Run as root after each build or install.
# Usage: scripts/grant-capture.sh [--helper PATH] [USER...]
#   PATH defaults to build/bin/morvane-capture of this checkout; name the
#   installed one after `cmake --install`.
# It refuses, before changing anything, a helper that someone other than root
# (or SUDO_USER, granting their own tree) could swap or change: a symbolic link,
# a file owned by anyone else or writable by others, or one in a folder, or
# below a folder, that anyone else owns or may write without the sticky bit.
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
if [ ! -f "$helper" ] && [ ! -L "$helper" ]; then
  echo "grant-capture: no helper at $helper (build first, or name it with --helper)" >&2
  exit 1
fi
# setcap will not take a /proc/self/fd name, which the steps below go through.
command -v setfattr >/dev/null || { echo "grant-capture: setfattr is missing (package attr: scripts/install-deps.sh run)" >&2; exit 1; }
for user in "$@"; do
  id -u "$user" >/dev/null 2>&1 || { echo "grant-capture: no user $user" >&2; exit 1; }
done

refuse() {
  cat >&2 <<MSG
grant-capture: refused: $1.
Only root (or SUDO_USER, granting their own tree) may be able to change the
helper or any folder above it. Install the helper, then grant the installed one:
    cmake --install BUILD_DIR [--prefix PREFIX]
    sudo $0 --helper PREFIX/bin/morvane-capture [USER...]
MSG
  exit 1
}
trusted=" 0 "
if [ -n "${SUDO_USER:-}" ] && uid=$(id -u "$SUDO_USER" 2>/dev/null); then trusted+="$uid "; fi
owner_ok() { case $trusted in *" $1 "*) return 0 ;; esac; return 1; }
others_write() { (( 8#$1 & 8#022 )); }

# The folder with its symbolic links resolved once: every later step names it so.
dir=$(cd -P -- "$(dirname -- "$helper")" && pwd)
helper=$dir/$(basename -- "$helper")
# Only the link's folder is checked below, not its target's.
[ ! -L "$helper" ] || refuse "$helper is a symbolic link"
d=$dir
while :; do
  read -r uid mode type < <(stat -c '%u %a %F' -- "$d")
  [ "$type" = directory ] || refuse "$d is not a folder"
  owner_ok "$uid" || refuse "the folder $d belongs to $(id -nu "$uid" 2>/dev/null || echo "uid $uid")"
  if others_write "$mode" && (( !(8#$mode & 8#1000) )); then
    refuse "others than its owner may write the folder $d"
  fi
  [ "$d" = / ] && break
  d=$(dirname -- "$d")
done
read -r dev ino uid mode type < <(stat -L -c '%d %i %u %a %F' -- "$helper")
case $type in regular*) ;; *) refuse "$helper is not a regular file" ;; esac
owner_ok "$uid" || refuse "$helper belongs to $(id -nu "$uid" 2>/dev/null || echo "uid $uid")"
others_write "$mode" && refuse "others than its owner may write $helper"

getent group morvane >/dev/null || groupadd -f --system morvane
# Opened once: owner, mode and capability change the file checked above even if
# another is renamed over its name meanwhile.
exec {fd}<"$helper"
file=/proc/self/fd/$fd
if [ "$(stat -L -c '%d %i %F' -- "$file")" != "$dev $ino $type" ]; then
  echo "grant-capture: $helper changed while it was checked; nothing granted" >&2
  exit 1
fi
# A change of owner clears file capabilities (a change of mode keeps them), so
# the capability comes last.
chown root:morvane "$file"
chmod 0750 "$file"
# What `setcap cap_net_raw=p` writes: revision 2, permitted CAP_NET_RAW (bit 13),
# nothing effective or inheritable.
if ! setfattr -n security.capability -v 0x0000000200200000000000000000000000000000 "$file"; then
  echo "grant-capture: cannot set the capability of $helper (does this file system keep extended attributes?)" >&2
  exit 1
fi
exec {fd}<&-
if [ "$(stat -c '%d %i' -- "$helper")" != "$dev $ino" ]; then
  echo "grant-capture: $helper was replaced while it was granted; the file now there holds nothing: grant again" >&2
  exit 1
fi
# The program beside it holds none (an earlier set-up gave it some).
program=$dir/Morvane
if [ -f "$program" ] && [ ! -L "$program" ] && [ -n "$(getcap "$program")" ]; then setcap -r "$program"; fi

for user in "$@"; do
  usermod -a -G morvane "$user"
  echo "grant-capture: $user is in group morvane (from their next login)"
done
echo "grant-capture: $(getcap "$helper")"

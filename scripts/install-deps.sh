#!/usr/bin/env bash
# Installs, from Debian's packages only, what the build, the tests, the benchmarks
# and the tools need. Idempotent: apt-get runs only when something is missing.
set -eu
PKGS=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev
  libcap-dev libcap2-bin passwd
  fonts-liberation fonts-wqy-zenhei
  iproute2 util-linux procps tcpdump
  clang libclang-rt-14-dev
  xvfb xauth
)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO=sudo; else
    echo "install-deps: missing packages (${missing[*]}) and not root; run this script as root" >&2
    exit 1
  fi
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

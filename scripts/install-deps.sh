#!/usr/bin/env bash
# Installs, from Debian's packages only, what one use of the project needs.
#   scripts/install-deps.sh [SET...]   SET: run, test, fuzz or all (the default)
#     run   build and run the program (scripts/run.sh, cmake --install)
#     test  run, plus the tests and benchmarks (scripts/test.sh)
#     fuzz  test, plus the fuzzer's compiler (scripts/fuzz.sh)
# Idempotent: apt-get runs only when something is missing.
set -eu
RUN_PKGS=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcap-dev libcap2-bin attr passwd
  fonts-liberation fonts-wqy-zenhei
)
TEST_PKGS=(
  libgtest-dev
  iproute2 util-linux procps tcpdump
  xvfb xauth
)
FUZZ_PKGS=(
  clang libclang-rt-14-dev
)

PKGS=()
for set in "${@:-all}"; do
  case $set in
    run) PKGS+=("${RUN_PKGS[@]}") ;;
    test) PKGS+=("${RUN_PKGS[@]}" "${TEST_PKGS[@]}") ;;
    fuzz | all) PKGS+=("${RUN_PKGS[@]}" "${TEST_PKGS[@]}" "${FUZZ_PKGS[@]}") ;;
    *) echo "usage: $0 [run|test|fuzz|all]..." >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    case " ${missing[*]} " in *" $p "*) ;; *) missing+=("$p") ;; esac
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

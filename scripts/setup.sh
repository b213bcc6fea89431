#!/usr/bin/env bash
# Installs the Debian packages that one or more purposes need (one apt-get update at most),
# and nothing when all are present:
#   bash scripts/setup.sh demo    build and run the programs (the demonstration)
#   bash scripts/setup.sh test    also the tests, the sanitizer and fuzzing builds
#   bash scripts/setup.sh bench   also the peers the benchmarks measure the programs against
#   bash scripts/setup.sh windows the cross toolchain, GoogleTest's sources, wine and Xvfb
#   bash scripts/setup.sh network an SSH and an SMB server and their FUSE clients (loopback)
set -euo pipefail

[ $# -eq 0 ] && set -- test
packages=()
for purpose in "$@"; do
  case "$purpose" in
    demo) packages+=(cmake ninja-build g++ qt6-base-dev) ;;  # build, and the window (Qt)
    # fuzzing, sanitizers, tests; the package build and its checks
    test) packages+=(cmake ninja-build g++ qt6-base-dev clang libclang-rt-14-dev libgtest-dev
                     dpkg-dev libcap2-bin desktop-file-utils man-db) ;;
    bench) packages+=(cmake ninja-build g++ qt6-base-dev libgtest-dev rsync python3 strace) ;;
    # the cross toolchain, and wine with a private display for the window
    windows) packages+=(cmake ninja-build googletest g++-mingw-w64-x86-64-posix wixl
                        wine wine64 fonts-wine xvfb) ;;
    # network drives on 127.0.0.1 for the tests: SSH and SMB, each mounted twice
    network) packages+=(openssh-server openssh-client sshfs samba smbnetfs fuse3) ;;
    *) echo "usage: $0 demo|test|bench|windows|network..." >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs the Debian packages the project needs, and nothing when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # build, sanitizers, fuzzing
  qt6-base-dev                                     # the window (Widgets, Network, Test)
  libgtest-dev                                     # tests
  xauth xvfb                                       # a display for the demo when none is set
)

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
